#include "control/trust/trust.h"

#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace orv::trust {

namespace {

constexpr NTSTATUS kStatusInvalidSignature = static_cast<NTSTATUS>(0xC000A000);
constexpr NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008);

// DER of the object identifier of the P-256 curve (1.2.840.10045.3.1.7), the algorithm
// parameter of an EC public key on it.
constexpr uint8_t kP256CurveOid[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
constexpr std::size_t kCoordinateSize = 32;

struct AlgorithmCloser {
    void operator()(BCRYPT_ALG_HANDLE h) const { BCryptCloseAlgorithmProvider(h, 0); }
};
struct KeyCloser {
    void operator()(BCRYPT_KEY_HANDLE h) const { BCryptDestroyKey(h); }
};
struct HashCloser {
    void operator()(BCRYPT_HASH_HANDLE h) const { BCryptDestroyHash(h); }
};
using UniqueAlgorithm = std::unique_ptr<void, AlgorithmCloser>;
using UniqueKey = std::unique_ptr<void, KeyCloser>;
using UniqueHash = std::unique_ptr<void, HashCloser>;

struct LocalFreer {
    void operator()(void* p) const { LocalFree(p); }
};

std::string Hex(NTSTATUS status) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(status));
    return buf;
}

std::string_view Trim(std::string_view s) {
    constexpr std::string_view kSpace = " \t\r\n";
    const std::size_t first = s.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kSpace) - first + 1);
}

// The X and Y coordinates of a P-256 key from one Base64 text, or why it is no such key.
std::optional<std::string> DecodeP256Key(std::string_view base64, std::string& xy) {
    if (base64.size() > 4096) return "is too long to be a P-256 key";
    const std::string text(base64);
    DWORD derSize = 0;
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                              nullptr, &derSize, nullptr, nullptr) ||
        derSize == 0) {
        return "is not Base64";
    }
    std::vector<BYTE> der(derSize);
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                              der.data(), &derSize, nullptr, nullptr)) {
        return "is not Base64";
    }
    CERT_PUBLIC_KEY_INFO* info = nullptr;
    DWORD infoSize = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der.data(), derSize,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &infoSize) ||
        !info) {
        return "is not a public key (DER SubjectPublicKeyInfo)";
    }
    const std::unique_ptr<void, LocalFreer> owner(info);
    if (!info->Algorithm.pszObjId || std::strcmp(info->Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY)) {
        return "is not an elliptic-curve key";
    }
    const CRYPT_OBJID_BLOB& curve = info->Algorithm.Parameters;
    if (curve.cbData != sizeof kP256CurveOid ||
        std::memcmp(curve.pbData, kP256CurveOid, sizeof kP256CurveOid) != 0) {
        return "is not on the P-256 curve";
    }
    const CRYPT_BIT_BLOB& point = info->PublicKey;
    if (point.cUnusedBits != 0 || point.cbData != 1 + 2 * kCoordinateSize ||
        point.pbData[0] != 0x04) {
        return "is not an uncompressed P-256 point";
    }
    xy.assign(reinterpret_cast<const char*>(point.pbData) + 1, 2 * kCoordinateSize);
    return std::nullopt;
}

}  // namespace

// One key: its coordinates and, when the platform could import it, its CNG handle.
struct PublisherKeys::Impl {
    struct Key {
        UniqueKey handle;
        NTSTATUS importStatus = 0;
    };
    UniqueAlgorithm ecdsa;
    NTSTATUS openStatus = 0;
    std::vector<Key> keys;
};

PublisherKeys::PublisherKeys() : impl_(std::make_unique<Impl>()) {}
PublisherKeys::PublisherKeys(PublisherKeys&&) noexcept = default;
PublisherKeys& PublisherKeys::operator=(PublisherKeys&&) noexcept = default;
PublisherKeys::~PublisherKeys() {
    if (impl_) {
        impl_->keys.clear();  // keys before their algorithm
        impl_->ecdsa.reset();
    }
}

std::size_t PublisherKeys::size() const {
    return impl_ ? impl_->keys.size() : 0;
}

