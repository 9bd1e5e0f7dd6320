// Starts the real OrvaneMaker.exe and drives it like a user would: texts typed into its
// boxes, menu commands, message boxes read and answered, files chosen in the real common
// dialogs. Files are checked byte for byte against the shared codec.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on
#include <algorithm>
#include <array>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "common/updateinfo/signed_fields.h"
#include "common/updateinfo/updateinfo.h"
#include "maker/resource.h"
#include "tests/gui/maker_driver.h"
#include "tests/support/samples.h"

namespace orv::test {
namespace {

constexpr char kTitle[] = "Orvane File Maker";
constexpr char kSaveTitle[] = "Save Update file as...";
constexpr char kOpenTitle[] = "Open Update file...";
constexpr char kPackageTitle[] = "Update package file...";
constexpr char kNumeric[] = "This version value must be numeric";

struct Today {
    std::string Month, Day, Year;
};

Today TodayTexts() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char m[8], d[8], y[8];
    std::snprintf(m, sizeof m, "%02u", now.wMonth);
    std::snprintf(d, sizeof d, "%02u", now.wDay);
    std::snprintf(y, sizeof y, "%u", std::clamp<unsigned>(now.wYear, 2000, 2100));
    return {m, d, y};
}

MakerFields ExampleFields() {
    return ExampleRecord();
}

// The bytes `orvinfo make` writes for these fields: the plain text, scrambled.
std::string FileBytesOf(const MakerFields& f) {
    return FileBytes(f);
}

std::string Unscrambled(const std::string& path) {
    return ScrambleText(ReadAll(path), kFileKey);
}

class MakerTest : public ::testing::Test {
   protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = FreshFolder(std::string(info->test_suite_name()) + "." + info->name());
        ASSERT_TRUE(maker_.Start());
    }

    void TearDown() override {
        const std::vector<HWND> stray = maker_.OtherWindows();
        for (HWND w : stray) ADD_FAILURE() << "window left open: \"" << TitleOf(w) << "\"";
        maker_.CloseStrayWindows();
    }

    std::string Path(const std::string& name) const { return folder_ + "\\" + name; }

    // Runs a menu command that must finish without opening any window.
    void RunQuietly(int command) {
        auto pending = maker_.CommandAsync(command);
        if (!pending->Wait()) {
            for (HWND w : maker_.OtherWindows()) {
                ADD_FAILURE() << "command " << command << " opened \"" << TitleOf(w) << "\"";
            }
            maker_.CloseStrayWindows();
            pending->Wait();
        }
    }

    // Expects exactly one message box of the editor with `text`, checks its form, closes it.
    void ExpectMessage(const std::string& text) {
        const auto box = maker_.WaitForMessageBox();
        ASSERT_TRUE(box) << "no message box; expected: " << text;
        EXPECT_EQ(box->Text, text);
        EXPECT_EQ(box->Title, kTitle);
        EXPECT_TRUE(box->CriticalIcon);
        EXPECT_EQ(box->Buttons, std::vector<int>{IDOK});
        EXPECT_TRUE(maker_.Press(box->Window, IDOK));
    }

    // Chooses `path` as the package through "..." and its Open dialog.
    void ChoosePackage(const std::string& path) {
        auto pending = maker_.CommandAsync(IDC_COMMAND1);
        ASSERT_TRUE(maker_.ChooseFile(kPackageTitle, path));
        EXPECT_TRUE(pending->Wait());
    }

    void OpenFile(const std::string& path) {
        auto pending = maker_.CommandAsync(IDM_OPEN);
        ASSERT_TRUE(maker_.ChooseFile(kOpenTitle, path));
        EXPECT_TRUE(pending->Wait());
    }

    void SaveAs(const std::string& path) {
        auto pending = maker_.CommandAsync(IDM_SAVEAS);
        ASSERT_TRUE(maker_.ChooseFile(kSaveTitle, path));
        EXPECT_TRUE(pending->Wait());
    }

    // Fills the form as the example record (package chosen from a real file of that size).
    void FillExample() {
        const MakerFields f = ExampleFields();
        maker_.SetText(IDC_TEXT1, f.Name);
        maker_.SetText(IDC_TEXT2, f.VersionParts[0]);
        maker_.SetText(IDC_TEXT3, f.VersionParts[1]);
        maker_.SetText(IDC_TEXT4, f.VersionParts[2]);
        maker_.SetText(IDC_TEXT5, f.VersionParts[3]);
        maker_.SetText(IDC_TEXT6, f.Comments);
        maker_.Send(maker_.Item(IDC_COMBO1), CB_SETCURSEL, 6);
        maker_.Send(maker_.Item(IDC_COMBO2), CB_SETCURSEL, 3);
        maker_.Send(maker_.Item(IDC_COMBO3), CB_SETCURSEL, 3);
        ASSERT_TRUE(WriteAll(Path(f.PackageFile), std::string(f.PackageSize, 'p')));
        ChoosePackage(Path(f.PackageFile));
    }

    std::array<std::string, 8> Boxes() const {
        return {maker_.Text(IDC_TEXT1), maker_.Text(IDC_TEXT2), maker_.Text(IDC_TEXT3),
                maker_.Text(IDC_TEXT4), maker_.Text(IDC_TEXT5), maker_.Text(IDC_TEXT6),
                maker_.Text(IDC_TEXT7), maker_.Text(IDC_TEXT8)};
    }
    std::array<std::string, 3> Date() const {
        return {maker_.Text(IDC_COMBO1), maker_.Text(IDC_COMBO2), maker_.Text(IDC_COMBO3)};
    }

    Maker maker_;
    std::string folder_;
};

// ---- The form ------------------------------------------------------------------------------

TEST_F(MakerTest, StartsWithEveryControlInTabOrderAndTodaysDate) {
    EXPECT_EQ(TitleOf(maker_.Form()), kTitle);
    EXPECT_EQ(maker_.Text(IDC_FRAME1), "Orvane Information");
    const std::vector<std::pair<int, std::string>> labels = {
        {IDC_LBL_NAME, "Application Name"},
        {IDC_LBL_VERSION, "Version"},
        {IDC_LBL_COMMENTS, "Comments"},
        {IDC_LBL_PACKAGE, "Update package file"},
        {IDC_LBL_DATE, "Release Date (mm/dd/yyyy)"},
        {IDC_LBL_SIZE, "Update package size"},
        {IDC_LBL_BYTES, "bytes"},
        {IDC_LBL_MEMBEROF, "Member of"},
        {IDC_LBL_CONTROL, "Orvane Control"},
        {IDC_COMMAND1, "..."},
    };
    for (const auto& [id, text] : labels) EXPECT_EQ(maker_.Text(id), text) << id;

    // The Tab key visits the controls in this order.
    std::vector<int> tabOrder;
    for (HWND c = GetWindow(maker_.Item(IDC_FRAME1), GW_HWNDFIRST); c;
         c = GetWindow(c, GW_HWNDNEXT)) {
        if (GetWindowLongA(c, GWL_STYLE) & WS_TABSTOP) tabOrder.push_back(GetDlgCtrlID(c));
    }
    EXPECT_EQ(tabOrder, (std::vector<int>{IDC_TEXT1, IDC_TEXT2, IDC_TEXT3, IDC_TEXT4, IDC_TEXT5,
                                          IDC_TEXT6, IDC_TEXT7, IDC_COMMAND1, IDC_COMBO1,
                                          IDC_COMBO2, IDC_COMBO3, IDC_TEXT8}));

    for (int id = IDC_TEXT1; id <= IDC_TEXT7; ++id) EXPECT_EQ(ClassOf(maker_.Item(id)), "Edit");
    auto style = [&](int id) { return GetWindowLongA(maker_.Item(id), GWL_STYLE); };
    EXPECT_TRUE(style(IDC_TEXT6) & ES_MULTILINE);
    EXPECT_TRUE(style(IDC_TEXT6) & WS_VSCROLL);
    EXPECT_FALSE(style(IDC_TEXT1) & ES_MULTILINE);
    EXPECT_TRUE(style(IDC_TEXT7) & ES_READONLY);
    EXPECT_TRUE(style(IDC_TEXT8) & ES_READONLY);
    EXPECT_FALSE(style(IDC_TEXT1) & ES_READONLY);
    RECT r3{}, r4{};
    GetWindowRect(maker_.Item(IDC_TEXT3), &r3);
    GetWindowRect(maker_.Item(IDC_TEXT4), &r4);
    EXPECT_GT(r4.right - r4.left, r3.right - r3.left);
    EXPECT_EQ(style(IDC_PICTURE) & SS_TYPEMASK, SS_ICON);
    EXPECT_NE(maker_.Send(maker_.Item(IDC_PICTURE), STM_GETICON), 0);

    // Drop-down lists with two-digit months and days, years 2000 to 2100, today selected.
    const Today today = TodayTexts();
    const std::array<std::pair<int, int>, 3> lists = {
        {{IDC_COMBO1, 12}, {IDC_COMBO2, 31}, {IDC_COMBO3, 101}}};
    for (const auto& [id, count] : lists) {
        EXPECT_EQ(style(id) & 3, CBS_DROPDOWNLIST);
        EXPECT_EQ(maker_.Send(maker_.Item(id), CB_GETCOUNT), count);
    }
    auto indexOf = [&](int id, const char* entry) {
        return maker_.Send(maker_.Item(id), CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                           reinterpret_cast<LPARAM>(entry));
    };
    EXPECT_EQ(indexOf(IDC_COMBO1, "01"), 0);
    EXPECT_EQ(indexOf(IDC_COMBO1, "12"), 11);
    EXPECT_EQ(indexOf(IDC_COMBO1, "1"), CB_ERR);
    EXPECT_EQ(indexOf(IDC_COMBO2, "09"), 8);
    EXPECT_EQ(indexOf(IDC_COMBO2, "31"), 30);
    EXPECT_EQ(indexOf(IDC_COMBO3, "2000"), 0);
    EXPECT_EQ(indexOf(IDC_COMBO3, "2100"), 100);
    EXPECT_EQ(Date(), (std::array<std::string, 3>{today.Month, today.Day, today.Year}));
    EXPECT_EQ(Boxes(), (std::array<std::string, 8>{}));
}

