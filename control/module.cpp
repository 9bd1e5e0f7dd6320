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

std::wstring BstrText(BSTR text) {
    return text ? std::wstring(text, ::SysStringLen(text)) : std::wstring();
}

// Writes registry values under a classes root (HKEY_CLASSES_ROOT, or the current user's
// HKCU\Software\Classes) and remembers how to take each write back: a key it created is
// deleted again, a value it replaced gets its old data back.
class RegistryJournal {
   public:
    explicit RegistryJournal(HKEY root) : root_(root) {}
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
        LONG rc =
            ::RegCreateKeyExW(root_, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &raw, nullptr);
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
            ::RegDeleteTreeW(root_, it->c_str());
            ::RegDeleteKeyW(root_, it->c_str());
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

    LONG OpenKey(const std::wstring& key, REGSAM access, unique_hkey& out) const {
        HKEY raw = nullptr;
        const LONG rc = ::RegOpenKeyExW(root_, key.c_str(), 0, access, &raw);
        if (rc == ERROR_SUCCESS) out.reset(raw);
        return rc;
    }
    bool Exists(const std::wstring& key) const {
        unique_hkey k;
        return OpenKey(key, KEY_READ, k) == ERROR_SUCCESS;
    }
    bool IsUnderCreatedKey(const std::wstring& key) const {
        for (const std::wstring& c : createdKeys_)
            if (key == c || key.rfind(c + L"\\", 0) == 0) return true;
        return false;
    }

    HKEY root_;
    std::vector<std::wstring> createdKeys_;
    std::vector<Saved> savedValues_;
};

// One registry value of a registration: its key below the classes root, its name (null: the
// key's default value) and its text.
struct RegValue {
    std::wstring key;
    const wchar_t* name;
    std::wstring data;
};

void AddClassValues(std::vector<RegValue>& values, const ClassEntry& c, const std::wstring& path) {
    const std::wstring clsid = GuidText(*c.clsid);
    const std::wstring key = L"CLSID\\" + clsid;
    const RegValue own[] = {
        {key, nullptr, ToWide(c.name)},
        {key + L"\\InprocServer32", nullptr, path},
        {key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {key + L"\\TypeLib", nullptr, GuidText(LIBID_OrvaneControl)},
        {key + L"\\Version", nullptr, L"1.0"},
    };
    values.insert(values.end(), std::begin(own), std::end(own));
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
}

std::wstring HexText(unsigned value) {
    wchar_t buf[16] = {};
    ::swprintf(buf, 16, L"%x", value);
    return buf;
}

// The system's proxy/stub classes of automation interfaces: the type library marshaler for
// dual and oleautomation interfaces, IDispatch's own for dispinterfaces.
constexpr wchar_t kPSOAInterface[] = L"{00020424-0000-0000-C000-000000000046}";
constexpr wchar_t kPSDispatch[] = L"{00020420-0000-0000-C000-000000000046}";

// The keys RegisterTypeLib writes for the library and its automation interfaces. A per-user
// registration writes them itself: the system's RegisterTypeLibForUser may register for the
// whole machine (Wine's does), which needs an administrator.
HRESULT AddTypeLibValues(std::vector<RegValue>& values, ITypeLib* lib, const std::wstring& path) {
    TLIBATTR* attr = nullptr;
    RETURN_IF_FAILED(lib->GetLibAttr(&attr));
    const TLIBATTR a = *attr;
    lib->ReleaseTLibAttr(attr);
    const std::wstring libId = GuidText(a.guid);
    const std::wstring version = HexText(a.wMajorVerNum) + L"." + HexText(a.wMinorVerNum);
    const std::wstring key = L"TypeLib\\" + libId + L"\\" + version;
    unique_bstr doc;
    RETURN_IF_FAILED(lib->GetDocumentation(-1, nullptr, doc.put(), nullptr, nullptr));
    const wchar_t* platform = a.syskind == SYS_WIN64 ? L"win64" : L"win32";
    values.insert(values.end(),
                  {{key, nullptr, BstrText(doc.get())},
                   {key + L"\\" + HexText(a.lcid) + L"\\" + platform, nullptr, path},
                   {key + L"\\FLAGS", nullptr, std::to_wstring(a.wLibFlags)},
                   {key + L"\\HELPDIR", nullptr, path.substr(0, path.find_last_of(L'\\'))}});
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        Microsoft::WRL::ComPtr<ITypeInfo> info;
        RETURN_IF_FAILED(lib->GetTypeInfo(i, &info));
        TYPEATTR* t = nullptr;
        RETURN_IF_FAILED(info->GetTypeAttr(&t));
        const TYPEATTR type = *t;
        info->ReleaseTypeAttr(t);
        const bool automation =
            type.typekind == TKIND_DISPATCH ||
            (type.typekind == TKIND_INTERFACE && (type.wTypeFlags & TYPEFLAG_FOLEAUTOMATION));
        if (!automation) continue;
        unique_bstr name;
        RETURN_IF_FAILED(
            info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr));
        const std::wstring iface = L"Interface\\" + GuidText(type.guid);
        const wchar_t* proxy =
            type.typekind == TKIND_DISPATCH && !(type.wTypeFlags & TYPEFLAG_FDUAL) ? kPSDispatch
                                                                                   : kPSOAInterface;
        values.insert(values.end(), {{iface, nullptr, BstrText(name.get())},
                                     {iface + L"\\ProxyStubClsid", nullptr, proxy},
                                     {iface + L"\\ProxyStubClsid32", nullptr, proxy},
                                     {iface + L"\\TypeLib", nullptr, libId},
                                     {iface + L"\\TypeLib", L"Version", version}});
    }
    return S_OK;
}

