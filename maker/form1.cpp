#include "maker/form1.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/updateinfo/updateinfo.h"
#include "maker/commdlgs.h"
#include "maker/form2.h"
#include "maker/publish_dialog.h"
#include "maker/resource.h"
#include "maker/win_support.h"
#include "tools/orvinfo/cp1252.h"
#include "tools/orvinfo/crypto.h"
#include "tools/orvinfo/file_io.h"
#include "tools/orvinfo/orvinfo.h"

namespace orv::maker {

namespace {

constexpr std::array<int, 9> kBoxIds = {IDC_TEXT1, IDC_TEXT2, IDC_TEXT3, IDC_TEXT4,   IDC_TEXT5,
                                        IDC_TEXT6, IDC_TEXT7, IDC_TEXT8, IDC_COMMAND1};

// The text boxes that have change handlers, by control id.
std::optional<Box> HandledTextBox(int id) {
    if (id >= IDC_TEXT1 && id <= IDC_TEXT6) return static_cast<Box>(id - IDC_TEXT1);
    return std::nullopt;
}

using HtmlHelpProc = HWND(WINAPI*)(HWND, LPCSTR, UINT, DWORD_PTR);
constexpr UINT kHelpDisplayTopic = 0;  // HH_DISPLAY_TOPIC
constexpr UINT kHelpCloseAll = 0x12;   // HH_CLOSE_ALL

HtmlHelpProc HtmlHelpFunction(HMODULE library) {
    if (!library) return nullptr;
    return reinterpret_cast<HtmlHelpProc>(
        reinterpret_cast<void*>(GetProcAddress(library, "HtmlHelpA")));
}

std::string ReadClipboardText(HWND owner) {
    if (!OpenClipboard(owner)) return {};
    scope_exit close([] { CloseClipboard(); });
    HANDLE data = GetClipboardData(CF_TEXT);
    if (!data) return {};
    const char* text = static_cast<const char*>(GlobalLock(data));
    if (!text) return {};
    scope_exit unlock([data] { GlobalUnlock(data); });
    // The clipboard's text ends at its first NUL; never read past the memory block.
    const std::size_t capacity = GlobalSize(data);
    std::size_t n = 0;
    while (n < capacity && text[n] != '\0') ++n;
    return std::string(text, n);
}

void WriteClipboardText(HWND owner, const std::string& text) {
    if (!OpenClipboard(owner)) return;
    scope_exit close([] { CloseClipboard(); });
    EmptyClipboard();
    unique_global memory(GlobalAlloc(GMEM_MOVEABLE, text.size() + 1));
    if (!memory) return;
    char* target = static_cast<char*>(GlobalLock(memory.get()));
    if (!target) return;
    memcpy(target, text.c_str(), text.size() + 1);
    GlobalUnlock(memory.get());
    if (SetClipboardData(CF_TEXT, memory.get())) memory.release();  // the clipboard owns it now
}

}  // namespace

bool Form1::Create() {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefDlgProcA;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = instance_;
    wc.hIcon = LoadIconA(instance_, MAKEINTRESOURCEA(IDI_APP));
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = ORV_FORM1_CLASS;
    if (!RegisterClassExA(&wc)) return false;
    accelerators_ = LoadAcceleratorsA(instance_, MAKEINTRESOURCEA(IDR_ACCELERATORS));
    window_ = CreateDialogParamA(instance_, MAKEINTRESOURCEA(IDD_FORM1), nullptr, DialogProc,
                                 reinterpret_cast<LPARAM>(this));
    return window_ != nullptr;
}

int Form1::Run(int show) {
    ShowWindow(window_, show);
    UpdateWindow(window_);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        // The menu's shortcuts belong to the form: the help viewer runs on this thread too, and
        // its keys (Ctrl+C in its text, Ctrl+N, Ctrl+Q) must reach it rather than the form.
        if (window_ && OwnsMessage(msg) && TranslateAcceleratorA(window_, accelerators_, &msg)) {
            continue;
        }
        if (window_ && IsDialogMessageA(window_, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}

bool Form1::OwnsMessage(const MSG& msg) const {
    return msg.hwnd == window_ || IsChild(window_, msg.hwnd);
}

INT_PTR Form1::HandleMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: Load(); return TRUE;
        case WM_COMMAND: OnCommand(LOWORD(wParam), HIWORD(wParam)); return TRUE;
        case WM_CLOSE: DestroyWindow(window_); return TRUE;
        case WM_DESTROY:
            if (auto help = HtmlHelpFunction(helpLibrary_.get())) {
                help(nullptr, nullptr, kHelpCloseAll, 0);
            }
            PostQuitMessage(0);
            return TRUE;
    }
    return FALSE;
}

void Form1::OnCommand(int id, int code) {
    if (const auto box = HandledTextBox(id)) {
        if (code == EN_CHANGE) OnTextChange(*box);
        return;
    }
    switch (id) {
        case IDC_COMMAND1:
            if (code == BN_CLICKED) ChoosePackage();
            break;
        case IDC_PUBLISH:
            if (code == BN_CLICKED) Publishing();
            break;
        case IDM_NEW: New(); break;
        case IDM_OPEN: Open(); break;
        case IDM_SAVE: Save(); break;
        case IDM_SAVEAS: SaveAs(); break;
        case IDM_EXIT: DestroyWindow(window_); break;
        case IDM_CUT: Cut(); break;
        case IDM_COPY: Copy(); break;
        case IDM_PASTE: Paste(); break;
        case IDM_CONTENTS: Contents(); break;
        case IDM_ABOUT: About(); break;
        default: break;  // Enter and Esc in the boxes (IDOK, IDCANCEL) do nothing
    }
}

void Form1::Load() {
    const int small = GetSystemMetrics(SM_CXSMICON);
    bigIcon_.reset(static_cast<HICON>(LoadImageA(instance_, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON,
                                                 GetSystemMetrics(SM_CXICON),
                                                 GetSystemMetrics(SM_CYICON), 0)));
    smallIcon_.reset(static_cast<HICON>(
        LoadImageA(instance_, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, small, small, 0)));
    SendMessageA(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_.get()));
    SendMessageA(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_.get()));

    for (int month = 1; month <= 12; ++month) {
        ComboBox_AddString(Control(IDC_COMBO1), TwoDigits(month).c_str());
    }
    for (int day = 1; day <= 31; ++day) {
        ComboBox_AddString(Control(IDC_COMBO2), TwoDigits(day).c_str());
    }
    for (int year = kFirstYear; year <= kLastYear; ++year) {
        ComboBox_AddString(Control(IDC_COMBO3), std::to_string(year).c_str());
    }
    SelectToday();

    for (int id = IDC_TEXT1; id <= IDC_TEXT6; ++id) {
        SetWindowSubclass(Control(id), BoxProc, id, reinterpret_cast<DWORD_PTR>(this));
    }
}

