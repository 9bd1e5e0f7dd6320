#include "common/updateinfo/release_policy.h"

#include <charconv>

namespace orv {

namespace {

bool IsBase64Tag(std::string_view name) {
    return name == kTagArgs || name == kTagNotes;
}

// The pieces of `text` between single spaces; empty pieces (two spaces in a row, a space at
// either end) count as pieces too so that the caller refuses them.
std::vector<std::string_view> SplitSpaces(std::string_view text) {
    std::vector<std::string_view> out;
    while (true) {
        const std::size_t at = text.find(' ');
        out.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return out;
        text.remove_prefix(at + 1);
    }
}

}  // namespace

bool IsPolicyVersion(std::string_view text) {
    int parts = 0;
    while (true) {
        const std::size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        if (part.empty() || part.size() > 9 || part.find_first_not_of("0123456789") != part.npos)
            return false;
        ++parts;
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    return parts <= 4;
}

bool IsPackageUrl(std::string_view url) {
    std::string_view rest;
    if (url.starts_with("https://")) {
        rest = url.substr(8);
    } else if (url.starts_with("http://")) {
        rest = url.substr(7);
    } else {
        return false;
    }
    for (char c : url) {
        if (c <= ' ' || c >= 0x7F) return false;
    }
    const std::size_t hostEnd = rest.find_first_of("/?#");
    return hostEnd != 0 && !rest.empty();
}

std::string TagDisplayValue(std::string_view name, std::string_view value) {
    if (IsBase64Tag(name)) {
        if (std::optional<std::string> decoded = DecodeBase64(value)) return *decoded;
    }
    return std::string(value);
}

ReleasePolicy ReadReleasePolicy(const TaggedFields& fields) {
    ReleasePolicy p;
    auto problem = [&](std::string_view name, const char* what) {
        p.Problems.push_back(std::string(name) + ": " + what);
    };
    if (const auto urls = fields.Find(kTagUrls)) {
        std::vector<std::string> list;
        for (std::string_view url : SplitSpaces(*urls)) {
            if (!IsPackageUrl(url)) {
                problem(kTagUrls, "not a list of http:// or https:// URLs separated by spaces");
                list.clear();
                break;
            }
            list.emplace_back(url);
        }
        p.Urls = std::move(list);
    }
    if (const auto critical = fields.Find(kTagCritical)) {
        if (critical->empty() || IsPolicyVersion(*critical)) {
            p.Critical = true;
            p.CriticalBelow = std::string(*critical);
        } else {
            problem(kTagCritical, "empty or a version (digits and dots)");
        }
    }
    if (const auto version = fields.Find(kTagMinVersion)) {
        if (IsPolicyVersion(*version)) {
            p.MinVersion = std::string(*version);
        } else {
            problem(kTagMinVersion, "not a version (digits and dots)");
        }
    }
    if (const auto rollout = fields.Find(kTagRollout)) {
        int percent = 0;
        const auto [end, ec] =
            std::from_chars(rollout->data(), rollout->data() + rollout->size(), percent);
        if (ec == std::errc() && end == rollout->data() + rollout->size() && percent >= 1 &&
            percent <= 100 && (*rollout)[0] != '+' && (*rollout)[0] != '0') {
            p.Rollout = percent;
        } else {
            problem(kTagRollout, "not a percent from 1 to 100");
        }
    }
    for (auto [name, slot] : {std::pair{kTagArgs, &p.Arguments}, {kTagNotes, &p.Notes}}) {
        if (const auto value = fields.Find(name)) {
            if (std::optional<std::string> text = DecodeBase64(*value)) {
                *slot = std::move(*text);
            } else {
                problem(name, "not Base64");
            }
        }
    }
    return p;
}

}  // namespace orv
