// The update dialog in each of its languages (DialogLanguage) and with a host's own texts
// (SetDialogText), under Xvfb against the fault server.
#include <map>
#include <set>

#include "common/updateinfo/signed_fields.h"
#include "common/win/system.h"
#include "tests/gui/dialog_walk.h"

namespace orv::test {
namespace {

// What a visit saw: the caption, each visible control's text by id, and the texts cut off.
struct Seen {
    std::wstring caption;
    std::map<int, std::wstring> texts;
    std::string cut;
};

// Measures each visible button and static with its own font as it draws its text: a button on
// one line inside its edges, a static wrapped at its width ("&" a prefix unless SS_NOPREFIX).
// The notes' edit scrolls and the progress bar has no text.
Seen Look(HWND dialog) {
    Seen seen{TextOf(dialog), {}, {}};
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        wchar_t cls[16] = {};
        GetClassNameW(c, cls, 16);
        const bool button = _wcsicmp(cls, L"Button") == 0;
        if (!IsWindowVisible(c) || (!button && _wcsicmp(cls, L"Static") != 0)) continue;
        const std::wstring text = seen.texts[GetDlgCtrlID(c)] = TextOf(c);
        RECT has = {}, need = {};
        GetClientRect(c, &has);
        const LONG room = need.right = has.right - (button ? 2 * GetSystemMetrics(SM_CXEDGE) : 0);
        const bool prefix = button || !(GetWindowLongW(c, GWL_STYLE) & SS_NOPREFIX);
        HDC dc = GetDC(c);
        const HGDIOBJ old =
            SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(c, WM_GETFONT, 0, 0)));
        DrawTextW(dc, text.c_str(), -1, &need,
                  DT_CALCRECT | DT_EXPANDTABS | (button ? DT_SINGLELINE : DT_WORDBREAK) |
                      (prefix ? 0 : DT_NOPREFIX));
        SelectObject(dc, old);
        ReleaseDC(c, dc);
        if (need.right > room || need.bottom > has.bottom)
            seen.cut += " [" + win::WideToAnsi(text) + "]";
    }
    return seen;
}

class DialogLanguages : public DialogWalk {
   protected:
    void SetUp() override {
        DialogWalk::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        folder_ = FreshFolder(servers_, "languages");
        SetText(&_Orvane3::put_DownloadFolder, folder_);
        Set(&_Orvane4::put_DialogHandOff, VARIANT_TRUE);
        // The hand-off cannot write its program into a temporary folder that does not exist:
        // "Install now" ends on the page that holds the package.
        GetEnvironmentVariableW(L"TMP", tmp_, MAX_PATH);
        SetEnvironmentVariableW(L"TMP", W(folder_ + "\\absent").c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"TMP", tmp_[0] ? tmp_ : nullptr);
        DialogWalk::TearDown();
    }

    // The walk of `visits` in the language `code` (null: as set) against the fault server's
    // `scripts`; what each visit saw is in `seen_`.
    LONG Walk(const wchar_t* code, const std::string& scripts, const std::vector<Visit>& visits,
              const std::string& language) {
        if (code) {
            BSTR b = SysAllocString(code);
            EXPECT_EQ(S_OK, ctl4_->put_DialogLanguage(b));
            SysFreeString(b);
        }
        Direct(Serve(scripts), "/");
        seen_.clear();
        return DialogWalk::Walk(visits, language, [this](HWND d) { seen_.push_back(Look(d)); });
    }

    std::string folder_;
    wchar_t tmp_[MAX_PATH + 1] = {};
    std::vector<Seen> seen_;
};