// The font of a dialog template (DIALOGEX with DS_SETFONT): every control of the dialog is
// given it, and the editor sets no other font on its boxes.
std::wstring TemplateFont(HMODULE module, int id) {
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));  // RT_DIALOG
    if (!found) return {};
    const auto* words = static_cast<const WORD*>(LockResource(LoadResource(module, found)));
    if (!words || words[0] != 1 || words[1] != 0xFFFF) return {};  // not a DIALOGEX
    const DWORD style = *reinterpret_cast<const DWORD*>(words + 6);
    if (!(style & DS_SETFONT)) return {};
    const WORD* p = words + 13;  // after version, signature, help id, styles, count, rectangle
    auto skipNameOrOrdinal = [&p] {
        if (*p == 0xFFFF) {
            p += 2;
        } else {
            while (*p++) {
            }
        }
    };
    skipNameOrOrdinal();  // menu
    skipNameOrOrdinal();  // class
    while (*p++) {        // title
    }
    p += 3;  // point size, weight, italic and character set
    return reinterpret_cast<const wchar_t*>(p);
}

TEST_F(MakerTest, BoxesAndLabelsUseVerdana) {
    HMODULE exe = LoadLibraryExA(MakerExePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr);
    EXPECT_EQ(TemplateFont(exe, IDD_FORM1), L"Verdana");
    EXPECT_EQ(TemplateFont(exe, IDD_FORM2), L"Verdana");
    FreeLibrary(exe);
}

TEST_F(MakerTest, MenusAndShortcutsAndVersionComeFromTheProgramsResources) {
    HMODULE exe = LoadLibraryExA(MakerExePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr);
    HMENU menu = LoadMenuA(exe, MAKEINTRESOURCEA(IDR_MAINMENU));
    ASSERT_NE(menu, nullptr);
    auto caption = [](HMENU m, UINT at) {
        char text[64] = {};
        GetMenuStringA(m, at, text, sizeof text, MF_BYPOSITION);
        return std::string(text);
    };
    EXPECT_EQ(GetMenuItemCount(menu), 3);
    EXPECT_EQ(caption(menu, 0), "&File");
    EXPECT_EQ(caption(menu, 1), "&Edit");
    EXPECT_EQ(caption(menu, 2), "&Help");
    const std::vector<std::vector<std::pair<std::string, UINT>>> items = {
        {{"&New\tCtrl+N", IDM_NEW},
         {"&Open\tCtrl+O", IDM_OPEN},
         {"&Save\tCtrl+S", IDM_SAVE},
         {"Save &As...", IDM_SAVEAS},
         {"", 0},
         {"E&xit\tCtrl+Q", IDM_EXIT}},
        {{"Cu&t\tCtrl+X", IDM_CUT}, {"&Copy\tCtrl+C", IDM_COPY}, {"&Paste\tCtrl+V", IDM_PASTE}},
        {{"&Contents", IDM_CONTENTS}, {"", 0}, {"&About...", IDM_ABOUT}},
    };
    for (int m = 0; m < 3; ++m) {
        HMENU popup = GetSubMenu(menu, m);
        ASSERT_EQ(GetMenuItemCount(popup), static_cast<int>(items[m].size()));
        for (UINT i = 0; i < items[m].size(); ++i) {
            EXPECT_EQ(caption(popup, i), items[m][i].first);
            if (items[m][i].second) {
                EXPECT_EQ(GetMenuItemID(popup, i), items[m][i].second);
            } else {
                EXPECT_TRUE(GetMenuState(popup, i, MF_BYPOSITION) & MF_SEPARATOR);
            }
        }
    }
    DestroyMenu(menu);

    HACCEL table = LoadAcceleratorsA(exe, MAKEINTRESOURCEA(IDR_ACCELERATORS));
    ASSERT_NE(table, nullptr);
    ACCEL keys[16];
    const int n = CopyAcceleratorTableA(table, keys, 16);
    std::vector<std::pair<char, WORD>> shortcuts;
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(keys[i].fVirt & (FCONTROL | FVIRTKEY | FALT | FSHIFT), FCONTROL | FVIRTKEY);
        shortcuts.emplace_back(static_cast<char>(keys[i].key), keys[i].cmd);
    }
    std::sort(shortcuts.begin(), shortcuts.end());
    EXPECT_EQ(shortcuts, (std::vector<std::pair<char, WORD>>{{'C', IDM_COPY},
                                                             {'N', IDM_NEW},
                                                             {'O', IDM_OPEN},
                                                             {'Q', IDM_EXIT},
                                                             {'S', IDM_SAVE},
                                                             {'V', IDM_PASTE},
                                                             {'X', IDM_CUT}}));
    FreeLibrary(exe);

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(MakerExePath().c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(MakerExePath().c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(1, 1));
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, 0));
}

// ---- Guards and the numeric check ----------------------------------------------------------

TEST_F(MakerTest, ReservedCharactersAreRemovedWithTheCaretAtTheEnd) {
    maker_.SetText(IDC_TEXT1, "a|b");
    EXPECT_EQ(maker_.Text(IDC_TEXT1), "ab");
    EXPECT_EQ(maker_.Selection(IDC_TEXT1), std::make_pair(2, 2));

    maker_.SetText(IDC_TEXT6, "first|line\r\nsecond||line");
    EXPECT_EQ(maker_.Text(IDC_TEXT6), "firstline\r\nsecondline");
    EXPECT_EQ(maker_.Selection(IDC_TEXT6), std::make_pair(21, 21));

    maker_.SetText(IDC_TEXT5, "1.2");
    EXPECT_EQ(maker_.Text(IDC_TEXT5), "12");
    EXPECT_EQ(maker_.Selection(IDC_TEXT5), std::make_pair(2, 2));
    maker_.SetText(IDC_TEXT5, "3,4|5");
    EXPECT_EQ(maker_.Text(IDC_TEXT5), "345");

    // Text without reserved characters is left alone, caret included.
    maker_.SetText(IDC_TEXT1, "Editor, v.2");
    EXPECT_EQ(maker_.Text(IDC_TEXT1), "Editor, v.2");
    EXPECT_TRUE(maker_.OtherWindows().empty());
}

