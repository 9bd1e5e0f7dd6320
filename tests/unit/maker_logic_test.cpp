#include "maker/maker_logic.h"

#include <gtest/gtest.h>
#include <utility>
#include <vector>

#include "common/updateinfo/signed_fields.h"

namespace orv::maker {
namespace {

using namespace std::string_literals;

TEST(Guards, RemoveReservedCharactersOfTheirBoxOnly) {
    EXPECT_EQ(GuardOf(Box::Text1), Guard::Separator);
    EXPECT_EQ(GuardOf(Box::Text6), Guard::Separator);
    EXPECT_EQ(GuardOf(Box::Text5), Guard::VersionFourth);
    for (Box b : {Box::Text2, Box::Text3, Box::Text4, Box::Text7, Box::Text8}) {
        EXPECT_EQ(GuardOf(b), Guard::None);
    }

    EXPECT_EQ(ApplyGuard(Guard::Separator, "a|b"), "ab");
    EXPECT_EQ(ApplyGuard(Guard::Separator, "||"), "");
    EXPECT_EQ(ApplyGuard(Guard::Separator, "line 1\r\n|line 2"), "line 1\r\nline 2");
    // Nothing to remove: the box is left alone (no second change, caret not moved).
    EXPECT_EQ(ApplyGuard(Guard::Separator, "a.b,c"), std::nullopt);
    EXPECT_EQ(ApplyGuard(Guard::Separator, ""), std::nullopt);

    EXPECT_EQ(ApplyGuard(Guard::VersionFourth, "1.2"), "12");
    EXPECT_EQ(ApplyGuard(Guard::VersionFourth, "1,2|3.4"), "1234");
    EXPECT_EQ(ApplyGuard(Guard::VersionFourth, "beta 2"), std::nullopt);
    // A version box other than the fourth keeps every character: it only warns.
    EXPECT_EQ(ApplyGuard(Guard::None, "1|2"), std::nullopt);
}

TEST(NumericCheck, OnlyNotANumberWarns) {
    EXPECT_TRUE(NeedsNumericWarning(NumberOutcome::NotANumber));
    EXPECT_FALSE(NeedsNumericWarning(NumberOutcome::Number));
    EXPECT_FALSE(NeedsNumericWarning(NumberOutcome::OutOfRange));
    EXPECT_FALSE(NeedsNumericWarning(NumberOutcome::OtherFailure));
    EXPECT_TRUE(HasNumericCheck(Box::Text2));
    EXPECT_TRUE(HasNumericCheck(Box::Text4));
    EXPECT_FALSE(HasNumericCheck(Box::Text5));
    EXPECT_FALSE(HasNumericCheck(Box::Text1));
}

FormRecord FilledRecord() {
    FormRecord r;
    r.Name = "Editor";
    r.Version = {"2", "1", "0", ""};
    r.Month = "07";
    r.Day = "04";
    r.Year = "2003";
    r.Comments = "Fixes the print preview.";
    r.PackageFile = "edsetup.exe";
    r.SizeText = "524288";
    r.PackageFileSize = 524288;
    return r;
}

TEST(SaveChecks, RefuseInOrderWithTheirMessagesAndFocus) {
    // Filling the boxes one after the other walks through the six refusals in order.
    FormRecord r;
    r.SizeText = "0";
    std::vector<std::pair<std::string, Box>> seen;
    const std::vector<void (*)(FormRecord&)> fill = {
        [](FormRecord& x) { x.Name = "Editor"; },
        [](FormRecord& x) { x.Version[0] = "2"; },
        [](FormRecord& x) { x.Version[1] = "1"; },
        [](FormRecord& x) { x.Version[2] = "0"; },
        [](FormRecord& x) { x.PackageFile = "edsetup.exe"; },
        [](FormRecord& x) {
            x.SizeText = "10";
            x.PackageFileSize = 10;
        },
    };
    for (auto step : fill) {
        const auto refusal = CheckBeforeSave(r);
        ASSERT_TRUE(refusal);
        seen.emplace_back(std::string(refusal->Message), refusal->Focus);
        step(r);
    }
    EXPECT_EQ(CheckBeforeSave(r), std::nullopt);
    const std::vector<std::pair<std::string, Box>> expected = {
        {"'Application name' cannot be blank", Box::Text1},
        {"'Version (major)' cannot be blank", Box::Text2},
        {"'Version (minor)' cannot be blank", Box::Text3},
        {"'Version (release)' cannot be blank", Box::Text4},
        {"'Update package file' cannot be blank", Box::Command1},
        {"'Update package size' cannot be 0 byte", Box::Command1},
    };
    EXPECT_EQ(seen, expected);
}

TEST(SaveChecks, EmptyMeansNoCharactersAndOnlyTheListedBoxesCount) {
    FormRecord r = FilledRecord();
    r.Name = " ";
    r.Version = {" ", " ", " ", ""};
    r.Comments.clear();  // Text5 and Text6 are not checked
    EXPECT_EQ(CheckBeforeSave(r), std::nullopt);

    // The size check looks at the size that is written, not at what the size box shows: a
    // text pasted into the box after choosing an empty package does not make it savable.
    r.SizeText = "5";
    r.PackageFileSize = 0;
    ASSERT_TRUE(CheckBeforeSave(r));
    EXPECT_EQ(CheckBeforeSave(r)->Message, "'Update package size' cannot be 0 byte");
    r.SizeText = "0";
    r.PackageFileSize = 10;
    EXPECT_EQ(CheckBeforeSave(r), std::nullopt);

    // The numeric check is not repeated: letters in a version box save.
    r = FilledRecord();
    r.Version[0] = "x";
    EXPECT_EQ(CheckBeforeSave(r), std::nullopt);
}

TEST(SaveChecks, RefuseAPlainTextLongerThanTheCodecCanCount) {
    FormRecord r = FilledRecord();
    const std::size_t room = kMaxInfoTextLength - PlainTextOf(r).size();
    r.Comments += std::string(room, 'x');
    EXPECT_EQ(PlainTextOf(r).size(), kMaxInfoTextLength);
    EXPECT_EQ(CheckBeforeSave(r), std::nullopt);
    r.Comments += 'x';
    ASSERT_TRUE(CheckBeforeSave(r));
    EXPECT_EQ(CheckBeforeSave(r)->Message, kTooLongMessage);
    EXPECT_EQ(CheckBeforeSave(r)->Focus, Box::Text6);
    // The six field checks come first.
    r.Name.clear();
    EXPECT_EQ(CheckBeforeSave(r)->Focus, Box::Text1);
}

TEST(PlainText, JoinsTheBoxesAsTheyStand) {
    FormRecord r = FilledRecord();
    EXPECT_EQ(PlainTextOf(r),
              "Editor|2.1.0.|07/04/2003|Fixes the print preview.|edsetup.exe|524288");
    r.Name = " Editor ";
    r.Version[3] = "7";
    r.Comments = "a\r\nb";
    r.SizeText = "what the box shows";
    r.PackageFileSize = -1;
    EXPECT_EQ(PlainTextOf(r), " Editor |2.1.0.7|07/04/2003|a\r\nb|edsetup.exe|-1");
}

TEST(Load, FullFileFillsEveryControl) {
    const LoadedForm f = LoadFromPlainText(
        "Editor|2.1.0.|07/04/2003|Fixes the print preview.\r\nAnd more.|edsetup.exe|524288");
    EXPECT_TRUE(f.Complete);
    EXPECT_EQ(f.Name, "Editor");
    EXPECT_EQ(f.Version, (std::array<std::string, 4>{"2", "1", "0", ""}));
    EXPECT_EQ(f.MonthIndex, 6);
    EXPECT_EQ(f.DayIndex, 3);
    EXPECT_EQ(f.YearIndex, 3);
    EXPECT_EQ(f.Comments, "Fixes the print preview.\r\nAnd more.");
    EXPECT_EQ(f.PackageFile, "edsetup.exe");
    EXPECT_EQ(f.SizeText, "524288");
    EXPECT_EQ(f.PackageFileSize, 524288);
}

TEST(Load, ADigestOrSignatureIsToldOfButNotOtherPieces) {
    const std::string six = "Editor|2.1.0.|07/04/2003|Fixes.|edsetup.exe|524288";
    const std::string digest = DigestField(Sha256Digest{});
    const std::string signature = SignatureField(P256Signature{});
    EXPECT_FALSE(LoadFromPlainText(six).Signed);
    EXPECT_FALSE(LoadFromPlainText(six + "|extra|more").Signed);
    // A piece that is no field ends the optional fields: what follows it is no signature.
    EXPECT_FALSE(LoadFromPlainText(six + "||" + signature).Signed);
    for (const std::string& signedText :
         {six + "|" + digest, six + "|" + digest + "|" + signature}) {
        const LoadedForm f = LoadFromPlainText(signedText);
        EXPECT_TRUE(f.Signed) << signedText;
        EXPECT_TRUE(f.Complete);
        EXPECT_EQ(f.SizeText, "524288");
        EXPECT_EQ(f.PackageFileSize, 524288);
    }
}

TEST(Load, ExtraPiecesAreIgnoredAndTheSizeTextIsKeptAsWritten) {
    const LoadedForm f = LoadFromPlainText("A|1.2.3.4.5|12/31/2100/9|c|p.exe| 42|extra|more");
    EXPECT_TRUE(f.Complete);
    EXPECT_EQ(f.Version, (std::array<std::string, 4>{"1", "2", "3", "4"}));
    EXPECT_EQ(f.MonthIndex, 11);
    EXPECT_EQ(f.DayIndex, 30);
    EXPECT_EQ(f.YearIndex, 100);
    EXPECT_EQ(f.SizeText, " 42");
    EXPECT_EQ(f.PackageFileSize, 42);
}

TEST(Load, IncompleteFilesFillWhatIsThereAndLeaveTheRestEmpty) {
    struct Case {
        const char* plain;
        std::array<std::string, 4> version;
        std::optional<int> month, day, year;
        std::string comments, package, sizeText;
        int32_t size;
    };
    const Case cases[] = {
        {"", {}, {}, {}, {}, "", "", "0", 0},
        {"Only a name", {}, {}, {}, {}, "", "", "0", 0},
        {"A|1.2|07/04", {"1", "2", "", ""}, 6, 3, {}, "", "", "0", 0},
        {"A|1.2.3.|13/00/1999|c|p.exe|7", {"1", "2", "3", ""}, {}, {}, {}, "c", "p.exe", "7", 7},
        {"A|1.2.3.|02/31/2101|c|p.exe|x", {"1", "2", "3", ""}, 1, 30, {}, "c", "p.exe", "0", 0},
        {"A|1.2.3.4|ab/04/2003|c|p.exe", {"1", "2", "3", "4"}, {}, 3, 3, "c", "p.exe", "0", 0},
        {"A|1.2.3.4|01/01/2000|c|p.exe|99999999999",
         {"1", "2", "3", "4"},
         0,
         0,
         0,
         "c",
         "p.exe",
         "0",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plain);
        const LoadedForm f = LoadFromPlainText(c.plain);
        EXPECT_FALSE(f.Complete);
        EXPECT_EQ(f.Version, c.version);
        EXPECT_EQ(f.MonthIndex, c.month);
        EXPECT_EQ(f.DayIndex, c.day);
        EXPECT_EQ(f.YearIndex, c.year);
        EXPECT_EQ(f.Comments, c.comments);
        EXPECT_EQ(f.PackageFile, c.package);
        EXPECT_EQ(f.SizeText, c.sizeText);
        EXPECT_EQ(f.PackageFileSize, c.size);
    }
}

TEST(Load, SeparatorInAVersionPartShiftsTheLaterFields) {
    const LoadedForm f = LoadFromPlainText("A|1.2|3.|07/04/2003|c|p.exe|5");
    EXPECT_EQ(f.Version, (std::array<std::string, 4>{"1", "2", "", ""}));
    EXPECT_EQ(f.MonthIndex, std::nullopt);  // "3." is not a date
    EXPECT_EQ(f.Comments, "07/04/2003");
    EXPECT_EQ(f.PackageFile, "c");
    EXPECT_EQ(f.SizeText, "0");  // "p.exe" is no number
    EXPECT_FALSE(f.Complete);
}

TEST(Load, SavedFileOpensAndSavesByteIdentical) {
    FormRecord r = FilledRecord();
    r.Comments = "Line one\r\nLine two with every byte: \x01\x7f\x80\xff";
    const std::string file = ScrambleText(PlainTextOf(r), kInformationKey);

    const LoadedForm f = LoadFromPlainText(ScrambleText(file, kInformationKey));
    ASSERT_TRUE(f.Complete);
    FormRecord again;
    again.Name = f.Name;
    again.Version = f.Version;
    again.Month = TwoDigits(*f.MonthIndex + 1);
    again.Day = TwoDigits(*f.DayIndex + 1);
    again.Year = std::to_string(*f.YearIndex + kFirstYear);
    again.Comments = f.Comments;
    again.PackageFile = f.PackageFile;
    again.SizeText = f.SizeText;
    again.PackageFileSize = f.PackageFileSize;
    EXPECT_EQ(ScrambleText(PlainTextOf(again), kInformationKey), file);
}

TEST(DateLists, TodaySelectsItsEntriesAndYearsOutsideTheListTheNearest) {
    const DateIndexes d = DateListIndexes(2003, 7, 4);
    EXPECT_EQ(d.Month, 6);
    EXPECT_EQ(d.Day, 3);
    EXPECT_EQ(d.Year, 3);
    EXPECT_EQ(DateListIndexes(2000, 1, 1).Year, 0);
    EXPECT_EQ(DateListIndexes(2100, 12, 31).Year, 100);
    EXPECT_EQ(DateListIndexes(1999, 12, 31).Year, 0);
    EXPECT_EQ(DateListIndexes(1601, 1, 1).Year, 0);
    EXPECT_EQ(DateListIndexes(2101, 1, 1).Year, 100);
    EXPECT_EQ(DateListIndexes(30827, 1, 1).Year, 100);
    EXPECT_EQ(TwoDigits(1), "01");
    EXPECT_EQ(TwoDigits(31), "31");
}

TEST(Paths, FileNameIsThePartAfterTheLastBackslash) {
    EXPECT_EQ(FileNameFromPath("C:\\dist\\v2\\setup.exe"), "setup.exe");
    EXPECT_EQ(FileNameFromPath("C:\\setup"), "setup");
    EXPECT_EQ(FileNameFromPath("C:\\dist\\"), "");
    EXPECT_EQ(FileNameFromPath("setup.exe"), "setup.exe");
    EXPECT_EQ(HelpTopicPath("C:\\Program Files\\Orvane"),
              "C:\\Program Files\\Orvane\\orvane.chm::/updatefiles.htm");
}

TEST(DialogRecord, FilterAndFileBufferInThePlatformsForm) {
    EXPECT_EQ(DialogFilter("Orvane files (*.orv)|*.orv|All files (*.*)|*.*"),
              "Orvane files (*.orv)\0*.orv\0All files (*.*)\0*.*\0"s);
    EXPECT_EQ(DialogFilter("Orvane files"), "Orvane files\0"s);
    EXPECT_EQ(DialogFilter(""), "\0"s);

    const std::string buf = DialogFileBuffer("*.orv");
    ASSERT_EQ(buf.size(), kDialogBufferSize);
    EXPECT_EQ(buf.substr(0, 6), "*.orv\0"s);
    EXPECT_EQ(buf.find_first_not_of('\0', 5), std::string::npos);
    const std::string cut = DialogFileBuffer(std::string(300, 'n'));
    ASSERT_EQ(cut.size(), kDialogBufferSize);
    EXPECT_EQ(cut.find('\0'), kDialogBufferSize - 1);
}

// The About box's label comes from the label function the control's About box uses too.
TEST(About, VersionLabelPadsMinorAndRevision) {
    EXPECT_EQ(FormatVersionLabel(1, 0, 19), "v.1.00.0019");
    EXPECT_EQ(FormatVersionLabel(12, 5, 0), "v.12.05.0000");
    EXPECT_EQ(FormatVersionLabel(1, 123, 65535), "v.1.123.65535");
}

}  // namespace
}  // namespace orv::maker
