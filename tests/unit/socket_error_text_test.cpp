#include "control/net/socket_error_text.h"

#include <gtest/gtest.h>

namespace orv {
namespace {

TEST(SocketErrorText, NamedAndUnknownCodes) {
    EXPECT_STREQ(SocketErrorText(10065), "No route to host.");
    EXPECT_STREQ(SocketErrorText(11004), "Valid name, no data record of requested type.");
    EXPECT_STREQ(SocketErrorText(10101), "Disconnect.");
    EXPECT_STREQ(SocketErrorText(10000), "Unknown error.");
    EXPECT_STREQ(SocketErrorText(10072), "Unknown error.");
}

}  // namespace
}  // namespace orv
