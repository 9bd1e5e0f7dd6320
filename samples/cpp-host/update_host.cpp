// A minimal C++ host of the Orvane control: a console program that checks a web server for an
// update, downloads the package when the server has a newer version than a given program,
// starts it, and prints every event. It shows the three things every host does: create the
// control, connect an event sink, and pump messages while the transfer runs (events arrive
// through the message loop of the thread that created the control). Every call's HRESULT is
// checked; a failed one prints the control's description of the error (IErrorInfo) and ends
// the program.
//
//   update_host HOST PORT PATH FOLDER [PROGRAM]
//
// HOST is a host name or address without a port ("updates.example.com"); the port is PORT,
// 0 to 32767. The program ends as soon as the cycle's last event has come: ConnectionError,
// an HttpStatus other than 200, InfoReceived without a newer version, or UpdateReceived (after
// which it starts the package with RunUpdate). Exit status: 0 when the package was received and
// started (or no newer version is published), 1 on any failure, 2 on a usage error.
//
// Build it from the release package (in the folder holding README.txt):
//   i686-w64-mingw32-g++ -municode -static -Iinclude -o update_host.exe
//       samples/cpp-host/update_host.cpp include/OrvaneControl_i.c -lole32 -loleaut32 -luuid
// or with CMake and samples/cpp-host/CMakeLists.txt.
#include <windows.h>

#include <ocidl.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "OrvaneControl.h"  // generated from the type library: _Orvane3, UPDATEINFO, enumerations
#include "dispids.h"        // the dispatch ids of the control's members and events

namespace {

// Your publisher's public key: the one line of the NAME.pub file `orvinfo keygen -o NAME`
// wrote. With a key set the control accepts only update information signed with it (sign
// with `orvinfo sign`); empty here so that the sample also works with unsigned files.
const wchar_t kPublisherKey[] = L"";

// The command line your package takes for an unattended installation, given to RunUpdate.
const wchar_t kUpdateParameters[] = L"/quiet";

// How long the program waits for the cycle's last event. The control's own time-outs
// (ConnectTimeout 30 s, IdleTimeout 60 s) end a stalled transfer with ConnectionError 10060
// before this.
constexpr UINT kLongestWaitMs = 200000;

_Orvane3* g_updater = nullptr;
std::wstring g_folder;
std::wstring g_program;
int g_exitCode = 1;

void Done(int exitCode) {
    g_exitCode = exitCode;
    PostQuitMessage(exitCode);
}

std::wstring Text(BSTR b) {
    return b ? std::wstring(b, SysStringLen(b)) : std::wstring();
}

// Prints a failed call with the description the control left in the thread's error
// information, e.g. "CheckUpdate failed: 0x800a0006 RemotePort must be between 0 and 32767".
// Returns whether the call succeeded.
bool Succeeded(HRESULT hr, const wchar_t* call) {
    if (SUCCEEDED(hr)) return true;
    std::wstring description;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR text = nullptr;
        if (SUCCEEDED(info->GetDescription(&text))) description = Text(text);
        SysFreeString(text);
        info->Release();
    }
    std::fwprintf(stderr, L"%ls failed: 0x%08lx %ls\n", call, static_cast<unsigned long>(hr),
                  description.c_str());
    return false;
}

// A property put of text: the BSTR is the caller's, freed after the call.
HRESULT PutText(HRESULT (STDMETHODCALLTYPE _Orvane3::*put)(BSTR), const std::wstring& value) {
    BSTR b = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
    if (!b) return E_OUTOFMEMORY;
    const HRESULT hr = (g_updater->*put)(b);
    SysFreeString(b);
    return hr;
}

