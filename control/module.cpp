#include "control/module.h"

#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>
#include <wrl/client.h>

#include "control/OrvaneControl.h"
#include "control/com_object.h"
#include "control/com_util.h"

namespace orv {
namespace {

HINSTANCE g_instance = nullptr;
std::atomic<long> g_refs{0};

class ClassFactory final : public IClassFactory {
   public:
    explicit ClassFactory(const ClassEntry& entry) : entry_(entry) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        static constexpr InterfaceEntry<ClassFactory> kInterfaces[] = {
            Answer<ClassFactory, IClassFactory>(IID_IUnknown),
            Answer<ClassFactory, IClassFactory>(IID_IClassFactory),
        };
        return QueryInterfaceTable(this, kInterfaces, iid, out);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        RETURN_HR_IF_NULL(E_POINTER, out);
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return ComBoundary([&] { return entry_.create(iid, out); });
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        lock ? ModuleAddRef() : ModuleRelease();
        return S_OK;
    }

   private:
    const ClassEntry& entry_;
    std::atomic<ULONG> refs_{1};
    ModuleLock lock_;
};

std::wstring GuidText(REFGUID guid) {
    wchar_t buf[64] = {};
    ::StringFromGUID2(guid, buf, 64);
    return buf;
}

// Writes registry values under HKEY_CLASSES_ROOT and remembers how to take each write back:
// a key it created is deleted again, a value it replaced gets its old data back.
class RegistryJournal {
   public:
    RegistryJournal() = default;
    RegistryJournal(const RegistryJournal&) = delete;
    RegistryJournal& operator=(const RegistryJournal&) = delete;

    LONG Set(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
        if (!Exists(key)) {
            // The outermost key that does not exist yet holds everything created below it.
            std::wstring created = key;
            for (std::size_t slash = key.find(L'\\'); slash != std::wstring::npos;
                 slash = key.find(L'\\', slash + 1)) {
                if (!Exists(key.substr(0, slash))) {
                    created = key.substr(0, slash);
                    break;
                }
            }
            createdKeys_.push_back(created);
        } else if (!IsUnderCreatedKey(key)) {
            Saved saved{key, name ? name : L"", name == nullptr, false, 0, {}};
            unique_hkey k;
            if (OpenKey(key, KEY_READ, k) == ERROR_SUCCESS) {
                DWORD size = 0;
                if (::RegQueryValueExW(k.get(), name, nullptr, &saved.type, nullptr, &size) ==
                    ERROR_SUCCESS) {
                    saved.data.resize(size);
                    saved.existed = ::RegQueryValueExW(k.get(), name, nullptr, &saved.type,
                                                       saved.data.data(), &size) == ERROR_SUCCESS;
                }
            }
            savedValues_.push_back(std::move(saved));
        }
        HKEY raw = nullptr;
        LONG rc = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE,
                                    nullptr, &raw, nullptr);
        if (rc != ERROR_SUCCESS) return rc;
        unique_hkey k(raw);
        return ::RegSetValueExW(k.get(), name, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }

    // Takes back every write, newest first.
    void RollBack() {
        for (auto it = savedValues_.rbegin(); it != savedValues_.rend(); ++it) {
            unique_hkey k;
            if (OpenKey(it->key, KEY_WRITE, k) != ERROR_SUCCESS) continue;
            const wchar_t* name = it->isDefault ? nullptr : it->name.c_str();
            if (it->existed)
                ::RegSetValueExW(k.get(), name, 0, it->type, it->data.data(),
                                 static_cast<DWORD>(it->data.size()));
            else
                ::RegDeleteValueW(k.get(), name);
        }
        for (auto it = createdKeys_.rbegin(); it != createdKeys_.rend(); ++it) {
            ::RegDeleteTreeW(HKEY_CLASSES_ROOT, it->c_str());
            ::RegDeleteKeyW(HKEY_CLASSES_ROOT, it->c_str());
        }
        savedValues_.clear();
        createdKeys_.clear();
    }

   private:
    struct Saved {
        std::wstring key;
        std::wstring name;
        bool isDefault;
        bool existed;
        DWORD type;
        std::vector<BYTE> data;
    };

    static LONG OpenKey(const std::wstring& key, REGSAM access, unique_hkey& out) {
        HKEY raw = nullptr;
        const LONG rc = ::RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, access, &raw);
        if (rc == ERROR_SUCCESS) out.reset(raw);
        return rc;
    }
    static bool Exists(const std::wstring& key) {
        unique_hkey k;
        return OpenKey(key, KEY_READ, k) == ERROR_SUCCESS;
    }
    bool IsUnderCreatedKey(const std::wstring& key) const {
        for (const std::wstring& c : createdKeys_)
            if (key == c || key.rfind(c + L"\\", 0) == 0) return true;
        return false;
    }

