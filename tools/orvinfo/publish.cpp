#include "tools/orvinfo/publish.h"

#include "common/updateinfo/release_policy.h"
#include "tools/orvinfo/crypto.h"
#include "tools/orvinfo/file_io.h"

namespace orv::orvinfo {

std::optional<std::string> ReadKeyText(const std::string& utf8Path, std::string& bytes) {
    bool longer = false;
    if (const auto reason =
            files::ReadFileBytes(files::PathFromUtf8(utf8Path), kMaxKeyFileBytes, bytes, longer)) {
        return "cannot read the key '" + utf8Path + "': " + *reason;
    }
    if (longer) return "'" + utf8Path + "' is too long to be a key file";
    return std::nullopt;
}

ExpiryParse ParseExpiry(std::string_view value, int64_t now, int64_t& expiry) {
    if (value.size() >= 2 && value.size() <= 6 && value.back() == 'd' &&
        value.find_first_not_of("0123456789") == value.size() - 1) {
        const int64_t days = std::stoll(std::string(value.substr(0, value.size() - 1)));
        if (days < 1 || days > kMaxExpiryDays || now + days * 86400 > kLatestExpiry) {
            return {ExpiryParse::BadForm,
                    "--expires Nd counts 1 to " + std::to_string(kMaxExpiryDays) + " days"};
        }
        expiry = now + days * 86400;
        return {};
    }
    const std::optional<int64_t> time = ParseUtcTime(value);
    if (!time) {
        return {ExpiryParse::BadForm,
                "--expires must be YYYY-MM-DDTHH:MM:SSZ (UTC) or a number of days, Nd"};
    }
    if (*time <= now) {
        return {ExpiryParse::NotFuture, "the expiry " + std::string(value) +
                                            " is not in the future (it is " + UtcTimeText(now) +
                                            " now)"};
    }
    expiry = *time;
    return {};
}

void SetTag(TagList& tags, std::string_view name, std::string value) {
    for (auto& [n, v] : tags) {
        if (n == name) {
            v = std::move(value);
            return;
        }
    }
    tags.emplace_back(name, std::move(value));
}

void RemoveTag(TagList& tags, std::string_view name) {
    std::erase_if(tags, [&](const auto& tag) { return tag.first == name; });
}

std::optional<std::string> CheckTags(const TagList& tags) {
    TaggedFields check;
    for (const auto& [name, value] : tags) {
        if (value.find('|') != std::string::npos) {
            return "the tagged field " + name + " cannot contain \"|\"";
        }
        check.Fields.push_back({name, value});
    }
    const ReleasePolicy policy = ReadReleasePolicy(check);
    if (!policy.Problems.empty()) return "the tagged field " + policy.Problems.front();
    return std::nullopt;
}

std::optional<std::string> AppendSignedFields(std::string& plain, const Sha256Digest& digest,
                                              const std::string* privatePem,
                                              std::optional<int64_t> expiry, const TagList& tags) {
    // Each signature covers everything before the "|" that starts it.
    const auto sign = [&]() -> std::optional<std::string> {
        P256Signature signature{};
        if (auto reason = crypto::Sign(*privatePem, plain, signature)) return reason;
        plain += '|';
        plain += SignatureField(signature);
        return std::nullopt;
    };
    plain += '|';
    plain += DigestField(digest);
    if (!privatePem) return std::nullopt;
    if (auto reason = sign()) return reason;
    if (!expiry) return std::nullopt;
    plain += '|';
    plain += ExpiryField(*expiry);
    if (auto reason = sign()) return reason;
    if (tags.empty()) return std::nullopt;
    for (const auto& [name, value] : tags) plain += '|' + name + ':' + value;
    return sign();
}

std::optional<std::string> KeyFingerprint(std::string_view publicLine) {
    while (!publicLine.empty() && (publicLine.back() == '\n' || publicLine.back() == '\r')) {
        publicLine.remove_suffix(1);
    }
    const std::optional<std::string> der = DecodeBase64(publicLine);
    Sha256Digest digest{};
    if (!der || crypto::Sha256OfBytes(*der, digest)) return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < 8; i += 2) {
        if (i) out += '-';
        out += HexLower(digest.data() + i, 2);
    }
    return out;
}

}  // namespace orv::orvinfo