// The event sink: an IDispatch whose Invoke receives the control's events by dispatch id.
// Arguments arrive in reverse order (the last argument first): numbers as VT_I4, texts as
// VT_BSTR (owned by the control: read, don't free), InfoReceived's record as
// VT_BYREF|VT_RECORD (the control's own record, read with V_RECORD).
class Events final : public IDispatch {
   public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID___Orvane) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives as long as the program
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        auto arg = [&](UINT i) -> VARIANT& { return p->rgvarg[p->cArgs - 1 - i]; };
        switch (id) {
            case DISPID_ORV_HTTPSTATUS:
                std::wprintf(L"HttpStatus %ld %ls\n", V_I4(&arg(0)), Text(V_BSTR(&arg(1))).c_str());
                // Any other status is the transfer's last event.
                if (V_I4(&arg(0)) != 200) Done(1);
                break;
            case DISPID_ORV_INFORECEIVED:
                OnInfo(*static_cast<UPDATEINFO*>(V_RECORD(&arg(0))));
                break;
            case DISPID_ORV_RECEIVINGUPDATE:
                std::wprintf(L"ReceivingUpdate %ld bytes, %ld in all, %ld%%, %ld B/s\n",
                             V_I4(&arg(0)), V_I4(&arg(1)), V_I4(&arg(2)), V_I4(&arg(3)));
                break;
            case DISPID_ORV_UPDATERECEIVED:
                std::wprintf(L"UpdateReceived\n");
                OnReceived();
                break;
            case DISPID_ORV_CONNECTIONERROR:
                std::wprintf(L"ConnectionError %ld %ls\n", V_I4(&arg(0)),
                             Text(V_BSTR(&arg(1))).c_str());
                Done(1);
                break;
        }
        return S_OK;
    }

   private:
    // The package is in FOLDER and verified: start it. The shell starts the file the download
    // delivered; a result above 32 means it started.
    static void OnReceived() {
        BSTR parameters = SysAllocString(kUpdateParameters);
        LONG started = 0;
        const HRESULT hr = g_updater->RunUpdate(parameters, &started);
        SysFreeString(parameters);
        if (!Succeeded(hr, L"RunUpdate")) return Done(1);
        std::wprintf(L"RunUpdate: %ld\n", started);
        Done(started > 32 ? 0 : 1);
    }

    static void OnInfo(UPDATEINFO& info) {
        std::wprintf(L"InfoReceived: %ls %ls of %ls, package %ls (%ld bytes)\n",
                     Text(info.Name).c_str(), Text(info.Version).c_str(),
                     Text(info.ReleaseDate).c_str(), Text(info.PackageFile).c_str(),
                     info.PackageSize);
        if (!g_program.empty()) {
            BSTR program = SysAllocString(g_program.c_str());
            LONG compared = 0;
            const HRESULT hr = g_updater->CompareVersion(program, &compared);
            SysFreeString(program);
            if (!Succeeded(hr, L"CompareVersion")) return Done(1);
            std::wprintf(L"CompareVersion: %ld\n", compared);
            if (compared != VER_UPDATEISGREATER) {
                std::wprintf(L"no newer version\n");
                return Done(0);
            }
        }
        // Calling the control from inside its event is fine: the download starts at once.
        // A NULL BSTR is the empty text: the file keeps the name of Info.PackageFile.
        BSTR folder = SysAllocString(g_folder.c_str());
        ORVANEERROR result = ORV_ERROR_SUCCESS;
        const HRESULT hr = g_updater->ReceiveUpdate(folder, nullptr, &result);
        SysFreeString(folder);
        if (!Succeeded(hr, L"ReceiveUpdate")) return Done(1);
        std::wprintf(L"ReceiveUpdate: %d\n", static_cast<int>(result));
        if (result != ORV_ERROR_SUCCESS) Done(1);
    }
};

Events g_events;

// Points the control at the server and starts the check; false when it did not start (the
// reason is printed).
bool StartCheck(const wchar_t* host, const wchar_t* port, const wchar_t* path) {
    // RemoteHost takes the scheme and the host only; the port has a property of its own.
    if (!Succeeded(PutText(&_Orvane3::put_RemoteHost, std::wstring(L"http://") + host),
                   L"RemoteHost"))
        return false;
    if (!Succeeded(g_updater->put_RemotePort(_wtol(port)), L"RemotePort")) return false;
    if (!Succeeded(PutText(&_Orvane3::put_RemotePath, path), L"RemotePath")) return false;
    if (kPublisherKey[0] &&
        !Succeeded(PutText(&_Orvane3::put_PublisherKey, kPublisherKey), L"PublisherKey"))
        return false;

    // A failed HRESULT here (a port above 32767, a control character in a property) means
    // the check never started, and no event follows: don't wait for one.
    ORVANEERROR result = ORV_ERROR_SUCCESS;
    if (!Succeeded(g_updater->CheckUpdate(&result), L"CheckUpdate")) return false;
    std::wprintf(L"CheckUpdate: %d\n", static_cast<int>(result));
    // With ProxyMode 0 a connection that cannot even start (an unknown host) raises
    // ConnectionError inside the call, before it returns 0: its handler has posted the quit
    // message already, so the wait below ends at once.
    return result == ORV_ERROR_SUCCESS;
}

// Pumps messages until an event ends the cycle, or the longest wait has passed.
void WaitForTheCycle() {
    const UINT_PTR timer = SetTimer(nullptr, 0, kLongestWaitMs, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.wParam == timer) {
            std::wprintf(L"no outcome in time\n");
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    KillTimer(nullptr, timer);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) {
        std::fwprintf(stderr, L"usage: update_host HOST PORT PATH FOLDER [PROGRAM]\n");
        return 2;
    }
    g_folder = argv[4];
    if (argc > 5) g_program = argv[5];

    // A single-threaded apartment: events come through this thread.
    if (!Succeeded(CoInitialize(nullptr), L"CoInitialize")) return 1;
    const HRESULT created = CoCreateInstance(CLSID_Orvane, nullptr, CLSCTX_INPROC_SERVER,
                                             IID__Orvane3, reinterpret_cast<void**>(&g_updater));
    if (FAILED(created)) {
        std::fwprintf(
            stderr,
            L"the Orvane control is not registered (regsvr32 OrvaneCtl.ocx) and no application "
            L"manifest names it (OrvaneCtl.manifest): 0x%08lx\n",
            static_cast<unsigned long>(created));
        CoUninitialize();
        return 1;
    }

    // Connect the event sink.
    IConnectionPointContainer* points = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    bool advised =
        Succeeded(g_updater->QueryInterface(IID_IConnectionPointContainer,
                                            reinterpret_cast<void**>(&points)),
                  L"QueryInterface(IConnectionPointContainer)") &&
        Succeeded(points->FindConnectionPoint(DIID___Orvane, &point), L"FindConnectionPoint") &&
        Succeeded(point->Advise(&g_events, &cookie), L"Advise");

    if (advised && StartCheck(argv[1], argv[2], argv[3])) WaitForTheCycle();

    if (advised) point->Unadvise(cookie);
    if (point) point->Release();
    if (points) points->Release();
    g_updater->Release();
    CoUninitialize();
    return g_exitCode;
}
