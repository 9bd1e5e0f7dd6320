// Registration of OrvaneCtl.ocx: what DllRegisterServer adds, DllUnregisterServer removes.
#include <windows.h>

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

#include "control/OrvaneControl.h"
#include "control/com_util.h"
#include "tests/com/com_test_util.h"

namespace {

std::string GuidText(REFGUID g) {
    wchar_t buf[64];
    StringFromGUID2(g, buf, 64);
    return orv::ToAnsi(buf, wcslen(buf));
}

bool KeyExists(const std::string& key) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
        return false;
    RegCloseKey(k);
    return true;
}

std::string DefaultValue(const std::string& key, const char* name = nullptr) {
    char buf[1024] = {};
    LONG size = sizeof(buf);
    DWORD dsize = sizeof(buf);
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return "";
    RegQueryValueExA(k, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &dsize);
    RegCloseKey(k);
    (void)size;
    return buf;
}

class Registration : public ::testing::Test {
   protected:
    void SetUp() override {
        lib_ = LoadLibraryW(orv::test::OcxPath().c_str());
        ASSERT_NE(lib_, nullptr);
        reg_ = reinterpret_cast<HRESULT(WINAPI*)()>(
            reinterpret_cast<void*>(GetProcAddress(lib_, "DllRegisterServer")));
        unreg_ = reinterpret_cast<HRESULT(WINAPI*)()>(
            reinterpret_cast<void*>(GetProcAddress(lib_, "DllUnregisterServer")));
        ASSERT_NE(reg_, nullptr);
        ASSERT_NE(unreg_, nullptr);
    }
    void TearDown() override {
        if (reg_) reg_();  // other tests rely on the library being registered
        if (lib_) FreeLibrary(lib_);
    }
    HMODULE lib_ = nullptr;
    HRESULT(WINAPI* reg_)() = nullptr;
    HRESULT(WINAPI* unreg_)() = nullptr;
};

TEST_F(Registration, TypeLibraryIsRegisteredAndRemoved) {
    const std::string tlb = "TypeLib\\" + GuidText(LIBID_OrvaneControl);
    ASSERT_EQ(S_OK, reg_());
    EXPECT_TRUE(KeyExists(tlb + "\\1.0"));
    const std::wstring platform = orv::test::kTypeLibPlatform;
    const std::string path =
        DefaultValue(tlb + "\\1.0\\409\\" + orv::ToAnsi(platform.c_str(), platform.size()));
    EXPECT_NE(path.find("OrvaneCtl.ocx"), std::string::npos) << path;

    ASSERT_EQ(S_OK, unreg_());
    EXPECT_FALSE(KeyExists(tlb + "\\1.0"));
}

TEST_F(Registration, PropertyPagesAreRegisteredInProcess) {
    ASSERT_EQ(S_OK, reg_());
    for (const CLSID* clsid : {&CLSID_PropertyPage1, &CLSID_PropertyPage2, &CLSID_PropertyPage3}) {
        const std::string key = "CLSID\\" + GuidText(*clsid);
        const std::string server = DefaultValue(key + "\\InprocServer32");
        EXPECT_NE(server.find("OrvaneCtl.ocx"), std::string::npos) << key;
        EXPECT_EQ(DefaultValue(key + "\\InprocServer32", "ThreadingModel"), "Apartment");
        EXPECT_FALSE(KeyExists(key + "\\Control")) << "a page is not a control";
    }
    ASSERT_EQ(S_OK, unreg_());
    EXPECT_FALSE(KeyExists("CLSID\\" + GuidText(CLSID_PropertyPage1)));
}

// Runs a command line and waits for it (a minute at most); its exit code.
DWORD RunProgram(std::wstring cmd) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return GetLastError();
    DWORD code = 1;
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