KeyListResult ParseKeyList(std::string_view text) {
    KeyListResult result;
    if (text.empty()) {
        result.Ok = true;
        return result;
    }
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(';', start);
        const std::string_view piece =
            Trim(text.substr(start, at == text.npos ? text.npos : at - start));
        if (!piece.empty()) pieces.push_back(piece);
        if (at == text.npos) break;
        start = at + 1;
    }
    if (pieces.empty()) {
        result.Error = "the key text holds no key";
        return result;
    }
    std::vector<std::string> coordinates(pieces.size());
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (const auto why = DecodeP256Key(pieces[i], coordinates[i])) {
            result.Error = "key " + std::to_string(i + 1) + " of " + std::to_string(pieces.size()) +
                           " " + *why;
            return result;
        }
    }

    PublisherKeys::Impl& impl = *result.Keys.impl_;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    impl.openStatus =
        BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (impl.openStatus == 0) impl.ecdsa.reset(algorithm);
    for (const std::string& xy : coordinates) {
        PublisherKeys::Impl::Key key;
        if (impl.ecdsa) {
            std::vector<BYTE> blob(sizeof(BCRYPT_ECCKEY_BLOB) + xy.size());
            auto* header = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.data());
            header->dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
            header->cbKey = kCoordinateSize;
            std::memcpy(blob.data() + sizeof(BCRYPT_ECCKEY_BLOB), xy.data(), xy.size());
            BCRYPT_KEY_HANDLE handle = nullptr;
            key.importStatus =
                BCryptImportKeyPair(impl.ecdsa.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle,
                                    blob.data(), static_cast<ULONG>(blob.size()), 0);
            if (key.importStatus == 0) key.handle.reset(handle);
        } else {
            key.importStatus = impl.openStatus;
        }
        impl.keys.push_back(std::move(key));
    }
    result.Ok = true;
    return result;
}

Verification VerifySignature(const PublisherKeys& keys, std::string_view message,
                             const P256Signature& signature) {
    Verification v;
    if (keys.empty()) {
        v.verdict = Verdict::BadSignature;
        v.reason = "no publisher key to check the signature with";
        return v;
    }
    const std::optional<Sha256Digest> digest = Sha256Of(message);
    if (!digest) {
        v.verdict = Verdict::CannotVerify;
        v.reason = "SHA-256 is not available here";
        return v;
    }
    // Valid by any key passes; a key that could not be checked leaves the outcome open.
    NTSTATUS unchecked = 0;
    const auto& list = keys.impl_->keys;
    for (std::size_t i = 0; i < list.size(); ++i) {
        NTSTATUS status = list[i].importStatus;
        if (status == 0) {
            status = BCryptVerifySignature(
                list[i].handle.get(), nullptr, const_cast<PUCHAR>(digest->data()),
                static_cast<ULONG>(digest->size()), const_cast<PUCHAR>(signature.data()),
                static_cast<ULONG>(signature.size()), 0);
        }
        if (status == 0) {
            v.verdict = Verdict::Valid;
            v.keyIndex = i;
            return v;
        }
        if (status != kStatusInvalidSignature && unchecked == 0) unchecked = status;
    }
    if (unchecked != 0) {
        v.verdict = Verdict::CannotVerify;
        v.status = unchecked;
        v.reason = "the system cannot check ECDSA P-256 signatures (status " + Hex(unchecked) + ")";
    } else {
        v.verdict = Verdict::BadSignature;
        v.reason = list.size() == 1 ? "the signature is not by the publisher's key"
                                    : "the signature is by none of the publisher's keys";
    }
    return v;
}

Verification VerifyInfo(const PublisherKeys& keys, std::string_view plain) {
    const SignedFields fields = ReadSignedFields(plain);
    Verification v;
    if (fields.Signature == FieldState::Absent) {
        v.verdict = Verdict::NotSigned;
        v.reason = "the update information is not signed";
    } else if (fields.Digest != FieldState::Valid) {
        v.verdict = Verdict::BadSignature;
        v.reason = "the package digest (field 7) is malformed";
    } else if (fields.Signature != FieldState::Valid) {
        v.verdict = Verdict::BadSignature;
        v.reason = "the signature (field 8) is malformed";
    } else {
        return VerifySignature(keys, fields.SignedText, fields.SignatureBytes);
    }
    return v;
}

