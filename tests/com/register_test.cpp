// Registration of OrvaneCtl.ocx: what DllRegisterServer adds, DllUnregisterServer removes.
#include <windows.h>

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
        reg_ = reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(lib_, "DllRegisterServer"));
        unreg_ = reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(lib_, "DllUnregisterServer"));
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
    const std::string path = DefaultValue(tlb + "\\1.0\\409\\win32");
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

TEST_F(Registration, ExportsAreUndecorated) {
    EXPECT_NE(GetProcAddress(lib_, "DllGetClassObject"), nullptr);
    EXPECT_NE(GetProcAddress(lib_, "DllCanUnloadNow"), nullptr);
}

}  // namespace