TEST_F(MakerTest, LetterInAVersionBoxWarnsAndStays) {
    maker_.Focus(IDC_TEXT1);
    auto typing = maker_.SetTextAsync(IDC_TEXT2, "a");
    const auto box = maker_.WaitForMessageBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->Text, kNumeric);
    EXPECT_EQ(box->Title, kTitle);
    EXPECT_TRUE(box->CriticalIcon);
    EXPECT_EQ(box->Buttons, std::vector<int>{IDOK});
    EXPECT_FALSE(Screenshot("maker-validation-message").empty());
    EXPECT_TRUE(maker_.Press(box->Window, IDOK));
    EXPECT_TRUE(typing->Wait());

    EXPECT_EQ(maker_.Text(IDC_TEXT2), "a");
    EXPECT_EQ(maker_.FocusedId(), IDC_TEXT2);
    EXPECT_EQ(maker_.Selection(IDC_TEXT2), std::make_pair(0, 1));
}

TEST_F(MakerTest, NumericCheckWarnsOnlyForTextsThatAreNotNumbers) {
    // Numbers, numbers with a decimal point and numbers too large for 32 bits: no warning.
    for (int id : {IDC_TEXT2, IDC_TEXT3, IDC_TEXT4}) {
        for (const char* text : {"7", "1.5", "99999999999", " 12 "}) {
            auto typing = maker_.SetTextAsync(id, text);
            EXPECT_TRUE(typing->Wait()) << text;
            EXPECT_TRUE(maker_.OtherWindows().empty()) << text;
            maker_.CloseStrayWindows();
        }
    }
    // Deleting the last character leaves an empty text, which is not a number.
    for (int id : {IDC_TEXT2, IDC_TEXT3, IDC_TEXT4}) {
        maker_.SetText(id, "5");
        auto deleting = maker_.SetTextAsync(id, "");
        ExpectMessage(kNumeric);
        EXPECT_TRUE(deleting->Wait());
        EXPECT_EQ(maker_.FocusedId(), id);
    }
    // The fourth part has no numeric check; "|" in a major part is only warned about.
    maker_.SetText(IDC_TEXT5, "beta");
    EXPECT_TRUE(maker_.OtherWindows().empty());
    auto pipe = maker_.SetTextAsync(IDC_TEXT2, "1|2");
    ExpectMessage(kNumeric);
    EXPECT_TRUE(pipe->Wait());
    EXPECT_EQ(maker_.Text(IDC_TEXT2), "1|2");
}

// ---- Saving ---------------------------------------------------------------------------------

TEST_F(MakerTest, SaveRefusesInOrderThenWritesTheScrambledPlainText) {
    const std::string target = Path("update.orv");
    ASSERT_TRUE(WriteAll(Path("empty.bin"), ""));

    // Save As keeps the chosen name even though the first check stops the save.
    auto saving = maker_.CommandAsync(IDM_SAVEAS);
    ASSERT_TRUE(maker_.ChooseFile(kSaveTitle, target));
    ExpectMessage("'Application name' cannot be blank");
    EXPECT_TRUE(saving->Wait());
    EXPECT_EQ(maker_.FocusedId(), IDC_TEXT1);

    struct Step {
        int box;
        const char* text;
        const char* message;
        int focus;
    };
    const Step steps[] = {
        {IDC_TEXT1, " ", "'Version (major)' cannot be blank", IDC_TEXT2},
        {IDC_TEXT2, "2", "'Version (minor)' cannot be blank", IDC_TEXT3},
        {IDC_TEXT3, "1", "'Version (release)' cannot be blank", IDC_TEXT4},
        {IDC_TEXT4, "0", "'Update package file' cannot be blank", IDC_COMMAND1},
    };
    for (const Step& step : steps) {
        maker_.SetText(step.box, step.text);
        auto save = maker_.CommandAsync(IDM_SAVE);  // no dialog: the name is current
        ExpectMessage(step.message);
        EXPECT_TRUE(save->Wait());
        EXPECT_EQ(maker_.FocusedId(), step.focus) << step.message;
    }
    // A package of 0 bytes can be chosen, but not saved.
    ChoosePackage(Path("empty.bin"));
    EXPECT_EQ(maker_.Text(IDC_TEXT7), "empty.bin");
    EXPECT_EQ(maker_.Text(IDC_TEXT8), "0");
    auto save = maker_.CommandAsync(IDM_SAVE);
    ExpectMessage("'Update package size' cannot be 0 byte");
    EXPECT_TRUE(save->Wait());
    EXPECT_EQ(maker_.FocusedId(), IDC_COMMAND1);
    EXPECT_FALSE(Exists(target));
    // Pasting a number into the read-only size box changes only what it shows: the size that
    // would be written is still 0, and saving still refuses.
    maker_.Focus(IDC_TEXT8);
    SetClipboardText("5");
    RunQuietly(IDM_PASTE);
    EXPECT_EQ(maker_.Text(IDC_TEXT8), "5");
    auto pasted = maker_.CommandAsync(IDM_SAVE);
    ExpectMessage("'Update package size' cannot be 0 byte");
    EXPECT_TRUE(pasted->Wait());
    EXPECT_FALSE(Exists(target));

    ASSERT_TRUE(WriteAll(Path("setup.exe"), std::string(1234, 'x')));
    ChoosePackage(Path("setup.exe"));
    EXPECT_EQ(maker_.Text(IDC_TEXT7), "setup.exe");
    EXPECT_EQ(maker_.Text(IDC_TEXT8), "1234");
    RunQuietly(IDM_SAVE);
    const Today today = TodayTexts();
    EXPECT_EQ(Unscrambled(target),
              " |2.1.0.|" + today.Month + "/" + today.Day + "/" + today.Year + "||setup.exe|1234");
    EXPECT_EQ(FolderEntries(folder_).size(), 3u);  // no temporary file left behind
}

TEST_F(MakerTest, NewThenSaveShowsTheSaveDialog) {
    FillExample();
    auto clearing = maker_.CommandAsync(IDM_NEW);
    // Each version box that New empties warns once; the fourth part has no check.
    for (int i = 0; i < 3; ++i) ExpectMessage(kNumeric);
    EXPECT_TRUE(clearing->Wait());
    EXPECT_EQ(Boxes(), (std::array<std::string, 8>{}));
    const Today today = TodayTexts();
    EXPECT_EQ(Date(), (std::array<std::string, 3>{today.Month, today.Day, today.Year}));

    auto saving = maker_.CommandAsync(IDM_SAVE);
    EXPECT_TRUE(maker_.CancelFileDialog(kSaveTitle));
    EXPECT_TRUE(saving->Wait());
}

TEST_F(MakerTest, FileDialogsShowTheirSettings) {
    struct Expected {
        int command;
        const char* title;
        const char* fileName;
        std::vector<std::string> types;
    };
    const Expected dialogs[] = {
        {IDM_OPEN, kOpenTitle, "*.orv", {"Orvane files (*.orv)", "All files (*.*)"}},
        {IDM_SAVEAS, kSaveTitle, "*.orv", {"Orvane files"}},
        {IDC_COMMAND1, kPackageTitle, "*.*", {"All files (*.*)"}},
    };
    for (const Expected& e : dialogs) {
        SCOPED_TRACE(e.title);
        auto pending = maker_.CommandAsync(e.command);
        HWND dialog = maker_.WaitForDialog(e.title);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(GetWindow(dialog, GW_OWNER), maker_.Form());
        EXPECT_EQ(TitleOf(GetDlgItem(dialog, 0x47C)), e.fileName);  // file name (cmb13)
        EXPECT_EQ(TitleOf(GetDlgItem(dialog, 0x471)), "bin");  // starts in the program's folder
        HWND types = GetDlgItem(dialog, 0x470);                // file types (cmb1)
        EXPECT_EQ(maker_.Send(types, CB_GETCOUNT), static_cast<LRESULT>(e.types.size()));
        EXPECT_EQ(TitleOf(types), e.types[0]);  // the first type selected
        for (const std::string& type : e.types) {
            EXPECT_NE(maker_.Send(types, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                  reinterpret_cast<LPARAM>(type.c_str())),
                      CB_ERR)
                << type;
        }
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, 0x410)));  // no read-only check box
        EXPECT_TRUE(maker_.Press(dialog, IDCANCEL));
        EXPECT_TRUE(pending->Wait());
    }
    EXPECT_EQ(Boxes(), (std::array<std::string, 8>{}));  // cancelling changed nothing
}

