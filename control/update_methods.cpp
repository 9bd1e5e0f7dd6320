// The methods of _Orvane that start, cancel and run an update: the check and the download are
// the session's; running the package and opening the product page go through the shell.
#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <climits>

#include "control/elevation.h"
#include "control/orvane_control.h"

namespace orv {

STDMETHODIMP OrvaneControl::CheckUpdate(ORVANEERROR* result) {
    RETURN_HR_IF_NULL(E_POINTER, result);
    const KeepAlive alive(this);
    return ComMethod([&] {
        usersOwnCheck_ = false;
        return session_->Check(*result);
    });
}

STDMETHODIMP OrvaneControl::ReceiveUpdate(BSTR localPathName, BSTR localFileName,
                                          ORVANEERROR* result) {
    RETURN_HR_IF_NULL(E_POINTER, result);
    const KeepAlive alive(this);
    return ComMethod(
        [&] { return session_->Receive(ToAnsi(localPathName), ToAnsi(localFileName), *result); });
}

STDMETHODIMP OrvaneControl::CancelUpdate() {
    SetErrorInfo(0, nullptr);
    const KeepAlive alive(this);
    session_->Cancel();
    return S_OK;
}

STDMETHODIMP OrvaneControl::RunUpdate(BSTR parameters, LONG* result) {
    RETURN_HR_IF_NULL(E_POINTER, result);
    return ComMethod([&] {
        // Only the package the last download delivered and verified is started: before any
        // download, and after one that did not end with UpdateReceived, there is no file.
        const std::string package = session_->DeliveredPackage();
        if (package.empty()) {
            *result = ORV_ERROR_SHELLFNF;
            return S_OK;
        }
        const std::string params = PackageParameters(ToAnsi(parameters));
        const std::string folder = ModuleFolder(ModuleInstance());
        INT_PTR code = 0;
        if (!ElevationWanted(props_.ElevateUpdate, props_.InstalledFile)) {
            // As the shell decides, exactly as before ElevateUpdate existed.
            code = reinterpret_cast<INT_PTR>(ShellExecuteA(window_.get(), nullptr, package.c_str(),
                                                           params.c_str(), folder.c_str(),
                                                           SW_SHOWNORMAL));
        } else {
            SHELLEXECUTEINFOA run = {};
            run.cbSize = sizeof run;
            run.fMask = SEE_MASK_FLAG_NO_UI;
            run.hwnd = window_.get();
            run.lpVerb = "runas";
            run.lpFile = package.c_str();
            run.lpParameters = params.c_str();
            run.lpDirectory = folder.c_str();
            run.nShow = SW_SHOWNORMAL;
            if (ShellExecuteExA(&run)) {
                code = std::max<INT_PTR>(reinterpret_cast<INT_PTR>(run.hInstApp), 33);
            } else if (GetLastError() == ERROR_CANCELLED) {
                // The user said no to the elevation prompt: an answer, not a fault. The
                // package stays held for another try.
                *result = HANDOFF_ERROR_ELEVATIONDECLINED;
                return S_OK;
            } else {
                code = std::min<INT_PTR>(reinterpret_cast<INT_PTR>(run.hInstApp), 32);
            }
        }
        // The number says success above 32 and nothing else; a 64-bit one is never cut into a
        // Long that could read as an error.
        *result = static_cast<LONG>(std::clamp<INT_PTR>(code, 0, LONG_MAX));
        // Started, the file is let go (the program may remove it); a failure keeps it held
        // for another try.
        if (code > 32) session_->DropDelivery();
        return S_OK;
    });
}

STDMETHODIMP OrvaneControl::GoProductPage(BSTR productPage) {
    return ComMethod([&] {
        const std::string page = ToAnsi(productPage);
        const std::string folder = ModuleFolder(ModuleInstance());
        ShellExecuteA(window_.get(), nullptr, page.c_str(), nullptr, folder.c_str(), SW_SHOWNORMAL);
        return S_OK;
    });
}

void OrvaneControl::HoldHost() {
    ++holds_;
    AddRef();
}

void OrvaneControl::ReleaseHost() {
    --holds_;
    Release();
}

}  // namespace orv