// Each language through every page: the check (held a moment), the offer, a download the
// server refuses (404), its retry with the package arriving slowly, the package held because
// the hand-off could not start; then a version too new to install over the installed one. On
// every page each text fits its control, no text is the English one (a missing translation
// would fall back silently) and the caption names the product. Then SetDialogText replaces
// texts in the language shown, with %1 filled in, and an empty text restores them; a language
// without a table shows English.
TEST_F(DialogLanguages, EveryPageFitsInEveryLanguageAndHostsReplaceTexts) {
    const std::string check = R"([{"op":"recv","until":"\r\n\r\n"},{"op":"pause","seconds":0.2},)";
    const std::string offer = JsonText(
        HttpResponse("HTTP/1.0 200 OK", OrvFile("Orvane Demo", "2.0.0.0", "pkg.exe", 40000)));
    const std::string signature = "|" + SignatureField(P256Signature{});
    const std::string tooNew = ScrambleText(
        ScrambleText(OrvFile("Orvane Demo", "2.0.0.0", "pkg.exe", 40000), kInformationKey) + "|" +
            DigestField(Sha256Digest{}) + signature + "|" + ExpiryField(4102444800) + signature +
            "|minversion:1.5" + signature,
        kInformationKey);
    const std::string cycle =
        "[" + check + R"({"op":"send","text":)" + offer + "}]," + check +
        R"({"op":"send","text":)" + JsonText(HttpResponse("HTTP/1.0 404 Not Found", "")) +
        R"(}],[{"op":"recv","until":"\r\n\r\n"},{"op":"package","size":40000,"piece":4000,)"
        R"("pause":0.05}]])";
    // The codes as a host may write them: in any case, or with a region.
    const std::pair<const wchar_t*, const char*> languages[] = {
        {L"en", "en"},    {L"DE", "de"}, {L"fr-FR", "fr"}, {L"es", "es"}, {L"it", "it"},
        {L"pt", "pt-BR"}, {L"nl", "nl"}, {L"pl", "pl"},    {L"ja", "ja"}, {L"zh", "zh-CN"}};
    std::vector<Seen> english, japanese;
    std::set<std::wstring> offers;  // the offer's headline: one per language
    for (const auto& [code, name] : languages) {
        SCOPED_TRACE(name);
        const bool shot = std::string("fr ja zh-CN").find(name) != std::string::npos;
        EXPECT_EQ(Walk(code, cycle,
                       {{Page::Checking},
                        {Page::Offer, VK_RETURN, false, shot ? "offer" : nullptr},
                        {Page::Progress},
                        {Page::Failure, VK_RETURN},
                        {Page::Progress, 0, true},
                        {Page::Held, VK_ESCAPE}},
                       name),
                  UPD_DIALOG_FAILED);
        std::vector<Seen> seen = seen_;
        EXPECT_EQ(Walk(nullptr, Answer(HttpResponse("HTTP/1.0 200 OK", tooNew)),
                       {{Page::Newest, VK_ESCAPE}}, name),
                  UPD_DIALOG_NOUPDATE);
        seen.insert(seen.end(), seen_.begin(), seen_.end());
        ASSERT_EQ(seen.size(), 7u);
        offers.insert(seen[1].texts[IDC_UD_HEADLINE]);
        if (english.empty()) english = seen;
        if (name == std::string("ja")) japanese = seen;
        for (std::size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].cut, "") << "visit " << i;
            EXPECT_EQ(i > 0, seen[i].caption.find(L"Orvane Demo") != std::wstring::npos) << i;
            if (name == std::string("en")) continue;
            EXPECT_NE(seen[i].caption, english[i].caption) << "visit " << i;
            for (const auto& [id, text] : seen[i].texts)
                EXPECT_NE(text, english[i].texts[id]) << "visit " << i << ", control " << id;
        }
    }
    EXPECT_EQ(offers.size(), 10u);

    for (auto [id, text] : {std::pair{IDS_UD_TITLE, L"%1 \u2014 Neuigkeiten"},
                            {IDS_UD_INSTALL, L"Jetzt &aktualisieren"}}) {
        BSTR b = SysAllocString(text);
        EXPECT_EQ(S_OK, ctl4_->SetDialogText(id, b));
        SysFreeString(b);
    }
    const std::vector<Visit> remind = {{Page::Offer, VK_ESCAPE}};
    const std::string plain = "[" + check + R"({"op":"send","text":)" + offer + "}]]";
    EXPECT_EQ(Walk(L"ja", plain, remind, "ja"), UPD_DIALOG_REMINDLATER);
    EXPECT_EQ(seen_.at(0).caption, L"Orvane Demo \u2014 Neuigkeiten");
    EXPECT_EQ(seen_[0].texts[IDOK], L"Jetzt &aktualisieren");
    EXPECT_EQ(seen_[0].texts[IDC_UD_SKIP], japanese.at(1).texts[IDC_UD_SKIP]);
    EXPECT_EQ(seen_[0].cut, "");
    for (int id : {IDS_UD_TITLE, IDS_UD_INSTALL, 1126})  // 1126: no text of the dialog
        EXPECT_EQ(id == 1126 ? E_INVALIDARG : S_OK, ctl4_->SetDialogText(id, nullptr));
    EXPECT_EQ(Walk(nullptr, plain, remind, "ja"), UPD_DIALOG_REMINDLATER);
    EXPECT_EQ(seen_.at(0).caption, japanese[1].caption);
    EXPECT_EQ(seen_[0].texts, japanese[1].texts);
    EXPECT_EQ(Walk(L"xx", plain, remind, "xx"), UPD_DIALOG_REMINDLATER);
    EXPECT_EQ(seen_.at(0).caption, L"Orvane Demo update");
}

}  // namespace
}  // namespace orv::test
