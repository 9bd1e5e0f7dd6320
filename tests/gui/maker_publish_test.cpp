// The maker signs: the publishing dialog driven by real key presses, files signed with an
// expiry and tagged fields, re-signed after an edit, and the saves without a key. Every file
// is checked by the openssl command line and by both builds of orvinfo, and against the file
// orvinfo makes from the same inputs.
// clang-format off
#include <windows.h>
// clang-format on
#include <gtest/gtest.h>
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
constexpr char kExpires[] = "2099-01-31T00:00:00Z";
constexpr char kUrls[] = "https://mirror.example/ed/";

std::string Plain(const std::string& path) {
    return ScrambleText(ReadAll(path), kInformationKey);
}

// The DER SEQUENCE { r, s } of a raw r||s signature, as openssl reads it.
std::string DerSignature(const P256Signature& raw) {
    std::string body;
    for (int half = 0; half < 2; ++half) {
        std::string v(reinterpret_cast<const char*>(raw.data()) + 32 * half, 32);
        v.erase(0, std::min(v.find_first_not_of('\0'), v.size() - 1));
        if (static_cast<unsigned char>(v[0]) & 0x80) v.insert(0, 1, '\0');
        body += '\x02';
        body += static_cast<char>(v.size());
        body += v;
    }
    return std::string("\x30", 1) + static_cast<char>(body.size()) + body;
}

class MakerPublish : public ::testing::Test {
   protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        name_ = std::string("publish.") + info->name();
        folder_ = FreshFolder(name_);
        unix_ = UnixBinaryDir() + "/gui_maker/" + name_;
        // A key pair as orvinfo makes it (pub.key, pub.pub), and the package.
        ASSERT_EQ(RunProgram(Orvinfo() + " keygen -o " + Path("pub")), 0);
        ASSERT_TRUE(WriteAll(Path("edsetup.exe"), std::string(524288, 'p')));
        ASSERT_TRUE(maker_.Start());
        ASSERT_TRUE(SetForegroundWindow(maker_.Form()));
    }
    void TearDown() override {
        for (HWND w : maker_.OtherWindows()) ADD_FAILURE() << "left open: \"" << TitleOf(w) << "\"";
        maker_.CloseStrayWindows();
    }

    std::string Path(const std::string& name) const { return folder_ + "\\" + name; }
    static std::string Orvinfo() { return BinaryDir() + "\\bin\\orvinfo.exe"; }
    static std::string NativeOrvinfo() { return UnixBinaryDir() + "/../native/bin/orvinfo"; }

    // The example record on the form, its package chosen with "...".
    void FillExample() {
        const MakerFields f = ExampleRecord();
        maker_.SetText(IDC_TEXT1, f.Name);
        maker_.SetText(IDC_TEXT2, "2");
        maker_.SetText(IDC_TEXT3, "1");
        maker_.SetText(IDC_TEXT4, "0");
        maker_.SetText(IDC_TEXT6, f.Comments);
        maker_.Send(maker_.Item(IDC_COMBO1), CB_SETCURSEL, 6);
        maker_.Send(maker_.Item(IDC_COMBO2), CB_SETCURSEL, 3);
        maker_.Send(maker_.Item(IDC_COMBO3), CB_SETCURSEL, 3);
        auto choosing = maker_.CommandAsync(IDC_COMMAND1);
        ASSERT_TRUE(maker_.ChooseFile("Update package file...", Path("edsetup.exe")));
        EXPECT_TRUE(choosing->Wait());
    }

    // Opens the publishing dialog with Alt+P; nullptr when it did not appear.
    HWND OpenPublishing() {
        SetForegroundWindow(maker_.Form());
        PressKeys({VK_MENU}, 'P');
        return maker_.WaitForDialog("Publishing");
    }
    // Alt+letter, then the text typed into the field it leads to.
    static void Field(char accessKey, const std::string& text) {
        PressKeys({VK_MENU}, accessKey);
        PressKeys({}, VK_HOME);
        PressKeys({VK_SHIFT}, VK_END);
        TypeKeys(text);
    }
    // Enter presses OK; waits until the dialog is gone.
    bool Accept(HWND dialog) {
        PressKeys({}, VK_RETURN);
        for (int i = 0; i < 100 && IsWindow(dialog); ++i) Sleep(50);
        return !IsWindow(dialog);
    }

    void OpenFile(const std::string& path, bool notice) {
        auto opening = maker_.CommandAsync(IDM_OPEN);
        ASSERT_TRUE(maker_.ChooseFile("Open Update file...", path));
        if (notice) {
            const auto box = maker_.WaitForMessageBox();
            ASSERT_TRUE(box);
            state_ = box->Text;
            EXPECT_TRUE(maker_.Press(box->Window, IDOK));
        }
        EXPECT_TRUE(opening->Wait());
    }

    // Ctrl+S; the file must change (bounded wait).
    void SaveByKeys(const std::string& path) {
        const std::string before = ReadAll(path);
        SetForegroundWindow(maker_.Form());
        PressKeys({VK_CONTROL}, 'S');
        for (int i = 0; i < 200 && ReadAll(path) == before; ++i) Sleep(50);
    }

    // Each signature of a file checked by openssl with the public key.
    void ExpectOpensslVerifies(const std::string& file) {
        const std::string plain = Plain(file);
        const SignedFields f = ReadSignedFields(plain);
        const TaggedFields t = ReadTaggedFields(plain);
        ASSERT_EQ(f.Signature, FieldState::Valid);
        std::string line = ReadAll(Path("pub.pub"));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        ASSERT_TRUE(WriteAll(Path("pub.der"), DecodeBase64(line).value_or("")));
        std::vector<std::pair<std::string_view, P256Signature>> pieces = {
            {f.SignedText, f.SignatureBytes}};
        if (f.ExpirySignature == FieldState::Valid) {
            pieces.emplace_back(f.ExpirySignedText, f.ExpirySignatureBytes);
        }
        if (t.State == FieldState::Valid) pieces.emplace_back(t.SignedText, t.SignatureBytes);
        for (const auto& [message, signature] : pieces) {
            ASSERT_TRUE(WriteAll(Path("msg.bin"), std::string(message)));
            ASSERT_TRUE(WriteAll(Path("sig.der"), DerSignature(signature)));
            EXPECT_EQ(RunUnixProgram("/usr/bin/openssl dgst -sha256 -keyform DER -verify " + unix_ +
                                         "/pub.der -signature " + unix_ + "/sig.der " + unix_ +
                                         "/msg.bin",
                                     unix_),
                      "Verified OK\n")
                << file << ": " << message.size() << " signed bytes";
        }
    }

    // Both builds of orvinfo verify the file with the public key and the package.
    void ExpectOrvinfoVerifies(const std::string& name) {
        EXPECT_EQ(RunProgram(Orvinfo() + " verify --key " + Path("pub.pub") + " --package " +
                             Path("edsetup.exe") + " " + Path(name)),
                  0)
            << name;
        if (GetFileAttributesA(WinPath(NativeOrvinfo()).c_str()) == INVALID_FILE_ATTRIBUTES) {
            std::cout << "native orvinfo not built: its check of " << name << " skipped\n";
            return;
        }
        const std::string said =
            RunUnixProgram(NativeOrvinfo() + " verify --key " + unix_ + "/pub.pub --package " +
                               unix_ + "/edsetup.exe " + unix_ + "/" + name,
                           unix_);
        EXPECT_EQ(said,
                  "Signature: valid (key 1)\nExpires: 2099-01-31T00:00:00Z\nTagged fields: 2, "
                  "signed\nPackage: matches the digest\n")
            << name;
    }

    Maker maker_;
    std::string name_, folder_, unix_;
    std::string state_;  // the last notice shown on opening
};

