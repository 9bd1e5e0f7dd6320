// orvinfo's library: code page conversion, show's output, make's checks and file replacing.
// The command-line level (processes, exit statuses, both builds writing the same bytes) is
// tested by tests/cli.
#include "tools/orvinfo/orvinfo.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

#include "common/updateinfo/updateinfo.h"
#include "tests/support/samples.h"
#include "tests/unit/released_1_0/signed_fields.h"
#include "tools/orvinfo/cp1252.h"
#include "tools/orvinfo/crypto.h"
#include "tools/orvinfo/file_io.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace orv::orvinfo {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// --- Windows-1252 --------------------------------------------------------------------------

// Bytes 0x80 to 0x9F as UTF-8; "." marks the five bytes without a character.
const char* const kHighBlock[32] = {
    "€", ".", "‚", "ƒ", "„", "…", "†", "‡", "ˆ", "‰", "Š", "‹", "Œ", ".", "Ž", ".",
    ".", "‘", "’", "“", "”", "•", "–", "—", "˜", "™", "š", "›", "œ", ".", "ž", "Ÿ",
};

TEST(Cp1252, HighBlockHasItsDefinedCharacters) {
    for (int b = 0x80; b <= 0x9F; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const std::string utf8 = text::Cp1252ToUtf8(byte);
        if (std::string(kHighBlock[b - 0x80]) == ".") {
            // No character: shown as the C1 control of the same number, refused on the way in.
            EXPECT_EQ(text::Cp1252ToCodePoint(static_cast<uint8_t>(b)), static_cast<char32_t>(b));
            EXPECT_FALSE(text::Utf8ToCp1252(utf8)) << b;
        } else {
            EXPECT_EQ(utf8, kHighBlock[b - 0x80]) << b;
            EXPECT_EQ(text::Utf8ToCp1252(utf8), byte) << b;
        }
    }
}

TEST(Cp1252, EveryOtherByteIsItsOwnCodePoint) {
    for (int b = 0; b < 256; ++b) {
        if (b >= 0x80 && b <= 0x9F) continue;
        const std::string byte(1, static_cast<char>(b));
        EXPECT_EQ(text::Cp1252ToCodePoint(static_cast<uint8_t>(b)), static_cast<char32_t>(b));
        EXPECT_EQ(text::Utf8ToCp1252(text::Cp1252ToUtf8(byte)), byte) << b;
    }
    EXPECT_EQ(text::Cp1252ToUtf8("\xE9t\xE9"), "été");
    EXPECT_EQ(text::Utf8ToCp1252("Ünïcödé ÿ"),
              "\xDCn\xEF"
              "c\xF6"
              "d\xE9 \xFF");
}

TEST(Cp1252, RefusesWhatItCannotRepresent) {
    text::ConversionError e;
    EXPECT_FALSE(text::Utf8ToCp1252("a中b", &e));
    EXPECT_FALSE(e.invalidUtf8);
    EXPECT_EQ(e.codePoint, U'中');
    EXPECT_FALSE(text::Utf8ToCp1252("\U0001F600", &e));
    EXPECT_EQ(e.codePoint, U'\U0001F600');
    EXPECT_FALSE(text::Utf8ToCp1252("\u0080", &e));  // a C1 control, not the euro sign
    // Malformed UTF-8: cut, overlong, surrogate, beyond U+10FFFF, stray bytes.
    for (const std::string& bad : {"\xC3"s, "\xC0\xAF"s, "\xE0\x80\xAF"s, "\xED\xA0\x80"s,
                                   "\xF4\x90\x80\x80"s, "\xFF"s, "\x80"s, "a\xE2\x82"s}) {
        EXPECT_FALSE(text::Utf8ToCp1252(bad, &e));
        EXPECT_TRUE(e.invalidUtf8);
        EXPECT_FALSE(text::IsValidUtf8(bad));
    }
}

