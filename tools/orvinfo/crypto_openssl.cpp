// orvinfo's cryptography in the Linux build: OpenSSL's libcrypto.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <vector>

#include "tools/orvinfo/crypto.h"
#include "tools/orvinfo/file_io.h"

namespace orv::orvinfo::crypto {

namespace {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const {
        Free(p);
    }
};
using UniquePkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using UniqueMdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using UniqueBio = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using UniqueSig = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG_free>>;
struct OpenSslFree {
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};

// The DER of a P-256 SubjectPublicKeyInfo up to its point: SEQUENCE, the algorithm
// (id-ecPublicKey, prime256v1), and the BIT STRING's header. An uncompressed point follows.
constexpr unsigned char kP256InfoPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                             0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                             0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
constexpr std::size_t kP256InfoSize = sizeof kP256InfoPrefix + 65;

// The library's last error, for people; `fallback` when it kept none.
std::string LibraryError(const char* fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return fallback;
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    return buf;
}

bool IsP256(EVP_PKEY* key) {
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) return false;
    char group[64] = {};
    std::size_t length = 0;
    if (!EVP_PKEY_get_utf8_string_param(key, "group", group, sizeof group, &length)) return false;
    return std::strcmp(group, "prime256v1") == 0 || std::strcmp(group, "P-256") == 0;
}

// Passphrase callback that gives none: an encrypted key file fails to load.
int NoPassphrase(char*, int, int, void*) {
    return -1;
}

std::optional<std::string> LoadPrivateKey(std::string_view pem, UniquePkey& key) {
    UniqueBio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return LibraryError("out of memory");
    key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
    if (!key) {
        ERR_clear_error();
        return std::string("it is no unencrypted PEM private key");
    }
    if (!IsP256(key.get())) return std::string("it is no P-256 key");
    return std::nullopt;
}

std::string PublicLine(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int size = i2d_PUBKEY(key, &der);
    if (size <= 0) return {};
    std::string line = EncodeBase64(std::string_view(reinterpret_cast<char*>(der), size));
    OPENSSL_free(der);
    return line;
}

std::string_view Trim(std::string_view s) {
    constexpr std::string_view kSpace = " \t\r\n";
    const std::size_t first = s.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kSpace) - first + 1);
}

// One public key line to a key, or why it is not a usable P-256 key.
std::optional<std::string> LoadPublicKey(std::string_view line, UniquePkey& key) {
    const std::optional<std::string> der = DecodeBase64(line);
    if (!der) return std::string("is not Base64");
    const auto* p = reinterpret_cast<const unsigned char*>(der->data());
    key.reset(d2i_PUBKEY(nullptr, &p, static_cast<long>(der->size())));
    if (!key) {
        ERR_clear_error();
        return std::string("is not a public key (DER SubjectPublicKeyInfo)");
    }
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC) {
        return std::string("is not an elliptic-curve key");
    }
    if (!IsP256(key.get())) return std::string("is not on the P-256 curve");
    if (der->size() != kP256InfoSize ||
        std::memcmp(der->data(), kP256InfoPrefix, sizeof kP256InfoPrefix) != 0 ||
        static_cast<unsigned char>((*der)[sizeof kP256InfoPrefix]) != 0x04) {
        return std::string("is not an uncompressed P-256 point");
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> Sha256OfFile(const std::filesystem::path& path, Sha256Digest& digest) {
    UniqueMdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        return LibraryError("SHA-256 is not available");
    }
    bool hashed = true;
    if (auto reason = files::ReadInPieces(path, 1 << 20, [&](std::string_view piece) {
            hashed = EVP_DigestUpdate(ctx.get(), piece.data(), piece.size()) == 1;
            return hashed;
        })) {
        return reason;
    }
    unsigned int size = 0;
    if (!hashed || EVP_DigestFinal_ex(ctx.get(), digest.data(), &size) != 1 ||
        size != digest.size()) {
        return LibraryError("SHA-256 failed");
    }
    return std::nullopt;
}

std::optional<std::string> Sha256OfBytes(std::string_view bytes, Sha256Digest& digest) {
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1 ||
        size != digest.size()) {
        return LibraryError("SHA-256 failed");
    }
    return std::nullopt;
}

