// Owning wrappers for Windows handles, shared by the deliverables: one move-only template
// with a close function and an invalid value per handle kind, a movable VARIANT and a scope
// guard. One style of names: unique_<kind>.
#pragma once

#include <windows.h>

#include <oleauto.h>

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
struct file_traits {  // CreateFile: INVALID_HANDLE_VALUE is the invalid value
    using type = HANDLE;
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { ::CloseHandle(h); }
};
struct kernel_handle_traits {  // processes, threads, events: null is the invalid value
    using type = HANDLE;
    static HANDLE invalid() { return nullptr; }
    static void close(HANDLE h) { ::CloseHandle(h); }
};
struct gdi_object_traits {
    using type = HGDIOBJ;
    static HGDIOBJ invalid() { return nullptr; }
    static void close(HGDIOBJ h) { ::DeleteObject(h); }
};
struct module_traits {
    using type = HMODULE;
    static HMODULE invalid() { return nullptr; }
    static void close(HMODULE h) { ::FreeLibrary(h); }
};
struct global_traits {
    using type = HGLOBAL;
    static HGLOBAL invalid() { return nullptr; }
    static void close(HGLOBAL h) { ::GlobalFree(h); }
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
using unique_file = unique_resource<file_traits>;             // CreateFile
using unique_handle = unique_resource<kernel_handle_traits>;  // processes, threads, events
using unique_gdi_object = unique_resource<gdi_object_traits>;
using unique_hfont = unique_resource<hfont_traits>;
using unique_hbrush = unique_resource<hbrush_traits>;
using unique_hicon = unique_resource<hicon_traits>;  // icons made with LoadImage/CopyIcon
using unique_hkey = unique_resource<hkey_traits>;
using unique_module = unique_resource<module_traits>;
using unique_global = unique_resource<global_traits>;
using unique_bstr = unique_resource<bstr_traits>;
// Sockets: common/win/socket_handle.h (it needs the sockets header).

// A VARIANT that is cleared when its owner ends; movable, never copied.
class unique_variant {
   public:
    unique_variant() { Zero(); }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;
    unique_variant(unique_variant&& o) noexcept : v_(o.v_) { o.Zero(); }
    unique_variant& operator=(unique_variant&& o) noexcept {
        if (this != &o) {
            ::VariantClear(&v_);
            v_ = o.v_;
            o.Zero();
        }
        return *this;
    }
    ~unique_variant() { ::VariantClear(&v_); }

    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    VARIANT* operator->() { return &v_; }
    const VARIANT* operator->() const { return &v_; }
    // Clears the value (VT_EMPTY), e.g. before an API fills it.
    void reset() {
        ::VariantClear(&v_);
        Zero();
    }

   private:
    // VariantInit sets only the type on some systems: the value is zeroed here as well.
    void Zero() {
        v_ = VARIANT{};
        ::VariantInit(&v_);
    }
    VARIANT v_;
};

// Runs a function when the scope ends (CloseClipboard, GlobalUnlock, ...).
template <typename F>
class scope_exit {
   public:
    explicit scope_exit(F f) : f_(std::move(f)) {}
    scope_exit(const scope_exit&) = delete;
    scope_exit& operator=(const scope_exit&) = delete;
    ~scope_exit() { f_(); }

   private:
    F f_;
};

}  // namespace orv