#ifdef _WIN32
// The platform's own Windows-1252 conversion (Wine's, when the tests run under Wine) agrees
// with ours in both directions.
TEST(Cp1252, MatchesThePlatformsCodePage) {
    for (int b = 0; b < 256; ++b) {
        const char byte = static_cast<char>(b);
        wchar_t wide = 0;
        ASSERT_EQ(MultiByteToWideChar(1252, 0, &byte, 1, &wide, 1), 1);
        EXPECT_EQ(static_cast<char32_t>(wide), text::Cp1252ToCodePoint(static_cast<uint8_t>(b)))
            << b;
    }
    for (char32_t cp = 1; cp < 0x3000; ++cp) {
        if (cp >= 0xD800) break;
        const wchar_t wide = static_cast<wchar_t>(cp);
        char byte = 0;
        BOOL usedDefault = FALSE;
        const int n = WideCharToMultiByte(1252, WC_NO_BEST_FIT_CHARS, &wide, 1, &byte, 1, nullptr,
                                          &usedDefault);
        const std::optional<uint8_t> ours = text::CodePointToCp1252(cp);
        if (cp >= 0x80 && cp <= 0x9F) {
            EXPECT_FALSE(ours) << static_cast<uint32_t>(
                cp);  // C1 controls: refused by us on purpose
        } else if (n == 1 && !usedDefault) {
            EXPECT_EQ(ours, static_cast<uint8_t>(byte)) << static_cast<uint32_t>(cp);
        } else {
            EXPECT_FALSE(ours) << static_cast<uint32_t>(cp);
        }
    }
}
#endif

// --- show's output ---------------------------------------------------------------------------

std::string FileOf(std::string_view plain) {
    return ScrambleText(plain, test::kFileKey);
}

TEST(ShowText, SixFieldsAsLinesOrJson) {
    const std::string file =
        FileOf("Editor|2.1.0.|07/04/2003|Fixes the print preview.|edsetup.exe|524288");
    EXPECT_EQ(ShowText(file, false),
              "Name: Editor\nVersion: 2.1.0.\nReleaseDate: 07/04/2003\n"
              "Description: Fixes the print preview.\nPackageFile: edsetup.exe\n"
              "PackageSize: 524288\n");
    EXPECT_EQ(ShowText(file, true),
              "{\"Name\":\"Editor\",\"Version\":\"2.1.0.\",\"ReleaseDate\":\"07/04/2003\","
              "\"Description\":\"Fixes the print preview.\",\"PackageFile\":\"edsetup.exe\","
              "\"PackageSize\":524288}\n");
}

TEST(ShowText, MissingFieldsAreEmptyAndABadSizeIsZero) {
    EXPECT_EQ(ShowText(FileOf("Only"), false),
              "Name: Only\nVersion: \nReleaseDate: \nDescription: \nPackageFile: \n"
              "PackageSize: 0\n");
    EXPECT_EQ(ShowText("", true),
              "{\"Name\":\"\",\"Version\":\"\",\"ReleaseDate\":\"\",\"Description\":\"\","
              "\"PackageFile\":\"\",\"PackageSize\":0}\n");
    EXPECT_NE(ShowText(FileOf("a|b|c|d|e|12 bytes"), false).find("PackageSize: 0\n"),
              std::string::npos);
    EXPECT_NE(ShowText(FileOf("a|b|c|d|e|-3"), true).find("\"PackageSize\":-3}"),
              std::string::npos);
}

TEST(ShowText, TextsAreConvertedAndEscaped) {
    const std::string file = FileOf(
        "\xC9"
        "diteur \x80|1.0.0.|01/02/2003|a\r\nb\t\"c\"\\\x01\x7F\x81|p|1"s);
    EXPECT_EQ(ShowText(file, true),
              "{\"Name\":\"Éditeur €\",\"Version\":\"1.0.0.\",\"ReleaseDate\":\"01/02/2003\","
              "\"Description\":\"a\\r\\nb\\t\\\"c\\\"\\\\\\u0001\\u007f\\u0081\","
              "\"PackageFile\":\"p\",\"PackageSize\":1}\n");
    // For people: the line break stays a line break, other controls show as U+FFFD.
    EXPECT_NE(ShowText(file, false).find("Description: a\nb\t\"c\"\\\uFFFD\uFFFD\uFFFD\n"),
              std::string::npos);
}

