#include "control/module.h"

#include <olectl.h>

#include <atomic>
#include <string>

#include "control/OrvaneControl.h"
#include "control/com_util.h"

namespace orv {
namespace {

HINSTANCE g_instance = nullptr;
std::atomic<long> g_refs{0};

// The OLE status bits a container reads before it creates the control: set the client site
// first, activate when visible, inside-out, can't be linked inside, recompose on resize.
constexpr DWORD kMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE |
                              OLEMISC_INSIDEOUT | OLEMISC_CANTLINKINSIDE |
                              OLEMISC_RECOMPOSEONRESIZE;

class ClassFactory final : public IClassFactory {
   public:
    explicit ClassFactory(const ClassEntry& entry) : entry_(entry) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        RETURN_HR_IF_NULL(E_POINTER, out);
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
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

std::string GuidText(REFGUID guid) {
    wchar_t buf[64] = {};
    ::StringFromGUID2(guid, buf, 64);
    return ToAnsi(buf, wcslen(buf));
}

std::string ModulePath() {
    char path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(g_instance, path, MAX_PATH);
    return std::string(path, n);
}

LONG SetKey(const std::string& key, const char* valueName, const std::string& value) {
    HKEY raw = nullptr;
    LONG rc = ::RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                &raw, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    unique_hkey k(raw);
    return ::RegSetValueExA(k.get(), valueName, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>(value.size() + 1));
}

HRESULT RegisterClassEntry(const ClassEntry& c, const std::string& path) {
    const std::string clsid = GuidText(*c.clsid);
    const std::string key = "CLSID\\" + clsid;
    LONG rc = SetKey(key, nullptr, c.name);
    if (rc == ERROR_SUCCESS) rc = SetKey(key + "\\InprocServer32", nullptr, path);
    if (rc == ERROR_SUCCESS) rc = SetKey(key + "\\InprocServer32", "ThreadingModel", "Apartment");
    if (rc == ERROR_SUCCESS) rc = SetKey(key + "\\TypeLib", nullptr, GuidText(LIBID_OrvaneControl));
    if (rc == ERROR_SUCCESS) rc = SetKey(key + "\\Version", nullptr, "1.0");
    if (rc == ERROR_SUCCESS && c.progId) {
        rc = SetKey(key + "\\ProgID", nullptr, c.progId);
        if (rc == ERROR_SUCCESS) rc = SetKey(c.progId, nullptr, c.name);
        if (rc == ERROR_SUCCESS) rc = SetKey(std::string(c.progId) + "\\CLSID", nullptr, clsid);
    }
    if (rc == ERROR_SUCCESS && c.isControl) {
        rc = SetKey(key + "\\Control", nullptr, "");
        if (rc == ERROR_SUCCESS) rc = SetKey(key + "\\ToolboxBitmap32", nullptr, path + ", 30000");
        if (rc == ERROR_SUCCESS) rc = SetKey(key + "\\MiscStatus", nullptr, "0");
        if (rc == ERROR_SUCCESS)
            rc = SetKey(key + "\\MiscStatus\\1", nullptr, std::to_string(kMiscStatus));
    }
    return HRESULT_FROM_WIN32(rc);
}

void UnregisterClassEntry(const ClassEntry& c) {
    ::RegDeleteTreeA(HKEY_CLASSES_ROOT, ("CLSID\\" + GuidText(*c.clsid)).c_str());
    ::RegDeleteKeyA(HKEY_CLASSES_ROOT, ("CLSID\\" + GuidText(*c.clsid)).c_str());
    if (c.progId) {
        ::RegDeleteTreeA(HKEY_CLASSES_ROOT, c.progId);
        ::RegDeleteKeyA(HKEY_CLASSES_ROOT, c.progId);
    }
}

HRESULT LoadOwnTypeLib(ITypeLib** lib) {
    const std::wstring path = ToWide(ModulePath());
    return ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib);
}

// The library's own type library, loaded once per thread that asks and kept: repeated
// IDispatch calls then cost no file access.
HRESULT OwnTypeLib(ITypeLib** lib) {
    static thread_local ITypeLib* cached = nullptr;
    if (!cached) RETURN_IF_FAILED(LoadOwnTypeLib(&cached));
    *lib = cached;
    return S_OK;
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
    ITypeLib* lib = nullptr;
    RETURN_IF_FAILED(OwnTypeLib(&lib));
    return lib->GetTypeInfoOfGuid(guid, info);
}

HRESULT GetOwnTypeInfoByName(const wchar_t* name, ITypeInfo** info) {
    RETURN_HR_IF_NULL(E_POINTER, info);
    *info = nullptr;
    ITypeLib* lib = nullptr;
    RETURN_IF_FAILED(OwnTypeLib(&lib));
    std::wstring n(name);
    MEMBERID id = 0;
    USHORT found = 1;
    RETURN_IF_FAILED(lib->FindName(n.data(), 0, info, &id, &found));
    return found ? S_OK : TYPE_E_ELEMENTNOTFOUND;
}

}  // namespace orv

using namespace orv;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_instance = instance;
        ::DisableThreadLibraryCalls(instance);
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

STDAPI DllRegisterServer() {
    return ComBoundary([] {
        ITypeLib* lib = nullptr;
        RETURN_IF_FAILED(LoadOwnTypeLib(&lib));
        const std::wstring path = ToWide(ModulePath());
        std::wstring writable = path;
        const HRESULT hr = ::RegisterTypeLib(lib, writable.data(), nullptr);
        lib->Release();
        if (FAILED(hr)) return SELFREG_E_TYPELIB;
        const std::string modulePath = ModulePath();
        for (const ClassEntry& c : Classes()) {
            if (FAILED(RegisterClassEntry(c, modulePath))) return SELFREG_E_CLASS;
        }
        return S_OK;
    });
}

STDAPI DllUnregisterServer() {
    return ComBoundary([] {
        for (const ClassEntry& c : Classes()) UnregisterClassEntry(c);
        ITypeLib* lib = nullptr;
        if (SUCCEEDED(LoadOwnTypeLib(&lib))) {
            TLIBATTR* attr = nullptr;
            if (SUCCEEDED(lib->GetLibAttr(&attr))) {
                ::UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                                    attr->syskind);
                lib->ReleaseTLibAttr(attr);
            }
            lib->Release();
        }
        return S_OK;
    });
}
