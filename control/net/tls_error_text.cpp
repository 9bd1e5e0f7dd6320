#include "control/net/tls_error_text.h"

namespace orv::net {

const char* TlsErrorText(int32_t code) {
    switch (static_cast<TlsError>(code)) {
        case TlsError::kHandshakeFailed: return "Secure connection failed: TLS handshake failed.";
        case TlsError::kCertificateNotTrusted:
            return "Server certificate not trusted: not issued by a trusted authority.";
        case TlsError::kNameMismatch:
            return "Server certificate name mismatch: issued for another host name.";
        case TlsError::kCertificateExpired: return "Server certificate expired or not yet valid.";
        case TlsError::kStreamFailed:
            return "Secure connection failed: received data could not be decrypted.";
        case TlsError::kNone: break;
    }
    return nullptr;
}

}  // namespace orv::net
