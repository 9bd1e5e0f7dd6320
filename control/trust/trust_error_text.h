// Outcomes of the signature and digest checks that end a transfer, with the numbers and
// English texts the control reports them with in ConnectionError (TRUSTERRORCODE in the type
// library, beside the socket error numbers and the secure-connection numbers of the same
// enumeration). The numbers come from the IDL through the generated trust_error_codes.h.
// Portable: no <windows.h>.
#pragma once

#include <cstdint>

#include "control/trust_error_codes.h"

namespace orv::trust {

enum class TrustError : int32_t {
    kNone = 0,
    // The downloaded package's SHA-256 is not the one field 7 of the information names.
    kDigestMismatch = TRUST_ERROR_DIGESTMISMATCH,
    // A publisher key is set and the information carries no valid signature by any of its
    // keys: unsigned, signed by another key, changed after signing, fields 7 or 8 malformed,
    // or a key list (loaded from a saved form) that is unusable.
    kNotSigned = TRUST_ERROR_NOTSIGNED,
    // The system could not check the signature or compute the digest (its cryptography lacks
    // the algorithm, for example).
    kCannotVerify = TRUST_ERROR_CANNOTVERIFY,
    // A publisher key is set and the signed information's expiry (field 9) has passed, or it
    // carries none while one is required (RequireExpiry, or the source gave one before): then
    // with kNoExpiryText.
    kInfoExpired = TRUST_ERROR_INFOEXPIRED,
    // A signer is required of the package and the downloaded file carries no valid Authenticode
    // signature by one of them on a chain to a trusted root.
    kPackageSigner = TRUST_ERROR_PACKAGESIGNER,
    // A redirect would have taken a secure connection to plain HTTP.
    kInsecureRedirect = TRUST_ERROR_INSECUREREDIRECT,
};

// The text of kInfoExpired for information that carries no expiry at all while one is
// required: RequireExpiry is set, or the same source gave information with a signed expiry
// before.
inline constexpr char kNoExpiryText[] =
    "Update information has no expiry, but one is required: the publisher must publish it "
    "with an expiry.";

// The text of any TRUSTERRORCODE number, the secure-connection ones included; nullptr for
// numbers that are not one. The one table of these texts: net::TlsErrorText answers from it.
const char* TrustErrorText(int32_t code);

// Whether `code` refuses trust: a signature, digest, expiry, package signer or server
// certificate that did not pass, or a redirect from a secure connection to plain HTTP. The
// secure connection's own failures (handshake, undecryptable data) are not.
bool TrustRefused(int32_t code);

}  // namespace orv::trust
