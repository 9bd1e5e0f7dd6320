#include "control/trust/trust_error_text.h"

#include "control/net/tls_error_text.h"

namespace orv::trust {

const char* TrustErrorText(int32_t code) {
    switch (static_cast<TrustError>(code)) {
        case TrustError::kDigestMismatch:
            return "Package does not match its digest: the downloaded file is not the one the "
                   "publisher described.";
        case TrustError::kNotSigned:
            return "Update information not signed by the expected publisher.";
        case TrustError::kCannotVerify:
            return "Signature or digest cannot be verified: the system lacks the cryptography "
                   "to check it.";
        case TrustError::kNone: break;
    }
    // The secure-connection numbers of the same enumeration keep their texts beside the TLS
    // client.
    return net::TlsErrorText(code);
}

}  // namespace orv::trust