    std::vector<std::wstring> createdKeys_;
    std::vector<Saved> savedValues_;
};

LONG RegisterClassEntry(RegistryJournal& reg, const ClassEntry& c, const std::wstring& path) {
    const std::wstring clsid = GuidText(*c.clsid);
    const std::wstring key = L"CLSID\\" + clsid;
    struct Value {
        std::wstring key;
        const wchar_t* name;
        std::wstring data;
    };
    std::vector<Value> values = {
        {key, nullptr, ToWide(c.name)},
        {key + L"\\InprocServer32", nullptr, path},
        {key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {key + L"\\TypeLib", nullptr, GuidText(LIBID_OrvaneControl)},
        {key + L"\\Version", nullptr, L"1.0"},
    };
    if (c.progId) {
        const std::wstring progId = ToWide(c.progId);
        values.push_back({key + L"\\ProgID", nullptr, progId});
        values.push_back({progId, nullptr, ToWide(c.name)});
        values.push_back({progId + L"\\CLSID", nullptr, clsid});
    }
    if (c.isControl) {
        values.push_back({key + L"\\Control", nullptr, L""});
        values.push_back({key + L"\\ToolboxBitmap32", nullptr, path + L", 30000"});
        values.push_back({key + L"\\MiscStatus", nullptr, L"0"});
        values.push_back({key + L"\\MiscStatus\\1", nullptr, std::to_wstring(c.miscStatus)});
    }
    for (const Value& v : values) {
        const LONG rc = reg.Set(v.key, v.name, v.data);
        if (rc != ERROR_SUCCESS) return rc;
    }
    return ERROR_SUCCESS;
}

// Removes a tree; a tree that is not there is no failure.
bool DeleteTree(const std::wstring& key) {
    const LONG rc = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return false;
    const LONG rc2 = ::RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
    return rc2 == ERROR_SUCCESS || rc2 == ERROR_FILE_NOT_FOUND;
}

// The registry view of the library of the other bitness: a 64-bit Windows keeps the classes of
// 32-bit and 64-bit in-process servers apart, and shares the ProgIDs between both. On a 32-bit
// system the flag is ignored and the check below sees this library's own view.
#ifdef _WIN64
constexpr REGSAM kOtherView = KEY_WOW64_32KEY;
#else
constexpr REGSAM kOtherView = KEY_WOW64_64KEY;
#endif

// Whether the library of the other bitness serves `clsid` in its view.
bool OtherViewServes(const std::wstring& clsid) {
    const std::wstring key = L"CLSID\\" + clsid + L"\\InprocServer32";
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ | kOtherView, &raw) !=
        ERROR_SUCCESS)
        return false;
    const unique_hkey k(raw);
    return true;
}

// Removes the class from this library's view; its ProgID goes too unless the library of the
// other bitness still serves the class, whose hosts create it by that ProgID.
bool UnregisterClassEntry(const ClassEntry& c) {
    const std::wstring clsid = GuidText(*c.clsid);
    bool ok = DeleteTree(L"CLSID\\" + clsid);
    if (c.progId && !OtherViewServes(clsid)) ok = DeleteTree(ToWide(c.progId)) && ok;
    return ok;
}

// Unregisters the type library; one that is not registered is no failure.
bool UnregisterOwnTypeLib(ITypeLib* lib) {
    TLIBATTR* attr = nullptr;
    if (FAILED(lib->GetLibAttr(&attr))) return false;
    const HRESULT hr = ::UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum,
                                           attr->lcid, attr->syskind);
    lib->ReleaseTLibAttr(attr);
    return SUCCEEDED(hr) || hr == TYPE_E_REGISTRYACCESS;
}

HRESULT LoadOwnTypeLib(ITypeLib** lib) {
    return ::LoadTypeLibEx(win::ModulePathW(g_instance).c_str(), REGKIND_NONE, lib);
}

// The library's own type library, loaded once for the module and shared by every thread
// (type library objects are free-threaded); released when the library is unloaded.
std::mutex g_typeLibLock;
ITypeLib* g_typeLib = nullptr;

HRESULT OwnTypeLib(Microsoft::WRL::ComPtr<ITypeLib>& lib) {
    std::lock_guard<std::mutex> lock(g_typeLibLock);
    if (!g_typeLib) RETURN_IF_FAILED(LoadOwnTypeLib(&g_typeLib));
    lib = g_typeLib;
    return S_OK;
}