// Every "p256:" field emptied: files that differ only in their signatures compare equal.
std::string WithoutSignatures(const std::string& plain) {
    std::string out;
    for (const std::string& piece : SplitAll(plain, '|')) {
        if (!out.empty()) out += '|';
        out += piece.starts_with("p256:") ? std::string("p256:") : piece;
    }
    return out;
}

TEST_F(MakerPublish, SignsANewFileWithAnExpiryAndTwoTaggedFieldsThenResignsItAfterAnEdit) {
    FillExample();
    HWND dialog = OpenPublishing();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(maker_.Text(IDC_PUBLISH), "&Publishing...");
    Field('K', Path("pub.key"));
    Field('E', "2099-01-31");
    Field('M', kUrls);
    Field('R', "25");
    EXPECT_FALSE(Screenshot("maker-publishing").empty());
    ASSERT_TRUE(Accept(dialog));

    const std::string made = Path("maker.orv");
    auto saving = maker_.CommandAsync(IDM_SAVEAS);
    ASSERT_TRUE(maker_.ChooseFile("Save Update file as...", made));
    EXPECT_TRUE(saving->Wait());
    const TaggedFields tags = ReadTaggedFields(Plain(made));
    ASSERT_EQ(tags.State, FieldState::Valid) << Plain(made);
    EXPECT_EQ(tags.Find("urls"), std::optional<std::string_view>(kUrls));
    EXPECT_EQ(tags.Find("rollout"), std::optional<std::string_view>("25"));
    EXPECT_EQ(ReadSignedFields(Plain(made)).ExpiryTime, *ParseUtcTime(kExpires));

    // orvinfo, given the same inputs, writes the same bytes but for the signatures.
    ASSERT_TRUE(WriteAll(Path("comments.txt"), ExampleRecord().Comments));
    ASSERT_EQ(RunProgram(Orvinfo() + " make --name Editor --version 2.1.0 --date 07/04/2003 " +
                         "--comments-file " + Path("comments.txt") + " --package " +
                         Path("edsetup.exe") + " --sign " + Path("pub.key") + " --expires " +
                         kExpires + " --urls " + kUrls + " --rollout 25 -o " + Path("orvinfo.orv")),
              0);
    EXPECT_EQ(WithoutSignatures(Plain(made)), WithoutSignatures(Plain(Path("orvinfo.orv"))));

    // Opened again (the key's public half beside it): valid, by which key, until when.
    const std::string resigned = Path("resigned.orv");
    ASSERT_TRUE(CopyFileA(made.c_str(), resigned.c_str(), FALSE));
    OpenFile(resigned, true);
    EXPECT_NE(state_.find("Signed, valid: key pub.pub (fingerprint "), std::string::npos) << state_;
    EXPECT_NE(state_.find("It expires at 2099-01-31T00:00:00Z."), std::string::npos) << state_;
    maker_.Focus(IDC_TEXT6);
    PressKeys({VK_CONTROL}, VK_END);
    TypeKeys(" Signed again.");
    SaveByKeys(resigned);
    EXPECT_TRUE(maker_.OtherWindows().empty());
    const std::string plain = Plain(resigned);
    EXPECT_NE(plain.find("Faster start. Signed again.|"), std::string::npos) << plain;
    EXPECT_EQ(ReadTaggedFields(plain).Fields.size(), 2u);

    for (const std::string& file : {made, resigned}) ExpectOpensslVerifies(file);
    for (const char* file : {"maker.orv", "resigned.orv"}) ExpectOrvinfoVerifies(file);
}