TEST_F(MakerTest, SavingOverAFileAsksFirstAndNoKeepsIt) {
    FillExample();
    const std::string file = Path("update.orv");
    ASSERT_TRUE(WriteAll(file, "earlier"));
    auto saving = maker_.CommandAsync(IDM_SAVEAS);
    HWND dialog = maker_.SubmitFileName(kSaveTitle, file);
    ASSERT_NE(dialog, nullptr);
    HWND prompt = maker_.WaitForPrompt(dialog);
    ASSERT_NE(prompt, nullptr) << "no question before replacing a file";
    EXPECT_NE(GetDlgItem(prompt, IDYES), nullptr);
    EXPECT_NE(GetDlgItem(prompt, IDNO), nullptr);
    EXPECT_FALSE(Screenshot("maker-overwrite-prompt").empty());
    EXPECT_TRUE(maker_.Press(prompt, IDNO));
    EXPECT_TRUE(IsWindowVisible(dialog)) << "No returns to the dialog";
    EXPECT_TRUE(maker_.Press(dialog, IDCANCEL));
    EXPECT_TRUE(saving->Wait());
    EXPECT_EQ(ReadAll(file), "earlier");

    SaveAs(file);  // answers Yes
    EXPECT_EQ(ReadAll(file), FileBytesOf(ExampleFields()));
}

TEST_F(MakerTest, OpenRefusesANameThatDoesNotExist) {
    maker_.SetText(IDC_TEXT1, "kept");
    auto opening = maker_.CommandAsync(IDM_OPEN);
    HWND dialog = maker_.SubmitFileName(kOpenTitle, Path("missing.orv"));
    ASSERT_NE(dialog, nullptr);
    HWND refusal = maker_.WaitForPrompt(dialog);
    ASSERT_NE(refusal, nullptr) << "the dialog accepted a file that does not exist";
    EXPECT_TRUE(maker_.Press(refusal, IDOK));
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_TRUE(maker_.Press(dialog, IDCANCEL));
    EXPECT_TRUE(opening->Wait());
    EXPECT_EQ(maker_.Text(IDC_TEXT1), "kept");
    EXPECT_FALSE(Exists(Path("missing.orv")));
}

TEST_F(MakerTest, OpenThenSaveRewritesTheFileInPlace) {
    const std::string file = Path("update.orv");
    ASSERT_TRUE(WriteAll(file, FileBytesOf(ExampleFields())));
    OpenFile(file);
    maker_.SetText(IDC_TEXT1, "Editor Pro");
    RunQuietly(IDM_SAVE);
    MakerFields expected = ExampleFields();
    expected.Name = "Editor Pro";
    EXPECT_EQ(ReadAll(file), FileBytesOf(expected));
}

TEST_F(MakerTest, SaveAsCancelledForgetsTheNameSoSaveAsksAgain) {
    const std::string file = Path("update.orv");
    ASSERT_TRUE(WriteAll(file, FileBytesOf(ExampleFields())));
    OpenFile(file);
    auto saveAs = maker_.CommandAsync(IDM_SAVEAS);
    EXPECT_TRUE(maker_.CancelFileDialog(kSaveTitle));
    EXPECT_TRUE(saveAs->Wait());
    auto save = maker_.CommandAsync(IDM_SAVE);
    EXPECT_TRUE(maker_.CancelFileDialog(kSaveTitle));
    EXPECT_TRUE(save->Wait());
    // Cancelling Open forgets the name as well.
    OpenFile(file);
    auto open = maker_.CommandAsync(IDM_OPEN);
    EXPECT_TRUE(maker_.CancelFileDialog(kOpenTitle));
    EXPECT_TRUE(open->Wait());
    EXPECT_EQ(maker_.Text(IDC_TEXT1), "Editor");  // the form keeps its contents
    auto again = maker_.CommandAsync(IDM_SAVE);
    EXPECT_TRUE(maker_.CancelFileDialog(kSaveTitle));
    EXPECT_TRUE(again->Wait());
}

TEST_F(MakerTest, SavedFileOpensAgainAndSavesByteIdentical) {
    FillExample();
    EXPECT_FALSE(Screenshot("maker-main-window").empty());
    const std::string first = Path("first.orv");
    SaveAs(first);
    EXPECT_EQ(ReadAll(first), FileBytesOf(ExampleFields()));

    auto clearing = maker_.CommandAsync(IDM_NEW);  // version boxes warn as New empties them
    for (int i = 0; i < 3; ++i) ExpectMessage(kNumeric);
    EXPECT_TRUE(clearing->Wait());
    OpenFile(first);
    EXPECT_EQ(Boxes(), (std::array<std::string, 8>{"Editor", "2", "1", "0", "",
                                                   "Fixes the print preview.\r\nFaster start.",
                                                   "edsetup.exe", "524288"}));
    EXPECT_EQ(Date(), (std::array<std::string, 3>{"07", "04", "2003"}));

    const std::string second = Path("second");  // the dialog adds the default extension
    SaveAs(second);
    EXPECT_EQ(ReadAll(second + ".orv"), ReadAll(first));
}

TEST_F(MakerTest, SavingOverALongerFileLeavesExactlyTheNewText) {
    const std::string file = Path("update.orv");
    ASSERT_TRUE(WriteAll(file, std::string(5000, '#')));
    FillExample();
    SaveAs(file);  // answers Yes when asked before replacing
    const std::string plain = BuildPlainText(ExampleFields());
    EXPECT_EQ(ReadAll(file).size(), plain.size());
    EXPECT_EQ(Unscrambled(file), plain);
}

TEST_F(MakerTest, FailedSaveKeepsTheOldFileAndTheForm) {
    const std::string file = Path("update.orv");
    const std::string old = FileBytesOf(ExampleFields());
    ASSERT_TRUE(WriteAll(file, old));
    OpenFile(file);
    maker_.SetText(IDC_TEXT1, "Changed");
    ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
    auto save = maker_.CommandAsync(IDM_SAVE);
    const auto box = maker_.WaitForMessageBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->Text.rfind("The update file cannot be saved:\r\n" + file + "\r\n\r\n", 0), 0u)
        << box->Text;
    EXPECT_GT(box->Text.size(), file.size() + 40);  // followed by the system's reason
    EXPECT_TRUE(box->CriticalIcon);
    maker_.Press(box->Window, IDOK);
    EXPECT_TRUE(save->Wait());
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(ReadAll(file), old);
    EXPECT_EQ(maker_.Text(IDC_TEXT1), "Changed");
    EXPECT_EQ(FolderEntries(folder_), std::vector<std::string>{"update.orv"});

    // The folder of the current file is gone: the reason is given, nothing else changes.
    const std::string gone = FreshFolder("gone");
    ASSERT_TRUE(WriteAll(gone + "\\update.orv", old));
    OpenFile(gone + "\\update.orv");
    ASSERT_TRUE(DeleteFileA((gone + "\\update.orv").c_str()));
    ASSERT_TRUE(RemoveDirectoryA(gone.c_str()));
    auto again = maker_.CommandAsync(IDM_SAVE);
    const auto second = maker_.WaitForMessageBox();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->Text.rfind("The update file cannot be saved:", 0), 0u);
    maker_.Press(second->Window, IDOK);
    EXPECT_TRUE(again->Wait());
    EXPECT_EQ(maker_.Text(IDC_TEXT1), "Editor");
}

// ---- Opening ---------------------------------------------------------------------------------

TEST_F(MakerTest, FileWrittenByOrvinfoOpensWithAllFields) {
    // orvinfo make writes BuildPlainText scrambled with the information key: these bytes.
    MakerFields f;
    f.Name = "Quill Writer";
    f.VersionParts = {"3", "12", "250", "7"};
    f.Month = "12";
    f.Day = "31";
    f.Year = "2099";
    f.Comments = "New:\r\n- spelling\r\n- export";
    f.PackageFile = "qw-setup-3.12.exe";
    f.PackageSize = 2147483647;
    const std::string file = Path("from-orvinfo.orv");
    ASSERT_TRUE(WriteAll(file, FileBytesOf(f)));
    OpenFile(file);
    EXPECT_EQ(Boxes(), (std::array<std::string, 8>{"Quill Writer", "3", "12", "250", "7",
                                                   "New:\r\n- spelling\r\n- export",
                                                   "qw-setup-3.12.exe", "2147483647"}));
    EXPECT_EQ(Date(), (std::array<std::string, 3>{"12", "31", "2099"}));
    EXPECT_TRUE(maker_.OtherWindows().empty());
    RunQuietly(IDM_SAVE);
    EXPECT_EQ(ReadAll(file), FileBytesOf(f));
}