LRESULT CALLBACK Form1::BoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                DWORD_PTR form) {
    if (message == WM_NCDESTROY) RemoveWindowSubclass(box, BoxProc, id);
    const LRESULT result = DefSubclassProc(box, message, wParam, lParam);
    // A multi-line box reports no change when its text is set; every box is told here.
    if (message == WM_SETTEXT) {
        if (const auto handled = HandledTextBox(static_cast<int>(id))) {
            reinterpret_cast<Form1*>(form)->OnTextChange(*handled);
        }
    }
    return result;
}

void Form1::SelectToday() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    const DateIndexes d = DateListIndexes(now.wYear, now.wMonth, now.wDay);
    ComboBox_SetCurSel(Control(IDC_COMBO1), d.Month);
    ComboBox_SetCurSel(Control(IDC_COMBO2), d.Day);
    ComboBox_SetCurSel(Control(IDC_COMBO3), d.Year);
}

HWND Form1::Control(Box box) const {
    return Control(kBoxIds[static_cast<std::size_t>(box)]);
}

void Form1::SetText(Box box, const std::string& text) {
    SetWindowTextA(Control(box), text.c_str());
}

std::string Form1::Text(Box box) const {
    return WindowText(Control(box));
}

void Form1::FocusControl(Box box) {
    SendMessageA(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Control(box)), TRUE);
}

void Form1::ShowError(std::string_view message) {
    MessageBoxA(window_, std::string(message).c_str(), std::string(kAppTitle).c_str(),
                MB_OK | MB_ICONERROR);
}

