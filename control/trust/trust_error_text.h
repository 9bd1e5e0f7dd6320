// Outcomes of the signature and digest checks that end a transfer, with the numbers and
// English texts the control reports them with in ConnectionError (TRUSTERRORCODE in the type
// library, beside the socket error numbers and the secure-connection numbers 24010-24014).
// Portable: no <windows.h>.
#pragma once

#include <cstdint>

namespace orv::trust {

enum class TrustError : int32_t {
    kNone = 0,
    // The downloaded package's SHA-256 is not the one field 7 of the information names.
    kDigestMismatch = 24001,
    // A publisher key is set and the information carries no valid signature by any of its
    // keys: unsigned, signed by another key, changed after signing, fields 7 or 8 malformed,
    // or a key list (loaded from a saved form) that is unusable.
    kNotSigned = 24002,
    // The system could not check the signature or compute the digest (its cryptography lacks
    // the algorithm, for example).
    kCannotVerify = 24003,
};

// The text of any TRUSTERRORCODE number, the secure-connection ones (24010-24014) included;
// nullptr for numbers that are not one.
const char* TrustErrorText(int32_t code);

}  // namespace orv::trust
