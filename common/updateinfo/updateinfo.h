// The update information record and its file codec, shared by the control and the maker.
// Portable: no <windows.h>. Texts are byte strings, one byte per character of the system
// ANSI code page.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// The information key both deliverables pass to ScrambleText.
inline constexpr int16_t kInformationKey = 4729;

// The codec counts positions in a 16-bit signed integer: no plain text may be longer.
inline constexpr std::size_t kMaxInfoTextLength = 32767;

// The decoded update information record.
struct UpdateInfo {
    std::string Name;
    std::string Version;
    std::string ReleaseDate;
    std::string Description;
    std::string PackageFile;
    int32_t PackageSize = 0;
    std::string Reserved1;
    std::string Reserved2;

    bool operator==(const UpdateInfo&) const = default;
};

// The runtime's standard single-precision pseudo-random generator: a 24-bit linear
// congruential state. A negative argument re-seeds from the argument's float bits.
class RuntimeRandom {
   public:
    // Re-seeds from `seed` (as the runtime does for a negative argument), advances once and
    // returns that value.
    float Reseed(float seed);
    // Advances and returns the next value in [0, 1).
    float Next();
    // Advances and returns floor(value * 256), the byte the codec XORs with.
    uint8_t NextMaskByte();
    uint32_t State() const { return state_; }

   private:
    void Advance();
    uint32_t state_ = 0x50000;
};

// Scrambles a plain text or unscrambles a scrambled one (the same operation). The output
// has the same length; each byte depends only on its position and the key.
std::string ScrambleText(std::string_view text, int16_t key);

// The six fields of a plain text as the maker's form holds them.
struct MakerFields {
    std::string Name;
    std::array<std::string, 4> VersionParts;  // major, minor, release, fourth (may be empty)
    std::string Month, Day, Year;             // as written: "07", "04", "2003"
    std::string Comments;
    std::string PackageFile;
    int32_t PackageSize = 0;
};

// Builds the plain text: name|major.minor.release.fourth|mm/dd/yyyy|comments|package|size.
// Fields are taken as they stand.
std::string BuildPlainText(const MakerFields& f);

// Splits an unscrambled body the control's way: fields 1-5 as text, field 6 as a 32-bit
// number. Missing fields, and a sixth field that is not a number, leave `info` as it was;
// Reserved1/Reserved2 are never touched.
void SplitControlFields(std::string_view plain, UpdateInfo& info);

// Splits `text` on every occurrence of `sep` (an empty text gives one empty piece).
std::vector<std::string> SplitAll(std::string_view text, char sep);

// Converts a whole text to a 32-bit signed number as the runtime's string-to-integer
// conversion does for the texts this format holds: optional surrounding spaces, an optional
// sign, decimal digits. Returns nothing for anything else or a value outside the range.
std::optional<int32_t> ParseInt32(std::string_view text);

// The maker's reading of a file: what could be filled, and whether anything was missing.
struct MakerLoad {
    std::string Name;
    std::array<std::string, 4> VersionParts;
    std::optional<int> Month, Day, Year;  // set only when in the lists' ranges
    std::string Comments;
    std::string PackageFile;
    std::string SizeText;  // field 6 unchanged (what Text8 shows)
    int32_t PackageSize = 0;
    bool Complete = true;  // false when any field, part or value was missing or out of range
};

// Splits an unscrambled text the maker's way (field 2 on ".", field 3 on "/").
MakerLoad SplitMakerFields(std::string_view plain);

// A program's version as its About box and User-Agent show it: "v." major "." minor with at
// least two digits "." revision with at least four digits, e.g. v.1.00.0062.
std::string FormatVersionLabel(unsigned major, unsigned minor, unsigned revision);

}  // namespace orv
