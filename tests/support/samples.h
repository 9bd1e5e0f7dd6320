// Sample update information records and the numbers of the file format, shared by the tests
// of every build (header only, portable). The numbers are written here rather than taken from
// the product's headers: a product constant changed by mistake must make a test fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/updateinfo/updateinfo.h"

namespace orv::test {

// The information key every .orv file is scrambled with.
inline constexpr int16_t kFileKey = 4729;
// The longest plain text a file may hold (the codec counts positions in 16 bits).
inline constexpr std::size_t kLongestText = 32767;

// The record most tests write and read: an empty fourth version part, comments over two
// lines, a package of 512 KiB.
inline MakerFields ExampleRecord() {
    MakerFields f;
    f.Name = "Editor";
    f.VersionParts = {"2", "1", "0", ""};
    f.Month = "07";
    f.Day = "04";
    f.Year = "2003";
    f.Comments = "Fixes the print preview.\r\nFaster start.";
    f.PackageFile = "edsetup.exe";
    f.PackageSize = 524288;
    return f;
}

// The bytes of an update information file holding `fields`: the plain text, scrambled.
inline std::string FileBytes(const MakerFields& fields) {
    return ScrambleText(BuildPlainText(fields), kFileKey);
}

// Bytes without a period, every byte value among them: a piece delivered twice, dropped or out
// of order shows in a comparison.
inline std::string NoiseBytes(std::size_t size, uint32_t seed) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>((x >> 16) ^ i);
    }
    return s;
}

}  // namespace orv::test
