// HandOffUpdate and UpdateInstalled: the control's side of the hand-off. The hand-off program
// (control/handoff/handoff_main.cpp) travels inside the library as a resource; each hand-off
// writes it into a fresh folder under the user's temporary folder and starts it out of the
// host's job, handing it the host process, the held package and an order (handoff_order.h).
// So a host ships nothing more, and no file of the application's folder is held while the
// package runs: the library itself is not in use by the hand-off.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/win/system.h"
#include "control/elevation.h"
#include "control/handoff/handoff_order.h"
#include "control/handoff/package_check.h"
#include "control/module.h"
#include "control/orvane_control.h"
#include "control/resource.h"
#include "control/trust/trust.h"

namespace orv {
namespace {

// What a control looks up once the host has set its source: this long after the last
// setting of RemoteHost, RemotePath or RemoteFile (or the control's creation or loading).
constexpr uint32_t kInstalledDelayMs = 300;

constexpr wchar_t kFolderPrefix[] = L"OrvaneHandOff-";
constexpr wchar_t kProgramName[] = L"OrvaneHandOff.exe";

// The folder the process started in, taken when the library is loaded (a host usually loads
// it early; it is the folder the restarted host gets).
std::wstring CurrentFolder() {
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (n >= buffer.size()) {
        buffer.resize(n + 1);
        n = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    }
    return n && n < buffer.size() ? std::wstring(buffer.data(), n) : std::wstring();
}
const std::wstring startFolder = CurrentFolder();

std::wstring TempFolder() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    return n && n <= MAX_PATH ? std::wstring(buffer, n) : std::wstring();
}

// What earlier hand-offs could not remove themselves (a folder, or the program they moved
// out of it before they ended): whatever can go now goes. A running hand-off's program
// cannot, nor can its folder while the program is in it.
void SweepEarlierHandOffs(const std::wstring& temp) {
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileW((temp + kFolderPrefix + L"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring path = temp + found.cFileName;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            DeleteFileW(path.c_str());
        } else {
            DeleteFileW((path + L"\\" + kProgramName).c_str());
            RemoveDirectoryW(path.c_str());
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

// A new folder of our own under `temp`.
std::wstring FreshFolder(const std::wstring& temp) {
    static LONG counter = 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
        wchar_t name[64];
        std::swprintf(name, 64, L"%ls%lx-%lx-%lx", kFolderPrefix, GetCurrentProcessId(),
                      GetTickCount(), static_cast<unsigned long>(InterlockedIncrement(&counter)));
        const std::wstring folder = temp + name;
        if (CreateDirectoryW(folder.c_str(), nullptr)) return folder;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return {};
}

HANDLE Inheritable(HANDLE source, DWORD access, DWORD options) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &copy, access, TRUE,
                         options))
        return nullptr;
    return copy;
}

// Writes the program out and starts it with `order` (whose handle fields are filled here):
// 0, or the HANDOFFERROR code of what failed. Nothing is left behind when it fails.
LONG StartHandOff(handoff::Order order, HANDLE package) {
    const HRSRC found = FindResourceW(ModuleInstance(), MAKEINTRESOURCEW(IDR_HANDOFF),
                                      MAKEINTRESOURCEW(10));  // RCDATA
    const HGLOBAL loaded = found ? LoadResource(ModuleInstance(), found) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = found ? SizeofResource(ModuleInstance(), found) : 0;
    if (!bytes || size == 0) return HANDOFF_ERROR_NOPROGRAM;

    const std::wstring temp = TempFolder();
    if (temp.empty()) return HANDOFF_ERROR_CANNOTSTART;
    SweepEarlierHandOffs(temp);
    const std::wstring folder = FreshFolder(temp);
    if (folder.empty()) return HANDOFF_ERROR_CANNOTSTART;
    const std::wstring program = folder + L"\\" + kProgramName;
    {
        unique_file out(CreateFileW(program.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!out || !WriteFile(out.get(), bytes, size, &written, nullptr) || written != size) {
            out.reset();
            DeleteFileW(program.c_str());
            RemoveDirectoryW(folder.c_str());
            return HANDOFF_ERROR_CANNOTSTART;
        }
    }
    // From here the program's file goes with its last handle: ours when the start fails, the
    // hand-off's when it ends.
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    unique_file self(CreateFileW(program.c_str(), GENERIC_READ | DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_DELETE, &inherit, OPEN_EXISTING,
                                 FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!self) DeleteFileW(program.c_str());
    unique_handle host(
        Inheritable(GetCurrentProcess(), SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, 0));
    unique_handle held(Inheritable(package, 0, DUPLICATE_SAME_ACCESS));
    order.hostProcess = reinterpret_cast<uintptr_t>(host.get());
    order.package = reinterpret_cast<uintptr_t>(held.get());
    order.self = reinterpret_cast<uintptr_t>(self.get());
    const std::string text = handoff::EncodeOrder(order);
    unique_handle section(CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0,
                                             static_cast<DWORD>(text.size()), nullptr));
    bool written = false;
    if (section) {
        if (void* view = MapViewOfFile(section.get(), FILE_MAP_WRITE, 0, 0, text.size())) {
            std::copy(text.begin(), text.end(), static_cast<char*>(view));
            UnmapViewOfFile(view);
            written = true;
        }
    }
    LONG result = HANDOFF_ERROR_CANNOTSTART;
    if (self && host && held && written) {
        // Only these handles go to the hand-off: an inheritable handle of the host's own (a
        // log file, a pipe) would otherwise stay open in it while the installer runs.
        HANDLE handles[] = {host.get(), held.get(), self.get(), section.get()};
        SIZE_T attrSize = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &attrSize);
        std::vector<char> attrBuffer(attrSize);
        auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrBuffer.data());
        STARTUPINFOEXW si = {};
        si.StartupInfo.cb = sizeof si;
        if (InitializeProcThreadAttributeList(attrs, 1, 0, &attrSize) &&
            UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                      sizeof handles, nullptr, nullptr)) {
            si.lpAttributeList = attrs;
            std::wstring command = L"\"" + program + L"\" " +
                                   std::to_wstring(reinterpret_cast<uintptr_t>(section.get())) +
                                   L" " + std::to_wstring(text.size());
            PROCESS_INFORMATION pi = {};
            if (CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                               EXTENDED_STARTUPINFO_PRESENT | CREATE_BREAKAWAY_FROM_JOB, nullptr,
                               temp.c_str(), &si.StartupInfo, &pi)) {
                CloseHandle(pi.hThread);
                CloseHandle(pi.hProcess);
                result = 0;
            } else if (GetLastError() == ERROR_ACCESS_DENIED) {
                // The host's job lets no process break away from it. Only the start tells:
                // Wine answers a query of the process's own job without its breakaway flag.
                BOOL inJob = FALSE;
                if (IsProcessInJob(GetCurrentProcess(), nullptr, &inJob) && inJob)
                    result = HANDOFF_ERROR_NOBREAKAWAY;
            }
            DeleteProcThreadAttributeList(attrs);
        }
    }
    if (result != 0) {
        self.reset();
        DeleteFileW(program.c_str());
        RemoveDirectoryW(folder.c_str());
    }
    return result;
}

}  // namespace

