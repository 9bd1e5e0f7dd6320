// Outcomes of a TLS connection that end a transfer, with the numbers and English texts the
// control reports them with in ConnectionError (beside the socket error numbers, which stay
// below 12000). Portable: no <windows.h>.
#pragma once

#include <cstdint>

namespace orv::net {

enum class TlsError : int32_t {
    kNone = 0,
    // The TLS layer could not start, or the server's handshake failed or was refused.
    kHandshakeFailed = 24010,
    // The certificate's chain does not end at a root the machine or the user trusts (an
    // unknown authority, a partial chain, a bad signature, a certificate not meant for
    // servers).
    kCertificateNotTrusted = 24011,
    // The certificate does not name the host the control connected to.
    kNameMismatch = 24012,
    // A certificate of the chain is out of its validity dates.
    kCertificateExpired = 24013,
    // After the handshake: a record that could not be decrypted or authenticated, a record
    // no TLS peer sends, or a fatal alert from the server.
    kStreamFailed = 24014,
};

// The text of a TLS outcome number; nullptr for numbers that are not one (socket error
// numbers keep their own table).
const char* TlsErrorText(int32_t code);

}  // namespace orv::net
