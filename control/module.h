// The control library's module: its instance handle, the count of live objects and locks
// that DllCanUnloadNow reads, and the table of creatable classes.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <span>

namespace orv {

HINSTANCE ModuleInstance();
void ModuleAddRef();
void ModuleRelease();
long ModuleRefCount();

// The library's own type information for a GUID (interface, record or class).
HRESULT GetOwnTypeInfo(REFGUID guid, ITypeInfo** info);
// The library's own type information for a type name (records have no __uuidof).
HRESULT GetOwnTypeInfoByName(const wchar_t* name, ITypeInfo** info);

// Registers a window class of the library (once per process); the library unregisters its
// classes when it is unloaded.
void RegisterModuleWindowClass(const wchar_t* name, WNDPROC proc);

// A creatable class of the library, registered by DllRegisterServer.
struct ClassEntry {
    const CLSID* clsid;
    HRESULT (*create)(REFIID iid, void** out);
    const char* name;
    const char* progId;  // null: no ProgID
    bool isControl;      // registers Control, ToolboxBitmap32 and MiscStatus
    DWORD miscStatus;    // of a control: the OLE status bits containers read before creating it
};

// The creatable classes, defined in classes.cpp.
std::span<const ClassEntry> Classes();

// Counts itself in the module's reference count for its lifetime.
class ModuleLock {
   public:
    ModuleLock() { ModuleAddRef(); }
    ModuleLock(const ModuleLock&) { ModuleAddRef(); }
    ModuleLock& operator=(const ModuleLock&) = default;
    ~ModuleLock() { ModuleRelease(); }
};

}  // namespace orv
