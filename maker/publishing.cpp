#include "maker/publishing.h"

#include <algorithm>

#include "common/updateinfo/release_policy.h"
#include "tools/orvinfo/cp1252.h"
#include "tools/orvinfo/crypto.h"

namespace orv::maker {

namespace {

// An expiry typed as a date alone means its first second, UTC.
std::string FullExpiryText(std::string_view text) {
    if (text.size() == 10 && text[4] == '-' && text[7] == '-')
        return std::string(text) + "T00:00:00Z";
    return std::string(text);
}

}  // namespace

OpenedExtras ReadExtras(std::string_view plain) {
    OpenedExtras e;
    e.Plain = plain;
    const std::optional<std::string_view> six = FirstSixFields(plain);
    e.Six = six.value_or(plain);
    // Pieces after field 6 that are no digest are ignored, as every reader ignores them: such a
    // file saves as six fields, as it always did.
    const SignedFields f = ReadSignedFields(plain);
    e.HasOptional = six && f.Digest != FieldState::Absent;
    if (f.Digest == FieldState::Valid) e.Fields.Digest = HexLower(f.DigestBytes.data(), 32);
    if (f.Expiry == FieldState::Valid) e.Fields.Expires = UtcTimeText(f.ExpiryTime);
    const TaggedFields tags = ReadTaggedFields(plain);
    for (const TaggedField& t : tags.Fields) e.Tags.emplace_back(t.Name, t.Value);
    if (const auto v = tags.Find(kTagUrls)) e.Fields.Urls = *v;
    if (const auto v = tags.Find(kTagCritical)) {
        e.Fields.Critical = true;
        e.Fields.CriticalBelow = *v;
    }
    if (const auto v = tags.Find(kTagMinVersion)) e.Fields.MinVersion = *v;
    if (const auto v = tags.Find(kTagRollout)) e.Fields.Rollout = *v;
    if (const auto v = tags.Find(kTagArgs)) {
        // Shown in the file's code page; arguments it cannot show stay as they are written.
        const std::string utf8 = TagDisplayValue(kTagArgs, *v);
        e.Fields.Arguments = text::Utf8ToCp1252(utf8).value_or(std::string(*v));
    }
    return e;
}

std::optional<Sha256Digest> ParseDigestText(std::string_view text) {
    if (!text.starts_with(kDigestPrefix)) {
        return ParseDigestField(std::string(kDigestPrefix) + std::string(text));
    }
    return ParseDigestField(text);
}

std::optional<FieldRefusal> CheckPublishFields(const PublishFields& f, int64_t now) {
    if (!f.Digest.empty() && !ParseDigestText(f.Digest)) {
        return FieldRefusal{"'Package digest' must be the 64 hex digits of the package's SHA-256.",
                            0};
    }
    if (!f.Expires.empty()) {
        int64_t expiry = 0;
        const orvinfo::ExpiryParse parsed =
            orvinfo::ParseExpiry(FullExpiryText(f.Expires), now, expiry);
        if (parsed.kind == orvinfo::ExpiryParse::BadForm) {
            return FieldRefusal{
                "'Expires' must be a date YYYY-MM-DD, a UTC time YYYY-MM-DDTHH:MM:SSZ or a number "
                "of days such as 365d (1 to 36500).",
                1};
        }
        if (parsed.kind == orvinfo::ExpiryParse::NotFuture) {
            return FieldRefusal{"'Expires' must lie in the future: " + parsed.message + ".", 1};
        }
    }
    if (auto problem = orvinfo::CheckTags(TagsToWrite(f, {}))) {
        std::string message = *problem;
        message[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(message[0])));
        return FieldRefusal{message + ".", 2};
    }
    return std::nullopt;
}

SaveKind DecideSave(std::string_view six, const PublishFields& fields, bool hasKey,
                    const OpenedExtras* opened) {
    if (hasKey) return SaveKind::Signed;
    if (opened && opened->HasOptional) {
        if (six == opened->Six && fields == opened->Fields) return SaveKind::Unchanged;
        return SaveKind::AskThenSixFields;
    }
    if (fields.Empty()) return SaveKind::SixFields;
    PublishFields digestOnly;
    digestOnly.Digest = fields.Digest;
    return fields == digestOnly ? SaveKind::DigestOnly : SaveKind::NeedsKey;
}

