// What the publisher decides for a release, carried in the signed tagged fields after field 10
// (see signed_fields.h): where else the package may be fetched, whether the update is critical,
// the oldest version that may update to it directly, the share of users offered it so far, and
// the installer's arguments and release notes. Portable: no <windows.h>.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/updateinfo/signed_fields.h"

namespace orv {

// The names of the tagged fields this release knows, in the order writers put them.
inline constexpr std::string_view kTagUrls = "urls";
inline constexpr std::string_view kTagCritical = "critical";
inline constexpr std::string_view kTagMinVersion = "minversion";
inline constexpr std::string_view kTagRollout = "rollout";
inline constexpr std::string_view kTagArgs = "args";
inline constexpr std::string_view kTagNotes = "notes";
inline constexpr std::string_view kKnownTags[] = {kTagUrls,    kTagCritical, kTagMinVersion,
                                                  kTagRollout, kTagArgs,     kTagNotes};

struct ReleasePolicy {
    std::vector<std::string> Urls;  // more places of the package, tried in order
    bool Critical = false;
    std::string CriticalBelow;  // critical only for installed versions below it; "" = for all
    std::string MinVersion;     // "" = any installed version may update directly
    int Rollout = 100;          // the percent of users offered the update by quiet checks
    std::string Arguments;      // the installer's arguments, UTF-8
    std::string Notes;          // the release notes, UTF-8 Markdown
    // The known fields whose values are not of their form, one text each for people; such a
    // field counts as absent.
    std::vector<std::string> Problems;
};

// Reads the known tagged fields; unknown ones are left alone.
ReleasePolicy ReadReleasePolicy(const TaggedFields& fields);

// A version as the control compares them: one to four parts of decimal digits separated by
// "." (e.g. 2.1 or 2.1.0.7).
bool IsPolicyVersion(std::string_view text);
// An absolute http:// or https:// URL with a host, of printable ASCII without spaces.
bool IsPackageUrl(std::string_view url);

// What a field's value shows to people: the Base64 ones (args, notes) decoded when they are
// valid Base64, else the value as it stands.
std::string TagDisplayValue(std::string_view name, std::string_view value);

}  // namespace orv
