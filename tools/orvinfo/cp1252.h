// Windows-1252 <-> UTF-8, for the publisher tools that move texts between the update
// information file (one byte per character of Windows-1252) and UTF-8 command lines,
// files and terminals. Portable: no <windows.h>.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orv::text {

// The Unicode character of a Windows-1252 byte. The five bytes without a character
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) give the C1 control of the same number, as the platform's
// own conversion does, so that no byte is lost.
char32_t Cp1252ToCodePoint(uint8_t byte);

// The Windows-1252 byte of a character; nothing when the code page has none (including the
// C1 controls U+0080 to U+009F).
std::optional<uint8_t> CodePointToCp1252(char32_t cp);

// Converts Windows-1252 bytes to UTF-8. Never fails.
std::string Cp1252ToUtf8(std::string_view bytes);

// Why a UTF-8 text could not be converted.
struct ConversionError {
    bool invalidUtf8 = false;  // otherwise: `codePoint` has no byte in Windows-1252
    char32_t codePoint = 0;
};

// Converts UTF-8 to Windows-1252. Refuses malformed UTF-8 (overlong forms, surrogates, values
// above U+10FFFF, cut sequences) and characters the code page cannot represent.
std::optional<std::string> Utf8ToCp1252(std::string_view utf8, ConversionError* error = nullptr);

// Appends the UTF-8 form of a character (which must be a Unicode scalar value).
void AppendUtf8(std::string& out, char32_t cp);

// True when `text` is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

}  // namespace orv::text
