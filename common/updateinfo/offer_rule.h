// What the publisher's release policy (release_policy.h) makes of an update for one user:
// whether it is critical for the installed version, whether that version is too old to update
// to it directly, and whether the staged rollout has reached the user yet. Portable: no
// <windows.h>; where the installed version and the user's place come from is the caller's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/updateinfo/release_policy.h"

namespace orv {

// A user's place in a staged rollout: 0 to kRolloutPlaces - 1, drawn once per user. A rollout
// of P percent reaches the places below P * kRolloutPlaces / 100.
inline constexpr uint32_t kRolloutPlaces = 10000;
// The place of a uniformly random 32-bit number (every place equally likely, to 1 in 2^18).
uint32_t RolloutPlace(uint32_t random);

// How version `a` stands to version `b` (each one to four parts of decimal digits, see
// IsPolicyVersion; missing parts count as 0): -1 below, 0 equal, 1 above; nothing when either
// is not such a version.
std::optional<int> ComparePolicyVersions(std::string_view a, std::string_view b);

struct OfferDecision {
    bool Critical = false;        // critical for the installed version: no Skip, no Remind later
    bool BelowMinimum = false;    // the installed version may not update to it directly
    bool OutsideRollout = false;  // a quiet check does not offer it to this user yet
    bool Offered() const { return !BelowMinimum && !OutsideRollout; }
};

// The decision for a user at rollout place `place` whose installed version is `installed`
// (nothing when it cannot be read: it is then below no version). `usersOwnCheck`: the user
// asked for the check, and the rollout does not limit it; nor does it limit a critical update.
OfferDecision DecideOffer(const ReleasePolicy& policy, std::optional<std::string_view> installed,
                          uint32_t place, bool usersOwnCheck);

}  // namespace orv
