#include "control/dialog/update_dialog.h"

#include <commctrl.h>

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "common/win/handles.h"
#include "common/win/system.h"
#include "common/win/window.h"
#include "control/dialog/dialog_ids.h"
#include "control/dialog/dialog_language.h"
#include "control/dialog/notes_view.h"
#include "control/http/http_text.h"
#include "control/module.h"
#include "control/net/socket_error_text.h"
#include "control/trust/trust_error_text.h"

namespace orv::dialog {

void TransferWatch::OnProgress(int32_t bytes) {
    received = bytes;
    timeLeft.Add(static_cast<int64_t>(GetTickCount64()), bytes);
    if (notify) PostMessageW(notify, kMsgProgress, 0, 0);
}

void TransferWatch::OnFree() {
    // Posted: the session is still inside the transfer's end when it says it is free.
    if (notify) PostMessageW(notify, kMsgEnded, 0, 0);
}

bool CanBeUpdateInformation(const UpdateInfo& info) {
    return !info.PackageFile.empty() && info.PackageSize > 0;
}

namespace {

// The names of the pages, the choices and the results in the log.
constexpr const char* kPageNames[] = {"checking", "offer", "progress", "newest", "failure", "held"};
constexpr const char* kResultNames[] = {"no update", "installed", "remind later",
                                        "skipped",   "cancelled", "failed"};

std::wstring Wide(const std::string& s) {
    return win::AnsiToWide(s);
}

BOOL CALLBACK FirstName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR out) {
    *reinterpret_cast<LPWSTR*>(out) = name;
    return FALSE;
}

// The first icon of the host's program, for an owner that shows none.
HICON ProgramIcon() {
    const HMODULE exe = GetModuleHandleW(nullptr);
    LPWSTR first = nullptr;
    EnumResourceNamesW(exe, MAKEINTRESOURCEW(14), FirstName, reinterpret_cast<LONG_PTR>(&first));
    if (!first) return LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // IDI_APPLICATION
    return static_cast<HICON>(LoadImageW(exe, first, IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
}

HICON OwnerIcon(HWND owner, WPARAM size) {
    HICON icon = nullptr;
    if (owner) {
        icon = reinterpret_cast<HICON>(SendMessageW(owner, WM_GETICON, size, 0));
        if (!icon)
            icon = reinterpret_cast<HICON>(
                GetClassLongPtrW(owner, size == ICON_BIG ? GCLP_HICON : GCLP_HICONSM));
    }
    return icon ? icon : ProgramIcon();
}

// The message wording of a transfer that ended without what it was started for. A server
// that was not reached and refused trust are told in the user's words; the event and the
// log keep the technical reason.
std::wstring FailureText(const TransferWatch& w, const TextChoice* texts) {
    if (w.errorCode != 0 && ServerUnreachable(w.errorCode))
        return DialogText(texts, IDS_UD_UNREACHABLE);
    if (w.errorCode != 0 && trust::TrustRefused(w.errorCode))
        return DialogText(texts, IDS_UD_UNTRUSTED);
    if (w.errorCode != 0 && !w.errorText.empty()) return Wide(w.errorText);
    if (w.httpStatus != 0 && w.httpStatus != 200 && w.httpStatus != 206)
        return DialogText(
            texts, IDS_UD_HTTP,
            {std::to_wstring(w.httpStatus), Wide(http::HttpStatusText(w.httpStatus))});
    return DialogText(texts, IDS_UD_UNREADABLE);
}

class UpdateWindow : public win::DialogBase<UpdateWindow> {
   public:
    UpdateWindow(IDialogHost& host, UpdateMemory& memory, bool checking)
        : host_(host), memory_(memory), page_(checking ? Page::Checking : Page::Offer) {}

    // A text of the dialog in the host's choice of language and texts.
    std::wstring Text(int id, std::initializer_list<std::wstring> values = {}) const {
        return DialogText(host_.Texts(), id, values);
    }

    Result Run(HWND owner) {
        // An empty template: the controls are made and laid out for the font at WM_INITDIALOG.
        struct alignas(4) Template {
            DLGTEMPLATE t;
            WORD menu, windowClass, title;
        } tmpl = {};
        tmpl.t.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
        owner_ = owner;
        const INT_PTR r = DialogBoxIndirectParamW(ModuleInstance(), &tmpl.t, owner, DialogProc,
                                                  reinterpret_cast<LPARAM>(this));
        host_.Watch().notify = nullptr;
        // The dialog's loop also ends when it meets the thread's WM_QUIT, which it posts again
        // for the host: the dialog's transfer ends with it, as with Cancel.
        if (r >= 0 && !finished_ && (page_ == Page::Checking || page_ == Page::Progress))
            host_.CancelTransfer();
        // A window that could not be made offers nothing.
        return r < 0 ? Result::Failed : result_;
    }

   private:
    // Held: the package was delivered but did not start (the elevation was declined, or the
    // hand-off failed); "Install now" tries it again without another download.
    enum class Page { Checking, Offer, Progress, Newest, Failure, Held };
    enum Control { kHeadline, kDetail, kNotesLabel, kNotes, kProgress, kCount };
    // The buttons, left to right; IDCANCEL also answers Esc and the close box.
    static constexpr std::array<int, 4> kButtons = {IDOK, IDC_UD_SKIP, IDC_UD_RETRY, IDCANCEL};
    // While the progress page shows: a download that stalls lengthens its time left.
    static constexpr UINT_PTR kStallTimer = 1;

    friend DialogBase;
    INT_PTR HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
        switch (msg) {
            case WM_INITDIALOG:
                Create();
                host_.Watch().notify = window_;
                if (page_ == Page::Checking) {
                    Show(Page::Checking, Text(IDS_UD_CHECKING));
                    if (!host_.TransferRunning())
                        PostMessageW(window_, TransferWatch::kMsgEnded, 0, 0);
                } else {
                    ShowOffer();
                }
                SetForegroundWindow(window_);
                return FALSE;  // the focus is set
            case WM_COMMAND:
                if (HIWORD(wp) == BN_CLICKED) OnCommand(LOWORD(wp));
                return TRUE;
            case WM_CLOSE: OnCommand(IDCANCEL); return TRUE;
            case WM_NOTIFY: return notes_.OnNotify(*reinterpret_cast<const NMHDR*>(lp));
            case TransferWatch::kMsgProgress: ShowProgress(); return TRUE;
            case WM_TIMER:
                if (wp == kStallTimer) OnStallTick();
                return TRUE;
            case TransferWatch::kMsgEnded: OnEnded(); return TRUE;
            case WM_DESTROY: host_.Watch().notify = nullptr; return FALSE;
        }
        return FALSE;
    }

    HWND Item(int id) const { return GetDlgItem(window_, id); }

    void Create() {
        NONCLIENTMETRICSW metrics = {};
        metrics.cbSize = sizeof metrics;
        SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
        font_.reset(CreateFontIndirectW(&metrics.lfMessageFont));
        INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&icc);
        // Creation order is tab order: the notes, then the buttons left to right.
        struct Made {
            const wchar_t* cls;
            DWORD style;
            int id;
        };
        const Made made[] = {
            {L"STATIC", SS_LEFT | SS_NOPREFIX, IDC_UD_HEADLINE},
            {L"STATIC", SS_LEFT | SS_NOPREFIX, IDC_UD_DETAIL},
            {L"STATIC", SS_LEFT, IDC_UD_NOTESLABEL},
            {NotesView::WindowClass(),
             WS_TABSTOP | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
             IDC_UD_NOTES},
            {PROGRESS_CLASSW, 0, IDC_UD_PROGRESS},
        };
        for (const Made& m : made) {
            HWND h = CreateWindowExW(0, m.cls, L"", WS_CHILD | m.style, 0, 0, 0, 0, window_,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(m.id)),
                                     ModuleInstance(), nullptr);
            SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
        }
        SendMessageW(Item(IDC_UD_PROGRESS), PBM_SETRANGE32, 0, 100);
        for (int id : kButtons) {
            HWND h = CreateWindowExW(
                0, L"BUTTON", L"", WS_CHILD | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0, 0, window_,
                reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ModuleInstance(), nullptr);
            SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
        }
        SendMessageW(window_, WM_SETICON, ICON_BIG,
                     reinterpret_cast<LPARAM>(OwnerIcon(owner_, ICON_BIG)));
        SendMessageW(window_, WM_SETICON, ICON_SMALL,
                     reinterpret_cast<LPARAM>(OwnerIcon(owner_, ICON_SMALL)));
    }