// Writes every value; stops at the first failure (the journal then takes the writes back).
LONG WriteValues(RegistryJournal& reg, const std::vector<RegValue>& values) {
    for (const RegValue& v : values) {
        const LONG rc = reg.Set(v.key, v.name, v.data);
        if (rc != ERROR_SUCCESS) return rc;
    }
    return ERROR_SUCCESS;
}

// Removes a tree; a tree that is not there is no failure.
bool DeleteTree(HKEY root, const std::wstring& key) {
    const LONG rc = ::RegDeleteTreeW(root, key.c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return false;
    const LONG rc2 = ::RegDeleteKeyW(root, key.c_str());
    return rc2 == ERROR_SUCCESS || rc2 == ERROR_FILE_NOT_FOUND;
}

// Removes a key that holds neither keys nor values; any other is left as it is.
void DeleteIfEmpty(HKEY root, const std::wstring& key) {
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return;
    const unique_hkey k(raw);
    DWORD keys = 0, values = 0;
    if (::RegQueryInfoKeyW(k.get(), nullptr, nullptr, nullptr, &keys, nullptr, nullptr, &values,
                           nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        keys == 0 && values == 0)
        ::RegDeleteKeyW(root, key.c_str());
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
bool OtherViewServes(HKEY root, const std::wstring& clsid) {
    const std::wstring key = L"CLSID\\" + clsid + L"\\InprocServer32";
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | kOtherView, &raw) != ERROR_SUCCESS)
        return false;
    const unique_hkey k(raw);
    return true;
}

// Removes the class from this library's view; its ProgID goes too unless the library of the
// other bitness still serves the class, whose hosts create it by that ProgID.
bool UnregisterClassEntry(HKEY root, const ClassEntry& c) {
    const std::wstring clsid = GuidText(*c.clsid);
    bool ok = DeleteTree(root, L"CLSID\\" + clsid);
    if (c.progId && !OtherViewServes(root, clsid)) ok = DeleteTree(root, ToWide(c.progId)) && ok;
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
        std::vector<RegValue> values;
        for (const ClassEntry& c : Classes()) AddClassValues(values, c, path);
        RegistryJournal reg(HKEY_CLASSES_ROOT);
        if (WriteValues(reg, values) != ERROR_SUCCESS) {
            reg.RollBack();
            UnregisterOwnTypeLib(lib.Get());
            return SELFREG_E_CLASS;
        }
        return S_OK;
    });
}

// Removes every class and the type library; says so when something could not be removed.
STDAPI DllUnregisterServer() {
    return ComBoundary([] {
        bool classes = true;
        for (const ClassEntry& c : Classes())
            classes = UnregisterClassEntry(HKEY_CLASSES_ROOT, c) && classes;
        Microsoft::WRL::ComPtr<ITypeLib> lib;
        const bool typeLib = SUCCEEDED(LoadOwnTypeLib(&lib)) && UnregisterOwnTypeLib(lib.Get());
        if (!classes) return SELFREG_E_CLASS;
        return typeLib ? S_OK : SELFREG_E_TYPELIB;
    });
}

