#include "control/about.h"

#include <commctrl.h>
#include <shellapi.h>

#include "common/win/window.h"
#include "control/com_util.h"
#include "control/module.h"
#include "control/resource.h"
#include "control/settings.h"

namespace orv {
namespace {

constexpr COLORREF kGrey = RGB(192, 192, 192);
constexpr COLORREF kDarkBlue = RGB(0, 0, 192);
constexpr COLORREF kDarkPurple = RGB(64, 0, 64);

// Verdana bold at `tenthsOfPoints` / 100 points for the screen.
HFONT MakeFont(HWND hwnd, int hundredthsOfPoints) {
    HDC dc = GetDC(hwnd);
    const int height = -MulDiv(hundredthsOfPoints, GetDeviceCaps(dc, LOGPIXELSY), 7200);
    ReleaseDC(hwnd, dc);
    return CreateFontW(height, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, L"Verdana");
}

class AboutBox : public win::DialogBase<AboutBox> {
   public:
    explicit AboutBox(std::string version) : version_(std::move(version)) {}

    void Show(HWND owner) {
        DialogBoxParamW(ModuleInstance(), MAKEINTRESOURCEW(IDD_ABOUT), owner, DialogProc,
                        reinterpret_cast<LPARAM>(this));
    }

   private:
    friend DialogBase;
    INT_PTR HandleMessage(UINT msg, WPARAM wp, LPARAM lp) { return Handle(window_, msg, wp, lp); }

    INT_PTR Handle(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        switch (msg) {
            case WM_INITDIALOG: Load(hwnd); return TRUE;
            case WM_CTLCOLORDLG: return reinterpret_cast<INT_PTR>(background_.get());
            case WM_CTLCOLORSTATIC:
            case WM_CTLCOLORBTN: {
                HDC dc = reinterpret_cast<HDC>(wp);
                const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lp));
                SetTextColor(
                    dc, id == IDC_ABOUT_TITLE || id == IDC_ABOUT_LINK ? kDarkBlue : kDarkPurple);
                SetBkColor(dc, kGrey);
                return reinterpret_cast<INT_PTR>(background_.get());
            }
            case WM_SETCURSOR:
                if (reinterpret_cast<HWND>(wp) == GetDlgItem(hwnd, IDC_ABOUT_LINK)) {
                    SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_HAND)));
                    SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, TRUE);
                    return TRUE;
                }
                return FALSE;
            case WM_COMMAND:
                if (LOWORD(wp) == IDC_ABOUT_LINK && HIWORD(wp) == STN_CLICKED) {
                    OpenWebSite(hwnd);
                    return TRUE;
                }
                if (LOWORD(wp) == IDCANCEL) {
                    EndDialog(hwnd, 0);
                    return TRUE;
                }
                return FALSE;
            case WM_CLOSE: EndDialog(hwnd, 0); return TRUE;
        }
        return FALSE;
    }

    void Load(HWND hwnd) {
        background_.reset(CreateSolidBrush(kGrey));
        bold_.reset(MakeFont(hwnd, 825));
        title_.reset(MakeFont(hwnd, 1425));
        small_.reset(MakeFont(hwnd, 675));
        for (int id : {IDC_ABOUT_FRAME, IDC_ABOUT_LINK})
            SendDlgItemMessageW(hwnd, id, WM_SETFONT, reinterpret_cast<WPARAM>(bold_.get()), TRUE);
        SendDlgItemMessageW(hwnd, IDC_ABOUT_TITLE, WM_SETFONT,
                            reinterpret_cast<WPARAM>(title_.get()), TRUE);
        SendDlgItemMessageW(hwnd, IDC_ABOUT_VERSION, WM_SETFONT,
                            reinterpret_cast<WPARAM>(small_.get()), TRUE);
        HICON image = static_cast<HICON>(LoadImageW(ModuleInstance(), MAKEINTRESOURCEW(IDI_ORVANE),
                                                    IMAGE_ICON, 32, 32, LR_SHARED));
        SendDlgItemMessageW(hwnd, IDC_ABOUT_IMAGE, STM_SETICON, reinterpret_cast<WPARAM>(image), 0);
        HICON web = static_cast<HICON>(
            LoadImageW(ModuleInstance(), MAKEINTRESOURCEW(IDI_WEB), IMAGE_ICON, 16, 16, LR_SHARED));
        SendDlgItemMessageW(hwnd, IDC_ABOUT_WEBICON, STM_SETICON, reinterpret_cast<WPARAM>(web), 0);
        SetDlgItemTextA(hwnd, IDC_ABOUT_VERSION, version_.c_str());

        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES};
        InitCommonControlsEx(&icc);
        HWND tip = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, 0, 0, 0,
                                   0, hwnd, nullptr, ModuleInstance(), nullptr);
        TTTOOLINFOW ti = {};
        ti.cbSize = TTTOOLINFOW_V1_SIZE;
        ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        ti.hwnd = hwnd;
        ti.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(hwnd, IDC_ABOUT_LINK));
        ti.lpszText = const_cast<wchar_t*>(L"Visit us!");
        SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    }

    static void OpenWebSite(HWND hwnd) {
        const std::wstring folder = win::ModuleFolderW(ModuleInstance());
        ShellExecuteW(hwnd, nullptr, ToWide(kWebSiteAddress).c_str(), nullptr, folder.c_str(),
                      SW_SHOWNORMAL);
    }

    std::string version_;
    unique_hbrush background_;
    unique_hfont bold_, title_, small_;
};

}  // namespace

void ShowAboutBox(HWND owner, const std::string& versionText) {
    AboutBox box(versionText);
    box.Show(owner);
}

}  // namespace orv
