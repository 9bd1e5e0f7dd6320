// Owning wrappers for platform handles: one move-only template with a close function and an
// invalid value per handle kind, and a scope guard for calls that must be paired.
#pragma once

#include <windows.h>

#include <utility>

namespace orv::maker {

template <typename Traits>
class UniqueAny {
   public:
    using Pointer = typename Traits::Type;

    UniqueAny() = default;
    explicit UniqueAny(Pointer value) : value_(value) {}
    UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    ~UniqueAny() { reset(); }

    Pointer get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::Invalid(); }
    Pointer release() { return std::exchange(value_, Traits::Invalid()); }
    void reset(Pointer value = Traits::Invalid()) {
        const Pointer old = std::exchange(value_, value);
        if (old != Traits::Invalid()) Traits::Close(old);
    }

   private:
    Pointer value_ = Traits::Invalid();
};

namespace traits {
struct File {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};
struct Handle {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::CloseHandle(h); }
};
struct GdiObject {
    using Type = HGDIOBJ;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::DeleteObject(h); }
};
struct Icon {
    using Type = HICON;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::DestroyIcon(h); }
};
struct Module {
    using Type = HMODULE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::FreeLibrary(h); }
};
struct Global {
    using Type = HGLOBAL;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::GlobalFree(h); }
};
}  // namespace traits

using UniqueFile = UniqueAny<traits::File>;      // CreateFile
using UniqueHandle = UniqueAny<traits::Handle>;  // processes, threads, events
using UniqueGdiObject = UniqueAny<traits::GdiObject>;
using UniqueIcon = UniqueAny<traits::Icon>;  // icons made with LoadImage/CopyIcon
using UniqueModule = UniqueAny<traits::Module>;
using UniqueGlobal = UniqueAny<traits::Global>;

// Runs a function when the scope ends (CloseClipboard, GlobalUnlock, ...).
template <typename F>
class ScopeExit {
   public:
    explicit ScopeExit(F f) : f_(std::move(f)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() { f_(); }

   private:
    F f_;
};

}  // namespace orv::maker