// Window classes the library registered, unregistered when it is unloaded.
std::mutex g_classLock;
std::vector<std::wstring> g_classes;

void UnregisterWindowClasses() {
    std::lock_guard<std::mutex> lock(g_classLock);
    for (const std::wstring& name : g_classes) ::UnregisterClassW(name.c_str(), g_instance);
    g_classes.clear();
}

}  // namespace

HINSTANCE ModuleInstance() {
    return g_instance;
}
void ModuleAddRef() {
    ++g_refs;
}
void ModuleRelease() {
    --g_refs;
}
long ModuleRefCount() {
    return g_refs;
}

HRESULT GetOwnTypeInfo(REFGUID guid, ITypeInfo** info) {
    RETURN_HR_IF_NULL(E_POINTER, info);
    *info = nullptr;
    Microsoft::WRL::ComPtr<ITypeLib> lib;
    RETURN_IF_FAILED(OwnTypeLib(lib));
    return lib->GetTypeInfoOfGuid(guid, info);
}

HRESULT GetOwnTypeInfoByName(const wchar_t* name, ITypeInfo** info) {
    RETURN_HR_IF_NULL(E_POINTER, info);
    *info = nullptr;
    Microsoft::WRL::ComPtr<ITypeLib> lib;
    RETURN_IF_FAILED(OwnTypeLib(lib));
    std::wstring n(name);
    MEMBERID id = 0;
    USHORT found = 1;
    RETURN_IF_FAILED(lib->FindName(n.data(), 0, info, &id, &found));
    return found ? S_OK : TYPE_E_ELEMENTNOTFOUND;
}

void RegisterModuleWindowClass(const wchar_t* name, WNDPROC proc) {
    // Classes are per process and controls live on any number of apartment threads, so a
    // class that exists already (ERROR_CLASS_ALREADY_EXISTS) is simply used.
    std::lock_guard<std::mutex> lock(g_classLock);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = proc;
    wc.hInstance = g_instance;
    wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = name;
    if (::RegisterClassW(&wc) &&
        std::find(g_classes.begin(), g_classes.end(), name) == g_classes.end())
        g_classes.push_back(name);
}

}  // namespace orv

using namespace orv;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_instance = instance;
        ::DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // Unloaded (not the process ending): nothing of ours is alive any more, so what the
        // module holds goes, and no window class is left pointing at unmapped code.
        if (g_typeLib) g_typeLib->Release();
        g_typeLib = nullptr;
        UnregisterWindowClasses();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    RETURN_HR_IF_NULL(E_POINTER, out);
    *out = nullptr;
    for (const ClassEntry& c : Classes()) {
        if (*c.clsid != clsid) continue;
        return ComBoundary([&] {
            ClassFactory* f = new ClassFactory(c);
            const HRESULT hr = f->QueryInterface(iid, out);
            f->Release();
            return hr;
        });
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
    return g_refs == 0 ? S_OK : S_FALSE;
}

// All or nothing: on a failure, what this registration wrote is taken back.
STDAPI DllRegisterServer() {
    return ComBoundary([] {
        const std::wstring path = win::ModulePathW(g_instance);
        if (path.empty()) return SELFREG_E_CLASS;
        Microsoft::WRL::ComPtr<ITypeLib> lib;
        RETURN_IF_FAILED(LoadOwnTypeLib(&lib));
        std::wstring writable = path;
        if (FAILED(::RegisterTypeLib(lib.Get(), writable.data(), nullptr))) {
            UnregisterOwnTypeLib(lib.Get());
            return SELFREG_E_TYPELIB;
        }
        RegistryJournal reg;
        for (const ClassEntry& c : Classes()) {
            if (RegisterClassEntry(reg, c, path) != ERROR_SUCCESS) {
                reg.RollBack();
                UnregisterOwnTypeLib(lib.Get());
                return SELFREG_E_CLASS;
            }
        }
        return S_OK;
    });
}

// Removes every class and the type library; says so when something could not be removed.
STDAPI DllUnregisterServer() {
    return ComBoundary([] {
        bool classes = true;
        for (const ClassEntry& c : Classes()) classes = UnregisterClassEntry(c) && classes;
        Microsoft::WRL::ComPtr<ITypeLib> lib;
        const bool typeLib = SUCCEEDED(LoadOwnTypeLib(&lib)) && UnregisterOwnTypeLib(lib.Get());
        if (!classes) return SELFREG_E_CLASS;
        return typeLib ? S_OK : SELFREG_E_TYPELIB;
    });
}
