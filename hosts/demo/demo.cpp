// OrvaneDemo: a host application walking the whole update cycle with the Orvane control.
// It places the control on its window through Wine's or Windows' ATL container window
// (class "AtlAxWin", created by ProgID), like a form designer's host would, and drives it
// with buttons: Check, Compare, Download (with a progress bar), Run, Cancel, Product page,
// About. With /auto it runs the cycle unattended, prints every event on stdout, one line
// each, and exits 0 only when the cycle worked.
//
//   OrvaneDemo.exe [/auto] [/host H] [/port N] [/path P] [/file F] [/folder DIR] [/hold MS]
#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>
#include <fcntl.h>
#include <io.h>
#include <ocidl.h>
#include <olectl.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/win/system.h"
#include "control/OrvaneControl.h"
#include "control/dispids.h"
#include "orvane_version.h"

namespace {

enum : int {
    kCheck = 101,
    kCompare,
    kDownload,
    kRun,
    kCancel,
    kProductPage,
    kAbout,
    kProgress = 201,
    kLog,
};

struct Options {
    bool autoRun = false;
    std::wstring host = L"127.0.0.1";
    long port = 80;
    std::wstring path = L"/";
    std::wstring file = L"update.orv";
    std::wstring folder;
    DWORD holdMs = 0;  // keep the window up this long after the automatic cycle
};

HWND g_main = nullptr;
HWND g_log = nullptr;
HWND g_progress = nullptr;
HWND g_status = nullptr;
HFONT g_font = nullptr;
int g_buttonsRight = 0;  // where the row of buttons ends, for the window's width
int g_lineHeight = 16;

// The layout: a margin around everything, and room for the control's 32x32 picture on the left.
constexpr int kMargin = 12;
constexpr int kControlRoom = 48;

// The system's message font (what dialogs use), or the GUI font when it cannot be had.
HFONT MessageFont() {
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
        if (HFONT f = CreateFontIndirectW(&metrics.lfMessageFont)) return f;
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

HWND Child(HWND child) {
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), FALSE);
    return child;
}
_Orvane* g_control = nullptr;
Options g_options;

// The automatic cycle's progress.
enum class Step { Checking, Downloading, Done, Failed };
Step g_step = Step::Checking;
bool g_updateReceived = false;

std::string Narrow(const std::wstring& w) {
    return orv::win::WideToAnsi(w);
}

// A line of the control's single-byte text as UTF-8 with LF line ends, as a terminal shows
// it: the record's texts are in the ANSI code page and its line breaks are CR LF.
std::string TerminalText(const std::string& line) {
    std::string ansi = line;
    for (std::size_t at; (at = ansi.find("\r\n")) != std::string::npos;) ansi.erase(at, 1);
    const std::wstring wide = orv::win::AnsiToWide(ansi);
    const int n = static_cast<int>(wide.size());
    const int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(m), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, utf8.data(), m, nullptr, nullptr);
    return utf8 + "\n";
}

// Prints a line and, unless it is a progress line, appends it to the window's log. Progress
// goes to the status line instead: an edit control that grows by one line per received piece
// gets slower with every line.
void Say(const std::string& line, bool progress = false) {
    const std::string out = TerminalText(line);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    if (progress) {
        // Repainting costs more than a piece takes to arrive: ten updates a second will do.
        static DWORD last = 0;
        const DWORD now = GetTickCount();
        if (g_status && now - last >= 100) {
            SetWindowTextA(g_status, line.c_str());
            last = now;
        }
        return;
    }
    if (g_log) {
        const int end = GetWindowTextLengthA(g_log);
        SendMessageA(g_log, EM_SETSEL, end, end);
        SendMessageA(g_log, EM_REPLACESEL, FALSE,
                     reinterpret_cast<LPARAM>((line + "\r\n").c_str()));
    }
}

std::wstring OwnExe() {
    return orv::win::ModulePathW();
}

