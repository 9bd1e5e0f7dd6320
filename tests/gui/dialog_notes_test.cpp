// Release notes in the update dialog: the publisher's Markdown (the notes: field) shown in the
// offer in the run's UI language, a click on each of its links, UpdateNotes read back, and the
// renderer itself given the longest notes a file can carry and notes over its limit.
// Link clicks reach the real shell: for the test, http, https and javascript are handled by
// copies of the demo package, which write the address they were given into installed.txt
// beside themselves, so no browser starts and what the shell opened is recorded. (Wine's shell
// reads the machine's classes only, not the user's: the test sets and then restores those.)
#include <windows.h>

#include <commdlg.h>
#include <richedit.h>

#include <chrono>
#include <thread>

#include "common/markdown/markdown.h"
#include "common/win/system.h"
#include "control/dialog/dialog_ids.h"
#include "control/dialog/notes_view.h"
#include "control/trust/trust.h"
#include "tests/e2e/e2e_util.h"
#include "tests/support/message_pump.h"

namespace orv::test {
namespace {

// The notes' screenshot of a run in each UI language.
const struct {
    const wchar_t* language;  // ISO 639 name
    const wchar_t* file;
} kNotesShots[] = {{L"en", L"dialog-notes-en"}, {L"de", L"dialog-notes-de"}};

constexpr wchar_t kClasses[] = L"Software\\Classes\\";
constexpr const wchar_t* kSchemes[] = {L"http", L"https", L"javascript"};

// The open command of `scheme`'s handler ("" when there is none).
std::wstring OpenCommand(const std::wstring& scheme) {
    wchar_t command[1024] = {};
    DWORD size = sizeof command;
    RegGetValueW(HKEY_LOCAL_MACHINE, (kClasses + scheme + L"\\shell\\open\\command").c_str(),
                 nullptr, RRF_RT_REG_SZ, nullptr, command, &size);
    return command;
}
void SetOpenCommand(const std::wstring& scheme, const std::wstring& command) {
    const std::wstring key = kClasses + scheme;
    if (command.empty()) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
        return;
    }
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"URL Protocol", REG_SZ, L"", 2);
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, (key + L"\\shell\\open\\command").c_str(), nullptr, REG_SZ,
                    command.c_str(), static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
}

std::wstring UiLanguage() {
    wchar_t name[16] = {};
    GetLocaleInfoW(MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT), LOCALE_SISO639LANGNAME, name,
                   16);
    return name;
}

BOOL CALLBACK FindOffer(HWND h, LPARAM out) {
    wchar_t cls[16] = {};
    GetClassNameW(h, cls, 16);
    HWND notes = GetDlgItem(h, IDC_UD_NOTES);
    if (std::wstring(cls) == L"#32770" && notes && IsWindowVisible(notes)) {
        *reinterpret_cast<HWND*>(out) = h;
        return FALSE;
    }
    return TRUE;
}

std::wstring TextOf(HWND h) {
    std::wstring s(static_cast<std::size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
    s.resize(static_cast<std::size_t>(GetWindowTextW(h, s.data(), static_cast<int>(s.size()))));
    return s;
}

// The character position of the first `text` in the RichEdit `notes`, or -1.
LONG Find(HWND notes, const std::wstring& text) {
    FINDTEXTEXW find = {{0, -1}, text.c_str(), {}};
    return static_cast<LONG>(
        SendMessageW(notes, EM_FINDTEXTEXW, FR_DOWN, reinterpret_cast<LPARAM>(&find)));
}

// A left click on the first character of `text` in the RichEdit `notes`, scrolled into view.
bool ClickOn(HWND notes, const std::wstring& text) {
    const LONG at = Find(notes, text);
    if (at < 0) return false;
    SendMessageW(notes, EM_SETSEL, at, at);
    SendMessageW(notes, EM_SCROLLCARET, 0, 0);
    POINTL p = {};
    SendMessageW(notes, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&p), at);
    const LPARAM where = MAKELPARAM(p.x + 3, p.y + 4);
    PostMessageW(notes, WM_LBUTTONDOWN, MK_LBUTTON, where);
    PostMessageW(notes, WM_LBUTTONUP, 0, where);
    return true;
}