    std::wstring Title() const {
        const UpdateInfo offer = host_.Offer();
        // A reply that is no update information names no product.
        if (page_ == Page::Checking || offer.Name.empty() || !CanBeUpdateInformation(offer))
            return Text(IDS_UD_UPDATE);
        return Text(IDS_UD_TITLE, {Wide(offer.Name)});
    }

    // Shows `page`: its texts and buttons (the first named the default), laid out anew.
    void Show(Page page, const std::wstring& headline = {}, const std::wstring& detail = {}) {
        page_ = page;
        host_.LogStep("page " + std::string(kPageNames[static_cast<int>(page)]) + ": " +
                      win::WideToAnsi(headline) +
                      (detail.empty() ? "" : " / " + win::WideToAnsi(detail)));
        struct Button {
            int id, text;
        };
        std::vector<Button> buttons;
        std::vector<int> shown = {IDC_UD_HEADLINE};
        switch (page) {
            case Page::Checking: buttons = {{IDCANCEL, IDS_UD_CANCEL}}; break;
            case Page::Offer:
                buttons = {
                    {IDOK, IDS_UD_INSTALL}, {IDC_UD_SKIP, IDS_UD_SKIP}, {IDCANCEL, IDS_UD_REMIND}};
                // A critical update can be neither skipped nor put off, only closed.
                if (critical_) buttons = {{IDOK, IDS_UD_INSTALL}, {IDCANCEL, IDS_UD_CLOSE}};
                shown = {IDC_UD_HEADLINE, IDC_UD_DETAIL, IDC_UD_NOTESLABEL, IDC_UD_NOTES};
                break;
            case Page::Progress:
                buttons = {{IDCANCEL, IDS_UD_CANCEL}};
                shown = {IDC_UD_HEADLINE, IDC_UD_PROGRESS, IDC_UD_DETAIL};
                break;
            case Page::Newest:
                buttons = {{IDCANCEL, IDS_UD_CLOSE}};
                shown = {IDC_UD_HEADLINE, IDC_UD_DETAIL};
                break;
            case Page::Failure:
                buttons = {{IDC_UD_RETRY, IDS_UD_RETRY}, {IDCANCEL, IDS_UD_CLOSE}};
                shown = {IDC_UD_HEADLINE, IDC_UD_DETAIL};
                break;
            case Page::Held:
                buttons = {{IDOK, IDS_UD_INSTALL}, {IDCANCEL, IDS_UD_CLOSE}};
                shown = {IDC_UD_HEADLINE, IDC_UD_DETAIL};
                break;
        }
        if (page == Page::Progress)
            SetTimer(window_, kStallTimer, 1000, nullptr);
        else
            KillTimer(window_, kStallTimer);
        SetWindowTextW(window_, Title().c_str());
        SetDlgItemTextW(window_, IDC_UD_HEADLINE, headline.c_str());
        SetDlgItemTextW(window_, IDC_UD_DETAIL, detail.c_str());
        for (int id :
             {IDC_UD_HEADLINE, IDC_UD_DETAIL, IDC_UD_NOTESLABEL, IDC_UD_NOTES, IDC_UD_PROGRESS}) {
            const bool on = std::find(shown.begin(), shown.end(), id) != shown.end();
            ShowWindow(Item(id), on ? SW_SHOWNA : SW_HIDE);
        }
        // Hidden buttons are disabled too, so that their mnemonics do nothing.
        for (int id : kButtons) {
            HWND h = Item(id);
            const auto b = std::find_if(buttons.begin(), buttons.end(),
                                        [&](const Button& x) { return x.id == id; });
            const bool on = b != buttons.end();
            if (on) SetWindowTextW(h, Text(b->text).c_str());
            const bool isDefault = on && b == buttons.begin();
            SendMessageW(h, BM_SETSTYLE, isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
            EnableWindow(h, on);
            ShowWindow(h, on ? SW_SHOWNA : SW_HIDE);
        }
        SendMessageW(window_, DM_SETDEFID, buttons.front().id, 0);
        Layout(shown, buttons.size());
        SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(buttons.front().id)),
                     TRUE);
    }

    // Sizes of text in the dialog's font.
    SIZE Measure(const std::wstring& text, int width, bool wrap) const {
        HDC dc = GetDC(window_);
        HGDIOBJ old = SelectObject(dc, font_.get());
        RECT rc = {0, 0, width, 0};
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rc,
                  DT_CALCRECT | DT_NOPREFIX | (wrap ? DT_WORDBREAK : DT_SINGLELINE));
        SelectObject(dc, old);
        ReleaseDC(window_, dc);
        return {rc.right - rc.left, rc.bottom - rc.top};
    }

    // The texts that wrap at the dialog's width; the others are one line.
    static bool Wrapped(int id) {
        return id == IDC_UD_HEADLINE || id == IDC_UD_DETAIL || id == IDC_UD_NOTESLABEL;
    }

    // `width`, or more where a wrapped text holds a word (a long compound, a path, a line
    // without spaces) wider than it: up to the work area, so that nothing is cut off.
    int WidestWord(const std::vector<int>& shown, int width) const {
        RECT work = {};
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        const int most = std::max(width, static_cast<int>(work.right - work.left) * 9 / 10);
        for (int id : shown)
            if (Wrapped(id))
                width = std::clamp(static_cast<int>(Measure(TextOf(Item(id)), width, true).cx),
                                   width, most);
        return width;
    }

    // Lays the page out again when the detail's new text (the download's progress) no longer
    // fits the place it has.
    void FitDetail() {
        RECT rc = {};
        HWND detail = Item(IDC_UD_DETAIL);
        GetClientRect(detail, &rc);
        const SIZE need = Measure(TextOf(detail), rc.right, true);
        if (need.cx > rc.right || need.cy > rc.bottom) Layout(shown_, 0);
    }

    static std::wstring TextOf(HWND h) {
        std::wstring s(static_cast<std::size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
        s.resize(static_cast<std::size_t>(GetWindowTextW(h, s.data(), static_cast<int>(s.size()))));
        return s;
    }

    // Lays the shown controls out top to bottom and the buttons right-aligned below them,
    // measured in the dialog's font: nothing is cut off in any language or at any DPI.
    void Layout(const std::vector<int>& shown, std::size_t buttonCount) {
        TEXTMETRICW tm = {};
        HDC dc = GetDC(window_);
        HGDIOBJ old = SelectObject(dc, font_.get());
        GetTextMetricsW(dc, &tm);
        SelectObject(dc, old);
        ReleaseDC(window_, dc);
        const int line = tm.tmHeight;
        const int ave = tm.tmAveCharWidth;
        const int margin = line;
        const int gap = line / 2;
        const int buttonHeight = line + line * 3 / 4;
        std::vector<int> widths;
        int buttonsWidth = 0;
        for (std::size_t i = 0; i < kButtons.size(); ++i) {
            HWND h = Item(kButtons[i]);
            if (!IsWindowEnabled(h)) continue;
            const int w =
                std::max(ave * 14, static_cast<int>(Measure(TextOf(h), 0, false).cx) + ave * 4);
            widths.push_back(w);
            buttonsWidth += w + (widths.size() > 1 ? gap : 0);
        }
        int width = std::max(ave * 60, buttonsWidth);
        for (int id : shown)
            if (Wrapped(id))
                width = std::max(
                    width,
                    std::min(static_cast<int>(Measure(TextOf(Item(id)), 0, false).cx), ave * 90));
        width = WidestWord(shown, width);
        shown_ = shown;
        int y = margin;
        for (int id : shown) {
            int height = line;
            if (Wrapped(id))
                height = Measure(TextOf(Item(id)), width, true).cy;
            else if (id == IDC_UD_NOTES)
                height = line * 9 + 6;
            else if (id == IDC_UD_PROGRESS)
                height = line + 4;
            MoveWindow(Item(id), margin, y, width, height, FALSE);
            y += height + (id == IDC_UD_NOTESLABEL ? gap / 2 : gap);
        }
        y += gap;
        int x = margin + width;
        for (std::size_t i = kButtons.size(), k = widths.size(); i-- > 0;) {
            HWND h = Item(kButtons[i]);
            if (!IsWindowEnabled(h)) continue;
            const int w = widths[--k];
            x -= w;
            MoveWindow(h, x, y, w, buttonHeight, FALSE);
            x -= gap;
        }
        (void)buttonCount;
        RECT frame = {0, 0, width + 2 * margin, y + buttonHeight + margin};
        AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(window_, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongW(window_, GWL_EXSTYLE)));
        const int cx = frame.right - frame.left, cy = frame.bottom - frame.top;
        // Centred over the owner (or the screen), kept on the work area.
        RECT around = {};
        if (!owner_ || !GetWindowRect(owner_, &around) || IsIconic(owner_))
            SystemParametersInfoW(SPI_GETWORKAREA, 0, &around, 0);
        RECT work = {};
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        int left = (around.left + around.right - cx) / 2,
            top = (around.top + around.bottom - cy) / 2;
        const int workLeft = work.left, workTop = work.top;
        left = std::clamp(left, workLeft, std::max(workLeft, static_cast<int>(work.right) - cx));
        top = std::clamp(top, workTop, std::max(workTop, static_cast<int>(work.bottom) - cy));
        SetWindowPos(window_, nullptr, left, top, cx, cy, SWP_NOZORDER | SWP_NOACTIVATE);
        InvalidateRect(window_, nullptr, TRUE);
    }

    void ShowOffer() {
        const UpdateInfo offer = host_.Offer();
        const Installed installed = host_.InstalledVersion();
        version_ = offer.Version;
        const std::wstring mine = installed.known ? Wide(installed.version) : Text(IDS_UD_UNKNOWN);
        const OfferVerdict verdict = host_.Verdict();
        critical_ = verdict.Critical;
        if (verdict.BelowMinimum) {
            // Told, not offered: the page without an offer, as for the newest version.
            return Show(Page::Newest,
                        Text(IDS_UD_TOOOLD, {Wide(offer.Version), Wide(offer.Name), mine}),
                        Text(IDS_UD_FIRST, {Wide(verdict.MinVersion)}));
        }
        ShowNotes(offer);
        SetDlgItemTextW(window_, IDC_UD_NOTESLABEL, Text(IDS_UD_NOTES).c_str());
        Show(Page::Offer, Text(critical_ ? IDS_UD_CRITICAL : IDS_UD_OFFER, {Wide(offer.Name)}),
             Text(IDS_UD_VERSIONS, {Wide(offer.Version), mine}));
    }

    // The publisher's Markdown notes, else the record's Description as plain text.
    void ShowNotes(const UpdateInfo& offer) {
        const std::string notes = host_.Notes();
        notes_.Show(Item(IDC_UD_NOTES),
                    notes.empty() ? markdown::PlainText(win::WideToUtf8(Wide(offer.Description)))
                                  : markdown::Parse(notes),
                    Text(IDS_UD_NOTESCUT));
    }

    void ShowProgress() {
        if (page_ != Page::Progress) return;
        const TransferWatch& w = host_.Watch();
        const int64_t total = std::max<int64_t>(host_.Offer().PackageSize, w.received);
        const int percent = total > 0 ? static_cast<int>(int64_t{w.received} * 100 / total) : 0;
        SendMessageW(Item(IDC_UD_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(percent), 0);
        const std::wstring kb = std::to_wstring((w.received + 1023) / 1024);
        const std::wstring totalKb = std::to_wstring((total + 1023) / 1024);
        const std::optional<int64_t> left = w.timeLeft.SecondsLeft(total);
        const std::wstring detail =
            left ? Text(IDS_UD_TIMELEFT,
                        {kb, totalKb, std::to_wstring(percent), std::to_wstring(*left)})
                 : Text(IDS_UD_PROGRESS, {kb, totalKb, std::to_wstring(percent)});
        SetDlgItemTextW(window_, IDC_UD_DETAIL, detail.c_str());
        FitDetail();
    }

    // The time passes without progress: a download that stalls slows the estimate down.
    void OnStallTick() {
        if (page_ != Page::Progress) return;
        host_.Watch().timeLeft.Tick(static_cast<int64_t>(GetTickCount64()));
        ShowProgress();
    }

    void BeginDownload() {
        const int32_t refused = host_.BeginDownload();
        if (refused != 0) {
            Fail(Text(IDS_UD_REFUSED, {std::to_wstring(refused)}), false);
            return;
        }
        const UpdateInfo offer = host_.Offer();
        Show(Page::Progress, Text(IDS_UD_DOWNLOADING, {Wide(offer.Name), Wide(offer.Version)}),
             Text(IDS_UD_PROGRESS,
                  {L"0", std::to_wstring((offer.PackageSize + 1023) / 1024), L"0"}));
        SendMessageW(Item(IDC_UD_PROGRESS), PBM_SETPOS, 0, 0);
    }

    void BeginCheck() {
        const int32_t refused = host_.BeginCheck();
        if (refused != 0) {
            Fail(Text(IDS_UD_REFUSED, {std::to_wstring(refused)}), true);
            return;
        }
        Show(Page::Checking, Text(IDS_UD_CHECKING));
    }

    void Fail(const std::wstring& text, bool inCheck) {
        failedInCheck_ = inCheck;
        Show(Page::Failure, Text(IDS_UD_FAILED), text);
    }

    void OnEnded() {
        const TransferWatch& w = host_.Watch();
        if (page_ == Page::Checking) {
            if (!w.infoReceived) return Fail(FailureText(w, host_.Texts()), true);
            if (!CanBeUpdateInformation(host_.Offer())) return Fail(Text(IDS_UD_NOTINFO), true);
            const Installed installed = host_.InstalledVersion();
            if (!installed.known || installed.newer) return ShowOffer();
            Show(Page::Newest, Text(IDS_UD_NEWEST, {Wide(host_.Offer().Name)}),
                 Text(IDS_UD_INSTALLED, {Wide(installed.version)}));
        } else if (page_ == Page::Progress) {
            if (!w.delivered) return Fail(FailureText(w, host_.Texts()), false);
            Install();
        }
    }

    // Starts the delivered package (or hands it off); one that did not start stays held, and
    // the user may try again.
    void Install() {
        const Start started = host_.StartPackage();
        const std::wstring code = std::to_wstring(started.code);
        switch (started.outcome) {
            case Start::Outcome::Started: return Finish(Result::Installed);
            case Start::Outcome::NotStarted: return Fail(Text(IDS_UD_NOSTART, {code}), false);
            case Start::Outcome::Declined:
                heldResult_ = Result::Cancelled;
                return ShowHeld(Text(IDS_UD_DECLINED));
            case Start::Outcome::NoHandOff:
                heldResult_ = Result::Failed;
                return ShowHeld(Text(IDS_UD_NOHANDOFF, {code}));
        }
    }

    void ShowHeld(const std::wstring& why) {
        const UpdateInfo offer = host_.Offer();
        Show(Page::Held, Text(IDS_UD_NOTINSTALLED, {Wide(offer.Name), Wide(offer.Version)}), why);
    }

    void OnCommand(int id) {
        const char* choice = id == IDOK             ? "install"
                             : id == IDC_UD_SKIP    ? "skip this version"
                             : id == IDC_UD_RETRY   ? "retry"
                             : id != IDCANCEL       ? nullptr
                             : page_ == Page::Offer ? "remind me later"
                             : page_ == Page::Checking || page_ == Page::Progress ? "cancel"
                                                                                  : "close";
        if (choice)
            host_.LogStep("choice: " + std::string(choice) + " on page " +
                          kPageNames[static_cast<int>(page_)]);
        switch (id) {
            case IDOK:
                if (page_ == Page::Offer) BeginDownload();
                if (page_ == Page::Held) Install();
                break;
            case IDC_UD_SKIP:
                if (page_ != Page::Offer || critical_) break;
                memory_.Skip(version_);
                Finish(Result::Skipped);
                break;
            case IDC_UD_RETRY:
                if (page_ != Page::Failure) break;
                if (failedInCheck_)
                    BeginCheck();
                else
                    BeginDownload();
                break;
            case IDCANCEL:
                switch (page_) {
                    case Page::Checking:
                    case Page::Progress:
                        host_.CancelTransfer();
                        Finish(Result::Cancelled);
                        break;
                    case Page::Offer:
                        // Closing a critical offer remembers nothing: the next check shows it.
                        if (critical_) return Finish(Result::Cancelled);
                        memory_.RemindLater(version_, Now());
                        Finish(Result::RemindLater);
                        break;
                    case Page::Newest: Finish(Result::NoUpdate); break;
                    case Page::Failure: Finish(Result::Failed); break;
                    case Page::Held: Finish(heldResult_); break;
                }
                break;
        }
    }

    void Finish(Result r) {
        host_.LogStep("closed: " + std::string(kResultNames[static_cast<int>(r)]));
        finished_ = true;
        result_ = r;
        host_.Watch().notify = nullptr;
        EndDialog(window_, static_cast<INT_PTR>(r));
    }

    IDialogHost& host_;
    UpdateMemory& memory_;
    Page page_;
    HWND owner_ = nullptr;
    unique_hfont font_;
    NotesView notes_;
    // The controls of the page, as Layout placed them.
    std::vector<int> shown_;
    std::string version_;    // the version offered
    bool critical_ = false;  // the offer is critical: no Skip, no Remind later
    bool failedInCheck_ = false;
    Result heldResult_ = Result::Failed;  // what closing the Held page returns
    bool finished_ = false;
    Result result_ = Result::Cancelled;
};

}  // namespace

Result RunUpdateDialog(IDialogHost& host, UpdateMemory& memory, HWND owner, bool checking) {
    UpdateWindow window(host, memory, checking);
    return window.Run(owner);
}

}  // namespace orv::dialog