TEST_F(MakerTest, SignedFileOpensWithItsSignatureStateAndSavesUnchangedAsItWas) {
    const std::string six = BuildPlainText(ExampleFields());
    Sha256Digest digest{};
    digest.fill(0xAB);
    P256Signature signature{};
    signature.fill(0x5A);
    const std::string file = Path("signed.orv");
    const std::string bytes = ScrambleText(
        six + "|" + DigestField(digest) + "|" + SignatureField(signature), kInformationKey);
    ASSERT_TRUE(WriteAll(file, bytes));
    auto opening = maker_.CommandAsync(IDM_OPEN);
    ASSERT_TRUE(maker_.ChooseFile(kOpenTitle, file));
    const auto box = maker_.WaitForMessageBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->Text,
              "This update file carries fields after the six (a package digest, a signature, an "
              "expiry or a release policy). Saving keeps them while nothing signed changes; "
              "choose a private key under Publishing to sign it again.\r\n\r\nSigned; not "
              "checked: no public key file was found beside the private key or the update file.");
    EXPECT_EQ(box->Title, kTitle);
    EXPECT_FALSE(box->CriticalIcon);  // a notice: the file opened whole
    EXPECT_EQ(box->Buttons, std::vector<int>{IDOK});
    EXPECT_FALSE(Screenshot("maker-signed-file-message").empty());
    EXPECT_TRUE(maker_.Press(box->Window, IDOK));
    EXPECT_TRUE(opening->Wait());
    EXPECT_TRUE(maker_.OtherWindows().empty());
    EXPECT_EQ(Boxes(), (std::array<std::string, 8>{"Editor", "2", "1", "0", "",
                                                   "Fixes the print preview.\r\nFaster start.",
                                                   "edsetup.exe", "524288"}));
    // Saving, twice, with nothing changed: no message, and every field as it was.
    RunQuietly(IDM_SAVE);
    EXPECT_EQ(ReadAll(file), bytes);
    RunQuietly(IDM_SAVE);
    EXPECT_EQ(ReadAll(file), bytes);
}

TEST_F(MakerTest, IncompleteFileFillsWhatIsThereAndSaysSoOnce) {
    const std::string file = Path("short.orv");
    ASSERT_TRUE(WriteAll(file, ScrambleText("Editor|2.1|13/04", kFileKey)));
    auto opening = maker_.CommandAsync(IDM_OPEN);
    ASSERT_TRUE(maker_.ChooseFile(kOpenTitle, file));
    ExpectMessage(
        "This update file is incomplete. The texts it lacks were left empty, a missing or "
        "invalid date part shows today's, and a missing or invalid size shows 0.");
    EXPECT_TRUE(opening->Wait());
    EXPECT_TRUE(maker_.OtherWindows().empty());
    EXPECT_EQ(Boxes(), (std::array<std::string, 8>{"Editor", "2", "1", "", "", "", "", "0"}));
    const Today today = TodayTexts();
    EXPECT_EQ(Date(), (std::array<std::string, 3>{today.Month, "04", today.Year}));
    // The name stays current: Save checks the record and asks for the package.
    auto save = maker_.CommandAsync(IDM_SAVE);
    ExpectMessage("'Version (release)' cannot be blank");
    EXPECT_TRUE(save->Wait());

    // An empty file.
    const std::string empty = Path("empty.orv");
    ASSERT_TRUE(WriteAll(empty, ""));
    auto open = maker_.CommandAsync(IDM_OPEN);
    ASSERT_TRUE(maker_.ChooseFile(kOpenTitle, empty));
    // Emptying the filled version boxes warns first, then the file is reported.
    for (int i = 0; i < 2; ++i) ExpectMessage(kNumeric);
    ExpectMessage(
        "This update file is incomplete. The texts it lacks were left empty, a missing or "
        "invalid date part shows today's, and a missing or invalid size shows 0.");
    EXPECT_TRUE(open->Wait());
    EXPECT_EQ(Boxes(), (std::array<std::string, 8>{"", "", "", "", "", "", "", "0"}));
}

TEST_F(MakerTest, UnreadableFileIsReportedAndNotKeptAsTheCurrentFile) {
    const std::string file = Path("locked.orv");
    ASSERT_TRUE(WriteAll(file, FileBytesOf(ExampleFields())));
    HANDLE lock = CreateFileA(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    auto open = maker_.CommandAsync(IDM_OPEN);
    ASSERT_TRUE(maker_.ChooseFile(kOpenTitle, file));
    const auto box = maker_.WaitForMessageBox();
    CloseHandle(lock);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->Text.rfind("The update file cannot be opened:\r\n" + file + "\r\n\r\n", 0), 0u)
        << box->Text;
    EXPECT_GT(box->Text.size(), file.size() + 40);
    maker_.Press(box->Window, IDOK);
    EXPECT_TRUE(open->Wait());
    EXPECT_EQ(Boxes(), (std::array<std::string, 8>{}));
    auto save = maker_.CommandAsync(IDM_SAVE);
    EXPECT_TRUE(maker_.CancelFileDialog(kSaveTitle));
    EXPECT_TRUE(save->Wait());

    // A file far larger than the format allows is not read at all.
    const std::string large = Path("large.orv");
    ASSERT_TRUE(WriteAll(large, std::string(40000, 'x')));
    auto openLarge = maker_.CommandAsync(IDM_OPEN);
    ASSERT_TRUE(maker_.ChooseFile(kOpenTitle, large));
    const auto tooLarge = maker_.WaitForMessageBox();
    ASSERT_TRUE(tooLarge);
    EXPECT_EQ(tooLarge->Text, "The update file cannot be opened:\r\n" + large +
                                  "\r\n\r\nIt is larger than an update file can be (32767 bytes).");
    maker_.Press(tooLarge->Window, IDOK);
    EXPECT_TRUE(openLarge->Wait());
}

// ---- Package ----------------------------------------------------------------------------------

