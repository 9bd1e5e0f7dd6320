#include "tests/load/load_util.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <vector>

#include "tests/support/samples.h"

namespace orv::test {

std::string NginxPort() {
    return Env("ORV_NGINX_PORT");
}

std::string WebRoot() {
    const std::string root = Env("ORV_WEBROOT");
    return root.empty() ? root : WinPath(root);
}

std::string ScratchFolder(const std::string& name) {
    std::string folder = WinPath(Env("ORV_BINARY_DIR")) + "\\load";
    CreateDirectoryA(folder.c_str(), nullptr);
    folder += "\\" + name;
    CreateDirectoryA(folder.c_str(), nullptr);
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileA((folder + "\\" + found.cFileName).c_str());
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    return folder;
}

std::string InfoFile(const MakerFields& fields) {
    return ScrambleText(BuildPlainText(fields), kFileKey);
}

std::wstring RecordText(const MakerFields& f) {
    std::string version = f.VersionParts[0];
    for (int i = 1; i < 4; ++i) version += "." + f.VersionParts[i];
    const std::string text = f.Name + "|" + version + "|" + f.Month + "/" + f.Day + "/" + f.Year +
                             "|" + f.Comments + "|" + f.PackageFile + "|" +
                             std::to_string(f.PackageSize);
    return std::wstring(text.begin(), text.end());
}

namespace {

HRESULT PutText(_Orvane* control, HRESULT (STDMETHODCALLTYPE _Orvane::*put)(BSTR),
                const std::string& text) {
    const std::wstring wide(text.begin(), text.end());
    BSTR b = SysAllocString(wide.c_str());
    const HRESULT hr = (control->*put)(b);
    SysFreeString(b);
    return hr;
}

}  // namespace

HRESULT Configure(_Orvane* control, const std::string& port, const std::string& remoteFile) {
    HRESULT hr = PutText(control, &_Orvane::put_RemoteHost, "127.0.0.1");
    if (SUCCEEDED(hr)) hr = control->put_RemotePort(std::atol(port.c_str()));
    if (SUCCEEDED(hr)) hr = PutText(control, &_Orvane::put_RemotePath, "/");
    if (SUCCEEDED(hr)) hr = PutText(control, &_Orvane::put_RemoteFile, remoteFile);
    return hr;
}

namespace {

// One entry of the system's handle table (NtQuerySystemInformation class 16).
struct SystemHandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    void* object;
    ACCESS_MASK access;
};
struct SystemHandleTable {
    ULONG count;
    SystemHandleEntry entries[1];
};
constexpr auto kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

// This process's entries in the system's handle table. GetProcessHandleCount answers 0
// under Wine, whose handle table is kept by the wineserver and listed this way.
DWORD OpenHandles() {
    std::vector<unsigned char> buffer(1 << 16);
    for (int attempt = 0; attempt < 8; ++attempt) {
        ULONG needed = 0;
        const NTSTATUS status = NtQuerySystemInformation(
            kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch) {
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status < 0) return 0;
        const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
        const auto* entries = reinterpret_cast<const SystemHandleEntry*>(
            buffer.data() + offsetof(SystemHandleTable, entries));
        const DWORD self = GetCurrentProcessId();
        DWORD mine = 0;
        for (ULONG i = 0; i < count; ++i)
            if (entries[i].ownerPid == self) ++mine;
        return mine;
    }
    return 0;
}

}  // namespace

ProcessCounters Counters() {
    ProcessCounters c;
    if (!GetProcessHandleCount(GetCurrentProcess(), &c.handles) || c.handles == 0)
        c.handles = OpenHandles();
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) {
        c.workingSet = pmc.WorkingSetSize;
        c.pagefileUsage = pmc.PagefileUsage;
    }
    return c;
}

}  // namespace orv::test
