// The shared platform services of common/win under Wine's real libraries: the window and
// dialog binding, the movable VARIANT owner, module paths and version resources.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/win/handles.h"
#include "common/win/system.h"
#include "common/win/window.h"

namespace orv::win {
namespace {

class Recorder : public WindowBase<Recorder> {
   public:
    std::vector<UINT> seen;
    HWND handleAtCreate = nullptr;

   private:
    friend WindowBase;
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_CREATE) handleAtCreate = window_;
        if (message == WM_APP || message == WM_NCDESTROY) seen.push_back(message);
        return DefWindowProcW(window_, message, wParam, lParam);
    }
};

TEST(WindowBase, BindsTheObjectFromCreationToDestruction) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = Recorder::WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"OrvaneWindowBaseTest";
    ASSERT_NE(RegisterClassW(&wc), 0);
    Recorder recorder;
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr,
                                  wc.hInstance, &recorder);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(recorder.handleAtCreate, window) << "bound before WM_CREATE";
    EXPECT_EQ(recorder.Handle(), window);
    SendMessageW(window, WM_APP, 0, 0);
    DestroyWindow(window);
    EXPECT_EQ(recorder.seen, (std::vector<UINT>{WM_APP, WM_NCDESTROY}));
    EXPECT_EQ(recorder.Handle(), nullptr) << "forgotten when the window is gone";

    // A window of the class created without an object gets the default handling.
    HWND plain = CreateWindowExW(0, wc.lpszClassName, L"plain", 0, 0, 0, 10, 10, HWND_MESSAGE,
                                 nullptr, wc.hInstance, nullptr);
    ASSERT_NE(plain, nullptr);
    wchar_t title[16] = {};
    GetWindowTextW(plain, title, 16);
    EXPECT_STREQ(title, L"plain");
    DestroyWindow(plain);
    UnregisterClassW(wc.lpszClassName, wc.hInstance);
}

TEST(UniqueVariant, MovesItsValueAndClearsItOnce) {
    unique_variant a;
    EXPECT_EQ(V_VT(a.get()), VT_EMPTY);
    V_VT(a.get()) = VT_BSTR;
    V_BSTR(a.get()) = SysAllocString(L"moved");
    unique_variant b(std::move(a));
    EXPECT_EQ(V_VT(a.get()), VT_EMPTY);  // NOLINT: the moved-from owner is empty
    ASSERT_EQ(V_VT(b.get()), VT_BSTR);
    EXPECT_STREQ(V_BSTR(b.get()), L"moved");
    unique_variant c;
    c = std::move(b);
    EXPECT_STREQ(V_BSTR(c.get()), L"moved");
    c.reset();
    EXPECT_EQ(V_VT(c.get()), VT_EMPTY);
}

TEST(Module, PathInBothFormsAndFolder) {
    const std::wstring wide = ModulePathW();
    const std::string path = ModulePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(std::wstring(path.begin(), path.end()), wide);  // an ASCII build path
    EXPECT_EQ(path.rfind(ModuleFolder() + "\\", 0), 0u);
    EXPECT_EQ(path.substr(path.rfind('\\') + 1), "unit_win.exe");
}

TEST(VersionResource, NumbersOfAFileAndNothingWithoutOne) {
    // A small library of the build whose version resource says 2.1.0.7.
    const auto v = ReadFileVersion(ModuleFolder() + "\\ver_2_1_0_7.dll");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->Major, 2u);
    EXPECT_EQ(v->Minor, 1u);
    EXPECT_EQ(v->Build, 0u);
    EXPECT_EQ(v->Revision, 7u);
    EXPECT_FALSE(ReadFileVersion(ModulePath()));  // a test program has none
    EXPECT_FALSE(ReadFileVersion(ModuleFolder() + "\\missing.dll"));
}

}  // namespace
}  // namespace orv::win
