#include "control/elevation.h"

#include <windows.h>

#include <atomic>

#include "common/win/system.h"

namespace orv {
namespace {

// The folder of `file` (made absolute against the current folder), without the final
// backslash; empty when the name can't be resolved.
std::string FolderOf(const std::string& file) {
    const DWORD need = GetFullPathNameA(file.c_str(), 0, nullptr, nullptr);
    if (need == 0) return {};
    std::string full(need, '\0');
    char* name = nullptr;
    const DWORD got = GetFullPathNameA(file.c_str(), need, full.data(), &name);
    if (got == 0 || got >= need) return {};
    full.resize(name ? static_cast<std::size_t>(name - full.data()) : got);
    while (full.size() > 3 && (full.back() == '\\' || full.back() == '/')) full.pop_back();
    return full;
}

}  // namespace

bool FolderWritable(const std::string& folder) {
    if (folder.empty()) return false;
    static std::atomic<unsigned> counter{0};
    const std::string base = folder + (folder.back() == '\\' ? "" : "\\") + "orv-probe-" +
                             std::to_string(GetCurrentProcessId()) + "-";
    // A name taken by chance is tried again under the next number; a few tries are enough.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string name = base + std::to_string(GetTickCount()) + "-" +
                                 std::to_string(counter.fetch_add(1)) + ".tmp";
        HANDLE h = CreateFileA(
            name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
            FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

bool ElevationWanted(int32_t setting, const std::string& installedFile) {
    if (setting == 1) return true;
    if (setting != 2) return false;
    const std::string file = installedFile.empty() ? win::ModulePath(nullptr) : installedFile;
    return !FolderWritable(FolderOf(file));
}

}  // namespace orv