std::wstring DownloadFolder() {
    if (!g_options.folder.empty()) return g_options.folder;
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"OrvaneDemo";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void Finish(Step step) {
    g_step = step;
    if (g_options.autoRun) PostQuitMessage(step == Step::Done ? 0 : 1);
}

std::string Field(BSTR b) {
    return Narrow(b ? std::wstring(b, SysStringLen(b)) : L"");
}

void DoCheck() {
    ORVANEERROR r = ORV_ERROR_SUCCESS;
    HRESULT hr = g_control->CheckUpdate(&r);
    Say("CheckUpdate -> " + std::to_string(r) + (FAILED(hr) ? " (error)" : ""));
    if (FAILED(hr) || r != ORV_ERROR_SUCCESS) Finish(Step::Failed);
}

// The file to compare with: in the automatic cycle the demo's own program; otherwise the user
// picks one, starting at the demo's own program. Empty when the user cancels.
std::wstring FileToCompare() {
    if (g_options.autoRun) return OwnExe();
    wchar_t path[MAX_PATH] = {};
    const std::wstring own = OwnExe();
    own.copy(path, MAX_PATH - 1);
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = g_main;
    ofn.lpstrFilter =
        L"Programs and libraries (*.exe;*.dll;*.ocx)\0*.exe;*.dll;*.ocx\0All files (*.*)\0*.*\0";
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrTitle = L"Compare the update with...";
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    return GetOpenFileNameW(&ofn) ? std::wstring(path) : std::wstring();
}

void DoCompare() {
    const std::wstring file = FileToCompare();
    if (file.empty()) return;
    BSTR exe = SysAllocString(file.c_str());
    LONG r = 0;
    g_control->CompareVersion(exe, &r);
    BSTR version = SysAllocString(L"");
    ORVANEERROR gr = ORV_ERROR_SUCCESS;
    g_control->GetFileVersion(exe, &version, &gr);
    const char* meaning = r == VER_UPDATEISGREATER ? "the update is newer"
                          : r == VER_UPDATEISLESS  ? "the update is older"
                          : r == VER_UPDATEISEQUAL ? "same version"
                                                   : "no version to compare";
    const std::wstring name = file.substr(file.find_last_of(L"\\/") + 1);
    Say("CompareVersion(" + Narrow(name) + " " + Field(version) + ") -> " + std::to_string(r) +
        ": " + meaning);
    SysFreeString(version);
    SysFreeString(exe);
}

void DoDownload() {
    BSTR folder = SysAllocString(DownloadFolder().c_str());
    ORVANEERROR r = ORV_ERROR_SUCCESS;
    HRESULT hr = g_control->ReceiveUpdate(folder, nullptr, &r);
    Say("ReceiveUpdate(" + Narrow(DownloadFolder()) + ") -> " + std::to_string(r));
    SysFreeString(folder);
    if (FAILED(hr) || r != ORV_ERROR_SUCCESS) {
        Finish(Step::Failed);
        return;
    }
    g_step = Step::Downloading;
}

void DoRun() {
    BSTR params = SysAllocString(L"/quiet");
    LONG r = 0;
    g_control->RunUpdate(params, &r);
    SysFreeString(params);
    Say("RunUpdate -> " + std::to_string(r) + (r > 32 ? " (started)" : " (failed)"));
    if (!g_options.autoRun) return;
    if (r <= 32) {
        Finish(Step::Failed);
        return;
    }
    // The package reports through installed.txt next to itself.
    const std::wstring log = DownloadFolder() + L"\\installed.txt";
    for (int i = 0; i < 100; ++i) {
        if (FILE* f = _wfopen(log.c_str(), L"r")) {
            char line[256] = {};
            const bool got = std::fgets(line, sizeof line, f) != nullptr;
            std::fclose(f);
            if (got) {
                std::string s(line);
                while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
                Say("package says: " + s);
                Finish(Step::Done);
                return;
            }
        }
        Sleep(100);
    }
    Say("the package did not report back");
    Finish(Step::Failed);
}

// The event sink: prints every event and moves the automatic cycle on.
class Events final : public IDispatch {
   public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID___Orvane) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        auto num = [&](UINT i) { return V_I4(&p->rgvarg[p->cArgs - 1 - i]); };
        auto text = [&](UINT i) { return Field(V_BSTR(&p->rgvarg[p->cArgs - 1 - i])); };
        switch (id) {
            case DISPID_ORV_UPDATERECEIVED:
                SendMessageW(g_progress, PBM_SETPOS, 100, 0);  // full, whatever the size said
                SetWindowTextA(g_status, "package received");
                Say("UpdateReceived");
                g_updateReceived = true;
                if (g_options.autoRun) PostMessageW(g_main, WM_COMMAND, kRun, 0);
                break;
            case DISPID_ORV_RECEIVINGUPDATE:
                Say("ReceivingUpdate bytes=" + std::to_string(num(0)) +
                        " total=" + std::to_string(num(1)) + " percent=" + std::to_string(num(2)) +
                        " rate=" + std::to_string(num(3)) + " B/s",
                    true);
                if (static_cast<int>(SendMessageW(g_progress, PBM_GETPOS, 0, 0)) != num(2))
                    SendMessageW(g_progress, PBM_SETPOS, num(2) > 100 ? 100 : num(2), 0);
                break;
            case DISPID_ORV_CONNECTIONERROR:
                Say("ConnectionError " + std::to_string(num(0)) + " " + text(1));
                Finish(Step::Failed);
                break;
            case DISPID_ORV_HTTPSTATUS:
                Say("HttpStatus " + std::to_string(num(0)) + " " + text(1));
                if (num(0) != 200) Finish(Step::Failed);
                break;
            case DISPID_ORV_INFORECEIVED: {
                const auto* info = static_cast<const UPDATEINFO*>(V_RECORD(&p->rgvarg[0]));
                Say("InfoReceived");
                Say("  Name:        " + Field(info->Name));
                Say("  Version:     " + Field(info->Version));
                Say("  ReleaseDate: " + Field(info->ReleaseDate));
                Say("  Description: " + Field(info->Description));
                Say("  PackageFile: " + Field(info->PackageFile));
                Say("  PackageSize: " + std::to_string(info->PackageSize));
                if (g_options.autoRun) {
                    // Decide with the comparison, then fetch the package.
                    PostMessageW(g_main, WM_COMMAND, kCompare, 0);
                    PostMessageW(g_main, WM_COMMAND, kDownload, 0);
                }
                break;
            }
        }
        return S_OK;
    }
};

