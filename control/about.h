// The control's About box: shown modally over `owner`, returns when the user closes it.
#pragma once

#include <windows.h>

#include <string>

namespace orv {

void ShowAboutBox(HWND owner, const std::string& versionText);

}  // namespace orv
