#include "control/misc.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace orv {

FixedFileInfo ReadFixedFileInfo(const std::string& fileName) {
    FixedFileInfo info;
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(fileName.c_str(), &handle);
    if (size == 0) return info;
    if (size > 64000) size = 64000;
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(fileName.c_str(), 0, size, block.data())) return info;
    void* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", &fixed, &length) || !fixed) return info;
    std::memcpy(&info, fixed, length < sizeof(info) ? length : sizeof(info));
    return info;
}

// The control's own library, whose folder name may hold any character.
FixedFileInfo ReadFixedFileInfo(const std::wstring& fileName) {
    FixedFileInfo info;
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(fileName.c_str(), &handle);
    if (size == 0) return info;
    if (size > 64000) size = 64000;
    std::vector<char> block(size);
    if (!GetFileVersionInfoW(fileName.c_str(), 0, size, block.data())) return info;
    void* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", &fixed, &length) || !fixed) return info;
    std::memcpy(&info, fixed, length < sizeof(info) ? length : sizeof(info));
    return info;
}

std::string VersionWordToText(uint32_t word) {
    return std::to_string(word >> 16) + "." + std::to_string(word & 0xFFFF);
}

}  // namespace orv
