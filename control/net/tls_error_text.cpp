#include "control/net/tls_error_text.h"

#include "control/trust/trust_error_text.h"

namespace orv::net {

const char* TlsErrorText(int32_t code) {
    // The texts live in the one table of the trust outcomes; this answers the TLS ones only.
    switch (static_cast<TlsError>(code)) {
        case TlsError::kHandshakeFailed:
        case TlsError::kCertificateNotTrusted:
        case TlsError::kNameMismatch:
        case TlsError::kCertificateExpired:
        case TlsError::kStreamFailed: return trust::TrustErrorText(code);
        case TlsError::kNone: break;
    }
    return nullptr;
}

}  // namespace orv::net
