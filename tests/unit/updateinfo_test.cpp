#include "common/updateinfo/updateinfo.h"

#include <gtest/gtest.h>

#include "tests/support/samples.h"

namespace orv {
namespace {

using namespace std::string_literals;

// A text of `n` characters that cycles through every byte value.
std::string EveryByte(std::size_t n) {
    std::string text(n, '\0');
    for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>(i % 256);
    return text;
}

// --- Generator ---------------------------------------------------------------------------

TEST(RuntimeRandom, KnownValues) {
    RuntimeRandom r;  // the runtime's state at program start
    EXPECT_FLOAT_EQ(r.Next(), 0.7055475f);
    EXPECT_FLOAT_EQ(r.Next(), 0.5334240f);
    EXPECT_FLOAT_EQ(r.Next(), 0.5795186f);
    RuntimeRandom s;
    EXPECT_NEAR(s.Reseed(-1.0f), 0.224007f, 5e-7);
}

TEST(RuntimeRandom, ValuesAreWholeMultiplesOfTwoToTheMinus24) {
    RuntimeRandom r;
    r.Reseed(-4729.0f);
    for (int i = 0; i < 1000; ++i) {
        const float v = r.Next();
        ASSERT_GE(v, 0.0f);
        ASSERT_LT(v, 1.0f);
        EXPECT_EQ(static_cast<float>(r.State()) / 16777216.0f, v);
    }
}

// --- ScrambleText --------------------------------------------------------------------------

TEST(ScrambleText, KnownMaskOfTheInformationKey) {
    // The first mask bytes after re-seeding with -4729, as the platform's script runtime
    // produces them (Int(Rnd * 256)); the Wine test compares many more.
    const std::string mask = ScrambleText(std::string(10, '\0'), test::kFileKey);
    const uint8_t expected[] = {189, 69, 24, 210, 183, 187, 197, 214, 202, 106};
    for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(static_cast<uint8_t>(mask[i]), expected[i]);
}

TEST(ScrambleText, RoundTripsTextsHoldingEveryByteValue) {
    EXPECT_EQ(ScrambleText("", test::kFileKey), "");
    for (int b = 0; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        const std::string once = ScrambleText(one, test::kFileKey);
        ASSERT_EQ(once.size(), 1u);
        EXPECT_EQ(ScrambleText(once, test::kFileKey), one) << b;
    }
    const std::string text = EveryByte(test::kLongestText);
    const std::string once = ScrambleText(text, test::kFileKey);
    ASSERT_EQ(once.size(), test::kLongestText);
    EXPECT_NE(once, text);
    EXPECT_EQ(ScrambleText(once, test::kFileKey), text);
}

TEST(ScrambleText, EachByteDependsOnItsPositionOnly) {
    const std::string a = "Editor|2.1.0.|07/04/2003|Fixes the print preview.|edsetup.exe|524288";
    const std::string b = "Editor|2.2.0.|08/01/2003|Other.|edsetup.exe|1";
    const std::string sa = ScrambleText(a, test::kFileKey);
    const std::string sb = ScrambleText(b, test::kFileKey);
    EXPECT_EQ(sa.substr(0, 9), sb.substr(0, 9));  // "Editor|2." in both
    EXPECT_NE(sa[9], sb[9]);

    // Every byte is XORed with the same mask, whatever the text: scrambled XOR plain is the
    // scrambling of zeros.
    const std::string zeros = ScrambleText(std::string(a.size(), '\0'), test::kFileKey);
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(sa[i] ^ a[i], zeros[i]) << i;
}

TEST(ScrambleText, OtherKeyGivesOtherBytes) {
    const std::string text = "Editor|2.1.0.|07/04/2003";
    EXPECT_NE(ScrambleText(text, test::kFileKey), ScrambleText(text, 4730));
    EXPECT_NE(ScrambleText(ScrambleText(text, test::kFileKey), 4730), text);
}

// --- Plain text and the control's splitting ------------------------------------------------

// The shared example record, with one line of comments (the texts below expect it).
MakerFields Example() {
    MakerFields f = test::ExampleRecord();
    f.Comments = "Fixes the print preview.";
    return f;
}

UpdateInfo Filled() {
    UpdateInfo info;
    info.Name = "old name";
    info.Version = "old version";
    info.ReleaseDate = "old date";
    info.Description = "old description";
    info.PackageFile = "old file";
    info.PackageSize = 77;
    info.Reserved1 = "r1";
    info.Reserved2 = "r2";
    return info;
}

TEST(PlainText, ExampleFileDecodesToItsSixFields) {
    const std::string plain = BuildPlainText(Example());
    EXPECT_EQ(plain, "Editor|2.1.0.|07/04/2003|Fixes the print preview.|edsetup.exe|524288");

    UpdateInfo info = Filled();
    SplitControlFields(ScrambleText(ScrambleText(plain, test::kFileKey), test::kFileKey), info);
    EXPECT_EQ(info.Name, "Editor");
    EXPECT_EQ(info.Version, "2.1.0.");
    EXPECT_EQ(info.ReleaseDate, "07/04/2003");
    EXPECT_EQ(info.Description, "Fixes the print preview.");
    EXPECT_EQ(info.PackageFile, "edsetup.exe");
    EXPECT_EQ(info.PackageSize, 524288);
    EXPECT_EQ(info.Reserved1, "r1");
    EXPECT_EQ(info.Reserved2, "r2");
}

TEST(PlainText, LineBreaksInCommentsSurviveTheCodec) {
    MakerFields f = Example();
    f.Comments = "First line\r\nSecond line\r\n\r\nLast";
    const std::string file = ScrambleText(BuildPlainText(f), test::kFileKey);
    UpdateInfo info;
    SplitControlFields(ScrambleText(file, test::kFileKey), info);
    EXPECT_EQ(info.Description, f.Comments);
    EXPECT_EQ(info.PackageSize, 524288);
}

TEST(SplitControlFields, MissingFieldsKeepTheirMembers) {
    UpdateInfo info = Filled();
    SplitControlFields("New|3.0.0.", info);
    EXPECT_EQ(info.Name, "New");
    EXPECT_EQ(info.Version, "3.0.0.");
    EXPECT_EQ(info.ReleaseDate, "old date");
    EXPECT_EQ(info.PackageFile, "old file");
    EXPECT_EQ(info.PackageSize, 77);

    UpdateInfo untouched = Filled();
    SplitControlFields("", untouched);  // no body: nothing to fill
    EXPECT_EQ(untouched, Filled());
}

TEST(SplitControlFields, SizeThatIsNoNumberLeavesTheSize) {
    for (const char* size :
         {"12x", "", "2147483648", "-2147483649", "1.5", "0x10", "\xEF\xBC\x91\xEF\xBC\x92"}) {
        UpdateInfo info = Filled();
        SplitControlFields("a|b|c|d|e|"s + size, info);
        EXPECT_EQ(info.PackageFile, "e");
        EXPECT_EQ(info.PackageSize, 77) << size;
    }
    UpdateInfo info = Filled();
    SplitControlFields("a|b|c|d|e|2147483647", info);
    EXPECT_EQ(info.PackageSize, INT32_MAX);
    SplitControlFields("a|b|c|d|e|-2147483648", info);
    EXPECT_EQ(info.PackageSize, INT32_MIN);
}

TEST(SplitControlFields, PiecesAfterTheSixthAreIgnored) {
    UpdateInfo info = Filled();
    SplitControlFields("a|b|c|d|e|5|x|y|99", info);
    EXPECT_EQ(info.PackageSize, 5);
    EXPECT_EQ(info.Reserved1, "r1");
    EXPECT_EQ(info.Reserved2, "r2");
}

TEST(SplitControlFields, BytesOfAnyValueStayInTheirField) {
    UpdateInfo info;
    SplitControlFields("a\0b|\r\n|\xFF|||1"s, info);
    EXPECT_EQ(info.Name, "a\0b"s);
    EXPECT_EQ(info.Version, "\r\n");
    EXPECT_EQ(info.ReleaseDate, "\xFF");
    EXPECT_EQ(info.Description, "");
    EXPECT_EQ(info.PackageSize, 1);
}

TEST(SplitBothWays, BarInAVersionPartShiftsLaterFields) {
    MakerFields f = Example();
    f.VersionParts[0] = "2|x";
    const std::string plain = BuildPlainText(f);
    EXPECT_EQ(plain, "Editor|2|x.1.0.|07/04/2003|Fixes the print preview.|edsetup.exe|524288");

    UpdateInfo info = Filled();
    SplitControlFields(plain, info);
    EXPECT_EQ(info.Version, "2");
    EXPECT_EQ(info.ReleaseDate, "x.1.0.");
    EXPECT_EQ(info.Description, "07/04/2003");
    EXPECT_EQ(info.PackageFile, "Fixes the print preview.");
    EXPECT_EQ(info.PackageSize, 77);  // "edsetup.exe" is no number

    const MakerLoad load = SplitMakerFields(plain);
    EXPECT_EQ(load.VersionParts[0], "2");
    EXPECT_EQ(load.VersionParts[1], "");
    EXPECT_FALSE(load.Month);  // "x.1.0." is no date
    EXPECT_EQ(load.Comments, "07/04/2003");
    EXPECT_EQ(load.SizeText, "edsetup.exe");
    EXPECT_FALSE(load.Complete);
}

// --- The maker's splitting ------------------------------------------------------------------

TEST(SplitMakerFields, VersionOnDotsDateOnSlashes) {
    const MakerLoad load = SplitMakerFields(BuildPlainText(Example()));
    EXPECT_TRUE(load.Complete);
    EXPECT_EQ(load.Name, "Editor");
    EXPECT_EQ(load.VersionParts, (std::array<std::string, 4>{"2", "1", "0", ""}));
    EXPECT_EQ(load.Month, 7);
    EXPECT_EQ(load.Day, 4);
    EXPECT_EQ(load.Year, 2003);
    EXPECT_EQ(load.Comments, "Fixes the print preview.");
    EXPECT_EQ(load.PackageFile, "edsetup.exe");
    EXPECT_EQ(load.SizeText, "524288");
    EXPECT_EQ(load.PackageSize, 524288);
}

TEST(SplitMakerFields, ExtraPiecesAreIgnored) {
    const MakerLoad load = SplitMakerFields("N|1.2.3.4.5|7/4/2003/9|c|p|10|more");
    EXPECT_TRUE(load.Complete);
    EXPECT_EQ(load.VersionParts, (std::array<std::string, 4>{"1", "2", "3", "4"}));
    EXPECT_EQ(load.Month, 7);
    EXPECT_EQ(load.Day, 4);
    EXPECT_EQ(load.Year, 2003);
    EXPECT_EQ(load.PackageSize, 10);
}

TEST(SplitMakerFields, MissingOrOutOfRangeIsIncomplete) {
    {
        const MakerLoad load = SplitMakerFields("N|1.2|02/31/2003|c|p|10");
        EXPECT_FALSE(load.Complete);  // only two version parts
        EXPECT_EQ(load.VersionParts, (std::array<std::string, 4>{"1", "2", "", ""}));
        EXPECT_EQ(load.Day, 31);  // 02/31 is in the lists
    }
    {
        const MakerLoad load = SplitMakerFields("N|1.2.3.|13/00/1999|c|p|10");
        EXPECT_FALSE(load.Complete);
        EXPECT_FALSE(load.Month);
        EXPECT_FALSE(load.Day);
        EXPECT_FALSE(load.Year);
    }
    {
        const MakerLoad load = SplitMakerFields("N|1.2.3.|01/01/2000|c|p");
        EXPECT_FALSE(load.Complete);
        EXPECT_EQ(load.PackageFile, "p");
        EXPECT_EQ(load.SizeText, "");
    }
    EXPECT_FALSE(SplitMakerFields("").Complete);
    EXPECT_FALSE(SplitMakerFields("N|1.2.3.|01/01/2000|c|p|big").Complete);
}

TEST(ParseInt32, WholeTextOnly) {
    EXPECT_EQ(ParseInt32("0"), 0);
    EXPECT_EQ(ParseInt32("-17"), -17);
    EXPECT_EQ(ParseInt32("+17"), 17);
    EXPECT_EQ(ParseInt32(" 17 "), 17);
    EXPECT_EQ(ParseInt32("007"), 7);
    for (const char* bad : {"", " ", "-", "+", "1 2", "12a", "a12", "--1", "+-1", "2147483648"}) {
        EXPECT_EQ(ParseInt32(bad), std::nullopt) << bad;
    }
}

}  // namespace
}  // namespace orv

namespace orv {
namespace {

TEST(FormatVersionLabel, PadsMinorToTwoAndRevisionToFourDigits) {
    EXPECT_EQ(FormatVersionLabel(1, 0, 62), "v.1.00.0062");
    EXPECT_EQ(FormatVersionLabel(2, 5, 7), "v.2.05.0007");
    EXPECT_EQ(FormatVersionLabel(1, 123, 1), "v.1.123.0001");
    EXPECT_EQ(FormatVersionLabel(1, 0, 19), "v.1.00.0019");
    EXPECT_EQ(FormatVersionLabel(65535, 65535, 65535), "v.65535.65535.65535");
}

}  // namespace
}  // namespace orv
