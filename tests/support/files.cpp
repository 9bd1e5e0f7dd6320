#include "tests/support/files.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

namespace orv::test {

std::string Env(const char* name) {
    char buffer[4096] = {};
    const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

int EnvPort(const char* name) {
    return std::atoi(Env(name).c_str());
}

std::string WinPath(const std::string& unixPath) {
    std::string s = "Z:" + unixPath;
    std::replace(s.begin(), s.end(), '/', '\\');
    while (s.size() > 3 && s.back() == '\\') s.pop_back();
    return s;
}

bool WriteAll(const std::string& path, const std::string& bytes) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        DWORD written = 0;
        ok = WriteFile(f, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                       nullptr) &&
             written > 0;
        done += written;
    }
    CloseHandle(f);
    return ok;
}

std::string ReadAll(const std::string& path) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return {};
    std::string bytes;
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n > 0) bytes.append(buffer, n);
    CloseHandle(f);
    return bytes;
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int64_t FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::vector<std::string> FolderEntries(const std::string& folder, const char* pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\" + pattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = data.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return names;
}

void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            const std::string path = folder + "\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

void CreateFolders(const std::string& folder) {
    for (std::size_t at = folder.find('\\', 3); at != std::string::npos;
         at = folder.find('\\', at + 1)) {
        CreateDirectoryA(folder.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryA(folder.c_str(), nullptr);
}

std::string EmptyFolder(const std::string& folder) {
    RemoveTree(folder);
    CreateFolders(folder);
    return folder;
}

std::vector<std::string> TempFiles(const std::string& folder) {
    return FolderEntries(folder, "orv*.tmp");
}

void LockFolder(const std::string& folder, bool locked) {
    std::string path = folder.substr(2);  // Z:\... is /...
    std::replace(path.begin(), path.end(), '\\', '/');
    const std::string steps = locked ? "chmod 555 '" + path + "'; chattr +i '" + path + "'"
                                     : "chattr -i '" + path + "'; chmod 755 '" + path + "'";
    // Wine starts a Unix program given by its Unix path, and returns before it has run.
    WinExec(("/bin/sh -c \"" + steps + " 2>/dev/null\"").c_str(), SW_HIDE);
    const std::string probe = folder + "\\lock-probe";
    for (int i = 0; i < 200; ++i, Sleep(50)) {
        const bool writable = WriteAll(probe, "");
        DeleteFileA(probe.c_str());
        if (writable != locked) return;
    }
}

}  // namespace orv::test
