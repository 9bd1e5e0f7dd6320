// The editor's platform services that need no window: the program's own path and version,
// the locale-aware number conversion, reading and safely replacing files, error texts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "maker/maker_logic.h"

namespace orv::maker {

// The system's text for an error number, without the trailing line break.
std::string SystemErrorText(DWORD error);

// Full path of the running program, and its folder (without the final backslash).
std::string ProgramPath();
std::string ProgramFolder();

// Converts the whole text to a 32-bit integer with VarI4FromStr in the user's locale and
// tells what came of it; the number itself is not needed.
NumberOutcome ConvertToInt32(std::string_view text);

// The file-version numbers of a file's version resource.
struct FileVersion {
    unsigned Major = 0, Minor = 0, Build = 0, Revision = 0;
};
std::optional<FileVersion> ReadFileVersion(const std::string& path);

// A whole file read as bytes, or why it could not be.
struct FileRead {
    std::string Bytes;
    DWORD Error = ERROR_SUCCESS;  // the system's error number
    bool TooLarge = false;        // longer than `limit`: not read
    bool Ok() const { return Error == ERROR_SUCCESS && !TooLarge; }
};
FileRead ReadWholeFile(const std::string& path, std::size_t limit);

// Writes `bytes` as the whole new content of `path` without ever losing the old file: the
// bytes go to a temporary file in the same folder, which replaces the target only after it
// was written and closed. Returns ERROR_SUCCESS or the system's error number; on failure the
// target is unchanged and the temporary file removed.
DWORD WriteFileReplacing(const std::string& path, std::string_view bytes);

// The size of a file in bytes, or the system's error number.
struct FileSize {
    uint64_t Size = 0;
    DWORD Error = ERROR_SUCCESS;
};
FileSize QueryFileSize(const std::string& path);

// The text of a window (a control's whole text).
std::string WindowText(HWND window);

}  // namespace orv::maker
