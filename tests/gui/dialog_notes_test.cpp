// Release notes in the update dialog: the publisher's Markdown (notes:) in the offer, in the
// run's UI language and one a host chooses; a click on each link; UpdateNotes; the renderer given
// the longest notes a file can carry, and longer ones. The clicks reach the real shell, whose
// http, https and javascript handlers are test copies of the demo package, which write the
// address they were given into installed.txt beside them. (Wine's shell reads the machine's
// classes only, not the user's: the test sets those and puts the old ones back.)
#include <windows.h>

#include <commdlg.h>
#include <richedit.h>

#include <chrono>

#include "common/markdown/markdown.h"
#include "common/win/system.h"
#include "control/dialog/notes_view.h"
#include "control/trust/trust.h"
#include "tests/gui/dialog_walk.h"

namespace orv::test {
namespace {

const std::wstring kClasses = L"Software\\Classes\\";
const std::wstring kSchemes[] = {L"http", L"https", L"javascript"};

std::string UiLanguage() {
    char name[16] = {};
    GetLocaleInfoA(GetUserDefaultUILanguage(), LOCALE_SISO639LANGNAME, name, 16);
    return name;
}

// The position of `text` in the RichEdit `notes` (-1: absent); with `click`, a left click on
// its first character, scrolled into view.
LONG Find(HWND notes, const std::wstring& text, bool click = false) {
    FINDTEXTEXW find = {{0, -1}, text.c_str(), {}};
    const auto at = static_cast<LONG>(
        SendMessageW(notes, EM_FINDTEXTEXW, FR_DOWN, reinterpret_cast<LPARAM>(&find)));
    if (click && at >= 0) {
        SendMessageW(notes, EM_SETSEL, at, at);
        SendMessageW(notes, EM_SCROLLCARET, 0, 0);
        POINTL p = {};
        SendMessageW(notes, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&p), at);
        PostMessageW(notes, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(p.x + 3, p.y + 4));
        PostMessageW(notes, WM_LBUTTONUP, 0, MAKELPARAM(p.x + 3, p.y + 4));
    }
    return at;
}

class DialogNotes : public DialogWalk {
   protected:
    void SetUp() override {
        DialogWalk::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        setup_ = ReadAll(BinFile("OrvaneDemoSetup.exe"));
        web_ = FreshFolder(servers_, "notes-web");
        other_ = FreshFolder(servers_, "notes-other");
        for (const std::wstring& scheme : kSchemes) {
            const std::string folder = scheme[0] == L'h' ? web_ : other_;
            ASSERT_TRUE(WriteAll(folder + "\\recorder.exe", setup_));
            wchar_t old[1024] = {};
            DWORD size = sizeof old;
            RegGetValueW(HKEY_LOCAL_MACHINE, Command(scheme).c_str(), nullptr, RRF_RT_REG_SZ,
                         nullptr, old, &size);
            saved_.push_back(old);
            SetCommand(scheme, L"\"" + win::AnsiToWide(folder) + L"\\recorder.exe\" \"%1\"");
        }
        UseNginx("/notes/");
    }
    void TearDown() override {
        DialogWalk::TearDown();
        for (std::size_t i = 0; i < saved_.size(); ++i) SetCommand(kSchemes[i], saved_[i]);
    }

    static std::wstring Command(const std::wstring& scheme) {
        return kClasses + scheme + L"\\shell\\open\\command";
    }
    // The shell opens `scheme` with `command`; "" takes the scheme away.
    static void SetCommand(const std::wstring& scheme, const std::wstring& command) {
        const std::wstring key = kClasses + scheme;
        if (command.empty()) return void(RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str()));
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"URL Protocol", REG_SZ, L"", 2);
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, Command(scheme).c_str(), nullptr, REG_SZ,
                        command.c_str(), static_cast<DWORD>((command.size() + 1) * 2));
    }

    // Version 2.0.0.0 whose tagged fields carry `notes`, signed by no key.
    void PublishNotes(const std::string& notes) {
        const std::string dir = servers_.webRoot + "\\notes", sig = "|" + SignatureField({});
        CreateDirectoryA(dir.c_str(), nullptr);
        const std::string orv = OrvFile("Orvane Demo", "2.0.0.0", "OrvaneDemoSetup.exe",
                                        static_cast<int32_t>(setup_.size()));
        const std::string more = "|" + DigestField(*trust::Sha256Of(setup_)) + sig + "|" +
                                 ExpiryField(4102444800) + sig + "|notes:" + EncodeBase64(notes);
        ASSERT_TRUE(WriteAll(
            dir + "\\update.orv",
            ScrambleText(ScrambleText(orv, kInformationKey) + more + sig, kInformationKey)));
    }

    // What the recorder in `folder` was given, waiting up to `ms` for it ("" when nothing).
    static std::string Recorded(const std::string& folder, DWORD ms) {
        const std::string file = folder + "\\installed.txt";
        for (const DWORD until = GetTickCount() + ms;
             FileSize(file) <= 0 && static_cast<LONG>(GetTickCount() - until) < 0;)
            Sleep(50);
        const std::string line = ReadAll(file);
        DeleteFileA(file.c_str());
        return line;
    }

    // Notes with headings, lists, links of every kind and three scripts.
    std::string Notes() const {
        return "# Orvane Demo 2.0\n**Faster** checks in every script: *Überprüfung*, обновление, "
               "更新\n## What is new\n1. Smaller downloads with `delta` packages\n2. Clearer "
               "messages\n   - [Release page](https://127.0.0.1:9/release-notes) and "
               "http://127.0.0.1:9/bare\n- [Local file](file:///" +
               other_ + "\\recorder.exe) and [script](javascript:void)\n";
    }

    std::wstring UpdateNotes() {
        VARIANT v{};
        EXPECT_EQ(S_OK, GetByName(ctl_, L"UpdateNotes", &v));
        EXPECT_EQ(DISP_E_MEMBERNOTFOUND, PutByName(ctl_, L"UpdateNotes", v));
        const std::wstring text(V_BSTR(&v), SysStringLen(V_BSTR(&v)));
        VariantClear(&v);
        return text;
    }

    std::string setup_, web_, other_;
    std::vector<std::wstring> saved_;  // the handlers' commands before the test
};

