// Outcomes of a TLS connection that end a transfer, with the numbers and English texts the
// control reports them with in ConnectionError (beside the socket error numbers, which stay
// below 12000). They are the secure-connection members of TRUSTERRORCODE, whose numbers come
// from the IDL through the generated trust_error_codes.h. Portable: no <windows.h>.
#pragma once

#include <cstdint>

#include "control/trust_error_codes.h"

namespace orv::net {

enum class TlsError : int32_t {
    kNone = 0,
    // The TLS layer could not start, or the server's handshake failed or was refused.
    kHandshakeFailed = trust::TRUST_ERROR_TLSHANDSHAKE,
    // The certificate's chain does not end at a root the machine or the user trusts (an
    // unknown authority, a partial chain, a bad signature, a certificate not meant for
    // servers).
    kCertificateNotTrusted = trust::TRUST_ERROR_CERTUNTRUSTED,
    // The certificate does not name the host the control connected to.
    kNameMismatch = trust::TRUST_ERROR_CERTNAMEMISMATCH,
    // A certificate of the chain is out of its validity dates.
    kCertificateExpired = trust::TRUST_ERROR_CERTEXPIRED,
    // After the handshake: a record that could not be decrypted or authenticated, a record
    // no TLS peer sends, or a fatal alert from the server.
    kStreamFailed = trust::TRUST_ERROR_TLSSTREAM,
};

// The text of a TLS outcome number; nullptr for numbers that are not one (socket error
// numbers keep their own table, the signature and digest outcomes are answered by
// trust::TrustErrorText only).
const char* TlsErrorText(int32_t code);

}  // namespace orv::net
