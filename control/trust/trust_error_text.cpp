#include "control/trust/trust_error_text.h"

namespace orv::trust {

const char* TrustErrorText(int32_t code) {
    // Every member of the generated enumeration has a case, so a member added to the IDL
    // without a text here is a -Wswitch warning.
    switch (static_cast<TrustErrorCode>(code)) {
        case TRUST_ERROR_DIGESTMISMATCH:
            return "Package does not match its digest: the downloaded file is not the one the "
                   "publisher described.";
        case TRUST_ERROR_NOTSIGNED:
            return "Update information not signed by the expected publisher.";
        case TRUST_ERROR_CANNOTVERIFY:
            return "Signature or digest cannot be verified: the system lacks the cryptography "
                   "to check it.";
        case TRUST_ERROR_INFOEXPIRED:
            return "Update information has expired: the publisher must publish it again.";
        case TRUST_ERROR_PACKAGESIGNER: return "Package not signed by the expected signer.";
        case TRUST_ERROR_TLSHANDSHAKE: return "Secure connection failed: TLS handshake failed.";
        case TRUST_ERROR_CERTUNTRUSTED:
            return "Server certificate not trusted: not issued by a trusted authority.";
        case TRUST_ERROR_CERTNAMEMISMATCH:
            return "Server certificate name mismatch: issued for another host name.";
        case TRUST_ERROR_CERTEXPIRED: return "Server certificate expired or not yet valid.";
        case TRUST_ERROR_TLSSTREAM:
            return "Secure connection failed: received data could not be decrypted.";
        case TRUST_ERROR_INSECUREREDIRECT:
            return "Insecure redirect refused: a secure connection was redirected to plain HTTP.";
    }
    return nullptr;
}

bool TrustRefused(int32_t code) {
    return TrustErrorText(code) != nullptr && code != TRUST_ERROR_TLSHANDSHAKE &&
           code != TRUST_ERROR_TLSSTREAM;
}

}  // namespace orv::trust