void Form1::OnTextChange(Box box) {
    const std::size_t slot = static_cast<std::size_t>(box);
    std::string text = Text(box);
    if (text == seenText_[slot]) return;
    seenText_[slot] = text;

    HWND control = Control(box);
    if (const auto guarded = ApplyGuard(GuardOf(box), text)) {
        // Setting the text raises the change again; that pass finds nothing to remove.
        SetWindowTextA(control, guarded->c_str());
        const int end = static_cast<int>(guarded->size());
        Edit_SetSel(control, end, end);
        return;
    }
    if (HasNumericCheck(box) && NeedsNumericWarning(ConvertToInt32(text))) {
        ShowError(kNumericWarning);
        FocusControl(box);
        Edit_SetSel(control, 0, -1);
    }
}

void Form1::ChoosePackage() {
    const std::string chosen = ShowFileDialog(window_, kDialogOpen, "Update package file...", "*.*",
                                              "All files (*.*)", win::ModuleFolder(), "*");
    if (chosen.empty()) return;
    const FileSize size = QueryFileSize(chosen);
    if (size.Error != ERROR_SUCCESS) {
        ShowError("The update package cannot be read:\r\n" + chosen + "\r\n\r\n" +
                  win::SystemErrorText(size.Error));
        return;
    }
    if (size.Size >= kPackageSizeLimit) {
        ShowError(kPackageTooLargeMessage);
        return;
    }
    PackageFileSize = static_cast<int32_t>(size.Size);
    // Another package: a digest of the one before no longer describes it.
    packagePath_ = chosen;
    publish_.Digest.clear();
    SetText(Box::Text7, FileNameFromPath(chosen));
    SetText(Box::Text8, std::to_string(PackageFileSize));
}

FormRecord Form1::ReadRecord() const {
    FormRecord r;
    r.Name = Text(Box::Text1);
    r.Version = {Text(Box::Text2), Text(Box::Text3), Text(Box::Text4), Text(Box::Text5)};
    r.Comments = Text(Box::Text6);
    r.PackageFile = Text(Box::Text7);
    r.SizeText = Text(Box::Text8);
    r.Month = WindowText(Control(IDC_COMBO1));
    r.Day = WindowText(Control(IDC_COMBO2));
    r.Year = WindowText(Control(IDC_COMBO3));
    r.PackageFileSize = PackageFileSize;
    return r;
}

void Form1::SaveUpdate(const std::string& fileName) {
    const FormRecord record = ReadRecord();
    if (const auto refusal = CheckBeforeSave(record)) {
        ShowError(refusal->Message);
        FocusControl(refusal->Focus);
        return;
    }
    const std::optional<std::string> plain = TextToSave(PlainTextOf(record));
    if (!plain) return;  // refused or cancelled: the file stays as it was
    if (plain->size() > kMaxInfoTextLength) {
        ShowError(kTooLongMessage);
        FocusControl(Box::Text6);
        return;
    }
    const std::string bytes = ScrambleText(*plain, kInformationKey);
    if (const DWORD error = win::ReplaceFileContents(fileName, bytes); error != ERROR_SUCCESS) {
        ShowError("The update file cannot be saved:\r\n" + fileName + "\r\n\r\n" +
                  win::SystemErrorText(error));
        return;
    }
    // The file now holds this text: the next save compares with it.
    opened_ = ReadExtras(*plain);
    publish_ = opened_->Fields;
}

std::optional<std::string> Form1::TextToSave(const std::string& six) {
    const OpenedExtras* opened = opened_ ? &*opened_ : nullptr;
    switch (DecideSave(six, publish_, !keyFile_.empty(), opened)) {
        case SaveKind::SixFields: return six;
        case SaveKind::Unchanged: return opened_->Plain;
        case SaveKind::DigestOnly:
            return six + "|" +
                   DigestField(ParseDigestText(publish_.Digest).value_or(Sha256Digest{}));
        case SaveKind::NeedsKey: ShowError(kNeedsKeyMessage); return std::nullopt;
        case SaveKind::AskThenSixFields:
            if (MessageBoxA(window_, std::string(kDropSignatureQuestion).c_str(),
                            std::string(kAppTitle).c_str(),
                            MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2) != IDOK) {
                return std::nullopt;
            }
            return six;
        case SaveKind::Signed: return SignWithKey(six);
    }
    return std::nullopt;
}

