// The shortest complete update experience: point the control at the server and let its own
// dialog check, offer, download and start the package. The dialog is modal and pumps
// messages itself, so no event sink and no message loop are needed here.
//
//   offer_update HOST PORT PATH [--quiet]
//
// --quiet is the automatic check a program runs at start-up: no window unless a newer
// version is there that the user has neither skipped nor put off within the last day.
// Exit status: the dialog's result (UPDATEDIALOGRESULT, 0 to 5), 10 + the number of a
// refused check, or 20 when a call failed.
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

// Sets a text property; false (with the control's description printed) when it failed.
bool PutText(_Orvane3* updater, HRESULT (STDMETHODCALLTYPE _Orvane3::*put)(BSTR),
             const std::wstring& value, const wchar_t* name) {
    BSTR b = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
    const HRESULT hr = (updater->*put)(b);
    SysFreeString(b);
    if (SUCCEEDED(hr)) return true;
    std::fwprintf(stderr, L"%ls failed: 0x%08lx\n", name, static_cast<unsigned long>(hr));
    return false;
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
    if (SUCCEEDED(CoCreateInstance(CLSID_Orvane, nullptr, CLSCTX_INPROC_SERVER, IID__Orvane3,
                                   reinterpret_cast<void**>(&updater)))) {
        long result = 0;
        HRESULT hr = S_OK;
        if (PutText(updater, &_Orvane3::put_RemoteHost, std::wstring(L"http://") + argv[1],
                    L"RemoteHost") &&
            SUCCEEDED(hr = updater->put_RemotePort(_wtol(argv[2]))) &&
            PutText(updater, &_Orvane3::put_RemotePath, argv[3], L"RemotePath") &&
            (!kPublisherKey[0] ||
             PutText(updater, &_Orvane3::put_PublisherKey, kPublisherKey, L"PublisherKey")) &&
            PutText(updater, &_Orvane3::put_UpdateParameters, L"/quiet", L"UpdateParameters") &&
            SUCCEEDED(hr = updater->CheckUpdateWithDialog(quiet ? VARIANT_TRUE : VARIANT_FALSE,
                                                          &result))) {
            std::wprintf(L"CheckUpdateWithDialog: %ld\n", result);
            status = result < 0 ? 10 - static_cast<int>(result) : static_cast<int>(result);
        } else if (FAILED(hr)) {
            std::fwprintf(stderr, L"call failed: 0x%08lx\n", static_cast<unsigned long>(hr));
        }
        updater->Release();
    }
    CoUninitialize();
    return status;
}
