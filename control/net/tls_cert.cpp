#include "control/net/tls_cert.h"

#include <memory>
#include <vector>

#include "common/win/system.h"

namespace orv::net {
namespace {

struct ChainDeleter {
    void operator()(PCCERT_CHAIN_CONTEXT chain) const { CertFreeCertificateChain(chain); }
};
using ChainPtr = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainDeleter>;

// Chain errors that are only about dates; every other bit means the chain is not trusted.
constexpr DWORD kTimeErrors =
    CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED | CERT_TRUST_CTL_IS_NOT_TIME_VALID;
// Revocation is not checked, so its status bits say nothing.
constexpr DWORD kRevocationBits =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

TlsError FromPolicyError(DWORD error) {
    switch (error) {
        case 0: return TlsError::kNone;
        case static_cast<DWORD>(CERT_E_CN_NO_MATCH): return TlsError::kNameMismatch;
        case static_cast<DWORD>(CERT_E_EXPIRED):
        case static_cast<DWORD>(CERT_E_VALIDITYPERIODNESTING): return TlsError::kCertificateExpired;
        default: return TlsError::kCertificateNotTrusted;
    }
}

}  // namespace

TlsError CheckServerCertificate(PCCERT_CONTEXT certificate, const std::string& host) {
    if (certificate == nullptr || host.empty()) return TlsError::kCertificateNotTrusted;

    // A chain for server authentication, with the intermediates the server sent.
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT raw = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &para, 0,
                                 nullptr, &raw) ||
        raw == nullptr) {
        return TlsError::kCertificateNotTrusted;
    }
    const ChainPtr chain(raw);

    // The chain engine's own verdict: Wine's SSL policy below accepts a chain that stops
    // short of a root, so a complete, trusted chain is required here first.
    const DWORD status = chain->TrustStatus.dwErrorStatus & ~kRevocationBits;
    if ((status & ~kTimeErrors) != 0) return TlsError::kCertificateNotTrusted;
    if ((status & kTimeErrors) != 0) return TlsError::kCertificateExpired;

    // The SSL policy: trust again, dates, and the host name against the certificate's names.
    std::wstring serverName = win::AnsiToWide(host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
    ssl.cbSize = sizeof(ssl);
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = serverName.data();
    CERT_CHAIN_POLICY_PARA policyPara = {};
    policyPara.cbSize = sizeof(policyPara);
    policyPara.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS policyStatus = {};
    policyStatus.cbSize = sizeof(policyStatus);
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policyPara,
                                          &policyStatus)) {
        return TlsError::kCertificateNotTrusted;
    }
    return FromPolicyError(policyStatus.dwError);
}

}  // namespace orv::net