std::optional<std::string> Form1::SignWithKey(const std::string& six) {
    Sha256Digest digest{};
    if (const auto typed = ParseDigestText(publish_.Digest)) {
        digest = *typed;
    } else if (!packagePath_.empty()) {
        if (const auto reason = orvinfo::crypto::Sha256OfFile(
                files::PathFromUtf8(text::Cp1252ToUtf8(packagePath_)), digest)) {
            ShowError("The update package cannot be read:\r\n" + packagePath_ + "\r\n\r\n" +
                      *reason);
            return std::nullopt;
        }
    } else {
        ShowError(kNeedsDigestMessage);
        return std::nullopt;
    }
    // The key lives only for this save: read, used, overwritten.
    FileRead key = ReadWholeFile(keyFile_, orvinfo::kMaxKeyFileBytes);
    if (!key.Ok()) {
        ShowError("The private key file cannot be read:\r\n" + keyFile_ + "\r\n\r\n" +
                  (key.TooLarge ? std::string("It is too long to be a key file.")
                                : win::SystemErrorText(key.Error)) +
                  "\r\n\r\nNothing was saved.");
        return std::nullopt;
    }
    std::string plain;
    const auto reason =
        SignedText(six, publish_, digest, key.Bytes, opened_ ? opened_->Tags : orvinfo::TagList{},
                   orvinfo::NowUtc(), plain);
    Wipe(key.Bytes);
    if (reason) {
        ShowError("The update file cannot be signed with the private key file:\r\n" + keyFile_ +
                  "\r\n\r\n" + *reason + "\r\n\r\nNothing was saved.");
        return std::nullopt;
    }
    return plain;
}

std::string Form1::StateOf(std::string_view plain) const {
    // Public keys are no secret: the one beside the chosen private key, and those beside the
    // update file (as orvinfo keygen writes NAME.key and NAME.pub side by side).
    std::vector<std::string> paths;
    if (!keyFile_.empty()) paths.push_back(PublicKeyPathFor(keyFile_));
    const std::size_t slash = CurrentFileName.rfind('\\');
    if (slash != std::string::npos) {
        const std::string folder = CurrentFileName.substr(0, slash + 1);
        WIN32_FIND_DATAA found{};
        HANDLE search = FindFirstFileA((folder + "*.pub").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::string path = folder + found.cFileName;
                if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
                    paths.push_back(path);
                }
            } while (paths.size() < 8 && FindNextFileA(search, &found));
            FindClose(search);
        }
    }
    std::vector<PublicKey> keys;
    for (const std::string& path : paths) {
        const FileRead file = ReadWholeFile(path, orvinfo::kMaxKeyFileBytes);
        if (file.Ok()) keys.push_back({FileNameFromPath(path), file.Bytes});
    }
    return SignatureState(plain, keys, orvinfo::NowUtc());
}

void Form1::Publishing() {
    PublishDialogData data;
    data.State = opened_ ? StateOf(opened_->Plain) : std::string("Not signed.");
    data.KeyFile = keyFile_;
    data.Fields = publish_;
    if (ShowPublishDialog(instance_, window_, data)) {
        keyFile_ = data.KeyFile;
        publish_ = data.Fields;
    }
}

void Form1::New() {
    CurrentFileName.clear();
    PackageFileSize = 0;
    // The key file stays chosen for the session; what belonged to the old file goes.
    packagePath_.clear();
    publish_ = {};
    opened_.reset();
    SelectToday();
    for (Box box : {Box::Text1, Box::Text2, Box::Text3, Box::Text4, Box::Text5, Box::Text6,
                    Box::Text7, Box::Text8}) {
        SetText(box, "");
    }
}