Events g_events;

bool PlaceControl(HWND parent) {
    HMODULE atl = LoadLibraryW(L"atl.dll");
    auto init = atl ? reinterpret_cast<BOOL(WINAPI*)()>(
                          reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxWinInit")))
                    : nullptr;
    auto getControl = atl ? reinterpret_cast<HRESULT(WINAPI*)(HWND, IUnknown**)>(
                                reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxGetControl")))
                          : nullptr;
    if (!init || !getControl || !init()) {
        Say("the ATL container (atl.dll) is not available");
        return false;
    }
    HWND ax = CreateWindowExW(0, L"AtlAxWin", L"OrvaneControl.Orvane", WS_CHILD | WS_VISIBLE, 12,
                              12, 40, 40, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
    IUnknown* unk = nullptr;
    if (!ax || FAILED(getControl(ax, &unk)) || !unk) {
        Say("the Orvane control could not be created (is OrvaneCtl.ocx registered?)");
        return false;
    }
    HRESULT hr = unk->QueryInterface(IID__Orvane, reinterpret_cast<void**>(&g_control));
    unk->Release();
    if (FAILED(hr)) return false;
    IConnectionPointContainer* cpc = nullptr;
    IConnectionPoint* cp = nullptr;
    DWORD cookie = 0;
    if (SUCCEEDED(g_control->QueryInterface(IID_IConnectionPointContainer,
                                            reinterpret_cast<void**>(&cpc))) &&
        SUCCEEDED(cpc->FindConnectionPoint(DIID___Orvane, &cp))) {
        cp->Advise(&g_events, &cookie);
    }
    if (cp) cp->Release();
    if (cpc) cpc->Release();
    if (!cookie) {
        Say("could not connect to the control's events");
        return false;
    }
    BSTR host = SysAllocString(g_options.host.c_str());
    BSTR path = SysAllocString(g_options.path.c_str());
    BSTR file = SysAllocString(g_options.file.c_str());
    g_control->put_RemoteHost(host);
    g_control->put_RemotePort(g_options.port);
    g_control->put_RemotePath(path);
    g_control->put_RemoteFile(file);
    SysFreeString(host);
    SysFreeString(path);
    SysFreeString(file);
    return true;
}

LRESULT CALLBACK MainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_CREATE: {
            struct {
                int id;
                const wchar_t* text;
            } buttons[] = {{kCheck, L"Check"},       {kCompare, L"Compare"},
                           {kDownload, L"Download"}, {kRun, L"Run"},
                           {kCancel, L"Cancel"},     {kProductPage, L"Product page"},
                           {kAbout, L"About"}};
            // Every child in the system's message font, each button as wide as its caption.
            g_font = MessageFont();
            HDC dc = GetDC(hwnd);
            const HGDIOBJ old = SelectObject(dc, g_font);
            TEXTMETRICW tm = {};
            GetTextMetricsW(dc, &tm);
            const int buttonHeight = tm.tmHeight + 12;
            int x = kMargin + kControlRoom;
            for (const auto& b : buttons) {
                SIZE text = {};
                GetTextExtentPoint32W(dc, b.text, static_cast<int>(wcslen(b.text)), &text);
                const int width = text.cx + 24 > 80 ? text.cx + 24 : 80;
                Child(CreateWindowW(L"BUTTON", b.text, WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, x,
                                    kMargin, width, buttonHeight, hwnd,
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(b.id)), nullptr,
                                    nullptr));
                x += width + 6;
            }
            SelectObject(dc, old);
            ReleaseDC(hwnd, dc);
            g_buttonsRight = x - 6;
            g_lineHeight = tm.tmHeight;
            g_progress = Child(CreateWindowW(
                PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, hwnd,
                reinterpret_cast<HMENU>(static_cast<INT_PTR>(kProgress)), nullptr, nullptr));
            g_status = Child(CreateWindowW(L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_ENDELLIPSIS,
                                           0, 0, 0, 0, hwnd, nullptr, nullptr, nullptr));
            g_log = Child(CreateWindowW(L"EDIT", L"",
                                        WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL |
                                            ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                                        0, 0, 0, 0, hwnd,
                                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kLog)),
                                        nullptr, nullptr));
            return 0;
        }
        case WM_SIZE: {
            // Buttons in a row right of the control; the bar under them, the status line under
            // the bar, the log below.
            const int width = LOWORD(lp);
            const int height = HIWORD(lp);
            const int left = kMargin + kControlRoom;
            const int barTop = kMargin + g_lineHeight + 12 + 8;
            MoveWindow(g_progress, left, barTop, width - left - kMargin, 18, TRUE);
            MoveWindow(g_status, left, barTop + 18 + 4, width - left - kMargin, g_lineHeight + 2,
                       TRUE);
            const int logTop = barTop + 18 + 4 + g_lineHeight + 8;
            MoveWindow(g_log, kMargin, logTop, width - 2 * kMargin, height - logTop - kMargin,
                       TRUE);
            return 0;
        }
        case WM_COMMAND:
            if (!g_control) return 0;
            switch (LOWORD(wp)) {
                case kCheck: DoCheck(); break;
                case kCompare: DoCompare(); break;
                case kDownload: DoDownload(); break;
                case kRun: DoRun(); break;
                case kCancel:
                    g_control->CancelUpdate();
                    Say("CancelUpdate");
                    break;
                case kProductPage: {
                    BSTR page = SysAllocString(L"" ORV_WEB_SITE "orvane");
                    g_control->GoProductPage(page);
                    SysFreeString(page);
                    Say("GoProductPage");
                    break;
                }
                case kAbout: g_control->About(); break;
            }
            return 0;
        case WM_TIMER:
            // The automatic cycle's overall bound.
            Say("the update cycle did not finish in time");
            Finish(Step::Failed);
            return 0;
        case WM_DESTROY: PostQuitMessage(g_step == Step::Done ? 0 : 1); return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

