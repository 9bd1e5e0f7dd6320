// The release policy's decision for one user.
#include "common/updateinfo/offer_rule.h"

#include <gtest/gtest.h>
#include <iostream>
#include <random>

namespace orv {
namespace {

// 1,000 users, each with the place a random number gives them once, at a rollout of 10 %;
// then what critical:V and minversion:V make of installed versions.
TEST(OfferRule, RolloutCriticalAndMinimumVersion) {
    std::mt19937 random(20261208);
    ReleasePolicy p;
    p.Rollout = 10;
    int quiet = 0, own = 0, critical = 0;
    for (int user = 0; user < 1000; ++user) {
        const uint32_t place = RolloutPlace(static_cast<uint32_t>(random()));
        p.Critical = false;
        quiet += DecideOffer(p, "1.0", place, false).Offered();
        own += DecideOffer(p, "1.0", place, true).Offered();
        p.Critical = true;
        critical += DecideOffer(p, "1.0", place, false).Offered();
    }
    std::cout << "rollout 10 %: " << quiet << " of 1000 simulated users offered\n";
    EXPECT_NEAR(quiet, 100, 30);  // 3 standard deviations (9.5) either side
    EXPECT_EQ(std::pair(own, critical), std::pair(1000, 1000));
    EXPECT_EQ(RolloutPlace(0xFFFFFFFFu), kRolloutPlaces - 1);
    std::tie(p.CriticalBelow, p.MinVersion) = std::pair("1.10", "1.5");
    using Row = std::tuple<std::optional<std::string_view>, bool, bool>;
    for (auto [installed, isCritical, tooOld] : {Row{"1.2.0.0", true, true},
                                                 {"1.9", true, false},
                                                 {"1.10.0.0", false, false},
                                                 {{}, false, false}}) {
        const OfferDecision d = DecideOffer(p, installed, kRolloutPlaces - 1, false);
        EXPECT_EQ(std::tuple(d.Critical, d.BelowMinimum, d.Offered()),
                  std::tuple(isCritical, tooOld, !tooOld && isCritical))
            << installed.value_or("unreadable");
    }
}

}  // namespace
}  // namespace orv
