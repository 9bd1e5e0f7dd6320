#include "control/http/http_text.h"

#include <gtest/gtest.h>

namespace orv::http {
namespace {

TEST(Request, DirectWithoutAuthorization) {
    RequestInputs in{"/", "update.orv", "example.test", "v.1.00.0062", false, "u", "p"};
    EXPECT_EQ(ComposeRequest(in),
              "GET /update.orv HTTP/1.0\r\nHost: example.test\r\n"
              "User-Agent: Orvane Control v.1.00.0062\r\nAccept: *.*, */*\r\n\r\n");
}

TEST(Rate, RoundsHalfToEvenAndSkipsEqualTicks) {
    EXPECT_EQ(TransferRate(4096, 1250, 1000), 16384);
    EXPECT_EQ(TransferRate(3, 3000, 1000), 2);
    EXPECT_EQ(TransferRate(1, 3000, 1000), 0);
    EXPECT_EQ(TransferRate(10, 500, 500), std::nullopt);
}

}  // namespace
}  // namespace orv::http
