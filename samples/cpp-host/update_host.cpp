// A minimal C++ host of the Orvane control: a console program that checks a web server for an
// update, downloads the package when the server has a newer version than a given program, and
// prints every event. It shows the three things every host does: create the control, connect
// an event sink, and pump messages while the transfer runs (events arrive through the message
// loop of the thread that created the control).
//
//   update_host HOST PORT PATH FOLDER [PROGRAM]
//
// Exit status: 0 when the package was received (or no newer version is published), 1 on any
// failure.
#include <windows.h>

#include <ocidl.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "OrvaneControl.h"  // generated from the type library: _Orvane, UPDATEINFO, the enumerations
#include "dispids.h"        // the dispatch ids of the control's members and events

namespace {

_Orvane* g_updater = nullptr;
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

// The event sink: an IDispatch whose Invoke receives the control's events by dispatch id.
// Arguments arrive in reverse order (the last argument first).
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
                Done(0);
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
    static void OnInfo(UPDATEINFO& info) {
        std::wprintf(L"InfoReceived: %ls %ls of %ls, package %ls (%ld bytes)\n",
                     Text(info.Name).c_str(), Text(info.Version).c_str(),
                     Text(info.ReleaseDate).c_str(), Text(info.PackageFile).c_str(),
                     info.PackageSize);
        if (!g_program.empty()) {
            BSTR program = SysAllocString(g_program.c_str());
            LONG compared = 0;
            g_updater->CompareVersion(program, &compared);
            SysFreeString(program);
            std::wprintf(L"CompareVersion: %ld\n", compared);
            if (compared != VER_UPDATEISGREATER) {
                std::wprintf(L"no newer version\n");
                Done(0);
                return;
            }
        }
        // Calling the control from inside its event is fine: the download starts at once.
        BSTR folder = SysAllocString(g_folder.c_str());
        ORVANEERROR result = ORV_ERROR_SUCCESS;
        g_updater->ReceiveUpdate(folder, nullptr, &result);
        SysFreeString(folder);
        std::wprintf(L"ReceiveUpdate: %d\n", static_cast<int>(result));
        if (result != ORV_ERROR_SUCCESS) Done(1);
    }
};

Events g_events;

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) {
        std::fwprintf(stderr, L"usage: update_host HOST PORT PATH FOLDER [PROGRAM]\n");
        return 2;
    }
    g_folder = argv[4];
    if (argc > 5) g_program = argv[5];

    CoInitialize(nullptr);  // a single-threaded apartment: events come through this thread
    HRESULT hr = CoCreateInstance(CLSID_Orvane, nullptr, CLSCTX_INPROC_SERVER, IID__Orvane,
                                  reinterpret_cast<void**>(&g_updater));
    if (FAILED(hr)) {
        std::fwprintf(stderr, L"the Orvane control is not registered (0x%08lx)\n", hr);
        CoUninitialize();
        return 1;
    }

    // Connect the event sink.
    IConnectionPointContainer* points = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    g_updater->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&points));
    if (points && SUCCEEDED(points->FindConnectionPoint(DIID___Orvane, &point)))
        point->Advise(&g_events, &cookie);

    std::wstring host = std::wstring(L"http://") + argv[1];
    BSTR b = SysAllocString(host.c_str());
    g_updater->put_RemoteHost(b);
    SysFreeString(b);
    g_updater->put_RemotePort(_wtol(argv[2]));
    b = SysAllocString(argv[3]);
    g_updater->put_RemotePath(b);
    SysFreeString(b);

    ORVANEERROR result = ORV_ERROR_SUCCESS;
    g_updater->CheckUpdate(&result);
    std::wprintf(L"CheckUpdate: %d\n", static_cast<int>(result));
    if (result == ORV_ERROR_SUCCESS) {
        // Pump messages until an event ends the cycle, for two minutes at the most.
        SetTimer(nullptr, 0, 120000, nullptr);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == WM_TIMER) {
                std::wprintf(L"no outcome in time\n");
                break;
            }
            DispatchMessageW(&msg);
        }
    }

    if (point) {
        point->Unadvise(cookie);
        point->Release();
    }
    if (points) points->Release();
    g_updater->Release();
    CoUninitialize();
    return g_exitCode;
}
