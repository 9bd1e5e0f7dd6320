#include "common/updateinfo/updateinfo.h"

#include <gtest/gtest.h>

namespace orv {
namespace {

TEST(RuntimeRandom, KnownValues) {
    RuntimeRandom r;
    EXPECT_NEAR(r.Next(), 0.7055475f, 1e-7);
    EXPECT_NEAR(r.Next(), 0.5334240f, 1e-7);
    EXPECT_NEAR(r.Next(), 0.5795186f, 1e-7);
    RuntimeRandom s;
    EXPECT_NEAR(s.Reseed(-1.0f), 0.224007f, 5e-7);
}

TEST(ScrambleText, RoundTripsEveryByteAtTheLengthLimits) {
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, kMaxInfoTextLength}) {
        std::string text(n, '\0');
        for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>(i * 7 % 256);
        const std::string once = ScrambleText(text, kInformationKey);
        ASSERT_EQ(once.size(), n);
        if (n > 16) {
            EXPECT_NE(once, text);
        }
        EXPECT_EQ(ScrambleText(once, kInformationKey), text);
    }
}

TEST(PlainText, ExampleFileDecodesToItsSixFields) {
    MakerFields f;
    f.Name = "Editor";
    f.VersionParts = {"2", "1", "0", ""};
    f.Month = "07";
    f.Day = "04";
    f.Year = "2003";
    f.Comments = "Fixes the print preview.";
    f.PackageFile = "edsetup.exe";
    f.PackageSize = 524288;
    const std::string plain = BuildPlainText(f);
    EXPECT_EQ(plain, "Editor|2.1.0.|07/04/2003|Fixes the print preview.|edsetup.exe|524288");

    UpdateInfo info;
    SplitControlFields(ScrambleText(ScrambleText(plain, kInformationKey), kInformationKey), info);
    EXPECT_EQ(info.Name, "Editor");
    EXPECT_EQ(info.Version, "2.1.0.");
    EXPECT_EQ(info.ReleaseDate, "07/04/2003");
    EXPECT_EQ(info.Description, "Fixes the print preview.");
    EXPECT_EQ(info.PackageFile, "edsetup.exe");
    EXPECT_EQ(info.PackageSize, 524288);
}

}  // namespace
}  // namespace orv