TEST(JsonString, ZeroBytesAndEveryControl) {
    EXPECT_EQ(JsonStringFromCp1252("\0\b\f\x1F"s), "\"\\u0000\\b\\f\\u001f\"");
    EXPECT_EQ(JsonStringFromCp1252(""), "\"\"");
}

// --- make and show through Run -----------------------------------------------------------------

class OrvinfoRun : public ::testing::Test {
   protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               (std::string("orvinfo_test_") + info->name() + "_" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(dir_);
        package_ = Put("edsetup.exe", std::string(524288, 'P'));
        empty_ = Put("empty.exe", "");
        out_ = Path("update.orv");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string Path(const std::string& name) const {
        const std::u8string s = (dir_ / name).u8string();
        return std::string(s.begin(), s.end());
    }
    std::string Put(const std::string& name, const std::string& bytes) const {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
        return Path(name);
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(files::PathFromUtf8(path), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<std::string> Folder() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) {
            names.push_back(files::BareNameUtf8(e.path()));
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // make with the usual fields; `extra` adds or overrides options.
    Result Make(std::vector<std::string> extra, const files::Writer& writer = {}) {
        std::vector<std::string> args = {"make"};
        args.insert(args.end(), extra.begin(), extra.end());
        return orvinfo::Run(args, kToday, writer);
    }
    std::vector<std::string> Usual() const {
        return {"--name",    "Editor",     "--version",  "2.1.0",
                "--date",    "07/04/2003", "--comments", "Fixes the print preview.",
                "--package", package_,     "-o",         out_};
    }

    static constexpr Date kToday{2024, 3, 9};
    fs::path dir_;
    std::string package_, empty_, out_;
};

TEST_F(OrvinfoRun, MakeWritesWhatTheMakerWrites) {
    const Result r = Make(Usual());
    EXPECT_EQ(r.status, kSuccess) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Read(out_),
              FileOf("Editor|2.1.0.|07/04/2003|Fixes the print preview.|edsetup.exe|524288"));

    const Result shown = orvinfo::Run({"show", out_, "--json"}, kToday);
    EXPECT_EQ(shown.status, kSuccess);
    EXPECT_EQ(shown.out,
              "{\"Name\":\"Editor\",\"Version\":\"2.1.0.\",\"ReleaseDate\":\"07/04/2003\","
              "\"Description\":\"Fixes the print preview.\",\"PackageFile\":\"edsetup.exe\","
              "\"PackageSize\":524288}\n");
}

TEST_F(OrvinfoRun, MakeTakesFourPartsTodayAndLineBreaks) {
    ASSERT_EQ(Make({"--name", "Édition ™", "--version", " 3.0.1.beta 2", "--comments",
                    "one\ntwo\r\nthree\rfour", "--package", package_, "-o", out_})
                  .status,
              kSuccess);
    EXPECT_EQ(ScrambleText(Read(out_), test::kFileKey),
              "\xC9"
              "dition \x99| 3.0.1.beta 2|03/09/2024|one\r\ntwo\r\nthree\r\nfour|"
              "edsetup.exe|524288");
}

TEST_F(OrvinfoRun, MakeReadsCommentsFromAFile) {
    const std::string comments = Put("notes.txt", "\xEF\xBB\xBFLine \xE2\x82\xAC\nNext\n");
    ASSERT_EQ(Make({"--name", "N", "--version", "1.2.3.4", "--date", "12/31/2100",
                    "--comments-file", comments, "--package", package_, "--output", out_})
                  .status,
              kSuccess);
    EXPECT_EQ(ScrambleText(Read(out_), test::kFileKey),
              "N|1.2.3.4|12/31/2100|Line \x80\r\nNext\r\n|edsetup.exe|524288");
}

TEST_F(OrvinfoRun, MakeRefusesInTheMakersOrder) {
    const std::string missing = Path("missing.exe");
    const std::string folder = Path("sub") + "/";
    fs::create_directories(dir_ / "sub");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"--version", "1.2.3", "--package", package_, "-o", out_},
         "'Application name' cannot be blank\n"},
        {{"--name", "", "--version", "", "-o", out_}, "'Application name' cannot be blank\n"},
        {{"--name", "N", "-o", out_}, "'Version (major)' cannot be blank\n"},
        {{"--name", "N", "--version", ".2.3", "-o", out_}, "'Version (major)' cannot be blank\n"},
        {{"--name", "N", "--version", "1..3", "-o", out_}, "'Version (minor)' cannot be blank\n"},
        {{"--name", "N", "--version", "1.2", "-o", out_}, "'Version (release)' cannot be blank\n"},
        {{"--name", "N", "--version", "1.2.", "-o", out_}, "'Version (release)' cannot be blank\n"},
        {{"--name", "N", "--version", "1.2.3", "-o", out_},
         "'Update package file' cannot be blank\n"},
        {{"--name", "N", "--version", "1.2.3", "--package", "", "-o", out_},
         "'Update package file' cannot be blank\n"},
        {{"--name", "N", "--version", "1.2.3", "--package", folder, "-o", out_},
         "'Update package file' cannot be blank\n"},
        {{"--name", "N", "--version", "1.2.3", "--package", empty_, "-o", out_},
         "'Update package size' cannot be 0 byte\n"},
        {{"--name", "N|M", "--version", "1.2.3", "--package", package_, "-o", out_},
         "orvinfo: 'Application name' cannot contain \"|\"\n"},
        {{"--name", "N", "--version", "1|2.2.3", "--package", package_, "-o", out_},
         "orvinfo: 'Version (major)' cannot contain \"|\"\n"},
        {{"--name", "N", "--version", "1.2|.3", "--package", package_, "-o", out_},
         "orvinfo: 'Version (minor)' cannot contain \"|\"\n"},
        {{"--name", "N", "--version", "1.2.3|", "--package", package_, "-o", out_},
         "orvinfo: 'Version (release)' cannot contain \"|\"\n"},
        {{"--name", "N", "--version", "1.2.3.4.5", "--package", package_, "-o", out_},
         "orvinfo: 'Version (fourth part)' cannot contain \".\"\n"},
        {{"--name", "N", "--version", "1.2.3.4,5", "--package", package_, "-o", out_},
         "orvinfo: 'Version (fourth part)' cannot contain \",\"\n"},
        {{"--name", "N", "--version", "1.2.3.4|5", "--package", package_, "-o", out_},
         "orvinfo: 'Version (fourth part)' cannot contain \"|\"\n"},
        {{"--name", "N", "--version", "1.2.3", "--comments", "a|b", "--package", package_, "-o",
          out_},
         "orvinfo: 'Comments' cannot contain \"|\"\n"},
        {{"--name", "N中", "--version", "1.2.3", "--package", package_, "-o", out_},
         "orvinfo: 'Application name' holds U+4E2D, a character that Windows-1252 cannot "
         "represent\n"},
        {{"--name", "N", "--version", "1.2.3", "--comments", "\xE9", "--package", package_, "-o",
          out_},
         "orvinfo: 'Comments' is not valid UTF-8\n"},
        {{"--name", "N", "--version", "1.2.3", "--package", missing, "-o", out_},
         "orvinfo: cannot read '" + missing + "': " + std::strerror(ENOENT) + "\n"},
        {{"--name", "N", "--version", "1.2.3", "--comments-file", missing, "--package", package_,
          "-o", out_},
         "orvinfo: cannot read '" + missing + "': " + std::strerror(ENOENT) + "\n"},
    };
    for (const Case& c : cases) {
        const Result r = Make(c.args);
        EXPECT_EQ(r.status, kRefused) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(fs::exists(out_));
}

