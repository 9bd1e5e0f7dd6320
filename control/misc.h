// Version-resource reading of module Misc: the fixed file-information record of a file.
#pragma once

#include <cstdint>
#include <string>

namespace orv {

// The fixed part of a version resource: 13 unsigned 32-bit words.
struct FixedFileInfo {
    uint32_t Signature = 0;
    uint32_t StrucVersion = 0;
    uint32_t FileVersionMS = 0;
    uint32_t FileVersionLS = 0;
    uint32_t ProductVersionMS = 0;
    uint32_t ProductVersionLS = 0;
    uint32_t FileFlagsMask = 0;
    uint32_t FileFlags = 0;
    uint32_t FileOS = 0;
    uint32_t FileType = 0;
    uint32_t FileSubtype = 0;
    uint32_t FileDateMS = 0;
    uint32_t FileDateLS = 0;
};
static_assert(sizeof(FixedFileInfo) == 52);

// The record of the named file; all zero when it has none or it can't be read.
FixedFileInfo ReadFixedFileInfo(const std::string& fileName);
FixedFileInfo ReadFixedFileInfo(const std::wstring& fileName);

// "high.low" of one version word, each half unsigned decimal.
std::string VersionWordToText(uint32_t word);

}  // namespace orv
