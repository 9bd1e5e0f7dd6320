// The release policy's decision for one user: critical, held back by a minimum version, or not
// yet reached by a staged rollout.
#include "common/updateinfo/offer_rule.h"

#include <gtest/gtest.h>
#include <iostream>
#include <random>

namespace orv {
namespace {

TEST(OfferRule, VersionsCompareByNumberWithMissingPartsZero) {
    const struct {
        std::string_view a, b;
        std::optional<int> order;
    } cases[] = {
        {"1.9.0.0", "1.10", -1}, {"2.0", "2.0.0.0", 0},       {"2.0.0.1", "2", 1},
        {"02.1", "2.1.0", 0},    {"1.2.x", "1.0", {}},        {"", "1", {}},
        {"1.0", "1..0", {}},     {"999999999.0", "65535", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(ComparePolicyVersions(c.a, c.b), c.order) << c.a << c.b;
}

TEST(OfferRule, CriticalAndMinimumVersionForTheInstalledVersion) {
    const struct {
        bool critical;
        const char *below, *minimum;
        std::optional<std::string_view> installed;
        bool isCritical, belowMinimum;
    } cases[] = {
        {true, "", "", "9.0.0.0", true, false},
        {true, "", "", {}, true, false},  // critical for every version, an unknown one too
        {true, "2.0", "", "1.9.9.9", true, false},
        {true, "2.0", "", "2.0.0.0", false, false},
        {true, "2.0", "", {}, false, false},  // an unknown version is below none
        {false, "", "1.5", "1.2.0.0", false, true},
        {false, "", "1.5", "1.5.0.0", false, false},
        {false, "", "1.5", {}, false, false},
        {true, "", "1.5", "1.0.0.0", true, true},
    };
    for (const auto& c : cases) {
        ReleasePolicy p;
        p.Critical = c.critical;
        p.CriticalBelow = c.below;
        p.MinVersion = c.minimum;
        const OfferDecision d = DecideOffer(p, c.installed, 0, false);
        EXPECT_EQ(d.Critical, c.isCritical) << c.below << " " << c.installed.value_or("?");
        EXPECT_EQ(d.BelowMinimum, c.belowMinimum) << c.minimum << " " << c.installed.value_or("?");
        EXPECT_EQ(d.Offered(), !c.belowMinimum);
    }
}

// 1,000 users, each with the place a random number gives them once, at a rollout of 10 %.
TEST(OfferRule, ATenPercentRolloutReachesAboutATenthOfTheUsers) {
    std::mt19937 random(20261208);
    std::vector<uint32_t> places(1000);
    for (uint32_t& place : places) place = RolloutPlace(static_cast<uint32_t>(random()));
    ReleasePolicy p;
    p.Rollout = 10;
    int quiet = 0, own = 0, again = 0;
    for (uint32_t place : places) {
        const bool offered = DecideOffer(p, "1.0.0.0", place, false).Offered();
        quiet += offered;
        own += DecideOffer(p, "1.0.0.0", place, true).Offered();
        again += DecideOffer(p, "1.0.0.0", place, false).Offered() == offered;
    }
    std::cout << "rollout 10 %: " << quiet << " of 1000 simulated users offered\n";
    EXPECT_GE(quiet, 70);  // 100 expected; 3 standard deviations (9.5) either side
    EXPECT_LE(quiet, 130);
    EXPECT_EQ(again, 1000) << "a user's answer changed";
    EXPECT_EQ(own, 1000) << "a user's own check must always offer";
    p.Critical = true;
    int critical = 0;
    for (uint32_t place : places) critical += DecideOffer(p, "1.0.0.0", place, false).Offered();
    EXPECT_EQ(critical, 1000) << "a critical update ignores the rollout";
    // The edges: the places below P * 100 are reached, the rest not.
    p.Critical = false;
    for (auto [rollout, place, offered] : {std::tuple{1, 99u, true},
                                           {1, 100u, false},
                                           {100, kRolloutPlaces - 1, true},
                                           {50, 4999u, true},
                                           {50, 5000u, false}}) {
        p.Rollout = rollout;
        EXPECT_EQ(DecideOffer(p, {}, place, false).Offered(), offered) << rollout << " " << place;
    }
    EXPECT_EQ(RolloutPlace(0), 0u);
    EXPECT_EQ(RolloutPlace(0xFFFFFFFFu), kRolloutPlaces - 1);
}

}  // namespace
}  // namespace orv