#ifndef _WIN32  // Windows file names cannot hold "|"
TEST_F(OrvinfoRun, PackageNameWithBarIsRefused) {
    const std::string odd = Put("a|b.exe", "x");
    const Result r = Make({"--name", "N", "--version", "1.2.3", "--package", odd, "-o", out_});
    EXPECT_EQ(r.status, kRefused);
    EXPECT_EQ(r.err, "orvinfo: 'Update package file' cannot contain \"|\"\n");
}
#endif

TEST_F(OrvinfoRun, PackageOfTwoGibibytesIsRefused) {
    const std::string big = Put("big.exe", "");
    fs::resize_file(files::PathFromUtf8(big), 0x7FFFFFFFu);  // sparse: no disk space used
    ASSERT_EQ(Make({"--name", "N", "--version", "1.2.3", "--package", big, "-o", out_}).status,
              kSuccess);
    EXPECT_EQ(ScrambleText(Read(out_), test::kFileKey), "N|1.2.3.|03/09/2024||big.exe|2147483647");

    fs::resize_file(files::PathFromUtf8(big), 0x80000000u);
    const Result r = Make({"--name", "N", "--version", "1.2.3", "--package", big, "-o", out_});
    EXPECT_EQ(r.status, kRefused);
    EXPECT_EQ(r.err, "orvinfo: '" + big +
                         "' is 2 GiB or larger; update information holds sizes below 2 GiB only\n");
}