STDMETHODIMP OrvaneControl::HandOffUpdate(BSTR parameters, VARIANT_BOOL restart, LONG* result) {
    RETURN_HR_IF_NULL(E_POINTER, result);
    return ComMethod([&] {
        session_->StartLog("HandOffUpdate");
        auto& log = session_->Log();
        // The package the last download delivered, as RunUpdate would start it.
        const std::string package = session_->DeliveredPackage();
        if (package.empty()) {
            log.Step("handoff", "refused: no download delivered a package (2)");
            *result = ORV_ERROR_SHELLFNF;
            return S_OK;
        }
        // Without a verified digest, the one of the file as the held handle reads it now:
        // nobody could write it since the download delivered it.
        const HANDLE file = session_->DeliveredFile();
        std::optional<handoff::PackageState> delivered = handoff::ReadPackageState(file);
        const std::optional<Sha256Digest>& verified = session_->DeliveredDigest();
        if (!delivered || (verified && !trust::DigestMatches(*verified, delivered->digest))) {
            // Changed since it was verified: neither this nor RunUpdate starts it.
            log.Step("handoff", "refused: \"" + package +
                                    "\" is no longer what the download delivered (-104)");
            session_->DropDelivery();
            *result = HANDOFF_ERROR_PACKAGECHANGED;
            return S_OK;
        }
        handoff::Order order;
        order.timeoutSeconds = props_.HandOffTimeout;
        order.elevate = ElevationWanted(props_.ElevateUpdate, props_.InstalledFile);
        order.restart = restart != VARIANT_FALSE;
        order.packageSize = delivered->size;
        order.digest = delivered->digest;
        order.sourceHost = props_.RemoteHost;
        order.sourcePath = props_.RemotePath;
        order.sourceFile = props_.RemoteFile;
        order.version = session_->CurrentInfo().ToUpdateInfo().Version;
        order.packagePath = package;
        const std::string params = ToAnsi(parameters);
        // The host's parameters, else UpdateParameters, else the release's own arguments.
        order.parameters = PackageParameters(params.empty() ? props_.UpdateParameters : params);
        order.packageFolder = package.substr(0, package.find_last_of('\\') + 1);
        order.restartProgram = win::WideToUtf8(win::ModulePathW());
        order.restartCommand = win::WideToUtf8(GetCommandLineW());
        order.restartFolder = win::WideToUtf8(startFolder);
        const std::string plan = "\"" + package + "\" with parameters \"" + order.parameters +
                                 "\"" + (order.elevate ? ", elevated" : "") +
                                 ", once the host ends" + " (waiting " +
                                 (order.timeoutSeconds ? std::to_string(order.timeoutSeconds) + " s"
                                                       : std::string("until it ends")) +
                                 (order.restart ? "), then the host starts again" : ")");
        *result = StartHandOff(std::move(order), file);
        log.Step("handoff", *result == 0
                                ? "handed off: runs " + plan
                                : "not started (" + std::to_string(*result) + "): " + plan);
        // Handed off, the package is the hand-off's: nothing here starts it a second time.
        if (*result == 0) session_->DropDelivery();
        return S_OK;
    });
}

void OrvaneControl::InstalledDue() {
    if (!UserMode()) return;
    const std::optional<dialog::UpdateMemory::Installed> outcome =
        session::SourceMemory(props_).TakeInstalled();
    if (!outcome) return;
    session_->StartLog("UpdateInstalled");
    session_->Log().Step("handoff", "the hand-off of version " + outcome->version + " ended with " +
                                        std::to_string(outcome->exitCode));
    VARIANTARG a[2];  // arguments go in reverse
    VariantInit(&a[0]);
    V_VT(&a[0]) = VT_I4;
    V_I4(&a[0]) = outcome->exitCode;
    VariantInit(&a[1]);
    V_VT(&a[1]) = VT_BSTR;
    V_BSTR(&a[1]) = ToBstr(outcome->version.c_str());
    FireEvent(DISPID_ORV_UPDATEINSTALLED, a, 2);
    VariantClear(&a[1]);
}

void OrvaneControl::WatchInstalled() {
    if (session_) session_->WatchInstalled(kInstalledDelayMs);
}

}  // namespace orv