// Runs regsvr32 silently on `ocx` (with /u to unregister); its exit code. `regsvr32` is the
// program of the library's bitness (the 32-bit one of a 64-bit system is in its WOW64 folder).
DWORD RunRegsvr32(const std::wstring& ocx, bool unregister,
                  const std::wstring& regsvr32 = L"regsvr32.exe") {
    std::wstring cmd = L"\"" + regsvr32 + L"\" /s ";
    if (unregister) cmd += L"/u ";
    cmd += L"\"" + ocx + L"\"";
    return RunProgram(cmd);
}

// A registry text as the registry holds it (UTF-16), or "<none>"; `view` picks the 32-bit or
// 64-bit view of a 64-bit system (KEY_WOW64_32KEY, KEY_WOW64_64KEY), 0 the program's own.
std::wstring RegText(const std::wstring& key, const wchar_t* name = nullptr, REGSAM view = 0) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ | view, &k) != ERROR_SUCCESS)
        return L"<none>";
    std::wstring value(4096, L'\0');
    DWORD size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    const LONG rc =
        RegQueryValueExW(k, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value.data()), &size);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS) return L"<none>";
    value.resize(size / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    return value;
}

std::wstring WideGuid(REFGUID g) {
    wchar_t buf[64];
    StringFromGUID2(g, buf, 64);
    return buf;
}