TEST_F(OrvinfoRun, PlainTextOfAtMost32767Characters) {
    // "N|1.2.3.|07/04/2003|" + comments + "|edsetup.exe|524288"
    const std::size_t fixed = std::string("N|1.2.3.|07/04/2003||edsetup.exe|524288").size();
    const std::string fits(test::kLongestText - fixed, 'c');
    auto make = [&](const std::string& comments) {
        return Make({"--name", "N", "--version", "1.2.3", "--date", "07/04/2003", "--comments",
                     comments, "--package", package_, "-o", out_});
    };
    ASSERT_EQ(make(fits).status, kSuccess);
    EXPECT_EQ(Read(out_).size(), test::kLongestText);
    const Result r = make(fits + "c");
    EXPECT_EQ(r.status, kRefused);
    EXPECT_EQ(r.err,
              "orvinfo: the update information would be 32768 characters long; at most "
              "32767 fit\n");
    EXPECT_EQ(Read(out_).size(), test::kLongestText);  // the earlier file is kept
}

TEST_F(OrvinfoRun, NonNumericVersionIsWrittenWithAWarning) {
    const Result r = Make({"--name", "N", "--version", "1.x.3", "--package", package_, "-o", out_});
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.err, "orvinfo: warning: 'Version (minor)': This version value must be numeric\n");
    EXPECT_TRUE(fs::exists(files::PathFromUtf8(out_)));
}

