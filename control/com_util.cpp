#include "control/com_util.h"

#include "common/win/system.h"

namespace orv {

std::string ToAnsi(const wchar_t* text, std::size_t length) {
    if (!text || length == 0) return {};
    return win::WideToAnsi(std::wstring_view(text, length));
}

std::string ToAnsi(BSTR text) {
    return ToAnsi(text, text ? ::SysStringLen(text) : 0);
}

std::wstring ToWide(std::string_view text) {
    return win::AnsiToWide(text);
}

BSTR ToBstr(std::string_view text) {
    const std::wstring wide = ToWide(text);
    BSTR b = ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (!b) throw std::bad_alloc();
    return b;
}

HRESULT RuntimeError(int number, const wchar_t* description) {
    return ErrorWithInfo(MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, number), description);
}

HRESULT ErrorWithInfo(HRESULT hr, const wchar_t* description) {
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(::CreateErrorInfo(&create))) {
        create->SetSource(const_cast<wchar_t*>(L"OrvaneControl"));
        create->SetDescription(const_cast<wchar_t*>(description));
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
            ::SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    }
    return hr;
}

HRESULT FileError(DWORD win32Error) {
    // The runtime's numbers for the file failures a transfer can meet.
    switch (win32Error) {
        case ERROR_FILE_NOT_FOUND: return RuntimeError(53, L"File not found");
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_DIRECTORY: return RuntimeError(76, L"Path not found");
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT: return RuntimeError(75, L"Path/File access error");
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return RuntimeError(61, L"Disk full");
        case ERROR_TOO_MANY_OPEN_FILES: return RuntimeError(67, L"Too many files");
        default: return RuntimeError(52, L"Bad file name or number");
    }
}

}  // namespace orv
