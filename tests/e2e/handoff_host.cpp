// A test host for the hand-off, which is also the test installer it hands off. As a host
// (MODE PORT PATH TIMEOUT [more, kept for the restart]) it loads the copy of OrvaneCtl.ocx in
// its own folder, logs UpdateInstalled, and on its first start downloads the package into
// ..\downloads and hands it off: "handoff" with Restart; "once" without; "stay" then tries to
// write and replace the package and runs past the hand-off's time-out; "change" first changes
// the package with a program outside Wine; "dialog" lets the automatic check's dialog hand it
// off (it presses Install now, and logs CloseRequested but stays a while). As the installer
// ("install"), it checks that the
// host is gone, overwrites the host's program and OrvaneCtl.ocx (in ..\app) with the build's
// and exits with 3010. Each step is a line "<GetTickCount> <text>" of the log ORV_HANDOFF_LOG.
#include <windows.h>

#include <direct.h>
#include <process.h>

#include <cstdio>
#include <string>

#include "common/win/system.h"
#include "tests/com/host.h"
#include "tests/support/files.h"

namespace orv::test {
namespace {

void Log(const std::string& text) {
    if (FILE* f = std::fopen(Env("ORV_HANDOFF_LOG").c_str(), "ab")) {
        std::fprintf(f, "%lu %s\n", GetTickCount(), text.c_str());
        std::fclose(f);
    }
}

int Install() {
    // The host holds its mutex as long as it runs.
    const bool running = OpenMutexA(SYNCHRONIZE, FALSE, "orv_handoff_host") != nullptr;
    int copied = 0;
    for (const std::string name : {"\\handoff_host.exe", "\\OrvaneCtl.ocx"})
        copied += CopyFileA((WinPath(Env("ORV_BINARY_DIR")) + "\\bin" + name).c_str(),
                            (win::ModuleFolder() + "\\..\\app" + name).c_str(), FALSE);
    Log(std::string("installer ") + (running ? "host-running" : "host-gone") + " copied " +
        std::to_string(copied));
    return 3010;
}

// The dialog when it shows its offer: its Skip button (1205) shows on that page only.
BOOL CALLBACK FindOffer(HWND h, LPARAM out) {
    const HWND skip = GetDlgItem(h, 1205);
    if (!skip || !IsWindowVisible(skip)) return TRUE;
    *reinterpret_cast<HWND*>(out) = h;
    return FALSE;
}

// Presses the offer's Install now in the dialog of the automatic check, once it shows (a
// thread timer: it runs inside the dialog's own message loop).
void CALLBACK PressInstall(HWND, UINT, UINT_PTR id, DWORD) {
    HWND dialog = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindOffer, reinterpret_cast<LPARAM>(&dialog));
    if (!dialog) return;
    KillTimer(nullptr, id);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
}

int Run(int argc, char** argv) {
    if (argc < 5) return argc == 2 && std::string(argv[1]) == "install" ? Install() : 2;
    CreateMutexA(nullptr, TRUE, "orv_handoff_host");
    const bool first = ReadAll(Env("ORV_HANDOFF_LOG")).find(" start ") == std::string::npos;
    Log("start " + win::WideToAnsi(GetCommandLineW()) + " in " + _getcwd(nullptr, 0));
    const std::string mode = argv[1];
    OleInitialize(nullptr);
    const HMODULE ocx = LoadLibraryW((win::ModuleFolderW() + L"\\OrvaneCtl.ocx").c_str());
    const auto get = reinterpret_cast<decltype(&DllGetClassObject)>(
        reinterpret_cast<void*>(GetProcAddress(ocx, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    _Orvane4* ctl = nullptr;
    if (!get || FAILED(get(CLSID_Orvane, IID_IClassFactory, reinterpret_cast<void**>(&factory))) ||
        FAILED(factory->CreateInstance(nullptr, IID__Orvane4, reinterpret_cast<void**>(&ctl))))
        return 3;
    factory->Release();
    EventSink sink;
    Connect(ctl, DIID___Orvane, static_cast<IDispatch*>(&sink));
    const auto text = [](const std::string& s) {
        return SysAllocString(win::AnsiToWide(s).c_str());
    };
    ctl->put_RemoteHost(text("127.0.0.1"));
    ctl->put_RemotePort(static_cast<short>(atoi(argv[2])));
    ctl->put_RemotePath(text(argv[3]));
    ctl->put_HandOffTimeout(atoi(argv[4]));
    const auto seen = [&](DISPID id) { return !sink.Of(id).empty(); };
    PumpFor(1000);  // UpdateInstalled comes within a second when an outcome waits
    for (const Event& e : sink.Of(DISPID_ORV_UPDATEINSTALLED))
        Log("installed " + win::WideToAnsi(e.args[0]) + " " + win::WideToAnsi(e.args[1]));
    if (mode == "dialog" && first) {
        ctl->put_DialogHandOff(VARIANT_TRUE);
        ctl->put_UpdateParameters(text("install"));
        ctl->put_InstalledFile(text(WinPath(Env("ORV_BINARY_DIR")) + "\\bin\\ver_1_2_0_0.dll"));
        ctl->put_DownloadFolder(text(win::ModuleFolder() + "\\..\\downloads"));
        SetTimer(nullptr, 0, 200, PressInstall);
        ctl->put_AutoCheckInterval(24);  // its check comes a few seconds after this
        PumpUntil([&] { return seen(DISPID_ORV_CLOSEREQUESTED); }, 30000);
        Log(seen(DISPID_ORV_CLOSEREQUESTED) ? "close-requested" : "no close-requested");
        PumpFor(2000);  // a host that does not close at once
    } else if (mode != "listen" && first) {
        ORVANEERROR r = ORV_ERROR_SUCCESS;
        ctl->CheckUpdate(&r);
        PumpUntil([&] { return seen(DISPID_ORV_INFORECEIVED); }, 10000);
        const std::string downloads = win::ModuleFolder() + "\\..\\downloads",
                          package = downloads + "\\setup.exe";
        ctl->ReceiveUpdate(text(downloads), text(""), &r);
        PumpUntil([&] { return seen(DISPID_ORV_UPDATERECEIVED); }, 10000);
        if (mode == "change") {
            // Behind Windows' back: Wine starts a Unix program natively.
            std::string unix = package.substr(2);
            for (char& c : unix) c = c == '\\' ? '/' : c;
            const std::string script = "\"printf X >> '" + unix + "'\"";
            // Wine does not tell when a Unix program ends: wait for the byte itself (bounded).
            const int64_t before = FileSize(package);
            _spawnl(_P_WAIT, "Z:\\bin\\sh", "sh", "-c", script.c_str(), nullptr);
            for (int i = 0; i < 250 && FileSize(package) == before; ++i) Sleep(20);
        }
        LONG result = 0;
        ctl->HandOffUpdate(text("install"), mode == "once" ? VARIANT_FALSE : VARIANT_TRUE, &result);
        Log("handoff " + std::to_string(result));
        if (mode == "stay") {
            const HANDLE w = CreateFileA(package.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, 0, nullptr);
            const DWORD writeError = w == INVALID_HANDLE_VALUE ? GetLastError() : 0;
            WriteAll(downloads + "\\other.exe", "MZ");
            const BOOL moved = MoveFileExA((downloads + "\\other.exe").c_str(), package.c_str(),
                                           MOVEFILE_REPLACE_EXISTING);
            Log("write " + std::to_string(writeError) + " replace " +
                std::to_string(moved ? 0 : GetLastError()));
            PumpFor(static_cast<DWORD>(atoi(argv[4])) * 1000 + 2500);
        }
    }
    ctl->Release();
    Log("exit");
    return 0;
}

}  // namespace
}  // namespace orv::test

int main(int argc, char** argv) {
    return orv::test::Run(argc, argv);
}