TEST_F(OrvinfoRun, UsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"show"},
        {"show", "a", "b"},
        {"show", "--yaml", "a"},
        {"make", "--name", "N", "--version", "1.2.3", "--package", "p"},  // no -o
        {"make", "-o", ""},
        {"make", "--name"},
        {"make", "--name", "a", "--name", "b", "-o", "x"},
        {"make", "--colour", "red", "-o", "x"},
        {"make", "stray", "-o", "x"},
        {"make", "--comments", "a", "--comments-file", "b", "-o", "x"},
        {"make", "--date", "7/4/2003", "-o", "x"},
        {"make", "--date", "13/01/2003", "-o", "x"},
        {"make", "--date", "01/32/2003", "-o", "x"},
        {"make", "--date", "01/00/2003", "-o", "x"},
        {"make", "--date", "01/01/1999", "-o", "x"},
        {"make", "--date", "01/01/2101", "-o", "x"},
        {"make", "--date", "01-01-2003", "-o", "x"},
        {"make", "--date", "0a/01/2003", "-o", "x"},
        {"make", "--digest", "--digest", "-o", "x"},
        {"make", "--sign", "-o"},
        {"keygen"},
        {"keygen", "-o"},
        {"keygen", "-o", "k", "extra"},
        {"keygen", "--bits", "256", "-o", "k"},
        {"sign", "--key", "k.key", "--package", "p"},            // no FILE
        {"sign", "--package", "p", "f.orv"},                     // no key
        {"sign", "--key", "k.key", "f.orv"},                     // no package
        {"sign", "--key", "k.key", "--package", "p", "a", "b"},  // two files
        {"verify", "f.orv"},                                     // no key
        {"verify", "--key", "k.pub"},                            // no FILE
        {"verify", "--key", "k.pub", "--key", "l.pub", "f.orv"},
        {"verify", "--key", "k.pub", "--digest", "f.orv"},
        {"make", "--digest", "--expires", "30d", "-o", "x"},  // an expiry is signed
        {"make", "--sign", "k.key", "--expires", "0d", "-o", "x"},
        {"make", "--sign", "k.key", "--rollout", "5", "-o", "x"},  // a policy needs an expiry
        {"make", "--critical", "--critical=2", "-o", "x"},
        {"make", "--tag", "Bad:x", "--sign", "k.key", "--expires", "9d", "-o", "x"},
        {"make", "--tag", "p256:x", "--sign", "k.key", "--expires", "9d", "-o", "x"},
        {"make", "--tag"},
    };
    for (const auto& args : cases) {
        const Result r = orvinfo::Run(args, kToday);
        EXPECT_EQ(r.status, kUsage) << (args.empty() ? "" : args.back());
        EXPECT_TRUE(r.err.starts_with("orvinfo: ")) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_EQ(orvinfo::Run({"make", "--name", "N", "-o", out_}, Date{2101, 1, 1}).status, kUsage);
    const Result help = orvinfo::Run({"--help"}, kToday);
    EXPECT_EQ(help.status, kSuccess);
    EXPECT_TRUE(help.out.starts_with(kUsageLine));
}

// The clock is the caller's: an expiry 30 days on holds until the second before, not after.
TEST_F(OrvinfoRun, ExpiryCountsFromTheGivenClock) {
    if (orvinfo::Run({"keygen", "-o", Path("k")}, kToday).status) GTEST_SKIP() << "no signing";
    constexpr int64_t kNow = 1801353600;  // 2027-01-31T00:00:00Z
    std::vector<std::string> make = Usual();
    make.insert(make.begin(), "make");
    make.insert(make.end(), {"--sign", Path("k.key"), "--expires", "30d"});
    ASSERT_EQ(orvinfo::Run(make, kToday, {}, kNow).status, kSuccess);
    for (const auto& [now, status] :
         {std::pair{kNow + 30 * 86400 - 1, kSuccess}, {kNow + 30 * 86400, kRefused}}) {
        EXPECT_EQ(orvinfo::Run({"verify", "--key", Path("k.pub"), out_}, kToday, {}, now).status,
                  status);
    }
    make.back() = "2027-01-31T00:00:00Z";  // not after the clock
    EXPECT_EQ(orvinfo::Run(make, kToday, {}, kNow).status, kRefused);
}

// A file with the release policy still reads and verifies in the reader of the released 1.0
// control: fields 8 and 10 sign what they signed there, and what follows is ignored there.
TEST_F(OrvinfoRun, TaggedFileReadsAndVerifiesInTheReleasedReader) {
    if (orvinfo::Run({"keygen", "-o", Path("k")}, kToday).status) GTEST_SKIP() << "no signing";
    std::vector<std::string> make = Usual();
    make.insert(make.begin(), "make");
    make.insert(make.end(),
                {"--sign", Path("k.key"), "--expires", "3650d", "--urls", "https://a.test/e.exe",
                 "--critical", "--min-version", "1.0", "--rollout", "10", "--args", "/quiet",
                 "--notes-file", Put("notes.md", "# Notes"), "--tag", "future:x"});
    ASSERT_EQ(orvinfo::Run(make, kToday).status, kSuccess);
    const std::string plain = ScrambleText(Read(out_), kInformationKey);
    ASSERT_EQ(ReadTaggedFields(plain).Fields.size(), 7u);
    const std::string key = Read(Path("k.pub"));
    const released_1_0::SignedFields f = released_1_0::ReadSignedFields(plain);
    ASSERT_TRUE(f.SignedAndWellFormed());
    ASSERT_EQ(f.ExpirySignature, released_1_0::FieldState::Valid);
    EXPECT_EQ(crypto::Verify(key, f.SignedText, f.SignatureBytes).verdict, crypto::Verdict::Valid);
    EXPECT_EQ(crypto::Verify(key, f.ExpirySignedText, f.ExpirySignatureBytes).verdict,
              crypto::Verdict::Valid);
    UpdateInfo info;
    SplitControlFields(plain, info);
    EXPECT_EQ(std::tuple(info.Name, info.PackageSize), std::tuple("Editor", 524288));
}

