// The update dialog under Xvfb: CheckUpdateWithDialog(False) runs modal on the test's thread
// while a second thread visits its pages, each recognised by the controls it shows.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "control/dialog/dialog_ids.h"
#include "tests/e2e/e2e_util.h"

namespace orv::test {

enum class Page { Checking, Offer, Progress, Newest, Failure, Held };

inline Page Showing(HWND d) {
    auto on = [d](int id) { return IsWindowVisible(GetDlgItem(d, id)) != FALSE; };
    if (!on(IDC_UD_DETAIL)) return Page::Checking;
    if (on(IDC_UD_NOTES)) return Page::Offer;
    if (on(IDC_UD_PROGRESS)) return Page::Progress;
    if (on(IDC_UD_RETRY)) return Page::Failure;
    return on(IDOK) ? Page::Held : Page::Newest;
}

inline BOOL CALLBACK IsDialog(HWND h, LPARAM out) {
    wchar_t cls[16] = {};
    GetClassNameW(h, cls, 16);
    if (!IsWindowVisible(h) || std::wstring(cls) != L"#32770" || !GetDlgItem(h, IDC_UD_HEADLINE))
        return TRUE;
    *reinterpret_cast<HWND*>(out) = h;
    return FALSE;
}

inline std::wstring TextOf(HWND h) {
    std::wstring s(static_cast<std::size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
    s.resize(static_cast<std::size_t>(GetWindowTextW(h, s.data(), static_cast<int>(s.size()))));
    return s;
}

// One page of a walk: looked at (with `timeLeft` once the detail has changed: the download's
// time left), saved as dialog-`shot`-<trace>.bmp if named, then `key` pressed (0: none).
struct Visit {
    Page page;
    WORD key = 0;
    bool timeLeft = false;
    const char* shot = nullptr;
};

// A control of version 1.2.0.0 whose update memory is cleared after the test.
class DialogWalk : public E2E {
   protected:
    void SetUp() override {
        E2E::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        SetText(&_Orvane3::put_InstalledFile, BinFile("ver_1_2_0_0.dll"));
        ASSERT_EQ(S_OK, ctl_->QueryInterface(IID__Orvane4, reinterpret_cast<void**>(&ctl4_)));
    }
    void TearDown() override {
        if (ctl4_) ctl4_->Release();
        E2E::TearDown();
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orvane\\Updates");
    }

    // The dialog from a check while `visits` are made, each page shown to `look` after its
    // screenshot; the result. A page that did not come, or a window that stayed, fails (with
    // `trace`) and the window is closed.
    LONG Walk(const std::vector<Visit>& visits, const std::string& trace,
              const std::function<void(HWND)>& look) {
        std::atomic<bool> over{false};
        std::string problem;
        const DWORD ui = GetCurrentThreadId();
        std::thread driver([&] {
            HWND d = nullptr;
            for (const Visit& v : visits) {
                for (int i = 0; i < 1000 && !over && !(d && Showing(d) == v.page); ++i) {
                    d = nullptr;
                    EnumThreadWindows(ui, IsDialog, reinterpret_cast<LPARAM>(&d));
                    Sleep(20);
                }
                if (!d || Showing(d) != v.page) {
                    problem = "page " + std::to_string(static_cast<int>(v.page)) + " did not show";
                    break;
                }
                const std::wstring first = TextOf(GetDlgItem(d, IDC_UD_DETAIL));
                for (int i = 0;
                     v.timeLeft && i < 100 && TextOf(GetDlgItem(d, IDC_UD_DETAIL)) == first; ++i)
                    Sleep(20);
                if (v.shot) {
                    Sleep(400);  // painted
                    SaveWindowBitmap(d, ScreenshotFolder() + L"\\dialog-" + W(v.shot) + L"-" +
                                            W(trace) + L".bmp");
                }
                look(d);
                SetForegroundWindow(d);
                for (DWORD up : {0, KEYEVENTF_KEYUP})
                    if (v.key) keybd_event(static_cast<BYTE>(v.key), 0, up, 0);
            }
            for (int i = 0; i < 1000 && !over; ++i) Sleep(20);
            if (!over) problem += " the dialog stayed";
            if (!over) PostMessageW(d, WM_CLOSE, 0, 0);
        });
        LONG result = -100;
        EXPECT_EQ(S_OK, ctl4_->CheckUpdateWithDialog(VARIANT_FALSE, &result));
        over = true;
        driver.join();
        EXPECT_EQ(problem, "") << trace;
        return result;
    }

    _Orvane4* ctl4_ = nullptr;
};

}  // namespace orv::test
