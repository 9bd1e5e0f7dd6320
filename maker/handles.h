// Owning wrappers for platform handles: one move-only template with a close function and an
// invalid value per handle kind, and a scope guard for calls that must be paired.
#pragma once

#include <windows.h>

#include <utility>

#include "common/win/handles.h"

namespace orv::maker {

using UniqueFile = unique_resource<file_traits>;             // CreateFile
using UniqueHandle = unique_resource<kernel_handle_traits>;  // processes, threads, events
using UniqueGdiObject = unique_resource<gdi_object_traits>;
using UniqueIcon = unique_resource<hicon_traits>;  // icons made with LoadImage/CopyIcon
using UniqueModule = unique_resource<module_traits>;
using UniqueGlobal = unique_resource<global_traits>;

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