orvinfo::TagList TagsToWrite(const PublishFields& f, const orvinfo::TagList& kept) {
    orvinfo::TagList tags = kept;
    const auto put = [&](std::string_view name, bool present, std::string value) {
        if (present) {
            orvinfo::SetTag(tags, name, std::move(value));
        } else {
            orvinfo::RemoveTag(tags, name);
        }
    };
    put(kTagUrls, !f.Urls.empty(), f.Urls);
    put(kTagCritical, f.Critical, f.CriticalBelow);
    put(kTagMinVersion, !f.MinVersion.empty(), f.MinVersion);
    put(kTagRollout, !f.Rollout.empty(), f.Rollout);
    put(kTagArgs, !f.Arguments.empty(), EncodeBase64(text::Cp1252ToUtf8(f.Arguments)));
    return tags;
}

std::optional<std::string> SignedText(std::string_view six, const PublishFields& fields,
                                      const Sha256Digest& digest, const std::string& privatePem,
                                      const orvinfo::TagList& kept, int64_t now,
                                      std::string& plain) {
    std::optional<int64_t> expiry;
    if (!fields.Expires.empty()) {
        int64_t when = 0;
        const orvinfo::ExpiryParse parsed =
            orvinfo::ParseExpiry(FullExpiryText(fields.Expires), now, when);
        if (parsed.kind != orvinfo::ExpiryParse::Ok) return parsed.message;
        expiry = when;
    }
    const orvinfo::TagList tags = TagsToWrite(fields, kept);
    // The tagged fields follow the signed expiry.
    if (!tags.empty() && !expiry) {
        return std::string("the release policy follows the signed expiry: give 'Expires' too");
    }
    plain = six;
    return orvinfo::AppendSignedFields(plain, digest, &privatePem, expiry, tags);
}

std::string SignatureState(std::string_view plain, const std::vector<PublicKey>& keys,
                           int64_t now) {
    const SignedFields f = ReadSignedFields(plain);
    if (f.Digest == FieldState::Absent) return "Not signed.";
    if (f.Digest == FieldState::Malformed) return "Broken: the package digest is malformed.";
    if (f.Signature == FieldState::Absent)
        return "Not signed: the file carries the package digest only.";
    if (f.Signature == FieldState::Malformed) return "Broken: the signature is malformed.";
    const TaggedFields tags = ReadTaggedFields(plain);
    if (f.Expiry == FieldState::Malformed || f.ExpirySignature == FieldState::Malformed) {
        return "Broken: the expiry or its signature is malformed.";
    }
    if (f.Expiry == FieldState::Valid && f.ExpirySignature == FieldState::Absent) {
        return "Broken: the expiry is not signed.";
    }
    if (tags.State == FieldState::Malformed) return "Broken: " + tags.Problem + ".";
    std::string expires;
    if (f.Expiry == FieldState::Valid) {
        expires = (now >= f.ExpiryTime ? " It expired at " : " It expires at ") +
                  UtcTimeText(f.ExpiryTime) + ".";
    }
    if (keys.empty()) {
        return "Signed; not checked: no public key file was found beside the private key or the "
               "update file." +
               expires;
    }
    const auto verifies = [](const PublicKey& key, std::string_view message,
                             const P256Signature& signature) {
        return orvinfo::crypto::Verify(key.Line, message, signature).verdict ==
               orvinfo::crypto::Verdict::Valid;
    };
    for (const PublicKey& key : keys) {
        if (!verifies(key, f.SignedText, f.SignatureBytes)) continue;
        const std::string who = key.Name + " (fingerprint " +
                                orvinfo::KeyFingerprint(key.Line).value_or("unknown") + ")";
        if (f.Expiry == FieldState::Valid &&
            !verifies(key, f.ExpirySignedText, f.ExpirySignatureBytes)) {
            return "Broken: the signature of the expiry does not verify with " + who + ".";
        }
        if (tags.State == FieldState::Valid &&
            !verifies(key, tags.SignedText, tags.SignatureBytes)) {
            return "Broken: the signature of the release policy does not verify with " + who + ".";
        }
        return "Signed, valid: key " + who + "." + expires;
    }
    std::string names;
    for (const PublicKey& key : keys) names += (names.empty() ? "" : ", ") + key.Name;
    return "Broken: the signature does not verify with " + names +
           " (the file was changed after signing, or another key signed it)." + expires;
}

std::string PublicKeyPathFor(std::string_view privateKeyPath) {
    std::string path(privateKeyPath);
    const std::size_t slash = path.find_last_of("\\/");
    const std::size_t dot = path.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
        path.substr(dot) == ".key") {
        path.resize(dot);
    }
    return path + ".pub";
}

void Wipe(std::string& secret) {
    volatile char* p = secret.data();
    for (std::size_t i = 0; i < secret.size(); ++i) p[i] = 0;
    secret.clear();
    secret.shrink_to_fit();
}

}  // namespace orv::maker
