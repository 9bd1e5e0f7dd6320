// OrvaneHandOff.exe: the hand-off program the control writes into a fresh folder of the user's
// temporary folder and starts (see control/handoff_launch.cpp). It waits for the host process
// to end, checks that the package it holds is still what the download delivered, starts it
// (elevated when asked), waits for it, records its exit code under the source's key, starts
// the host again when asked, and removes its own file and folder. It holds no file of the
// application: its own folder is elsewhere, and its working folder is the temporary folder.
#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "common/win/system.h"
#include "control/OrvaneControl.h"
#include "control/dialog/update_memory.h"
#include "control/handoff/handoff_order.h"
#include "control/handoff/package_check.h"

namespace orv::handoff {
namespace {

HANDLE Handle(uint64_t value) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

// The order the control left in the section named on the command line: its handle and length.
std::optional<Order> ReadOrder() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return std::nullopt;
    std::optional<Order> order;
    if (argc == 3) {
        const HANDLE section = Handle(_wcstoui64(argv[1], nullptr, 10));
        const std::size_t length = static_cast<std::size_t>(_wcstoui64(argv[2], nullptr, 10));
        if (const void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, length)) {
            order = DecodeOrder(std::string_view(static_cast<const char*>(view), length));
            UnmapViewOfFile(view);
        }
        CloseHandle(section);
    }
    LocalFree(argv);
    return order;
}

// Starts the package and waits for it: its exit code, or the HANDOFFERROR code when it could
// not be started. A program started without a process to wait on counts as 0.
int32_t RunPackage(const Order& o) {
    const std::wstring file = win::AnsiToWide(o.packagePath);
    const std::wstring params = win::AnsiToWide(o.parameters);
    const std::wstring folder = win::AnsiToWide(o.packageFolder);
    SHELLEXECUTEINFOW run = {};
    run.cbSize = sizeof run;
    run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    run.lpVerb = o.elevate ? L"runas" : nullptr;
    run.lpFile = file.c_str();
    run.lpParameters = params.c_str();
    run.lpDirectory = folder.empty() ? nullptr : folder.c_str();
    run.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&run)) {
        return GetLastError() == ERROR_CANCELLED ? HANDOFF_ERROR_ELEVATIONDECLINED
                                                 : HANDOFF_ERROR_PACKAGENOTSTARTED;
    }
    if (!run.hProcess) return 0;
    WaitForSingleObject(run.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(run.hProcess, &code);
    CloseHandle(run.hProcess);
    return static_cast<int32_t>(code);
}

// Starts the host again as it was started: never elevated, since the hand-off runs with the
// host's own rights whatever the package asked for.
void Restart(const Order& o) {
    const std::wstring program = win::Utf8ToWide(o.restartProgram);
    std::wstring command = win::Utf8ToWide(o.restartCommand);
    const std::wstring folder = win::Utf8ToWide(o.restartFolder);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       folder.empty() ? nullptr : folder.c_str(), &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
}

// Removes the program's own folder, and its file as far as the system lets a running program
// do that. The folder can only go once the file is out of it: the file moves out through its
// own handle (a running program's file may be renamed, not deleted) to the temporary folder
// beside the folder, and goes with the last handle opened with FILE_FLAG_DELETE_ON_CLOSE,
// when the process ends. Whatever is still there is removed by the next hand-off's sweep.
void RemoveSelf(HANDLE self) {
    const std::wstring path = win::ModulePathW();
    const std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
    const std::wstring parent = folder.substr(0, folder.find_last_of(L'\\') + 1);
    SetCurrentDirectoryW(parent.c_str());
    const std::wstring outside = folder + L".exe";
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + outside.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->FileNameLength = static_cast<DWORD>(outside.size() * sizeof(wchar_t));
    std::copy(outside.begin(), outside.end(), rename->FileName);
    SetFileInformationByHandle(self, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()));
    RemoveDirectoryW(folder.c_str());
    CloseHandle(self);
}

int Main() {
    const std::optional<Order> order = ReadOrder();
    if (!order) return 1;
    const Order& o = *order;
    const HANDLE host = Handle(o.hostProcess);
    const HANDLE package = Handle(o.package);
    dialog::UpdateMemory memory(o.sourceHost, o.sourcePath, o.sourceFile);
    const DWORD wait =
        o.timeoutSeconds == 0 ? INFINITE : static_cast<DWORD>(o.timeoutSeconds) * 1000u;
    int32_t outcome = 0;
    const bool hostEnded = WaitForSingleObject(host, wait) == WAIT_OBJECT_0;
    if (!hostEnded) {
        outcome = HANDOFF_ERROR_HOSTSTILLRUNNING;
    } else if (!PackageIntact(package, PackageState{o.packageSize, o.digest})) {
        outcome = HANDOFF_ERROR_PACKAGECHANGED;
    } else {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        outcome = RunPackage(o);
    }
    CloseHandle(host);
    CloseHandle(package);
    memory.RecordInstalled({o.version, outcome});
    // The host comes back whatever the package did, but never while it still runs.
    if (o.restart && hostEnded) Restart(o);
    RemoveSelf(Handle(o.self));
    return 0;
}

}  // namespace
}  // namespace orv::handoff

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return orv::handoff::Main();
}
