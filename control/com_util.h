// Small COM and Win32 helpers shared by the control library: owning handles, the HRESULT
// early-return macro, run-time errors for callers, and ANSI <-> BSTR conversion.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace orv {

// A move-only owner of one handle-like value, closed through Traits::close.
template <typename Traits>
class unique_resource {
   public:
    using type = typename Traits::type;
    unique_resource() = default;
    explicit unique_resource(type v) : v_(v) {}
    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;
    unique_resource(unique_resource&& o) noexcept : v_(o.release()) {}
    unique_resource& operator=(unique_resource&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~unique_resource() { reset(); }

    type get() const { return v_; }
    explicit operator bool() const { return v_ != Traits::invalid(); }
    type release() { return std::exchange(v_, Traits::invalid()); }
    void reset(type v = Traits::invalid()) {
        const type old = std::exchange(v_, v);
        if (old != Traits::invalid()) Traits::close(old);
    }
    // For out-parameters: releases the current value and hands out its slot.
    type* put() {
        reset();
        return &v_;
    }

   private:
    type v_ = Traits::invalid();
};

struct hwnd_traits {
    using type = HWND;
    static HWND invalid() { return nullptr; }
    static void close(HWND h) { ::DestroyWindow(h); }
};
struct handle_traits {
    using type = HANDLE;
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { ::CloseHandle(h); }
};
struct hfont_traits {
    using type = HFONT;
    static HFONT invalid() { return nullptr; }
    static void close(HFONT h) { ::DeleteObject(h); }
};
struct hbrush_traits {
    using type = HBRUSH;
    static HBRUSH invalid() { return nullptr; }
    static void close(HBRUSH h) { ::DeleteObject(h); }
};
struct hicon_traits {
    using type = HICON;
    static HICON invalid() { return nullptr; }
    static void close(HICON h) { ::DestroyIcon(h); }
};
struct hkey_traits {
    using type = HKEY;
    static HKEY invalid() { return nullptr; }
    static void close(HKEY h) { ::RegCloseKey(h); }
};
struct bstr_traits {
    using type = BSTR;
    static BSTR invalid() { return nullptr; }
    static void close(BSTR b) { ::SysFreeString(b); }
};

using unique_hwnd = unique_resource<hwnd_traits>;
using unique_handle = unique_resource<handle_traits>;
using unique_hfont = unique_resource<hfont_traits>;
using unique_hbrush = unique_resource<hbrush_traits>;
using unique_hicon = unique_resource<hicon_traits>;
using unique_hkey = unique_resource<hkey_traits>;
using unique_bstr = unique_resource<bstr_traits>;

// A VARIANT that clears itself.
class unique_variant {
   public:
    unique_variant() { ::VariantInit(&v_); }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;
    ~unique_variant() { ::VariantClear(&v_); }
    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    VARIANT* operator->() { return &v_; }
    void reset() { ::VariantClear(&v_); }

   private:
    VARIANT v_;
};

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

// ANSI (system code page) bytes <-> UTF-16, one byte per character in a single-byte code page.
std::string ToAnsi(const wchar_t* text, std::size_t length);
std::string ToAnsi(BSTR text);
std::wstring ToWide(std::string_view text);
// A new BSTR holding `text`; throws std::bad_alloc when out of memory.
BSTR ToBstr(std::string_view text);

// Run-time error numbers of the control, reported as 0x800A0000 + number with error info.
inline constexpr int kErrOverflow = 6;
inline constexpr int kErrTypeMismatch = 13;
inline constexpr int kErrSetNotPermitted = 387;
HRESULT RuntimeError(int number, const wchar_t* description);
// A run-time error for a failed file operation, numbered like the runtime's file errors.
HRESULT FileError(DWORD win32Error);

// The folder the given module was loaded from, with no trailing backslash.
std::string ModuleFolder(HMODULE module);

}  // namespace orv
