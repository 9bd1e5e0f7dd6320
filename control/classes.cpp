#include "control/module.h"
#include "control/orvane_control.h"
#include "control/property_page.h"

namespace orv {

std::span<const ClassEntry> Classes() {
    static const ClassEntry entries[] = {
        {&CLSID_Orvane, &OrvaneControl::Create, "Orvane Control", "OrvaneControl.Orvane", true,
         OrvaneControl::kMiscStatus},
        {&CLSID_PropertyPage1, &CreateGeneralPage, "Orvane General Property Page", nullptr, false,
         0},
        {&CLSID_PropertyPage2, &CreateAuthorizationPage, "Orvane Authorization Property Page",
         nullptr, false, 0},
        {&CLSID_PropertyPage3, &CreateProxyPage, "Orvane Proxy Property Page", nullptr, false, 0},
    };
    return entries;
}

}  // namespace orv
