// The order the control gives the hand-off program: every field survives the round trip, and
// bytes that are not exactly an order are refused rather than half read.
#include "control/handoff/handoff_order.h"

#include <gtest/gtest.h>

namespace orv::handoff {
namespace {

Order Sample() {
    Order o;
    o.hostProcess = 0x1234;
    o.package = 0xFFFFFFFFFFFFFFFFull;
    o.self = 8;
    o.timeoutSeconds = 86400;
    o.elevate = true;
    o.restart = true;
    o.packageSize = 5'000'000'000ull;
    for (std::size_t i = 0; i < o.digest.size(); ++i) o.digest[i] = static_cast<uint8_t>(i * 9);
    o.sourceHost = "https://example.test";
    o.sourcePath = "/a:b/";
    o.sourceFile = "";
    o.version = "2.0.0.1";
    o.packagePath = "C:\\Temp\\setup 1.exe";
    o.parameters = "/quiet \"x:y\"\n12:34";  // a length prefix's look-alike inside a field
    o.packageFolder = "C:\\Temp\\";
    o.restartCommand = "\"C:\\App\\app.exe\" --\xC3\xA9";
    o.restartFolder = "C:\\App";
    return o;
}

TEST(HandOffOrder, EveryFieldSurvivesTheRoundTrip) {
    const Order o = Sample();
    const std::optional<Order> back = DecodeOrder(EncodeOrder(o));
    ASSERT_TRUE(back);
    EXPECT_EQ(EncodeOrder(*back), EncodeOrder(o));
    EXPECT_EQ(back->package, o.package);
    EXPECT_EQ(back->packageSize, o.packageSize);
    EXPECT_EQ(back->digest, o.digest);
    EXPECT_EQ(back->parameters, o.parameters);
    EXPECT_TRUE(back->elevate && back->restart);
}

TEST(HandOffOrder, AnythingButAnExactOrderIsRefused) {
    const std::string good = EncodeOrder(Sample());
    Order negative = Sample();
    negative.timeoutSeconds = -1;
    const std::string tag = good.substr(0, good.find('\n') + 1);
    const struct {
        const char* why;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"tag only", tag},
        {"other tag", "OrvaneHandOff/2\n" + good.substr(tag.size())},
        {"cut short", good.substr(0, good.size() - 1)},
        {"a byte more", good + "x"},
        {"a field more", good + "0:"},
        {"length past the end", tag + "99999:1"},
        {"length not a number", tag + "x:1"},
        {"negative time-out", EncodeOrder(negative)},
    };
    for (const auto& c : cases) EXPECT_FALSE(DecodeOrder(c.bytes)) << c.why;
}

}  // namespace
}  // namespace orv::handoff
