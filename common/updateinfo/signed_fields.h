// The optional fields after the sixth: field 7, the package digest ("sha256:" and 64 hex
// digits), and field 8, the publisher's signature ("p256:" and the standard Base64 of the
// 64-byte r||s form of an ECDSA P-256 signature with SHA-256). The signature covers the plain
// text of fields 1 to 7 joined by "|": everything before the "|" that starts field 8.
// Readers of fields 1-6 ignore both, so a file without them is the six-field file it always was.
// Field 9, the expiry ("expires:" and YYYY-MM-DDTHH:MM:SSZ in UTC), and field 10, a second
// signature of the same form by the same key over fields 1 to 9, follow; readers of fields 1-8
// ignore them, so field 8 stays the signature of fields 1-7 and such a file stays valid there.
// After field 10 come the tagged fields, "name:value" in any order, and a last field of field
// 8's form that signs everything before the "|" that precedes it; readers of fields 1-10
// ignore all of them, so fields 8 and 10 keep what they sign and such a file stays valid there.
// Portable: no <windows.h>; the cryptography itself is the caller's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

inline constexpr std::string_view kDigestPrefix = "sha256:";
inline constexpr std::string_view kSignaturePrefix = "p256:";
inline constexpr std::string_view kExpiryPrefix = "expires:";

using Sha256Digest = std::array<uint8_t, 32>;
using P256Signature = std::array<uint8_t, 64>;  // r then s, each 32 bytes big-endian

// Whether an optional field is there, and if so whether it has its exact form.
enum class FieldState { Absent, Valid, Malformed };

// Fields 7 to 10 of an unscrambled plain text.
struct SignedFields {
    FieldState Digest = FieldState::Absent;
    Sha256Digest DigestBytes{};  // set when Digest is Valid
    FieldState Signature = FieldState::Absent;
    P256Signature SignatureBytes{};  // set when Signature is Valid
    // The bytes the signature covers (fields 1-7 joined by "|"): a view into the text that
    // was read, empty when there is no field 8.
    std::string_view SignedText;
    FieldState Expiry = FieldState::Absent;
    int64_t ExpiryTime = 0;  // seconds since 1970-01-01 UTC, set when Expiry is Valid
    FieldState ExpirySignature = FieldState::Absent;
    P256Signature ExpirySignatureBytes{};  // set when ExpirySignature is Valid
    // The bytes field 10 covers (fields 1-9 joined by "|"), empty when there is no field 10.
    std::string_view ExpirySignedText;

    // Both present and both of their exact form.
    bool SignedAndWellFormed() const {
        return Digest == FieldState::Valid && Signature == FieldState::Valid;
    }
};

// One tagged field: a name of lowercase letters, digits and "-" that begins with a letter,
// then ":" and the value (never holding "|"). Views into the text that was read.
struct TaggedField {
    std::string_view Name;
    std::string_view Value;
};

// The pieces after field 10.
struct TaggedFields {
    // Absent: nothing follows a well-formed field 10 (or fields 7-10 are not all there, so
    // what follows is ignored as it always was). Valid: at least one tagged field, each name
    // once, and a last field that is a signature of its exact form. Malformed: anything else
    // (Problem says what); the tagged fields that could be read are in Fields all the same.
    FieldState State = FieldState::Absent;
    std::vector<TaggedField> Fields;  // in the file's order, unknown names too
    P256Signature SignatureBytes{};   // set when Valid
    // The bytes the last signature covers: everything before the "|" that starts it.
    std::string_view SignedText;
    std::string Problem;  // Malformed: what is wrong, for people

    // The field named `name`, or nothing.
    std::optional<std::string_view> Find(std::string_view name) const;
};

// Reads the pieces after field 10 of an unscrambled plain text.
TaggedFields ReadTaggedFields(std::string_view plain);

// Whether `name` is a tagged field's name (see TaggedField).
bool IsTagName(std::string_view name);

// Reads fields 7 to 10, each only in its own form: a piece that does not start with its
// field's prefix (an empty one too) is Absent, and it and every piece after it are ignored,
// as readers of six fields ignore them. A piece with the prefix but not exactly of the form
// is Malformed. Pieces after the tenth are ignored too; neither signature covers them.
SignedFields ReadSignedFields(std::string_view plain);

// The plain text up to the end of field 6 (the "|" before field 7 and all after it cut), or
// nothing when the text holds fewer than six fields. A view into `plain`.
std::optional<std::string_view> FirstSixFields(std::string_view plain);

// "sha256:" and the digest in lowercase hex.
std::string DigestField(const Sha256Digest& digest);
// "p256:" and the Base64 of r||s.
std::string SignatureField(const P256Signature& signature);

// Field 7's text read back: the prefix and exactly 64 hex digits of either case.
std::optional<Sha256Digest> ParseDigestField(std::string_view field);
// Field 8's text read back: the prefix and the 88 characters of canonical Base64 of 64 bytes.
std::optional<P256Signature> ParseSignatureField(std::string_view field);

// "expires:" and the time in UTC, YYYY-MM-DDTHH:MM:SSZ; for times of the years 0000 to 9999.
std::string ExpiryField(int64_t secondsSince1970);
// Field 9's text read back: the prefix and a UTC time of exactly that form, a real calendar
// date (leap days of the Gregorian calendar) and time (00:00:00 to 23:59:59).
std::optional<int64_t> ParseExpiryField(std::string_view field);
// The time alone (no prefix), in and out of the same form.
std::string UtcTimeText(int64_t secondsSince1970);
std::optional<int64_t> ParseUtcTime(std::string_view text);

// Lowercase hex of bytes.
std::string HexLower(const uint8_t* bytes, std::size_t size);

// Standard Base64 with padding, without line breaks.
std::string EncodeBase64(std::string_view bytes);
// Strict standard Base64: padded to a multiple of four, no characters outside the alphabet
// (no white space), and only the one canonical text for each byte string.
std::optional<std::string> DecodeBase64(std::string_view text);

}  // namespace orv
