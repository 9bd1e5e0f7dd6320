// The shortest complete update experience: point the control at the server and let its own
// dialog check, offer, download and start the package. The dialog is modal and pumps
// messages itself, so no event sink and no message loop are needed here.
//
//   offer_update HOST PORT PATH [--quiet]
//
// --quiet is the automatic check a program runs at start-up: no window unless a newer
// version is there that the user has neither skipped nor put off within the last day.
// Exit status: the dialog's result (UPDATEDIALOGRESULT, 0 to 5), 10 + the number of a
// refused check, or 20 when a call failed (its description is printed, e.g.
// "CheckUpdateWithDialog failed: 0x800a0006 RemotePort must be between 0 and 32767").
//
// Build it from the release package (in the folder holding README.txt):
//   i686-w64-mingw32-g++ -municode -static -Iinclude -o offer_update.exe
//       samples/dialog-host/offer_update.cpp include/OrvaneControl_i.c -lole32 -loleaut32 -luuid
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "OrvaneControl.h"

namespace {

// Your publisher's public key (the line of NAME.pub); empty accepts unsigned files too.
const wchar_t kPublisherKey[] = L"";

// Whether a call succeeded; a failed one is printed with the description the control left in
// the thread's error information (IErrorInfo).
bool Succeeded(HRESULT hr, const wchar_t* call) {
    if (SUCCEEDED(hr)) return true;
    std::wstring description;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR text = nullptr;
        if (SUCCEEDED(info->GetDescription(&text)) && text)
            description.assign(text, SysStringLen(text));
        SysFreeString(text);
        info->Release();
    }
    std::fwprintf(stderr, L"%ls failed: 0x%08lx %ls\n", call, static_cast<unsigned long>(hr),
                  description.c_str());
    return false;
}

// Sets a text property; false (with the control's description printed) when it failed.
bool PutText(_Orvane3* updater, HRESULT (STDMETHODCALLTYPE _Orvane3::*put)(BSTR),
             const std::wstring& value, const wchar_t* name) {
    BSTR b = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
    const HRESULT hr = (updater->*put)(b);
    SysFreeString(b);
    return Succeeded(hr, name);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        std::fwprintf(stderr, L"usage: offer_update HOST PORT PATH [--quiet]\n");
        return 20;
    }
    const bool quiet = argc > 4 && std::wcscmp(argv[4], L"--quiet") == 0;
    if (FAILED(CoInitialize(nullptr))) return 20;
    _Orvane3* updater = nullptr;
    int status = 20;
    const HRESULT created = CoCreateInstance(CLSID_Orvane, nullptr, CLSCTX_INPROC_SERVER,
                                             IID__Orvane3, reinterpret_cast<void**>(&updater));
    if (SUCCEEDED(created)) {
        long result = 0;
        if (PutText(updater, &_Orvane3::put_RemoteHost, std::wstring(L"http://") + argv[1],
                    L"RemoteHost") &&
            Succeeded(updater->put_RemotePort(_wtol(argv[2])), L"RemotePort") &&
            PutText(updater, &_Orvane3::put_RemotePath, argv[3], L"RemotePath") &&
            (!kPublisherKey[0] ||
             PutText(updater, &_Orvane3::put_PublisherKey, kPublisherKey, L"PublisherKey")) &&
            PutText(updater, &_Orvane3::put_UpdateParameters, L"/quiet", L"UpdateParameters") &&
            Succeeded(updater->CheckUpdateWithDialog(quiet ? VARIANT_TRUE : VARIANT_FALSE, &result),
                      L"CheckUpdateWithDialog")) {
            std::wprintf(L"CheckUpdateWithDialog: %ld\n", result);
            status = result < 0 ? 10 - static_cast<int>(result) : static_cast<int>(result);
        }
        updater->Release();
    } else {
        std::fwprintf(stderr,
                      L"the Orvane control is not registered (regsvr32 OrvaneCtl.ocx): 0x%08lx\n",
                      static_cast<unsigned long>(created));
    }
    CoUninitialize();
    return status;
}
