// The editor's platform services that need no window: the locale-aware number conversion,
// reading files whole, file sizes, window texts. Module paths, error texts, version resources
// and safe file replacement are common/win/system.h.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/win/system.h"
#include "maker/maker_logic.h"

namespace orv::maker {

// Converts the whole text to a 32-bit integer with VarI4FromStr in the user's locale and
// tells what came of it; the number itself is not needed.
NumberOutcome ConvertToInt32(std::string_view text);

// A whole file read as bytes, or why it could not be.
struct FileRead {
    std::string Bytes;
    DWORD Error = ERROR_SUCCESS;  // the system's error number
    bool TooLarge = false;        // longer than `limit`: not read
    bool Ok() const { return Error == ERROR_SUCCESS && !TooLarge; }
};
FileRead ReadWholeFile(const std::string& path, std::size_t limit);

// The size of a file in bytes, or the system's error number.
struct FileSize {
    uint64_t Size = 0;
    DWORD Error = ERROR_SUCCESS;
};
FileSize QueryFileSize(const std::string& path);

// The text of a window (a control's whole text).
std::string WindowText(HWND window);

}  // namespace orv::maker