std::optional<std::string> GenerateKey(std::string& privatePem, std::string& publicLine) {
    UniquePkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key) return LibraryError("cannot generate a P-256 key");
    UniqueBio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1) {
        return LibraryError("cannot write the private key");
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    privatePem.assign(data, static_cast<std::size_t>(size));
    publicLine = PublicLine(key.get());
    if (publicLine.empty()) return LibraryError("cannot write the public key");
    return std::nullopt;
}

std::optional<std::string> PublicKeyOf(std::string_view privatePem, std::string& publicLine) {
    UniquePkey key;
    if (auto reason = LoadPrivateKey(privatePem, key)) return reason;
    publicLine = PublicLine(key.get());
    if (publicLine.empty()) return LibraryError("cannot write the public key");
    return std::nullopt;
}

std::optional<std::string> Sign(std::string_view privatePem, std::string_view message,
                                P256Signature& signature) {
    UniquePkey key;
    if (auto reason = LoadPrivateKey(privatePem, key)) return reason;
    UniqueMdCtx ctx(EVP_MD_CTX_new());
    std::size_t size = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &size,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        return LibraryError("cannot sign");
    }
    std::vector<unsigned char> der(size);
    if (EVP_DigestSign(ctx.get(), der.data(), &size,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        return LibraryError("cannot sign");
    }
    // DER SEQUENCE { INTEGER r, INTEGER s } to the two 32-byte numbers.
    const unsigned char* p = der.data();
    UniqueSig sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(size)));
    if (!sig) return LibraryError("cannot read the signature");
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(sig.get(), &r, &s);
    if (BN_bn2binpad(r, signature.data(), 32) != 32 ||
        BN_bn2binpad(s, signature.data() + 32, 32) != 32) {
        return std::string("the signature does not fit 64 bytes");
    }
    return std::nullopt;
}

Verification Verify(std::string_view keyList, std::string_view message,
                    const P256Signature& signature) {
    Verification v;
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = keyList.find(';', start);
        const std::string_view piece =
            Trim(keyList.substr(start, at == keyList.npos ? keyList.npos : at - start));
        if (!piece.empty()) lines.push_back(piece);
        if (at == keyList.npos) break;
        start = at + 1;
    }
    if (lines.empty()) {
        v.verdict = Verdict::BadKey;
        v.reason = "the key text holds no key";
        return v;
    }
    std::vector<UniquePkey> keys(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (auto why = LoadPublicKey(lines[i], keys[i])) {
            v.verdict = Verdict::BadKey;
            v.reason =
                "key " + std::to_string(i + 1) + " of " + std::to_string(lines.size()) + " " + *why;
            return v;
        }
    }

    // r||s to DER, as the library checks it.
    UniqueSig sig(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        v.reason = LibraryError("out of memory");
        return v;
    }
    unsigned char* der = nullptr;
    const int derSize = i2d_ECDSA_SIG(sig.get(), &der);
    if (derSize <= 0) {
        v.reason = LibraryError("cannot encode the signature");
        return v;
    }
    const std::unique_ptr<unsigned char, OpenSslFree> derOwner(der);

    for (std::size_t i = 0; i < keys.size(); ++i) {
        UniqueMdCtx ctx(EVP_MD_CTX_new());
        if (!ctx ||
            EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, keys[i].get()) != 1) {
            v.verdict = Verdict::CannotVerify;
            v.reason = LibraryError("cannot check ECDSA P-256 signatures");
            return v;
        }
        // 1 valid; 0 not by this key; below 0 a signature the library cannot even take (an r
        // or s of zero or beyond the group order): never valid.
        const int result = EVP_DigestVerify(ctx.get(), der, static_cast<std::size_t>(derSize),
                                            reinterpret_cast<const unsigned char*>(message.data()),
                                            message.size());
        ERR_clear_error();
        if (result == 1) {
            v.verdict = Verdict::Valid;
            v.keyIndex = i;
            v.reason.clear();
            return v;
        }
    }
    v.verdict = Verdict::BadSignature;
    v.reason = keys.size() == 1 ? "the signature is not by the publisher's key"
                                : "the signature is by none of the publisher's keys";
    return v;
}

}  // namespace orv::orvinfo::crypto
