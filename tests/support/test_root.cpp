#include "tests/support/test_root.h"

#include <windows.h>

#include <wincrypt.h>

#include <fstream>
#include <iterator>

namespace orv::test {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The DER bytes of a PEM or DER certificate file; empty when unreadable.
std::string ReadCertificate(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.find("-----BEGIN") == std::string::npos) return bytes;
    DWORD size = 0;
    if (!CryptStringToBinaryA(bytes.c_str(), static_cast<DWORD>(bytes.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        return {};
    }
    std::string der(size, '\0');
    if (!CryptStringToBinaryA(bytes.c_str(), static_cast<DWORD>(bytes.size()),
                              CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(der.data()), &size,
                              nullptr, nullptr)) {
        return {};
    }
    der.resize(size);
    return der;
}

HCERTSTORE OpenUserRoot() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "Root");
}

// The store's copy of the certificate with these bytes, or null.
PCCERT_CONTEXT Find(HCERTSTORE store, const std::string& der) {
    PCCERT_CONTEXT probe = CertCreateCertificateContext(
        kEncoding, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()));
    if (probe == nullptr) return nullptr;
    PCCERT_CONTEXT found =
        CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_EXISTING, probe, nullptr);
    CertFreeCertificateContext(probe);
    return found;
}

}  // namespace

TrustedTestRoot::TrustedTestRoot(const std::string& file) : der_(ReadCertificate(file)) {
    if (der_.empty()) {
        error_ = "cannot read a certificate from " + file;
        return;
    }
    HCERTSTORE store = OpenUserRoot();
    if (store == nullptr) {
        error_ = "cannot open the current user's Root store";
        return;
    }
    if (CertAddEncodedCertificateToStore(
            store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der_.data()),
            static_cast<DWORD>(der_.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        added_ = true;
    } else {
        error_ = "CertAddEncodedCertificateToStore failed: " + std::to_string(GetLastError());
    }
    CertCloseStore(store, 0);
}

TrustedTestRoot::~TrustedTestRoot() {
    if (added_) Remove();
}

bool TrustedTestRoot::Remove() {
    if (!added_) return true;
    HCERTSTORE store = OpenUserRoot();
    if (store == nullptr) {
        error_ = "cannot open the current user's Root store";
        return false;
    }
    bool ok = true;
    if (PCCERT_CONTEXT found = Find(store, der_)) {
        // The delete frees the context, even when it fails.
        ok = CertDeleteCertificateFromStore(found) &&
             CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        if (!ok) error_ = "removing the test root failed: " + std::to_string(GetLastError());
    }
    CertCloseStore(store, 0);
    added_ = !ok;
    return ok;
}

bool CurrentUserRootHolds(const std::string& file) {
    const std::string der = ReadCertificate(file);
    HCERTSTORE store = OpenUserRoot();
    if (der.empty() || store == nullptr) {
        if (store != nullptr) CertCloseStore(store, 0);
        return false;
    }
    PCCERT_CONTEXT found = Find(store, der);
    if (found != nullptr) CertFreeCertificateContext(found);
    CertCloseStore(store, 0);
    return found != nullptr;
}

}  // namespace orv::test