TEST_F(OrvinfoRun, ShowRefusesWhatIsNoUpdateInformation) {
    const std::string missing = Path("missing.orv");
    Result r = orvinfo::Run({"show", missing}, kToday);
    EXPECT_EQ(r.status, kRefused);
    EXPECT_EQ(r.err, "orvinfo: cannot read '" + missing + "': " + std::strerror(ENOENT) + "\n");

    const std::string big = Put("big.orv", std::string(test::kLongestText + 1, 'x'));
    r = orvinfo::Run({"show", big}, kToday);
    EXPECT_EQ(r.status, kRefused);
    EXPECT_EQ(r.err, "orvinfo: '" + big +
                         "' is longer than 32767 bytes, so it is no update information file\n");

    const std::string limit = Put("limit.orv", std::string(test::kLongestText, 'x'));
    EXPECT_EQ(orvinfo::Run({"show", limit}, kToday).status, kSuccess);
    const std::string empty = Put("empty.orv", "");
    EXPECT_EQ(orvinfo::Run({"show", "--", empty}, kToday).status, kSuccess);
}

// --- Replacing files ------------------------------------------------------------------------

TEST_F(OrvinfoRun, LongerOldFileIsReplacedWhole) {
    Put("update.orv", std::string(100000, 'o'));
    ASSERT_EQ(Make(Usual()).status, kSuccess);
    EXPECT_EQ(Read(out_),
              FileOf("Editor|2.1.0.|07/04/2003|Fixes the print preview.|edsetup.exe|524288"));
    EXPECT_EQ(Folder(), (std::vector<std::string>{"edsetup.exe", "empty.exe", "update.orv"}));
}

TEST_F(OrvinfoRun, FailedWriteKeepsTheOldFile) {
    Put("update.orv", "old contents");
    const files::Writer failing = [](std::FILE* f, std::string_view bytes) {
        std::fwrite(bytes.data(), 1, bytes.size() / 2, f);
        errno = ENOSPC;
        return false;
    };
    const Result r = Make(Usual(), failing);
    EXPECT_EQ(r.status, kRefused);
    EXPECT_EQ(r.err, "orvinfo: cannot write '" + out_ + "': " + std::strerror(ENOSPC) + "\n");
    EXPECT_EQ(Read(out_), "old contents");
    EXPECT_EQ(Folder(), (std::vector<std::string>{"edsetup.exe", "empty.exe", "update.orv"}));
}

TEST_F(OrvinfoRun, UnwritableTargetsFailWithTheSystemsReason) {
    std::vector<std::string> args = Usual();
    args.back() = Path("no such folder") + "/update.orv";
    Result r = Make(args);
    EXPECT_EQ(r.status, kRefused);
    EXPECT_EQ(r.err,
              "orvinfo: cannot write '" + args.back() + "': " + std::strerror(ENOENT) + "\n");

    // A folder in the way: the move fails, the folder and its contents stay, no temporary
    // file is left behind.
    fs::create_directories(dir_ / "taken" / "inside");
    args.back() = Path("taken");
    r = Make(args);
    EXPECT_EQ(r.status, kRefused);
    EXPECT_TRUE(r.err.starts_with("orvinfo: cannot write '" + args.back() + "': ")) << r.err;
    EXPECT_TRUE(fs::is_directory(dir_ / "taken" / "inside"));
    EXPECT_EQ(Folder(), (std::vector<std::string>{"edsetup.exe", "empty.exe", "taken"}));
}

}  // namespace
}  // namespace orv::orvinfo
