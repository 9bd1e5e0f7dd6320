// Digest and signature checks of update information with the platform's own cryptography:
// CNG (bcrypt.dll) for SHA-256 and ECDSA P-256, crypt32 for Base64 and the key structure.
// Knows nothing of COM or of the control; the header needs no <windows.h>.
//
// A publisher key is the standard Base64 of the DER SubjectPublicKeyInfo of a P-256 public
// key; a key list holds one or more of them separated by ";" (a signature by any of them
// passes, so a publisher can rotate keys).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/updateinfo/signed_fields.h"

namespace orv::trust {

// A parsed publisher key list. Move-only; safe to use from any one thread at a time, and
// several lists may be used on several threads at once.
class PublisherKeys {
   public:
    PublisherKeys();
    PublisherKeys(PublisherKeys&&) noexcept;
    PublisherKeys& operator=(PublisherKeys&&) noexcept;
    ~PublisherKeys();

    std::size_t size() const;
    bool empty() const { return size() == 0; }

   private:
    struct Impl;
    friend struct KeyListResult ParseKeyList(std::string_view text);
    friend struct Verification VerifySignature(const PublisherKeys& keys, std::string_view message,
                                               const P256Signature& signature);
    std::unique_ptr<Impl> impl_;
};

// The outcome of parsing a key list.
struct KeyListResult {
    bool Ok = false;  // false: the text is unusable as a key list (the control's error 380)
    PublisherKeys Keys;
    std::string Error;  // why not, naming the key by its place ("key 2 of 3: ...")
};

// Parses a ";"-separated key list. White space around each key is ignored, as are empty
// pieces between separators; the empty text gives an empty list (no key). A text that holds
// no key at all, a piece that is not Base64 of a SubjectPublicKeyInfo, or a key that is not
// an uncompressed EC P-256 key, makes the whole list unusable. Keys the platform then fails
// to import are kept: verifying with them gives CannotVerify, never a parse error, since the
// text itself is sound.
KeyListResult ParseKeyList(std::string_view text);

enum class Verdict {
    Valid,         // field 8 is a valid signature of fields 1-7 by one of the keys
    NotSigned,     // no field 8
    BadSignature,  // field 7 or 8 malformed, or the signature is not by any of the keys
    CannotVerify,  // the platform could not check it (e.g. no ECDSA); never taken as valid
    Expired,       // the expiry (field 9) has passed, or none is there and one is required
};

struct Verification {
    Verdict verdict = Verdict::CannotVerify;
    std::size_t keyIndex = 0;  // Valid: which key of the list signed (0-based)
    long status = 0;           // CannotVerify: the platform's status (an NTSTATUS)
    std::string reason;        // for people, empty when Valid
};

// Checks a signature over `message` with every key of the list.
Verification VerifySignature(const PublisherKeys& keys, std::string_view message,
                             const P256Signature& signature);

// Checks the unscrambled update information: fields 7 and 8 must both be present and of
// their exact form, and field 8 a valid signature by one of the keys. An empty key list
// gives BadSignature (no publisher to compare with).
Verification VerifyInfo(const PublisherKeys& keys, std::string_view plain);

// Checks fields 9 and 10 of information whose field 8 VerifyInfo found valid. Without field 9:
// Valid, or Expired when `required`. With it, valid or not: field 10 must be a valid signature
// of fields 1-9 by one of the keys (BadSignature, CannotVerify), field 9 of its exact form
// (BadSignature), and `now` (seconds since 1970 UTC) before the expiry (Expired).
Verification VerifyExpiry(const PublisherKeys& keys, std::string_view plain, int64_t now,
                          bool required);

// Checks the tagged fields after field 10 of information whose fields 8 and 10 passed: Valid
// when there are none; otherwise they must end with a signature of their exact form that one
// of the keys made over everything before it (BadSignature, CannotVerify).
Verification VerifyTaggedFields(const PublisherKeys& keys, std::string_view plain);

// The system's time (GetSystemTimeAsFileTime) in seconds since 1970 UTC.
int64_t NowUtc();

// Incremental SHA-256 with CNG. One object per stream; it has no ties to the thread that made
// it, so it may be created on one thread and fed and finished on a worker.
class Sha256 {
   public:
    Sha256();  // opens the algorithm and a hash object; see ok()
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    ~Sha256();

    // False once anything failed (the platform's status in status()); Update and Finish then
    // do nothing and Finish gives nothing.
    bool ok() const { return status_ == 0; }
    long status() const { return status_; }

    bool Update(const void* data, std::size_t size);
    bool Update(std::string_view bytes) { return Update(bytes.data(), bytes.size()); }
    // The digest of everything fed; the object is spent afterwards.
    std::optional<Sha256Digest> Finish();

   private:
    struct State;
    std::unique_ptr<State> state_;
    long status_ = 0;
};

// SHA-256 of a whole text in one call.
std::optional<Sha256Digest> Sha256Of(std::string_view bytes);

// Whether the computed digest of a package is the one field 7 holds. Compares every byte.
bool DigestMatches(const Sha256Digest& expected, const Sha256Digest& actual);
// The same against field 7's text ("sha256:" and hex of either case); false when the field
// is malformed.
bool DigestMatches(std::string_view digestField, const Sha256Digest& actual);

}  // namespace orv::trust
