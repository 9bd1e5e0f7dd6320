// A test host for the hand-off: a program of its own that loads the copy of OrvaneCtl.ocx in
// its own folder, listens for UpdateInstalled, and on its first start downloads the package
// and hands it off. Arguments: MODE PORT PATH TIMEOUT [anything, kept for the restart].
//   handoff   hand off with Restart, then end        once   the same without Restart
//   stay      hand off, then try to write and replace the package and keep running past the
//             hand-off's time-out                    change  change the package through a
//             program outside Wine, then hand off    listen  only listen
// Every step is a line of the log ORV_HANDOFF_LOG (tests/support/line_log.h).
#include <windows.h>

#include <string>

#include "common/win/system.h"
#include "tests/com/host.h"
#include "tests/support/files.h"
#include "tests/support/line_log.h"

namespace orv::test {
namespace {

std::string log;

void Note(const std::string& text) {
    AppendLine(log, text);
}

template <class T>
T* Create(const std::wstring& library) {
    using GetClass = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const HMODULE module = LoadLibraryW(library.c_str());
    const auto get = module ? reinterpret_cast<GetClass>(reinterpret_cast<void*>(
                                  GetProcAddress(module, "DllGetClassObject")))
                            : nullptr;
    IClassFactory* factory = nullptr;
    T* control = nullptr;
    if (get &&
        SUCCEEDED(get(CLSID_Orvane, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
        factory->CreateInstance(nullptr, IID__Orvane4, reinterpret_cast<void**>(&control));
        factory->Release();
    }
    return control;
}

BSTR B(const std::string& s) {
    return SysAllocString(win::AnsiToWide(s).c_str());
}

// Changes the held package behind Windows' back, through a program outside Wine.
bool ChangeOutsideWine(const std::string& package) {
    std::string unix = package.substr(2);  // Z:\dir\file -> /dir/file
    for (char& c : unix) c = c == '\\' ? '/' : c;
    std::wstring command = L"sh -c \"printf X >> '" + win::AnsiToWide(unix) + L"'\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi))
        return false;
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

int Run(int argc, char** argv) {
    log = Env("ORV_HANDOFF_LOG");
    Note("start " + win::WideToAnsi(GetCommandLineW()));
    if (argc < 5) return 2;
    const std::string mode = argv[1];
    const bool first = ReadAll(log).find(" start ") == ReadAll(log).rfind(" start ");
    OleInitialize(nullptr);
    const std::wstring folder = win::ModuleFolderW();
    _Orvane4* ctl = Create<_Orvane4>(folder + L"\\OrvaneCtl.ocx");
    if (!ctl) return 3;
    EventSink sink;
    bool received = false, ended = false;
    sink.onEvent = [&](const Event& e, DISPPARAMS*) {
        if (e.id == DISPID_ORV_UPDATEINSTALLED)
            Note("installed " + win::WideToAnsi(e.args[0]) + " " + win::WideToAnsi(e.args[1]));
        if (e.id == DISPID_ORV_UPDATERECEIVED) received = true;
        if (e.id == DISPID_ORV_CONNECTIONERROR || e.id == DISPID_ORV_INFORECEIVED) ended = true;
    };
    Connect(ctl, DIID___Orvane, static_cast<IDispatch*>(&sink));
    ctl->put_RemoteHost(B("127.0.0.1"));
    ctl->put_RemotePort(static_cast<short>(atoi(argv[2])));
    ctl->put_RemotePath(B(argv[3]));
    ctl->put_HandOffTimeout(atoi(argv[4]));
    PumpFor(1200);  // UpdateInstalled, when a hand-off recorded an outcome for this source
    if (mode != "listen" && first) {
        ORVANEERROR r = ORV_ERROR_SUCCESS;
        ctl->CheckUpdate(&r);
        PumpUntil([&] { return ended; }, 10000);
        const std::string downloads = Env("ORV_HANDOFF_DOWNLOADS");
        BSTR d = B(downloads), f = B("");
        ctl->ReceiveUpdate(d, f, &r);
        PumpUntil([&] { return received; }, 10000);
        SysFreeString(d);
        SysFreeString(f);
        const std::string package = downloads + "\\setup.exe";
        if (mode == "change") Note("changed " + std::to_string(ChangeOutsideWine(package)));
        LONG result = 0;
        BSTR params = B("");
        ctl->HandOffUpdate(params, mode == "once" ? VARIANT_FALSE : VARIANT_TRUE, &result);
        SysFreeString(params);
        Note("handoff " + std::to_string(result));
        if (mode == "stay") {
            const HANDLE w = CreateFileA(package.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, 0, nullptr);
            Note("write " + std::to_string(w == INVALID_HANDLE_VALUE ? GetLastError() : 0));
            if (w != INVALID_HANDLE_VALUE) CloseHandle(w);
            const std::string other = downloads + "\\other.exe";
            WriteAll(other, "MZ");
            const BOOL moved =
                MoveFileExA(other.c_str(), package.c_str(), MOVEFILE_REPLACE_EXISTING);
            Note("replace " + std::to_string(moved ? 0 : GetLastError()));
            PumpFor(static_cast<DWORD>(atoi(argv[4])) * 1000 + 2500);
        }
    }
    ctl->Release();
    OleUninitialize();
    Note("exit");
    return 0;
}

}  // namespace
}  // namespace orv::test

int main(int argc, char** argv) {
    return orv::test::Run(argc, argv);
}
