// Helpers shared by the Windows tests of the control library.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <string>

namespace orv::test {

// The folder of the running test program (where the build puts OrvaneCtl.ocx too).
inline std::wstring BinFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path);
    return s.substr(0, s.find_last_of(L"\\/"));
}

inline std::wstring OcxPath() {
    return BinFolder() + L"\\OrvaneCtl.ocx";
}

// The system a type library of this build describes, and the subkey of a registered type
// library's locale key that names its file for this bitness.
#ifdef _WIN64
constexpr SYSKIND kTargetSysKind = SYS_WIN64;
constexpr const wchar_t* kTypeLibPlatform = L"win64";
#else
constexpr SYSKIND kTargetSysKind = SYS_WIN32;
constexpr const wchar_t* kTypeLibPlatform = L"win32";
#endif

// Renders a type description as IDL-like text: "BSTR", "long*", "UPDATEINFO*".
inline std::wstring TypeText(ITypeInfo* owner, const TYPEDESC& t) {
    switch (t.vt) {
        case VT_PTR: return TypeText(owner, *t.lptdesc) + L"*";
        case VT_USERDEFINED: {
            ITypeInfo* ref = nullptr;
            std::wstring name = L"?";
            if (SUCCEEDED(owner->GetRefTypeInfo(t.hreftype, &ref))) {
                BSTR n = nullptr;
                if (SUCCEEDED(ref->GetDocumentation(MEMBERID_NIL, &n, nullptr, nullptr, nullptr))) {
                    name = n;
                    SysFreeString(n);
                }
                ref->Release();
            }
            return name;
        }
        case VT_BSTR: return L"BSTR";
        case VT_I4: return L"long";
        case VT_INT: return L"int";
        case VT_BOOL: return L"VARIANT_BOOL";
        case VT_HRESULT: return L"HRESULT";
        case VT_VOID: return L"void";
        case VT_VARIANT: return L"VARIANT";
        case VT_DISPATCH: return L"IDispatch*";
        case VT_UNKNOWN: return L"IUnknown*";
        default: return L"vt" + std::to_wstring(t.vt);
    }
}

}  // namespace orv::test
