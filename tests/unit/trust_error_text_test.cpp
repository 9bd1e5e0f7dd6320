// The ConnectionError texts of TRUSTERRORCODE come from one table: every member has a text of
// its own, and no other number gets one from it.
#include "control/trust/trust_error_text.h"

#include <gtest/gtest.h>
#include <set>
#include <string>

namespace orv::trust {
namespace {

TEST(TrustErrorText, EveryMemberOfTheEnumerationAndNothingElse) {
    std::set<std::string> texts;
    for (const int32_t code :
         {24001, 24002, 24003, 24004, 24005, 24010, 24011, 24012, 24013, 24014, 24015}) {
        const char* text = TrustErrorText(code);
        ASSERT_NE(text, nullptr) << code;
        EXPECT_TRUE(texts.insert(text).second) << "the same text twice: " << text;
    }
    EXPECT_STREQ(TrustErrorText(24002), "Update information not signed by the expected publisher.");
    for (const int32_t code : {0, 24000, 24006, 24009, 24016, 10054, -1})
        EXPECT_EQ(TrustErrorText(code), nullptr) << code;
}

}  // namespace
}  // namespace orv::trust
