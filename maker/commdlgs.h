// Module CommDlgs: the one way the editor asks the user for a file, through the platform's
// common Open and Save As dialogs.
#pragma once

// clang-format off
#include <windows.h>
#include <commdlg.h>
// clang-format on

#include <cstdint>
#include <string>
#include <string_view>

namespace orv::maker {

// Dialog modes: 1 shows the Open dialog, any other value the Save As dialog.
inline constexpr int16_t kDialogOpen = 1;
inline constexpr int16_t kDialogSave = 0;

// Flags of each mode.
inline constexpr DWORD kOpenFlags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
inline constexpr DWORD kSaveFlags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST;
static_assert(kOpenFlags == 0x1804 && kSaveFlags == 0x806);

// Shows the dialog modally over `owner` and returns the full path chosen, or an empty text
// when the user cancelled or the dialog could not be shown. `filter` is a "|"-separated
// list of descriptions and patterns; `defaultExtension` has no point. `private_` keeps the
// choice out of the system's list of recent files (a private key's name).
std::string ShowFileDialog(HWND owner, int16_t mode, std::string_view title,
                           std::string_view initialFileName, std::string_view filter,
                           std::string_view initialFolder, std::string_view defaultExtension,
                           bool private_ = false);

}  // namespace orv::maker