class DialogNotes : public E2E {
   protected:
    void SetUp() override {
        E2E::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orvane\\Updates");
        setup_ = ReadAll(BinFile("OrvaneDemoSetup.exe"));
        ASSERT_FALSE(setup_.empty()) << "OrvaneDemoSetup.exe is not built";
        web_ = FreshFolder(servers_, "notes-web");
        other_ = FreshFolder(servers_, "notes-other");
        ASSERT_TRUE(WriteAll(web_ + "\\recorder.exe", setup_));
        ASSERT_TRUE(WriteAll(other_ + "\\recorder.exe", setup_));
        for (const wchar_t* scheme : kSchemes) {
            const std::string folder = scheme[0] == L'h' ? web_ : other_;
            saved_.push_back(OpenCommand(scheme));
            SetOpenCommand(scheme, L"\"" + win::AnsiToWide(folder) + L"\\recorder.exe\" \"%1\"");
        }
        UseNginx("/notes/");
        SetText(&_Orvane3::put_InstalledFile, BinFile("ver_1_2_0_0.dll"));
    }
    void TearDown() override {
        E2E::TearDown();
        for (std::size_t i = 0; i < saved_.size(); ++i) SetOpenCommand(kSchemes[i], saved_[i]);
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orvane\\Updates");
    }

    // Version 2.0.0.0 whose tagged fields carry `notes`, signed by no key.
    void PublishNotes(const std::string& notes) {
        const std::string dir = servers_.webRoot + "\\notes";
        CreateDirectoryA(dir.c_str(), nullptr);
        const auto digest = trust::Sha256Of(setup_);
        ASSERT_TRUE(digest);
        const std::string signature = "|" + SignatureField(P256Signature{});
        const std::string more = "|" + DigestField(*digest) + signature + "|" +
                                 ExpiryField(4102444800) + signature +
                                 "|notes:" + EncodeBase64(notes) + signature;
        const std::string orv = OrvFile("Orvane Demo", "2.0.0.0", "OrvaneDemoSetup.exe",
                                        static_cast<int32_t>(setup_.size()));
        ASSERT_TRUE(
            WriteAll(dir + "\\update.orv",
                     ScrambleText(ScrambleText(orv, kInformationKey) + more, kInformationKey)));
        ASSERT_TRUE(WriteAll(dir + "\\OrvaneDemoSetup.exe", setup_));
    }

    // What a recorder in `folder` was given, waiting up to `ms` for it ("" when nothing).
    static std::string Recorded(const std::string& folder, DWORD ms) {
        const std::string file = folder + "\\installed.txt";
        for (const DWORD until = GetTickCount() + ms; static_cast<LONG>(GetTickCount() - until) < 0;
             Sleep(50))
            if (FileSize(file) > 0) break;
        const std::string line = ReadAll(file);
        DeleteFileA(file.c_str());
        return line;
    }

    std::wstring UpdateNotes() {
        _Orvane4* c = nullptr;
        EXPECT_EQ(S_OK, ctl_->QueryInterface(IID__Orvane4, reinterpret_cast<void**>(&c)));
        BSTR source = nullptr;
        EXPECT_EQ(S_OK, c->get_UpdateNotes(&source));
        c->Release();
        const std::wstring text(source, SysStringLen(source));
        SysFreeString(source);
        return text;
    }

    std::string setup_, web_, other_;
    std::vector<std::wstring> saved_;  // the handlers' commands before the test
};

