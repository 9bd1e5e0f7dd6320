// The control's property pages "General", "Authorization" and "Proxy": one COM class
// (IPropertyPage2 on a dialog resource) driven by a description of each page's fields.
#pragma once

#include <windows.h>

#include <ocidl.h>

namespace orv {

// Class factory entries of the three pages (PropertyPage1, PropertyPage2, PropertyPage3).
HRESULT CreateGeneralPage(REFIID iid, void** out);
HRESULT CreateAuthorizationPage(REFIID iid, void** out);
HRESULT CreateProxyPage(REFIID iid, void** out);

}  // namespace orv