void Form1::Open() {
    CurrentFileName = ShowFileDialog(window_, kDialogOpen, "Open Update file...", "*.orv",
                                     "Orvane files (*.orv)|*.orv|All files (*.*)|*.*",
                                     win::ModuleFolder(), "orv");
    if (CurrentFileName.empty()) return;

    const FileRead file = ReadWholeFile(CurrentFileName, kMaxInfoTextLength);
    if (!file.Ok()) {
        // The form keeps the record it holds, which did not come from this file.
        const std::string name = std::exchange(CurrentFileName, std::string());
        const std::string reason = file.TooLarge
                                       ? "It is larger than an update file can be (32767 bytes)."
                                       : win::SystemErrorText(file.Error);
        ShowError("The update file cannot be opened:\r\n" + name + "\r\n\r\n" + reason);
        return;
    }

    const std::string plain = ScrambleText(file.Bytes, kInformationKey);
    const LoadedForm form = LoadFromPlainText(plain);
    SetText(Box::Text1, form.Name);
    SetText(Box::Text2, form.Version[0]);
    SetText(Box::Text3, form.Version[1]);
    SetText(Box::Text4, form.Version[2]);
    SetText(Box::Text5, form.Version[3]);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    const DateIndexes today = DateListIndexes(now.wYear, now.wMonth, now.wDay);
    ComboBox_SetCurSel(Control(IDC_COMBO1), form.MonthIndex.value_or(today.Month));
    ComboBox_SetCurSel(Control(IDC_COMBO2), form.DayIndex.value_or(today.Day));
    ComboBox_SetCurSel(Control(IDC_COMBO3), form.YearIndex.value_or(today.Year));
    SetText(Box::Text6, form.Comments);
    SetText(Box::Text7, form.PackageFile);
    SetText(Box::Text8, form.SizeText);
    PackageFileSize = form.PackageFileSize;
    if (!form.Complete) ShowError(kIncompleteMessage);
    packagePath_.clear();
    opened_ = ReadExtras(plain);
    publish_ = opened_->Fields;
    if (opened_->HasOptional) {
        // A notice, not an error: the file opened whole, its signature state told.
        const std::string notice = std::string(kSignedFileNotice) + "\r\n\r\n" + StateOf(plain);
        MessageBoxA(window_, notice.c_str(), std::string(kAppTitle).c_str(),
                    MB_OK | MB_ICONINFORMATION);
    }
}

void Form1::Save() {
    if (!CurrentFileName.empty()) {
        SaveUpdate(CurrentFileName);
    } else {
        SaveAs();
    }
}

void Form1::SaveAs() {
    CurrentFileName = ShowFileDialog(window_, kDialogSave, "Save Update file as...", "*.orv",
                                     "Orvane files", win::ModuleFolder(), "orv");
    if (!CurrentFileName.empty()) SaveUpdate(CurrentFileName);
}

HWND Form1::FocusedTextBox() const {
    HWND focus = GetFocus();
    if (!focus || GetParent(focus) != window_) return nullptr;
    const int id = GetDlgCtrlID(focus);
    return (id >= IDC_TEXT1 && id <= IDC_TEXT7) || id == IDC_TEXT8 ? focus : nullptr;
}

void Form1::Copy() {
    HWND box = FocusedTextBox();
    if (!box) return;  // the button and the lists hold no text to copy
    DWORD start = 0, end = 0;
    SendMessageA(box, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    // The box copies its own selection (its positions count characters, not bytes); an empty
    // selection still replaces what the clipboard held, which the box itself would not do.
    if (start == end) {
        WriteClipboardText(window_, std::string());
    } else {
        SendMessageA(box, WM_COPY, 0, 0);
    }
}

void Form1::Cut() {
    HWND box = FocusedTextBox();
    if (!box) return;
    Copy();
    SendMessageA(box, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(""));
}

void Form1::Paste() {
    HWND box = FocusedTextBox();
    if (!box) return;
    SetWindowTextA(box, ReadClipboardText(window_).c_str());
}

void Form1::Contents() {
    if (!helpLibrary_) helpLibrary_.reset(LoadLibraryA("hhctrl.ocx"));
    const auto help = HtmlHelpFunction(helpLibrary_.get());
    if (!help) return;
    // A missing help file only means that no help window opens.
    help(window_, HelpTopicPath(win::ModuleFolder()).c_str(), kHelpDisplayTopic, 0);
}

void Form1::About() {
    ShowAboutBox(instance_, window_, bigIcon_.get());
}

}  // namespace orv::maker