TEST_F(DialogNotes, MarkdownNotesAreShownTheirWebLinksOpenAndHostsReadTheSource) {
    const std::string notes =
        "# Orvane Demo 2.0\n"
        "**Faster** checks in every script: *Überprüfung*, обновление, 更新\n"
        "## What is new\n"
        "1. Smaller downloads with `delta` packages\n"
        "2. Clearer messages\n"
        "   - [Release page](https://127.0.0.1:9/release-notes) and http://127.0.0.1:9/bare\n"
        "- [Local file](file:///" +
        other_ + "\\recorder.exe) and [script](javascript:void)\n";
    PublishNotes(notes);
    EXPECT_EQ(UpdateNotes(), L"") << "before a check";
    std::wstring shown;
    std::vector<std::string> problems, opened;
    const DWORD ui = GetCurrentThreadId();
    std::thread driver([&] {
        HWND dialog = nullptr;
        for (const DWORD until = GetTickCount() + 20000;
             !dialog && static_cast<LONG>(GetTickCount() - until) < 0; Sleep(50))
            EnumThreadWindows(ui, FindOffer, reinterpret_cast<LPARAM>(&dialog));
        if (!dialog) return problems.push_back("the offer did not show");
        Sleep(400);  // painted
        HWND view = GetDlgItem(dialog, IDC_UD_NOTES);
        shown = TextOf(view);
        for (const auto& shot : kNotesShots)
            if (UiLanguage() == shot.language)
                SaveWindowBitmap(dialog, ScreenshotFolder() + L"\\" + shot.file + L".bmp");
        // Links that must do nothing first, so that a wrong start is over before the checks.
        for (const wchar_t* link : {L"Local file", L"script", L"Release page", L"http://127"}) {
            if (!ClickOn(view, link)) problems.push_back("no link text");
            if (link[0] == L'R' || link[0] == L'h') opened.push_back(Recorded(web_, 15000));
        }
        PostMessageW(dialog, WM_CLOSE, 0, 0);
    });
    _Orvane3* ctl3 = nullptr;
    ASSERT_EQ(S_OK, ctl_->QueryInterface(IID__Orvane3, reinterpret_cast<void**>(&ctl3)));
    LONG result = -1;
    EXPECT_EQ(S_OK, ctl3->CheckUpdateWithDialog(VARIANT_FALSE, &result));
    ctl3->Release();
    driver.join();
    EXPECT_EQ(result, UPD_DIALOG_REMINDLATER);
    for (const std::string& p : problems) ADD_FAILURE() << p;
    EXPECT_EQ(opened,
              (std::vector<std::string>{
                  "Orvane demo package 2.0.0: installed with "
                  "https://127.0.0.1:9/release-notes\r\n",
                  "Orvane demo package 2.0.0: installed with http://127.0.0.1:9/bare\r\n"}));
    EXPECT_EQ(Recorded(other_, 0), "") << "a file: or javascript: link was opened";
    // The text as rendered: headings, the numbers as written, no Markdown marks, every script.
    for (const wchar_t* part : {L"Orvane Demo 2.0\r",
                                L"Faster checks in every script: Überprüfung, "
                                L"обновление, 更新",
                                L"1.\tSmaller downloads with delta packages"})
        EXPECT_NE(shown.find(part), std::wstring::npos) << part;
    EXPECT_EQ(shown.find(L"**"), std::wstring::npos);
    // UpdateNotes: the source as written, early- and late-bound.
    EXPECT_EQ(UpdateNotes(), win::Utf8ToWide(notes));
    _Orvane4* c = nullptr;
    ASSERT_EQ(S_OK, ctl_->QueryInterface(IID__Orvane4, reinterpret_cast<void**>(&c)));
    VARIANT v{};
    EXPECT_EQ(S_OK, GetByName(c, L"UpdateNotes", &v));
    EXPECT_EQ(std::wstring(V_BSTR(&v)), win::Utf8ToWide(notes));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, PutByName(c, L"UpdateNotes", v));
    VariantClear(&v);
    c->Release();
}

// The renderer itself: the longest notes an information file can carry are shown whole (and
// how long that takes), longer ones are cut with the mark.
TEST_F(DialogNotes, TheLongestNotesRenderFastAndLongerOnesAreCutWithTheMark) {
    HWND owner = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 400, 300, nullptr, nullptr,
                                 nullptr, nullptr);
    HWND edit = CreateWindowExW(0, dialog::NotesView::WindowClass(), L"",
                                WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY | WS_VSCROLL, 0,
                                0, 400, 300, owner, nullptr, nullptr, nullptr);
    ASSERT_NE(edit, nullptr);
    const std::string item =
        "- **Fixed** the *check* of [item](https://e.test/x) `code` Überprüfung\n";
    std::string longest = "# Notes\n";
    while (longest.size() + item.size() <= kMaxInfoTextLength / 4 * 3) longest += item;
    dialog::NotesView view;
    const auto t0 = std::chrono::steady_clock::now();
    view.Show(edit, markdown::Parse(longest), L"(cut)");
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    std::printf("notes of %zu bytes (%zu items) rendered in %lld ms\n", longest.size(),
                longest.size() / item.size(), static_cast<long long>(ms));
    EXPECT_LT(ms, 5000);
    std::wstring text = TextOf(edit);
    EXPECT_EQ(text.find(L"(cut)"), std::wstring::npos);
    EXPECT_EQ(view.LinkAt(Find(edit, L"item")), "https://e.test/x");
    EXPECT_EQ(view.LinkAt(Find(edit, L"code")), "");
    // Description without notes: as it stands, line by line.
    view.Show(edit, markdown::PlainText("a **b** [c](d)\r\n\r\n# e"), L"(cut)");
    EXPECT_EQ(TextOf(edit), L"a **b** [c](d)\r\n\r\n# e");
    view.Show(edit, markdown::Parse(longest + longest), L"(cut)");
    text = TextOf(edit);
    EXPECT_TRUE(text.ends_with(L"\n(cut)") || text.ends_with(L"\r(cut)"))
        << text.substr(text.size() - 20);
    DestroyWindow(owner);
}

}  // namespace
}  // namespace orv::test
