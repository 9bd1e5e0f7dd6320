// Form2: the About box of the editor.
#pragma once

#include <windows.h>

namespace orv::maker {

// Shows the About box modally over `owner`; `icon` is the main window's icon, copied into
// the box. Returns when the user closes the box.
void ShowAboutBox(HINSTANCE instance, HWND owner, HICON icon);

}  // namespace orv::maker