TEST_F(MakerTest, PackageOf2GiBOrMoreIsRefused) {
    auto sparse = [&](const std::string& path, LONGLONG size) {
        HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(f, INVALID_HANDLE_VALUE);
        LARGE_INTEGER at;
        at.QuadPart = size;
        ASSERT_TRUE(SetFilePointerEx(f, at, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(f));
        CloseHandle(f);
    };
    sparse(Path("largest.bin"), 2147483647LL);
    sparse(Path("too-large.bin"), 2147483648LL);

    ChoosePackage(Path("largest.bin"));
    EXPECT_EQ(maker_.Text(IDC_TEXT7), "largest.bin");
    EXPECT_EQ(maker_.Text(IDC_TEXT8), "2147483647");

    auto choosing = maker_.CommandAsync(IDC_COMMAND1);
    ASSERT_TRUE(maker_.ChooseFile(kPackageTitle, Path("too-large.bin")));
    ExpectMessage(
        "The update package is too large: its size must be less than 2 GB (2147483648 bytes).");
    EXPECT_TRUE(choosing->Wait());
    EXPECT_EQ(maker_.Text(IDC_TEXT7), "largest.bin");
    EXPECT_EQ(maker_.Text(IDC_TEXT8), "2147483647");

    // Cancelling the choice changes nothing either.
    auto cancelled = maker_.CommandAsync(IDC_COMMAND1);
    EXPECT_TRUE(maker_.CancelFileDialog(kPackageTitle));
    EXPECT_TRUE(cancelled->Wait());
    EXPECT_EQ(maker_.Text(IDC_TEXT7), "largest.bin");
    DeleteFileA(Path("largest.bin").c_str());
    DeleteFileA(Path("too-large.bin").c_str());
}

// ---- Edit menu --------------------------------------------------------------------------------

TEST_F(MakerTest, PasteReplacesTheWholeTextOfTheFocusedBox) {
    maker_.SetText(IDC_TEXT1, "hello world");
    maker_.Focus(IDC_TEXT1);
    maker_.Select(IDC_TEXT1, 2, 4);
    SetClipboardText("abc");
    RunQuietly(IDM_PASTE);
    EXPECT_EQ(maker_.Text(IDC_TEXT1), "abc");

    // The guard runs on pasted text.
    SetClipboardText("x|y");
    RunQuietly(IDM_PASTE);
    EXPECT_EQ(maker_.Text(IDC_TEXT1), "xy");

    // Read-only boxes only refuse typing: Paste replaces their text too.
    maker_.Focus(IDC_TEXT7);
    SetClipboardText("pasted.exe");
    RunQuietly(IDM_PASTE);
    EXPECT_EQ(maker_.Text(IDC_TEXT7), "pasted.exe");

    // A clipboard without text empties the box.
    maker_.Focus(IDC_TEXT6);
    maker_.SetText(IDC_TEXT6, "some comments");
    ClearClipboard();
    RunQuietly(IDM_PASTE);
    EXPECT_EQ(maker_.Text(IDC_TEXT6), "");

    // Pasting into a version box runs its numeric check.
    maker_.Focus(IDC_TEXT3);
    SetClipboardText("x");
    auto paste = maker_.CommandAsync(IDM_PASTE);
    ExpectMessage(kNumeric);
    EXPECT_TRUE(paste->Wait());
    EXPECT_EQ(maker_.Text(IDC_TEXT3), "x");
}

TEST_F(MakerTest, CopyAndCutUseTheSelection) {
    maker_.SetText(IDC_TEXT1, "Editor Pro");
    maker_.Focus(IDC_TEXT1);
    maker_.Select(IDC_TEXT1, 3, 3);
    SetClipboardText("earlier content");
    RunQuietly(IDM_COPY);
    EXPECT_EQ(ClipboardText(), std::optional<std::string>(""));

    maker_.Select(IDC_TEXT1, 0, 6);
    RunQuietly(IDM_COPY);
    EXPECT_EQ(ClipboardText(), std::optional<std::string>("Editor"));
    EXPECT_EQ(maker_.Text(IDC_TEXT1), "Editor Pro");

    maker_.Select(IDC_TEXT1, 6, 10);
    RunQuietly(IDM_CUT);
    EXPECT_EQ(ClipboardText(), std::optional<std::string>(" Pro"));
    EXPECT_EQ(maker_.Text(IDC_TEXT1), "Editor");
}

TEST_F(MakerTest, EditCommandsDoNothingWithoutATextBoxFocused) {
    maker_.SetText(IDC_TEXT1, "kept");
    for (int id : {IDC_COMMAND1, IDC_COMBO1}) {
        maker_.Focus(id);
        ASSERT_EQ(maker_.FocusedId(), id);
        SetClipboardText("clipboard");
        RunQuietly(IDM_COPY);
        RunQuietly(IDM_CUT);
        RunQuietly(IDM_PASTE);
        EXPECT_EQ(ClipboardText(), std::optional<std::string>("clipboard"));
        EXPECT_EQ(maker_.Text(IDC_TEXT1), "kept");
        EXPECT_EQ(maker_.Text(IDC_COMMAND1), "...");
        EXPECT_EQ(Date(), (std::array<std::string, 3>{TodayTexts().Month, TodayTexts().Day,
                                                      TodayTexts().Year}));
    }
}

TEST_F(MakerTest, ShortcutKeysRunTheMenuCommands) {
    ASSERT_TRUE(SetForegroundWindow(maker_.Form()));
    maker_.SetText(IDC_TEXT1, "typed text");
    maker_.Focus(IDC_TEXT1);
    maker_.Select(IDC_TEXT1, 2, 2);
    SetClipboardText("pasted");
    PressKeys({VK_CONTROL},
              'V');  // the menu's Paste: the whole text is replaced, not inserted at the caret
    for (int i = 0; i < 100 && maker_.Text(IDC_TEXT1) != "pasted"; ++i) Sleep(50);
    EXPECT_EQ(maker_.Text(IDC_TEXT1), "pasted");

    PressKeys({VK_CONTROL}, 'S');
    EXPECT_TRUE(maker_.CancelFileDialog(kSaveTitle));
    ASSERT_TRUE(SetForegroundWindow(maker_.Form()));
    PressKeys({VK_CONTROL}, 'N');
    for (int i = 0; i < 100 && !maker_.Text(IDC_TEXT1).empty(); ++i) Sleep(50);
    EXPECT_EQ(maker_.Text(IDC_TEXT1), "");
    PressKeys({VK_CONTROL}, 'O');
    EXPECT_TRUE(maker_.CancelFileDialog(kOpenTitle));
    ASSERT_TRUE(SetForegroundWindow(maker_.Form()));
    PressKeys({VK_CONTROL}, 'Q');
    EXPECT_TRUE(maker_.WaitForExit());
}

// ---- Help menu and the end of the program -----------------------------------------------------

TEST_F(MakerTest, AboutBoxShowsEveryElementAndTheProgramsVersion) {
    auto about = maker_.CommandAsync(IDM_ABOUT);
    HWND box = maker_.WaitForDialog("About Orvane File Maker");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(GetWindow(box, GW_OWNER), maker_.Form());
    auto text = [&](int id) { return TitleOf(GetDlgItem(box, id)); };
    EXPECT_EQ(text(IDC_LABEL1), "Quillfen");
    EXPECT_EQ(text(IDC_LABEL2), "Orvane File Maker");
    EXPECT_EQ(text(IDC_LABEL3), "v.1.01.0000");
    EXPECT_EQ(text(IDC_LABEL9), "Member of Orvane Control pack");
    EXPECT_EQ(text(IDC_FRAME_WEB), "     On the Web");
    EXPECT_EQ(text(IDC_LABEL6), "- Quillfen Software Web Site -");
    EXPECT_TRUE(GetWindowLongA(GetDlgItem(box, IDC_LABEL6), GWL_STYLE) & SS_NOTIFY);
    for (int id : {IDC_IMAGE1, IDC_PICTURE1}) {
        DWORD_PTR icon = 0;
        SendMessageTimeoutA(GetDlgItem(box, id), STM_GETICON, 0, 0, SMTO_NORMAL, kWaitMs, &icon);
        EXPECT_NE(icon, 0u) << id;
    }
    RECT picture{};
    GetClientRect(GetDlgItem(box, IDC_PICTURE1), &picture);
    EXPECT_EQ(picture.right, 16);
    EXPECT_EQ(picture.bottom, 16);
    for (int id : {IDC_LINE1, IDC_LINE2}) {
        EXPECT_EQ(GetWindowLongA(GetDlgItem(box, id), GWL_STYLE) & SS_TYPEMASK, SS_ETCHEDHORZ);
    }
    // No buttons: only the frame is of the button class.
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (ClassOf(c) == "Button") {
            EXPECT_EQ(GetDlgCtrlID(c), IDC_FRAME_WEB);
        }
    }
    // Label2 is larger than the other labels.
    auto height = [&](int id) {
        RECT r{};
        GetWindowRect(GetDlgItem(box, id), &r);
        return r.bottom - r.top;
    };
    EXPECT_GT(height(IDC_LABEL2), height(IDC_LABEL1));
    // The link has a tooltip (hidden until the pointer rests on the link).
    struct TipSearch {
        DWORD pid;
        HWND owner;
        HWND tip;
    } search{maker_.ProcessId(), box, nullptr};
    struct Finder {
        static BOOL CALLBACK Visit(HWND w, LPARAM p) {
            auto* s = reinterpret_cast<TipSearch*>(p);
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid == s->pid && ClassOf(w) == TOOLTIPS_CLASSA &&
                GetWindow(w, GW_OWNER) == s->owner) {
                s->tip = w;
            }
            return TRUE;
        }
    };
    EnumWindows(Finder::Visit, reinterpret_cast<LPARAM>(&search));
    ASSERT_NE(search.tip, nullptr);
    EXPECT_EQ(maker_.Send(search.tip, TTM_GETTOOLCOUNT), 1);
    EXPECT_FALSE(Screenshot("maker-about-box").empty());

    PostMessageA(box, WM_CLOSE, 0, 0);
    EXPECT_TRUE(about->Wait());
    EXPECT_FALSE(IsWindow(box));
    EXPECT_TRUE(maker_.Running());
}

