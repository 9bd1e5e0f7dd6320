// Files and paths for the Windows test programs: one set for every test folder (end to end,
// load, GUI). Paths are Windows paths; Unix paths from the environment go through WinPath.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orv::test {

// An environment variable, or empty.
std::string Env(const char* name);
// An environment variable read as a number (a port), or 0.
int EnvPort(const char* name);
// The Windows path Wine shows for a Unix path (drive Z: is the root), without a trailing
// backslash.
std::string WinPath(const std::string& unixPath);

// The whole file written with `bytes` (created or replaced); false when that failed.
bool WriteAll(const std::string& path, const std::string& bytes);
// The whole file, or empty when it cannot be read.
std::string ReadAll(const std::string& path);
bool Exists(const std::string& path);
int64_t FileSize(const std::string& path);  // -1 when absent
// The names in a folder matching `pattern`, without "." and "..".
std::vector<std::string> FolderEntries(const std::string& folder, const char* pattern = "*");
// Removes the folder with everything in it (read-only files included).
void RemoveTree(const std::string& folder);
// Creates `folder` and every missing folder above it.
void CreateFolders(const std::string& folder);
// `folder` created empty (emptied first when it exists, folders above it created); returns it.
std::string EmptyFolder(const std::string& folder);
// The temporary files a download leaves in `folder` (orv*.tmp).
std::vector<std::string> TempFiles(const std::string& folder);
// Makes a folder on drive Z: refuse new files (`locked`: chmod 555, and the immutable mark for
// root, which ignores modes) or take them again.
void LockFolder(const std::string& folder, bool locked);

}  // namespace orv::test
