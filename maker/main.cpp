// OrvaneMaker: the publisher's editor of the update information file (.orv).
#include <windows.h>

#include "maker/form1.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    orv::maker::Form1 form(instance);
    if (!form.Create()) return 1;
    return form.Run(show);
}
