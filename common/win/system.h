// Platform services both deliverables need, written once: module paths, the system's error
// texts, version resources, and replacing a file without ever losing it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace orv::win {

// Text in the system's ANSI code page to UTF-16 and back (characters the code page lacks
// become its default character).
std::wstring AnsiToWide(std::string_view text);
std::string WideToAnsi(std::wstring_view text);
// The same between UTF-16 and UTF-8.
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

// Full path of a module (nullptr: the program), however long; the wide form keeps names the
// ANSI code page cannot spell.
std::wstring ModulePathW(HMODULE module = nullptr);
std::string ModulePath(HMODULE module = nullptr);
// The folder of a module, without the final backslash.
std::string ModuleFolder(HMODULE module = nullptr);
std::wstring ModuleFolderW(HMODULE module = nullptr);

// The system's text for an error number, without the trailing line break; "Error N." when the
// system has none.
std::string SystemErrorText(DWORD error);

// The file-version numbers of a file's version resource, or nothing when it has none or it
// cannot be read.
struct FileVersion {
    unsigned Major = 0, Minor = 0, Build = 0, Revision = 0;
};
std::optional<FileVersion> ReadFileVersion(const std::string& path);
// The whole fixed part of the version resource (VS_FIXEDFILEINFO), or nothing.
std::optional<VS_FIXEDFILEINFO> ReadFixedVersionInfo(const std::string& path);
// The same for a name the ANSI code page may not spell (the control's own library).
std::optional<VS_FIXEDFILEINFO> ReadFixedVersionInfo(const std::wstring& path);

// Writes `bytes` as the whole new content of `path` without ever losing the old file: the
// bytes go to a temporary file in the same folder, which takes the target's place (and its
// hidden, system and archive marks) only after it was written and closed. A read-only target
// is refused. Returns ERROR_SUCCESS or the system's error number; on failure the target is
// unchanged and the temporary file removed.
DWORD ReplaceFileContents(const std::string& path, std::string_view bytes);

}  // namespace orv::win