TEST_F(DialogNotes, MarkdownNotesAreShownTheirWebLinksOpenAndHostsReadTheSource) {
    const std::string notes = Notes();
    PublishNotes(notes);
    EXPECT_EQ(UpdateNotes(), L"") << "before a check";
    std::wstring shown;
    std::vector<std::string> opened;
    const auto look = [&](HWND dialog) {
        HWND view = GetDlgItem(dialog, IDC_UD_NOTES);
        shown = TextOf(view);
        // The links that must do nothing first, so that a wrong start is over by the checks.
        for (const wchar_t* link : {L"Local file", L"script", L"Release page", L"http://127"})
            if (Find(view, link, true) >= 0 && (link[0] == L'R' || link[0] == L'h'))
                opened.push_back(Recorded(web_, 15000));
        PostMessageW(dialog, WM_CLOSE, 0, 0);
    };
    EXPECT_EQ(Walk({{Page::Offer, 0, false, "notes"}}, UiLanguage(), look), UPD_DIALOG_REMINDLATER);
    const std::string with = "Orvane demo package 2.0.0: installed with ";
    EXPECT_EQ(opened, (std::vector<std::string>{with + "https://127.0.0.1:9/release-notes\r\n",
                                                with + "http://127.0.0.1:9/bare\r\n"}));
    EXPECT_EQ(Recorded(other_, 0), "") << "a file: or javascript: link was opened";
    // As rendered: no Markdown marks, the numbers as written, every script as written.
    for (const wchar_t* part : {L"Orvane Demo 2.0\r", L"1.\tSmaller downloads with delta",
                                L"Faster checks in every script: Überprüfung, обновление, 更新"})
        EXPECT_NE(shown.find(part), std::wstring::npos) << part;
    EXPECT_EQ(UpdateNotes(), win::Utf8ToWide(notes));
    if (UiLanguage() != "en") return;
    // The offer with the same notes in a language a host chooses, shot in the English run.
    BSTR ja = SysAllocString(L"ja");
    EXPECT_EQ(S_OK, ctl4_->put_DialogLanguage(ja));
    SysFreeString(ja);
    Walk({{Page::Offer, 0, false, "notes"}}, "ja", [](HWND d) { PostMessageW(d, WM_CLOSE, 0, 0); });
}

// The renderer itself: the longest notes an information file can carry are shown whole (and
// how long that takes), Description as it stands, longer notes cut with the mark.
TEST_F(DialogNotes, TheLongestNotesRenderFastAndLongerOnesAreCutWithTheMark) {
    HWND edit = CreateWindowExW(0, dialog::NotesView::WindowClass(), L"",
                                WS_POPUP | ES_MULTILINE | ES_READONLY, 0, 0, 400, 300, nullptr,
                                nullptr, nullptr, nullptr);
    const std::string item = "- **Fixed** the *check* of [item](https://e.test/x) `code` Ü\n";
    std::string longest = "# Notes\n";
    while (longest.size() + item.size() <= kMaxInfoTextLength / 4 * 3) longest += item;
    dialog::NotesView view;
    const auto t0 = std::chrono::steady_clock::now();
    view.Show(edit, markdown::Parse(longest), L"(cut)");
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    std::printf("notes of %zu bytes rendered in %lld ms\n", longest.size(),
                static_cast<long long>(ms));
    EXPECT_LT(ms, 5000);
    EXPECT_FALSE(TextOf(edit).ends_with(L"(cut)"));
    EXPECT_EQ(view.LinkAt(Find(edit, L"item")), "https://e.test/x");
    EXPECT_EQ(view.LinkAt(Find(edit, L"code")), "");
    view.Show(edit, markdown::PlainText("a **b** [c](d)\r\n\r\n# e"), L"(cut)");
    EXPECT_EQ(TextOf(edit), L"a **b** [c](d)\r\n\r\n# e");
    view.Show(edit, markdown::Parse(longest + longest), L"(cut)");
    EXPECT_TRUE(TextOf(edit).ends_with(L"\n(cut)"));
    DestroyWindow(edit);
}

}  // namespace
}  // namespace orv::test