TEST_F(MakerTest, ContentsOpensTheHelpTopicFromTheProgramsFolder) {
    // The help file was compiled next to the program and holds the topic.
    const std::string chm = ReadAll(BinaryDir() + "\\bin\\orvane.chm");
    ASSERT_GT(chm.size(), 4u);
    EXPECT_EQ(chm.substr(0, 4), "ITSF");
    EXPECT_NE(chm.find("/updatefiles.htm"), std::string::npos);

    RunQuietly(IDM_CONTENTS);  // the help window is not modal
    HWND help = maker_.WaitForWindow([](HWND w) { return ClassOf(w) == "HH Parent"; });
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(TitleOf(help), "Orvane File Maker Help");  // the help file's own title
    PostMessageA(help, WM_CLOSE, 0, 0);
    for (int i = 0; i < 100 && IsWindowVisible(help); ++i) Sleep(50);
    EXPECT_FALSE(IsWindowVisible(help));
}

TEST_F(MakerTest, KeysInTheHelpWindowAreNotTheFormsShortcuts) {
    maker_.SetText(IDC_TEXT1, "kept");
    RunQuietly(IDM_CONTENTS);
    HWND help = maker_.WaitForWindow([](HWND w) { return ClassOf(w) == "HH Parent"; });
    ASSERT_NE(help, nullptr);
    ASSERT_TRUE(SetForegroundWindow(help));
    for (int i = 0; i < 100 && GetForegroundWindow() != help; ++i) Sleep(20);
    SetClipboardText("clipboard");
    for (char key : {'N', 'V', 'X', 'Q'}) {
        PressKeys({VK_CONTROL}, static_cast<WORD>(key));
        Sleep(300);
        EXPECT_EQ(maker_.Text(IDC_TEXT1), "kept") << "Ctrl+" << key;
        ASSERT_TRUE(maker_.Running()) << "Ctrl+" << key << " in the help window ended the maker";
    }
    EXPECT_TRUE(maker_.OtherWindows().size() == 1) << "only the help window is open";
    PostMessageA(help, WM_CLOSE, 0, 0);
    for (int i = 0; i < 100 && IsWindowVisible(help); ++i) Sleep(50);
    EXPECT_FALSE(IsWindowVisible(help));
}

BOOL CALLBACK AddLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR list) {
    reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
    return TRUE;
}

TEST(MakerWithoutVersion, AboutBoxShowsTheBuiltVersion) {
    // A copy of the program whose version resource was removed.
    const std::string folder = FreshFolder("without-version");
    const std::string exe = folder + "\\OrvaneMaker.exe";
    ASSERT_TRUE(CopyFileA(MakerExePath().c_str(), exe.c_str(), FALSE));
    std::vector<WORD> languages;
    HMODULE image = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    EnumResourceLanguagesA(image, MAKEINTRESOURCEA(16), MAKEINTRESOURCEA(1), AddLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    FreeLibrary(image);
    ASSERT_FALSE(languages.empty());
    HANDLE update = BeginUpdateResourceA(exe.c_str(), FALSE);
    ASSERT_NE(update, nullptr);
    // A version block without its fixed part: the file's version numbers cannot be read.
    struct Block {
        WORD length, valueLength, type;
        wchar_t key[16];
        WORD padding;
    } block = {sizeof(Block), 0, 0, L"VS_VERSION_INFO", 0};
    for (WORD language : languages) {
        ASSERT_TRUE(UpdateResourceA(update, MAKEINTRESOURCEA(16), MAKEINTRESOURCEA(1), language,
                                    &block, sizeof block));
    }
    ASSERT_TRUE(EndUpdateResourceA(update, FALSE));
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(exe.c_str(), &ignored);
    std::vector<char> data(size + 1);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    EXPECT_FALSE(GetFileVersionInfoA(exe.c_str(), 0, size, data.data()) &&
                 VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) &&
                 fixed && length >= sizeof(VS_FIXEDFILEINFO))
        << "the version numbers can still be read (" << size << " bytes)";

    Maker maker;
    ASSERT_TRUE(maker.Start(exe));
    auto about = maker.CommandAsync(IDM_ABOUT);
    HWND box = maker.WaitForDialog("About Orvane File Maker");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(TitleOf(GetDlgItem(box, IDC_LABEL3)), "v.1.01.0000");
    PostMessageA(box, WM_CLOSE, 0, 0);
    EXPECT_TRUE(about->Wait());
}

TEST(MakerWithoutHelp, ContentsDoesNothingWhenTheHelpFileIsMissing) {
    // A copy of the program in a folder without orvane.chm.
    const std::string folder = FreshFolder("without-help");
    const std::string exe = folder + "\\OrvaneMaker.exe";
    ASSERT_TRUE(CopyFileA(MakerExePath().c_str(), exe.c_str(), FALSE));
    Maker maker;
    ASSERT_TRUE(maker.Start(exe));
    auto contents = maker.CommandAsync(IDM_CONTENTS);
    EXPECT_TRUE(contents->Wait());
    Sleep(1000);
    for (HWND w : maker.OtherWindows()) ADD_FAILURE() << "opened \"" << TitleOf(w) << "\"";
    maker.SetText(IDC_TEXT1, "still working");
    EXPECT_EQ(maker.Text(IDC_TEXT1), "still working");
}

TEST_F(MakerTest, ExitEndsTheProgramAtOnce) {
    maker_.SetText(IDC_TEXT1, "unsaved");
    PostMessageA(maker_.Form(), WM_COMMAND, IDM_EXIT, 0);
    EXPECT_TRUE(maker_.WaitForExit());
}