namespace {

// The current user's classes, HKCU\Software\Classes: writable without an administrator.
LONG OpenUserClasses(unique_hkey& out) {
    HKEY raw = nullptr;
    const LONG rc = ::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0,
                                      KEY_READ | KEY_WRITE, nullptr, &raw, nullptr);
    if (rc == ERROR_SUCCESS) out.reset(raw);
    return rc;
}

// The same keys as the machine's registration, under the current user's classes; all or
// nothing.
HRESULT RegisterForUser() {
    const std::wstring path = win::ModulePathW(g_instance);
    if (path.empty()) return SELFREG_E_CLASS;
    Microsoft::WRL::ComPtr<ITypeLib> lib;
    RETURN_IF_FAILED(LoadOwnTypeLib(&lib));
    std::vector<RegValue> values;
    if (FAILED(AddTypeLibValues(values, lib.Get(), path))) return SELFREG_E_TYPELIB;
    for (const ClassEntry& c : Classes()) AddClassValues(values, c, path);
    unique_hkey root;
    if (OpenUserClasses(root) != ERROR_SUCCESS) return SELFREG_E_CLASS;
    RegistryJournal reg(root.get());
    if (WriteValues(reg, values) != ERROR_SUCCESS) {
        reg.RollBack();
        return SELFREG_E_CLASS;
    }
    return S_OK;
}

// Removes what RegisterForUser wrote: the classes (the ProgID stays while the library of the
// other bitness serves the class), this platform's file of the type library, and the type
// library with its interfaces once no other platform's file is left; then the folders
// CLSID, Interface and TypeLib when nothing else is in them.
HRESULT UnregisterForUser() {
    unique_hkey root;
    if (OpenUserClasses(root) != ERROR_SUCCESS) return SELFREG_E_CLASS;
    bool ok = true;
    for (const ClassEntry& c : Classes()) ok = UnregisterClassEntry(root.get(), c) && ok;
    Microsoft::WRL::ComPtr<ITypeLib> lib;
    std::vector<RegValue> values;
    if (FAILED(LoadOwnTypeLib(&lib)) || FAILED(AddTypeLibValues(values, lib.Get(), L"")))
        return SELFREG_E_TYPELIB;
    // values[0] is the version key, values[1] the platform's file below its locale key.
    const std::wstring& version = values[0].key;
    const std::wstring& file = values[1].key;
    const std::wstring locale = file.substr(0, file.find_last_of(L'\\'));
    ok = DeleteTree(root.get(), file) && ok;
    DeleteIfEmpty(root.get(), locale);
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(root.get(), locale.c_str(), 0, KEY_READ, &raw) == ERROR_SUCCESS) {
        ::RegCloseKey(raw);  // the other platform's library still uses the type library
    } else {
        ok = DeleteTree(root.get(), version) && ok;
        DeleteIfEmpty(root.get(), version.substr(0, version.find_last_of(L'\\')));
        for (const RegValue& v : values)
            if (v.key.rfind(L"Interface\\", 0) == 0 && v.key.find(L'\\', 10) == std::wstring::npos)
                ok = DeleteTree(root.get(), v.key) && ok;
    }
    for (const wchar_t* folder : {L"CLSID", L"Interface", L"TypeLib"})
        DeleteIfEmpty(root.get(), folder);
    return ok ? S_OK : SELFREG_E_CLASS;
}

}  // namespace

// regsvr32 /n /i:user OrvaneCtl.ocx registers the library for the current user only
// (HKCU\Software\Classes, no administrator needed) and regsvr32 /u /n /i:user removes that
// again. An empty command line does what DllRegisterServer / DllUnregisterServer do (regsvr32
// /i without /n calls both); any other is refused.
STDAPI DllInstall(BOOL install, PCWSTR commandLine) {
    return ComBoundary([&] {
        const bool user = commandLine && ::_wcsicmp(commandLine, L"user") == 0;
        if (user) return install ? RegisterForUser() : UnregisterForUser();
        if (commandLine && *commandLine) return E_INVALIDARG;
        return install ? DllRegisterServer() : DllUnregisterServer();
    });
}
