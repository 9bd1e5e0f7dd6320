#include "control/misc.h"

#include <windows.h>

#include <cstring>

#include "common/win/system.h"

namespace orv {

FixedFileInfo ReadFixedFileInfo(const std::string& fileName) {
    FixedFileInfo info;
    static_assert(sizeof(FixedFileInfo) == sizeof(VS_FIXEDFILEINFO));
    if (const auto fixed = win::ReadFixedVersionInfo(fileName)) {
        std::memcpy(static_cast<void*>(&info), &*fixed, sizeof info);
    }
    return info;
}

// The control's own library, whose folder name may hold any character.
FixedFileInfo ReadFixedFileInfo(const std::wstring& fileName) {
    FixedFileInfo info;
    if (const auto fixed = win::ReadFixedVersionInfo(fileName)) {
        std::memcpy(static_cast<void*>(&info), &*fixed, sizeof info);
    }
    return info;
}

std::string VersionWordToText(uint32_t word) {
    return std::to_string(word >> 16) + "." + std::to_string(word & 0xFFFF);
}

}  // namespace orv
