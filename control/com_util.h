// Small COM and Win32 helpers shared by the control library: owning handles, the HRESULT
// early-return macro, run-time errors for callers, ANSI <-> BSTR conversion, and the
// QueryInterface table (control/com_object.h).
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "common/win/handles.h"
#include "common/win/system.h"
#include "control/com_object.h"

namespace orv {

// unique_variant and the handle owners: common/win/handles.h.

#define RETURN_IF_FAILED(expr)       \
    do {                             \
        const HRESULT hr_ = (expr);  \
        if (FAILED(hr_)) return hr_; \
    } while (0)

#define RETURN_HR_IF_NULL(hr, ptr)         \
    do {                                   \
        if ((ptr) == nullptr) return (hr); \
    } while (0)

// Every COM method body runs inside this boundary: no C++ exception crosses into the caller.
template <typename F>
HRESULT ComBoundary(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// The body of a method of the control's own interface: a COM boundary that also clears the
// thread's error information when the call succeeds, so a caller never reads the error of an
// earlier call.
template <typename F>
HRESULT ComMethod(F&& body) noexcept {
    const HRESULT hr = ComBoundary(std::forward<F>(body));
    if (SUCCEEDED(hr)) ::SetErrorInfo(0, nullptr);
    return hr;
}

// ANSI (system code page) bytes <-> UTF-16, one byte per character in a single-byte code page.
std::string ToAnsi(const wchar_t* text, std::size_t length);
std::string ToAnsi(BSTR text);
std::wstring ToWide(std::string_view text);
// A new BSTR holding `text`; throws std::bad_alloc when out of memory.
BSTR ToBstr(std::string_view text);

// Run-time error numbers of the control, reported as 0x800A0000 + number with error info.
inline constexpr int kErrOverflow = 6;
inline constexpr int kErrTypeMismatch = 13;
inline constexpr int kErrInvalidPropertyValue = 380;
inline constexpr int kErrSetNotPermitted = 387;
// The description names the property or argument at fault and what it accepts, so that a
// host's message (a script's Err.Description) says what to change.
HRESULT RuntimeError(int number, const wchar_t* description);
inline HRESULT RuntimeError(int number, const std::wstring& description) {
    return RuntimeError(number, description.c_str());
}
// `hr` with error information holding `description`, for failures that are no run-time error.
HRESULT ErrorWithInfo(HRESULT hr, const wchar_t* description);
inline HRESULT ErrorWithInfo(HRESULT hr, const std::wstring& description) {
    return ErrorWithInfo(hr, description.c_str());
}
// A run-time error for a failed file operation, numbered like the runtime's file errors.
HRESULT FileError(DWORD win32Error);

// The folder of a module, without the final backslash (common/win/system.h).
using win::ModuleFolder;

}  // namespace orv
