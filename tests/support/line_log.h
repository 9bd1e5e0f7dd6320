// A log of lines that several processes append to (test hosts, test installers, the test
// itself), each line "<milliseconds since 1601> <text>", so a test can order and time what
// happened in other processes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace orv::test {

inline int64_t NowMs() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return static_cast<int64_t>(
        (static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) / 10000);
}

// Appends one line; every process may have the file open at the same time.
inline void AppendLine(const std::string& path, const std::string& text) {
    const HANDLE f = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    const std::string line = std::to_string(NowMs()) + " " + text + "\n";
    DWORD written = 0;
    WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(f);
}

}  // namespace orv::test
