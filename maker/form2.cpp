#include "maker/form2.h"

#include <commctrl.h>
#include <shellapi.h>

#include <string>

#include "common/win/handles.h"
#include "common/win/window.h"
#include "maker/maker_logic.h"
#include "maker/resource.h"
#include "maker/win_support.h"

namespace orv::maker {

namespace {

constexpr COLORREF kLinkColour = RGB(0, 0, 255);

class Form2 : public win::DialogBase<Form2> {
   public:
    Form2(HINSTANCE instance, HICON mainIcon) : instance_(instance), mainIcon_(mainIcon) {}

   private:
    friend DialogBase;
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_INITDIALOG: Load(); return TRUE;
            case WM_CTLCOLORSTATIC:
                if (reinterpret_cast<HWND>(lParam) == GetDlgItem(window_, IDC_LABEL6)) {
                    HDC dc = reinterpret_cast<HDC>(wParam);
                    SetTextColor(dc, kLinkColour);
                    SetBkMode(dc, TRANSPARENT);
                    return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
                }
                return FALSE;
            case WM_SETCURSOR:
                if (reinterpret_cast<HWND>(wParam) == GetDlgItem(window_, IDC_LABEL6)) {
                    SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32649)));  // IDC_HAND
                    SetWindowLongPtrA(window_, DWLP_MSGRESULT, TRUE);
                    return TRUE;
                }
                return FALSE;
            case WM_COMMAND:
                if (LOWORD(wParam) == IDC_LABEL6 && HIWORD(wParam) == STN_CLICKED) {
                    OpenWebSite();
                } else if (LOWORD(wParam) == IDCANCEL) {
                    EndDialog(window_, 0);
                }
                return TRUE;
            case WM_CLOSE: EndDialog(window_, 0); return TRUE;
            case WM_DESTROY:
                if (tooltip_) DestroyWindow(tooltip_);
                return FALSE;
        }
        return FALSE;
    }

    void Load() {
        // Image1 holds a copy of the main window's icon.
        image_.reset(CopyIcon(mainIcon_));
        SendDlgItemMessageA(window_, IDC_IMAGE1, STM_SETICON,
                            reinterpret_cast<WPARAM>(image_.get()), 0);
        webIcon_.reset(static_cast<HICON>(
            LoadImageA(instance_, MAKEINTRESOURCEA(IDI_WEB), IMAGE_ICON, 16, 16, 0)));
        SendDlgItemMessageA(window_, IDC_PICTURE1, STM_SETICON,
                            reinterpret_cast<WPARAM>(webIcon_.get()), 0);

        // Label2 in a larger font, Label6 underlined like a link.
        LOGFONTA face{};
        const HFONT dialogFont = reinterpret_cast<HFONT>(SendMessageA(window_, WM_GETFONT, 0, 0));
        GetObjectA(dialogFont, sizeof face, &face);
        LOGFONTA title = face;
        title.lfHeight = face.lfHeight * 3 / 2;
        title.lfWeight = FW_BOLD;
        titleFont_.reset(CreateFontIndirectA(&title));
        SendDlgItemMessageA(window_, IDC_LABEL2, WM_SETFONT,
                            reinterpret_cast<WPARAM>(titleFont_.get()), TRUE);
        LOGFONTA link = face;
        link.lfUnderline = TRUE;
        linkFont_.reset(CreateFontIndirectA(&link));
        SendDlgItemMessageA(window_, IDC_LABEL6, WM_SETFONT,
                            reinterpret_cast<WPARAM>(linkFont_.get()), TRUE);

        // Label3: the program's own version, whatever the label held before; the version this
        // program was built as when its version resource cannot be read.
        const win::FileVersion v =
            win::ReadFileVersion(win::ModulePath())
                .value_or(win::FileVersion{ORV_MAKER_VERSION_MAJOR, ORV_MAKER_VERSION_MINOR,
                                           ORV_MAKER_VERSION_BUILD, ORV_MAKER_VERSION_REVISION});
        SetDlgItemTextA(window_, IDC_LABEL3,
                        FormatVersionLabel(v.Major, v.Minor, v.Revision).c_str());

        AddTooltip(IDC_LABEL6, "Visit us!");
    }

    void AddTooltip(int id, const char* text) {
        tooltip_ = CreateWindowExA(
            WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance_, nullptr);
        if (!tooltip_) return;
        TOOLINFOA tool{};
        tool.cbSize = TTTOOLINFOA_V1_SIZE;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = window_;
        tool.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(window_, id));
        tool.lpszText = const_cast<char*>(text);
        SendMessageA(tooltip_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
    }

    void OpenWebSite() {
        char address[512] = {};
        if (!LoadStringA(instance_, IDS_WEBSITE, address, sizeof address)) return;
        ShellExecuteA(window_, nullptr, address, nullptr, win::ModuleFolder().c_str(),
                      SW_SHOWNORMAL);
    }

    HINSTANCE instance_;
    HICON mainIcon_;
    HWND tooltip_ = nullptr;
    unique_hicon image_, webIcon_;
    unique_gdi_object titleFont_, linkFont_;
};

}  // namespace

void ShowAboutBox(HINSTANCE instance, HWND owner, HICON icon) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    Form2 form(instance, icon);
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_FORM2), owner, Form2::DialogProc,
                    reinterpret_cast<LPARAM>(&form));
}

}  // namespace orv::maker