Options ParseOptions() {
    Options o;
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        auto next = [&]() { return i + 1 < argc ? std::wstring(argv[++i]) : std::wstring(); };
        if (a == L"/auto")
            o.autoRun = true;
        else if (a == L"/host")
            o.host = next();
        else if (a == L"/port")
            o.port = _wtol(next().c_str());
        else if (a == L"/path")
            o.path = next();
        else if (a == L"/file")
            o.file = next();
        else if (a == L"/folder")
            o.folder = next();
        else if (a == L"/hold")
            o.holdMs = static_cast<DWORD>(_wtol(next().c_str()));
    }
    LocalFree(argv);
    return o;
}

}  // namespace

int main() {
    // Lines go out as UTF-8 with LF ends, byte for byte (no LF to CR LF).
    _setmode(_fileno(stdout), _O_BINARY);
    SetConsoleOutputCP(CP_UTF8);
    g_options = ParseOptions();
    OleInitialize(nullptr);
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = MainProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = L"OrvaneDemo";
    RegisterClassW(&wc);
    g_main = CreateWindowW(L"OrvaneDemo", L"Orvane demo host", WS_OVERLAPPEDWINDOW, 60, 60, 790,
                           430, nullptr, nullptr, wc.hInstance, nullptr);
    // Wide enough for the row of buttons in this system's font.
    RECT frame = {0, 0, g_buttonsRight + kMargin > 760 ? g_buttonsRight + kMargin : 760, 400};
    AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
    SetWindowPos(g_main, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER);
    ShowWindow(g_main, SW_SHOW);
    int exitCode = 1;
    if (PlaceControl(g_main)) {
        Say("Orvane demo host: checking http://" + Narrow(g_options.host) + ":" +
            std::to_string(g_options.port) + Narrow(g_options.path) + Narrow(g_options.file));
        if (g_options.autoRun) {
            SetTimer(g_main, 1, 120000, nullptr);
            PostMessageW(g_main, WM_COMMAND, kCheck, 0);
        }
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        exitCode = g_step == Step::Done ? 0 : 1;
        if (g_options.autoRun) Say(exitCode == 0 ? "update cycle complete" : "update cycle FAILED");
        if (g_options.holdMs) {
            // Lets a person, or a screenshot, see the finished window.
            // Closing the window (a second WM_QUIT) ends the wait.
            const DWORD until = GetTickCount() + g_options.holdMs;
            bool quit = false;
            while (!quit && GetTickCount() < until) {
                while (!quit && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    quit = msg.message == WM_QUIT;
                    DispatchMessageW(&msg);
                }
                Sleep(20);
            }
        }
        g_control->Release();
        g_control = nullptr;
    }
    DestroyWindow(g_main);
    DeleteObject(g_font);
    OleUninitialize();
    return exitCode;
}
