#include "control/module.h"
#include "control/orvane_control.h"

namespace orv {

std::span<const ClassEntry> Classes() {
    static const ClassEntry entries[] = {
        {&CLSID_Orvane, &OrvaneControl::Create, "Orvane Control", "OrvaneControl.Orvane", true},
    };
    return entries;
}

}  // namespace orv