// Installed into a folder whose long name holds Cyrillic and CJK characters (outside the
// ANSI code page), the library registers every key with its exact path, and regsvr32 /u
// takes every key away again.
TEST_F(Registration, EveryKeyFromAFolderOutsideTheAnsiCodePageAndNoneAfterUnregistering) {
    wchar_t temp[MAX_PATH] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring folder = std::wstring(temp) +
                                L"Обновление программы Orvane 更新プログラム — a folder with a "
                                L"rather long name for the control library";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring ocx = folder + L"\\OrvaneCtl.ocx";
    ASSERT_TRUE(CopyFileW(orv::test::OcxPath().c_str(), ocx.c_str(), FALSE));
    ASSERT_EQ(0u, RunRegsvr32(ocx, false));

    const std::wstring clsid = WideGuid(CLSID_Orvane);
    const std::wstring key = L"CLSID\\" + clsid;
    EXPECT_EQ(RegText(key + L"\\InprocServer32"), ocx);
    EXPECT_EQ(RegText(key + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(RegText(key + L"\\Control"), L"");
    EXPECT_EQ(RegText(key + L"\\ToolboxBitmap32"), ocx + L", 30000");
    EXPECT_EQ(RegText(key + L"\\MiscStatus"), L"0");
    EXPECT_EQ(RegText(key + L"\\MiscStatus\\1"), L"131473");
    EXPECT_EQ(RegText(key + L"\\ProgID"), L"OrvaneControl.Orvane");
    EXPECT_EQ(RegText(L"OrvaneControl.Orvane\\CLSID"), clsid);
    EXPECT_EQ(RegText(key + L"\\TypeLib"), WideGuid(LIBID_OrvaneControl));
    EXPECT_EQ(RegText(key + L"\\Version"), L"1.0");
    const std::wstring tlb = L"TypeLib\\" + WideGuid(LIBID_OrvaneControl) + L"\\1.0";
    EXPECT_EQ(RegText(tlb + L"\\409\\" + orv::test::kTypeLibPlatform), ocx);
    for (const CLSID* page : {&CLSID_PropertyPage1, &CLSID_PropertyPage2, &CLSID_PropertyPage3})
        EXPECT_EQ(RegText(L"CLSID\\" + WideGuid(*page) + L"\\InprocServer32"), ocx);

    ASSERT_EQ(0u, RunRegsvr32(ocx, true));
    EXPECT_FALSE(KeyExists("CLSID\\" + GuidText(CLSID_Orvane)));
    EXPECT_FALSE(KeyExists("OrvaneControl.Orvane"));
    EXPECT_FALSE(KeyExists("TypeLib\\" + GuidText(LIBID_OrvaneControl) + "\\1.0"));
    for (const CLSID* page : {&CLSID_PropertyPage1, &CLSID_PropertyPage2, &CLSID_PropertyPage3})
        EXPECT_FALSE(KeyExists("CLSID\\" + GuidText(*page)));
    DeleteFileW(ocx.c_str());
    RemoveDirectoryW(folder.c_str());
}

#ifdef _WIN64
// A program of the system folder of one bitness: System32 holds the 64-bit programs, the
// WOW64 folder the 32-bit ones.
std::wstring SystemProgram(bool wow64, const wchar_t* name) {
    wchar_t dir[MAX_PATH] = {};
    const UINT n =
        wow64 ? GetSystemWow64DirectoryW(dir, MAX_PATH) : GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return name;
    return std::wstring(dir) + L"\\" + name;
}

// A Unix path of the build as the Windows path Wine shows for it (drive Z: is the root).
std::wstring WinePath(const char* unixPath) {
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p; ++p) path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    return path;
}

// The exit code of the script client of one bitness creating the control by its ProgID:
// 0 when it got a control, the script error number otherwise.
DWORD CreateByProgId(bool wow64) {
    const char* source = std::getenv("ORV_SOURCE_DIR");
    if (!source) return ERROR_PATH_NOT_FOUND;
    const std::wstring script = WinePath(source) + L"\\tests\\com\\create_by_progid.vbs";
    return RunProgram(L"\"" + SystemProgram(wow64, L"cscript.exe") + L"\" //nologo \"" + script +
                      L"\"");
}

// The 64-bit library registered beside the 32-bit one: each has its classes in the view of its
// bitness and its file in the type library's key, both create the control by the one ProgID,
// and unregistering one (in either order) keeps the ProgID for the other.
TEST_F(Registration, BothBitnessesAndEitherRemovedFirst) {
    const char* built32 = std::getenv("ORV_WIN32_OCX");
    if (!built32 || GetFileAttributesA(built32) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "the 32-bit build's OrvaneCtl.ocx is not there (ORV_WIN32_OCX)";
    const std::wstring ocx32 = WinePath(built32);
    const std::wstring ocx64 = orv::test::OcxPath();
    const std::wstring regsvr32 = SystemProgram(true, L"regsvr32.exe");
    const std::wstring regsvr64 = SystemProgram(false, L"regsvr32.exe");
    const std::wstring clsid = WideGuid(CLSID_Orvane);
    const std::wstring server = L"CLSID\\" + clsid + L"\\InprocServer32";
    const std::wstring lib = L"TypeLib\\" + WideGuid(LIBID_OrvaneControl) + L"\\1.0";
    const std::wstring progId = L"OrvaneControl.Orvane\\CLSID";
    struct Unregister32 {  // the 32-bit library never stays registered in this prefix
        std::wstring ocx, regsvr32;
        ~Unregister32() { RunRegsvr32(ocx, true, regsvr32); }
    } cleanup{ocx32, regsvr32};

    // Which libraries the registry names, and which bitness creates the control by ProgID.
    auto expectRegistered = [&](bool has32, bool has64) {
        const std::wstring none = L"<none>";
        EXPECT_EQ(RegText(server, nullptr, KEY_WOW64_64KEY), has64 ? ocx64 : none);
        EXPECT_EQ(RegText(server, nullptr, KEY_WOW64_32KEY), has32 ? ocx32 : none);
        EXPECT_EQ(RegText(lib + L"\\409\\win64"), has64 ? ocx64 : none);
        EXPECT_EQ(RegText(lib + L"\\409\\win32"), has32 ? ocx32 : none);
        EXPECT_EQ(RegText(progId), clsid);
        EXPECT_EQ(CreateByProgId(false) == 0u, has64);
        EXPECT_EQ(CreateByProgId(true) == 0u, has32);
    };

    ASSERT_EQ(0u, RunRegsvr32(ocx64, false, regsvr64));
    ASSERT_EQ(0u, RunRegsvr32(ocx32, false, regsvr32));
    expectRegistered(true, true);

    // The 32-bit one removed: the 64-bit one keeps the ProgID and its type library.
    ASSERT_EQ(0u, RunRegsvr32(ocx32, true, regsvr32));
    expectRegistered(false, true);

    // The other way round: the 64-bit one removed, the 32-bit one still created by ProgID.
    ASSERT_EQ(0u, RunRegsvr32(ocx32, false, regsvr32));
    ASSERT_EQ(0u, RunRegsvr32(ocx64, true, regsvr64));
    expectRegistered(true, false);

    // The last one removed: nothing of either is left.
    ASSERT_EQ(0u, RunRegsvr32(ocx32, true, regsvr32));
    EXPECT_EQ(RegText(server, nullptr, KEY_WOW64_32KEY), L"<none>");
    EXPECT_FALSE(KeyExists("OrvaneControl.Orvane"));
    EXPECT_FALSE(KeyExists("TypeLib\\" + GuidText(LIBID_OrvaneControl) + "\\1.0"));
    EXPECT_NE(0u, CreateByProgId(false));
}
#endif

// Unloaded, the library leaves no window class behind that points into unmapped code.
TEST(Module, UnregistersItsWindowClassesWhenUnloaded) {
    ASSERT_EQ(S_OK, OleInitialize(nullptr));
    HMODULE lib = LoadLibraryW(orv::test::OcxPath().c_str());
    ASSERT_NE(lib, nullptr);
    auto getClass = reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(lib, "DllGetClassObject")));
    ASSERT_NE(getClass, nullptr);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK, getClass(CLSID_Orvane, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    IUnknown* control = nullptr;
    ASSERT_EQ(S_OK,
              factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&control)));
    control->Release();
    factory->Release();
    WNDCLASSW wc{};
    EXPECT_TRUE(GetClassInfoW(lib, L"OrvaneSocketWindow", &wc));
    auto canUnload = reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(lib, "DllCanUnloadNow")));
    EXPECT_EQ(S_OK, canUnload());
    ASSERT_TRUE(FreeLibrary(lib));
    EXPECT_EQ(GetModuleHandleW(orv::test::OcxPath().c_str()), nullptr) << "still loaded";
    EXPECT_FALSE(GetClassInfoW(lib, L"OrvaneSocketWindow", &wc));
    OleUninitialize();
}