Verification VerifyExpiry(const PublisherKeys& keys, std::string_view plain, int64_t now,
                          bool required) {
    const SignedFields fields = ReadSignedFields(plain);
    Verification v;
    if (fields.Expiry == FieldState::Absent) {
        v.verdict = required ? Verdict::Expired : Verdict::Valid;
        if (required) v.reason = "the update information carries no expiry";
        return v;
    }
    if (fields.ExpirySignature != FieldState::Valid) {
        v.verdict = Verdict::BadSignature;
        v.reason = fields.ExpirySignature == FieldState::Absent
                       ? "the expiry (field 9) is not signed"
                       : "the signature of the expiry (field 10) is malformed";
        return v;
    }
    v = VerifySignature(keys, fields.ExpirySignedText, fields.ExpirySignatureBytes);
    if (v.verdict != Verdict::Valid) return v;
    if (fields.Expiry != FieldState::Valid) {
        v.verdict = Verdict::BadSignature;
        v.reason = "the expiry (field 9) is malformed";
    } else if (now >= fields.ExpiryTime) {
        v.verdict = Verdict::Expired;
        v.reason = "the update information expired at " + UtcTimeText(fields.ExpiryTime);
    }
    return v;
}

Verification VerifyTaggedFields(const PublisherKeys& keys, std::string_view plain) {
    const TaggedFields tags = ReadTaggedFields(plain);
    if (tags.State == FieldState::Valid)
        return VerifySignature(keys, tags.SignedText, tags.SignatureBytes);
    Verification v;
    v.verdict = tags.State == FieldState::Absent ? Verdict::Valid : Verdict::BadSignature;
    v.reason = tags.Problem;
    return v;
}

int64_t NowUtc() {
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    // FILETIME counts 100 ns from 1601-01-01; 1970-01-01 is 11644473600 seconds later.
    return static_cast<int64_t>(ticks / 10000000) - 11644473600LL;
}

struct Sha256::State {
    UniqueAlgorithm algorithm;
    UniqueHash hash;
    std::vector<UCHAR> object;  // the hash object's memory, owned here
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    status_ = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (status_ != 0) return;
    state_->algorithm.reset(algorithm);
    DWORD objectSize = 0;
    ULONG got = 0;
    status_ = BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH,
                                reinterpret_cast<PUCHAR>(&objectSize), sizeof objectSize, &got, 0);
    if (status_ != 0) return;
    state_->object.resize(objectSize ? objectSize : 1);
    BCRYPT_HASH_HANDLE hash = nullptr;
    status_ = BCryptCreateHash(algorithm, &hash, state_->object.data(),
                               static_cast<ULONG>(objectSize), nullptr, 0, 0);
    if (status_ == 0) state_->hash.reset(hash);
}

Sha256::Sha256(Sha256&& o) noexcept
    : state_(std::move(o.state_)), status_(std::exchange(o.status_, kStatusInvalidHandle)) {}

Sha256& Sha256::operator=(Sha256&& o) noexcept {
    if (this != &o) {
        state_ = std::move(o.state_);
        status_ = std::exchange(o.status_, kStatusInvalidHandle);
    }
    return *this;
}

Sha256::~Sha256() {
    if (state_) state_->hash.reset();  // the hash before its algorithm and memory
}

bool Sha256::Update(const void* data, std::size_t size) {
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    while (ok() && size > 0) {
        const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
        status_ = BCryptHashData(state_->hash.get(), bytes, piece, 0);
        bytes += piece;
        size -= piece;
    }
    return ok();
}

std::optional<Sha256Digest> Sha256::Finish() {
    if (!ok()) return std::nullopt;
    Sha256Digest digest{};
    status_ = BCryptFinishHash(state_->hash.get(), digest.data(), digest.size(), 0);
    if (!ok()) return std::nullopt;
    state_->hash.reset();
    status_ = kStatusInvalidHandle;  // spent: any further use fails
    return digest;
}

std::optional<Sha256Digest> Sha256Of(std::string_view bytes) {
    Sha256 hash;
    hash.Update(bytes);
    return hash.Finish();
}

bool DigestMatches(const Sha256Digest& expected, const Sha256Digest& actual) {
    uint8_t difference = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) difference |= expected[i] ^ actual[i];
    return difference == 0;
}

bool DigestMatches(std::string_view digestField, const Sha256Digest& actual) {
    const std::optional<Sha256Digest> expected = ParseDigestField(digestField);
    return expected && DigestMatches(*expected, actual);
}

}  // namespace orv::trust