TEST_F(MakerPublish, ASignedFileSavedWithoutAKeyKeepsItOrAsksBeforeWritingSixFields) {
    const std::string file = Path("signed.orv");
    ASSERT_TRUE(WriteAll(Path("comments.txt"), ExampleRecord().Comments));
    ASSERT_EQ(
        RunProgram(Orvinfo() + " make --name Editor --version 2.1.0 --date 07/04/2003 " +
                   "--comments-file " + Path("comments.txt") + " --package " + Path("edsetup.exe") +
                   " --sign " + Path("pub.key") + " --expires 3650d --critical=2.0 --notes-file " +
                   Path("comments.txt") + " --tag beta:yes -o " + file),
        0);
    const std::string original = ReadAll(file);
    OpenFile(file, true);
    // Nothing changed: saved as it was, every field kept (the notes and the unknown tag too).
    EXPECT_TRUE(maker_.CommandAsync(IDM_SAVE)->Wait());
    EXPECT_EQ(ReadAll(file), original);

    maker_.SetText(IDC_TEXT6, "Changed.");
    for (int answer : {IDCANCEL, IDOK}) {
        auto saving = maker_.CommandAsync(IDM_SAVE);
        const auto box = maker_.WaitForMessageBox();
        ASSERT_TRUE(box);
        EXPECT_EQ(box->Title, kTitle);
        EXPECT_NE(box->Text.find("signature would no longer verify"), std::string::npos);
        EXPECT_EQ(box->Buttons, (std::vector<int>{IDOK, IDCANCEL}));
        if (answer == IDCANCEL) {
            EXPECT_FALSE(Screenshot("maker-publishing-confirm").empty());
        }
        EXPECT_TRUE(maker_.Press(box->Window, answer));
        EXPECT_TRUE(saving->Wait());
        if (answer == IDCANCEL) {
            EXPECT_EQ(ReadAll(file), original);  // nothing written
        }
    }
    MakerFields six = ExampleRecord();
    six.Comments = "Changed.";
    EXPECT_EQ(Plain(file), BuildPlainText(six));
}

TEST_F(MakerPublish, AKeyThatCannotSignIsToldAndNothingIsWritten) {
    RunUnixProgram(
        "/usr/bin/openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 "
        "-aes-256-cbc -pass pass:secret -out " +
            unix_ + "/encrypted.key",
        unix_);
    ASSERT_NE(ReadAll(Path("encrypted.key")).find("ENCRYPTED PRIVATE KEY"), std::string::npos);
    const std::string file = Path("signed.orv");
    ASSERT_EQ(RunProgram(Orvinfo() + " make --name Editor --version 2.1.0 --package " +
                         Path("edsetup.exe") + " --sign " + Path("pub.key") + " -o " + file),
              0);
    const std::string original = ReadAll(file);
    OpenFile(file, true);
    maker_.SetText(IDC_TEXT6, "Changed.");
    // A public key, an encrypted private key, a file that is not there.
    for (const char* key : {"pub.pub", "encrypted.key", "missing.key"}) {
        SCOPED_TRACE(key);
        HWND dialog = OpenPublishing();
        ASSERT_TRUE(dialog);
        Field('K', Path(key));
        ASSERT_TRUE(Accept(dialog));
        auto saving = maker_.CommandAsync(IDM_SAVE);
        const auto box = maker_.WaitForMessageBox();
        ASSERT_TRUE(box);
        EXPECT_EQ(box->Title, kTitle);
        EXPECT_TRUE(box->CriticalIcon);
        EXPECT_NE(box->Text.find(Path(key)), std::string::npos) << box->Text;
        EXPECT_NE(box->Text.find("Nothing was saved."), std::string::npos) << box->Text;
        EXPECT_TRUE(maker_.Press(box->Window, IDOK));
        EXPECT_TRUE(saving->Wait());
        EXPECT_EQ(ReadAll(file), original);
    }
}

}  // namespace
}  // namespace orv::test