TEST_F(Registration, ExportsAreUndecorated) {
    EXPECT_NE(GetProcAddress(lib_, "DllGetClassObject"), nullptr);
    EXPECT_NE(GetProcAddress(lib_, "DllCanUnloadNow"), nullptr);
}

// A web page must not be able to drive a control that downloads and starts programs: the
// control claims no safety for scripting or initialization, by interface or by category.
TEST_F(Registration, ClaimsNoSafetyForScriptingOrInitialization) {
    ASSERT_EQ(S_OK, reg_());
    const std::string categories =
        "CLSID\\" + GuidText(CLSID_Orvane) + "\\Implemented Categories\\";
    for (const char* safeFor : {"{7DD95801-9882-11CF-9FA9-00AA006C42C4}",     // scripting
                                "{7DD95802-9882-11CF-9FA9-00AA006C42C4}"}) {  // initialization
        EXPECT_FALSE(KeyExists(categories + safeFor)) << safeFor;
    }
    ASSERT_EQ(S_OK, OleInitialize(nullptr));
    IUnknown* control = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_Orvane, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(&control)));
    IID objectSafety = {};
    ASSERT_EQ(S_OK, IIDFromString(L"{CB5BDC81-93C1-11CF-8F20-00805F2CD064}", &objectSafety));
    void* safety = nullptr;
    EXPECT_EQ(E_NOINTERFACE, control->QueryInterface(objectSafety, &safety));
    control->Release();
    OleUninitialize();
}

}  // namespace