TEST_F(MakerTest, ClosingTheWindowEndsTheProgram) {
    PostMessageA(maker_.Form(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(maker_.WaitForExit());
}

// ---- Publishing: the maker signs -----------------------------------------------------------
// The publishing dialog driven by real key presses; files checked by openssl, both builds of
// orvinfo verify, and against orvinfo make.

constexpr char kVerified[] =
    "Signature: valid (key 1)\nExpires: 2099-01-31T00:00:00Z\nTagged fields: 2, signed\n"
    "Package: matches the digest\n";
constexpr char kMake[] = " make --name Editor --version 2.1.0 --date 07/04/2003 --package ";

// The DER SEQUENCE { r, s } of a raw r||s signature, as openssl reads it.
std::string DerSignature(const P256Signature& raw) {
    std::string body;
    for (int half = 0; half < 2; ++half) {
        std::string v(reinterpret_cast<const char*>(raw.data()) + 32 * half, 32);
        v.erase(0, std::min(v.find_first_not_of('\0'), v.size() - 1));
        if (static_cast<unsigned char>(v[0]) & 0x80) v.insert(0, 1, '\0');
        body += '\x02' + std::string(1, static_cast<char>(v.size())) + v;
    }
    return '\x30' + std::string(1, static_cast<char>(body.size())) + body;
}

// Every "p256:" field emptied: files that differ only in their signatures compare equal.
std::string WithoutSignatures(const std::string& plain) {
    std::string out;
    for (const std::string& piece : SplitAll(plain, '|')) {
        out += (out.empty() ? "" : "|") + (piece.starts_with("p256:") ? "p256:" : piece);
    }
    return out;
}

class MakerPublish : public MakerTest {
   protected:
    void SetUp() override {
        MakerTest::SetUp();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        unix_ = UnixBinaryDir() + "/gui_maker/" + info->test_suite_name() + "." + info->name();
        // A key pair as orvinfo makes it (pub.key, pub.pub), the comments.
        ASSERT_EQ(RunProgram(Orvinfo() + " keygen -o " + Path("pub")), 0);
        ASSERT_TRUE(WriteAll(Path("comments.txt"), ExampleRecord().Comments));
        ASSERT_TRUE(WriteAll(Path("edsetup.exe"), std::string(524288, 'p')));
    }

    static std::string Orvinfo() { return BinaryDir() + "\\bin\\orvinfo.exe"; }
    // orvinfo make with the example record's fields and `more` options.
    int Make(const std::string& more, const std::string& out) {
        return RunProgram(Orvinfo() + kMake + Path("edsetup.exe") + " --comments-file " +
                          Path("comments.txt") + " " + more + " -o " + Path(out));
    }

    // Alt+P opens the dialog; each field gets its access key and its text typed; Enter is OK.
    void Publish(const std::vector<std::pair<char, std::string>>& fields) {
        SetForegroundWindow(maker_.Form());
        PressKeys({VK_MENU}, 'P');
        HWND dialog = maker_.WaitForDialog("Publishing");
        ASSERT_TRUE(dialog);
        for (const auto& [key, text] : fields) {
            PressKeys({VK_MENU}, key);
            PressKeys({}, VK_HOME);
            PressKeys({VK_SHIFT}, VK_END);
            TypeKeys(text);
        }
        if (fields.size() > 1 && Screenshot("maker-publishing").empty()) ADD_FAILURE();
        PressKeys({}, VK_RETURN);
        for (int i = 0; i < 100 && IsWindow(dialog); ++i) Sleep(50);
        ASSERT_FALSE(IsWindow(dialog));
    }

    // Opens a file with fields after the sixth; returns the notice it shows.
    std::string OpenWithNotice(const std::string& path, const char* screenshot = nullptr) {
        auto opening = maker_.CommandAsync(IDM_OPEN);
        EXPECT_TRUE(maker_.ChooseFile(kOpenTitle, path));
        const auto box = maker_.WaitForMessageBox();
        if (!box) return "(no notice)";
        if (screenshot && Screenshot(screenshot).empty()) ADD_FAILURE();
        EXPECT_TRUE(maker_.Press(box->Window, IDOK));
        EXPECT_TRUE(opening->Wait());
        return box->Text;
    }

    // Saves; the message box it opens is answered with `answer` and its text returned.
    std::string SaveAnswering(int answer, bool critical) {
        auto saving = maker_.CommandAsync(IDM_SAVE);
        const auto box = maker_.WaitForMessageBox();
        if (!box) return "(no message)";
        EXPECT_EQ(box->Title, kTitle);
        EXPECT_EQ(box->CriticalIcon, critical);
        if (answer == IDCANCEL && Screenshot("maker-publishing-confirm").empty()) ADD_FAILURE();
        EXPECT_TRUE(maker_.Press(box->Window, answer));
        EXPECT_TRUE(saving->Wait());
        return box->Text;
    }

    // Every signature checked by openssl, and the file by both builds of orvinfo verify.
    void ExpectVerified(const std::string& name) {
        const std::string plain = Unscrambled(Path(name));
        const SignedFields f = ReadSignedFields(plain);
        const TaggedFields t = ReadTaggedFields(plain);
        const std::string line = ReadAll(Path("pub.pub"));
        ASSERT_TRUE(
            WriteAll(Path("pub.der"), DecodeBase64(line.substr(0, line.find('\n'))).value_or("")));
        for (const auto& [message, signature] :
             {std::pair{f.SignedText, f.SignatureBytes},
              std::pair{f.ExpirySignedText, f.ExpirySignatureBytes},
              std::pair{t.SignedText, t.SignatureBytes}}) {
            ASSERT_TRUE(WriteAll(Path("msg.bin"), std::string(message)));
            ASSERT_TRUE(WriteAll(Path("sig.der"), DerSignature(signature)));
            EXPECT_EQ(RunUnixProgram("/usr/bin/openssl dgst -sha256 -keyform DER -verify " + unix_ +
                                         "/pub.der -signature " + unix_ + "/sig.der " + unix_ +
                                         "/msg.bin",
                                     unix_),
                      "Verified OK\n")
                << name << ": " << message.size() << " signed bytes";
        }
        EXPECT_EQ(RunProgram(Orvinfo() + " verify --key " + Path("pub.pub") + " --package " +
                             Path("edsetup.exe") + " " + Path(name)),
                  0);
        EXPECT_EQ(
            RunUnixProgram(UnixBinaryDir() + "/../native/bin/orvinfo verify --key " + unix_ +
                               "/pub.pub --package " + unix_ + "/edsetup.exe " + unix_ + "/" + name,
                           unix_),
            kVerified)
            << name;
    }

    std::string unix_;
};

TEST_F(MakerPublish, SignsANewFileWithAnExpiryAndTwoTaggedFieldsThenResignsItAfterAnEdit) {
    FillExample();
    Publish(
        {{'K', Path("pub.key")}, {'E', "2099-01-31"}, {'M', "https://m.example/ed/"}, {'R', "25"}});
    SaveAs(Path("maker.orv"));
    // orvinfo, given the same inputs, writes the same bytes but for the signatures.
    ASSERT_EQ(Make("--sign " + Path("pub.key") +
                       " --expires 2099-01-31T00:00:00Z --urls https://m.example/ed/ --rollout 25",
                   "orvinfo.orv"),
              0);
    EXPECT_EQ(WithoutSignatures(Unscrambled(Path("maker.orv"))),
              WithoutSignatures(Unscrambled(Path("orvinfo.orv"))));

    // Opened again: valid, by which key (its public half lies beside it), until when; an edit
    // typed into the comments, Ctrl+S, and the file is signed anew.
    ASSERT_TRUE(CopyFileA(Path("maker.orv").c_str(), Path("resigned.orv").c_str(), FALSE));
    const std::string notice = OpenWithNotice(Path("resigned.orv"), "maker-publishing-opened");
    EXPECT_NE(notice.find("\r\n\r\nSigned, valid: key pub.pub (fingerprint "), std::string::npos);
    EXPECT_NE(notice.find("It expires at 2099-01-31T00:00:00Z."), std::string::npos) << notice;
    ASSERT_TRUE(SetForegroundWindow(maker_.Form()));
    maker_.Focus(IDC_TEXT6);
    PressKeys({VK_CONTROL}, VK_END);
    TypeKeys(" Signed again.");
    const std::string before = ReadAll(Path("resigned.orv"));
    PressKeys({VK_CONTROL}, 'S');
    for (int i = 0; i < 200 && ReadAll(Path("resigned.orv")) == before; ++i) Sleep(50);
    EXPECT_NE(Unscrambled(Path("resigned.orv")).find("Faster start. Signed again.|"),
              std::string::npos);
    for (const char* name : {"maker.orv", "resigned.orv"}) ExpectVerified(name);
}

TEST_F(MakerPublish, ASignedFileSavedWithoutAKeyKeepsItOrAsksBeforeWritingSixFields) {
    ASSERT_EQ(Make("--sign " + Path("pub.key") + " --expires 3650d --critical=2.0 --notes-file " +
                       Path("comments.txt") + " --tag beta:yes",
                   "signed.orv"),
              0);
    const std::string original = ReadAll(Path("signed.orv"));
    OpenWithNotice(Path("signed.orv"));
    // Nothing changed: saved as it was, every field kept (the notes and the unknown tag too).
    RunQuietly(IDM_SAVE);
    EXPECT_EQ(ReadAll(Path("signed.orv")), original);
    maker_.SetText(IDC_TEXT6, "Changed.");
    EXPECT_NE(SaveAnswering(IDCANCEL, false).find("signature would no longer verify"),
              std::string::npos);
    EXPECT_EQ(ReadAll(Path("signed.orv")), original);  // cancelled: nothing written
    SaveAnswering(IDOK, false);
    MakerFields six = ExampleFields();
    six.Comments = "Changed.";
    EXPECT_EQ(ReadAll(Path("signed.orv")), FileBytesOf(six));
}

TEST_F(MakerPublish, AKeyThatCannotSignIsToldAndNothingIsWritten) {
    RunUnixProgram(
        "/usr/bin/openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 "
        "-aes-256-cbc -pass pass:secret -out " +
            unix_ + "/encrypted.key",
        unix_);
    ASSERT_NE(ReadAll(Path("encrypted.key")).find("ENCRYPTED PRIVATE KEY"), std::string::npos);
    ASSERT_EQ(Make("--sign " + Path("pub.key"), "signed.orv"), 0);
    const std::string original = ReadAll(Path("signed.orv"));
    OpenWithNotice(Path("signed.orv"));
    maker_.SetText(IDC_TEXT6, "Changed.");
    // A public key, an encrypted private key, a file that is not there.
    for (const char* key : {"pub.pub", "encrypted.key", "missing.key"}) {
        Publish({{'K', Path(key)}});
        const std::string said = SaveAnswering(IDOK, true);
        EXPECT_NE(said.find(Path(key)), std::string::npos) << said;
        EXPECT_NE(said.find("Nothing was saved."), std::string::npos) << said;
        EXPECT_EQ(ReadAll(Path("signed.orv")), original);
    }
}

}  // namespace
}  // namespace orv::test
