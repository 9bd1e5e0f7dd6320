#include "common/updateinfo/offer_rule.h"

#include <array>
#include <charconv>

namespace orv {

namespace {

// The four parts of a policy version, missing ones 0.
std::optional<std::array<uint64_t, 4>> VersionParts(std::string_view text) {
    if (!IsPolicyVersion(text)) return std::nullopt;
    std::array<uint64_t, 4> parts{};
    for (std::size_t i = 0; !text.empty(); ++i) {
        const std::size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        std::from_chars(part.data(), part.data() + part.size(), parts[i]);
        text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    }
    return parts;
}

bool Below(std::optional<std::string_view> installed, std::string_view version) {
    if (!installed) return false;
    const std::optional<int> order = ComparePolicyVersions(*installed, version);
    return order && *order < 0;
}

}  // namespace

uint32_t RolloutPlace(uint32_t random) {
    return static_cast<uint32_t>((uint64_t{random} * kRolloutPlaces) >> 32);
}

std::optional<int> ComparePolicyVersions(std::string_view a, std::string_view b) {
    const auto x = VersionParts(a), y = VersionParts(b);
    if (!x || !y) return std::nullopt;
    return *x < *y ? -1 : *x == *y ? 0 : 1;
}

OfferDecision DecideOffer(const ReleasePolicy& policy, std::optional<std::string_view> installed,
                          uint32_t place, bool usersOwnCheck) {
    OfferDecision d;
    d.Critical =
        policy.Critical && (policy.CriticalBelow.empty() || Below(installed, policy.CriticalBelow));
    d.BelowMinimum = !policy.MinVersion.empty() && Below(installed, policy.MinVersion);
    const uint32_t reached = static_cast<uint32_t>(policy.Rollout) * (kRolloutPlaces / 100);
    d.OutsideRollout = !usersOwnCheck && !d.Critical && place >= reached;
    return d;
}

}  // namespace orv
