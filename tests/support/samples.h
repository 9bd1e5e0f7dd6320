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

}  // namespace orv::test
