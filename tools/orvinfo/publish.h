// Writing the optional fields after the sixth, shared by orvinfo's make and sign and by the
// maker, so that both write the same bytes for the same inputs: the package digest, the
// signature, the expiry and its signature, the tagged fields of the release policy and their
// signature. Portable: no <windows.h>; the signing goes through crypto.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/updateinfo/signed_fields.h"

namespace orv::orvinfo {

// Tagged fields in file order: name, value in the file's code page.
using TagList = std::vector<std::pair<std::string, std::string>>;

// Key files are one PEM block or one line; anything much longer is no key file.
inline constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;

// `Nd` counts at most this many days; the latest expiry field 9 can hold.
inline constexpr int64_t kMaxExpiryDays = 36500;
inline constexpr int64_t kLatestExpiry = 253402300799;  // 9999-12-31T23:59:59Z

// Reads a key file (a PEM private key or public key lines) whole into `bytes`, or says why not:
// "cannot read the key 'FILE': reason" or "'FILE' is too long to be a key file".
std::optional<std::string> ReadKeyText(const std::string& utf8Path, std::string& bytes);

// An expiry as the publisher writes it: a UTC time YYYY-MM-DDTHH:MM:SSZ, or "Nd", N days
// (1 to kMaxExpiryDays) after `now`.
struct ExpiryParse {
    enum Kind { Ok, BadForm, NotFuture } kind = Ok;
    std::string message;  // for people, when not Ok
};
ExpiryParse ParseExpiry(std::string_view value, int64_t now, int64_t& expiry);

// Sets tag `name` to `value`: in place when the list has it, else at the end.
void SetTag(TagList& tags, std::string_view name, std::string value);
// Removes tag `name` when the list has it.
void RemoveTag(TagList& tags, std::string_view name);

// Checks every value as readers will read it: no "|", and the known fields of their form.
// Returns "the tagged field NAME ..." when one is refused.
std::optional<std::string> CheckTags(const TagList& tags);

// Appends field 7 (the digest) to a plain text of six fields; with a private key (PKCS#8 or
// SEC1 PEM) field 8; with an expiry too, fields 9 and 10; with tags too, the tagged fields and
// their signature. Returns the signer's reason when signing fails (`plain` is then partly
// grown and must not be written).
std::optional<std::string> AppendSignedFields(std::string& plain, const Sha256Digest& digest,
                                              const std::string* privatePem,
                                              std::optional<int64_t> expiry, const TagList& tags);

// The fingerprint of a public key line (Base64 of its DER): the first 8 bytes of the SHA-256
// of the DER, as 16 lowercase hex digits in four groups ("1a2b-3c4d-5e6f-7081"); nothing for a
// line that is not Base64.
std::optional<std::string> KeyFingerprint(std::string_view publicLine);

}  // namespace orv::orvinfo
