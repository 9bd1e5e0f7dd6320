#include "tools/orvinfo/p256_key.h"

#include <algorithm>
#include <cstring>

namespace orv::orvinfo::p256 {

namespace {

using namespace std::string_view_literals;

// Contents of the object identifiers id-ecPublicKey (1.2.840.10045.2.1) and prime256v1
// (1.2.840.10045.3.1.7).
constexpr std::string_view kEcPublicKeyOid = "\x2A\x86\x48\xCE\x3D\x02\x01"sv;
constexpr std::string_view kP256Oid = "\x2A\x86\x48\xCE\x3D\x03\x01\x07"sv;
// The AlgorithmIdentifier of both forms: SEQUENCE { id-ecPublicKey, prime256v1 }.
constexpr std::string_view kAlgorithm =
    "\x30\x13\x06\x07\x2A\x86\x48\xCE\x3D\x02\x01\x06\x08\x2A\x86\x48\xCE\x3D\x03\x01\x07"sv;
// The order of the curve's group: a private number lies in [1, n-1].
constexpr unsigned char kOrder[kCoordinateSize] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};

constexpr unsigned char kSequence = 0x30, kInteger = 0x02, kOctetString = 0x04, kBitString = 0x03,
                        kOid = 0x06, kContext0 = 0xA0, kContext1 = 0xA1, kImplicit1 = 0x81;

const std::string kMalformed = "it is no well-formed private key (DER)";
const std::string kNotP256 = "it is no P-256 key";

std::string_view Bytes(const unsigned char* p, std::size_t n) {
    return {reinterpret_cast<const char*>(p), n};
}

// Reads DER elements one after another from a bounded text. Lengths take at most two bytes
// and must be minimal; a key is far smaller.
class DerReader {
   public:
    explicit DerReader(std::string_view der) : rest_(der) {}
    bool AtEnd() const { return rest_.empty(); }
    std::string_view Rest() const { return rest_; }
    bool Next(unsigned char tag) const {
        return !rest_.empty() && static_cast<unsigned char>(rest_[0]) == tag;
    }
    // Takes the next element if it has `tag` and is well formed: its contents.
    bool Take(unsigned char tag, std::string_view& contents) {
        if (!Next(tag) || rest_.size() < 2) return false;
        const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(rest_[i]); };
        std::size_t header = 2, length = byte(1);
        if (length == 0x81) {
            if (rest_.size() < 3 || byte(2) < 0x80) return false;
            header = 3;
            length = byte(2);
        } else if (length == 0x82) {
            if (rest_.size() < 4 || byte(2) == 0) return false;
            header = 4;
            length = std::size_t{byte(2)} << 8 | byte(3);
        } else if (length >= 0x80) {
            return false;
        }
        if (length > rest_.size() - header) return false;
        contents = rest_.substr(header, length);
        rest_.remove_prefix(header + length);
        return true;
    }

   private:
    std::string_view rest_;
};

// A DER element of a contents shorter than 128 bytes.
std::string Element(unsigned char tag, std::string_view contents) {
    std::string out{static_cast<char>(tag), static_cast<char>(contents.size())};
    return out.append(contents);
}

// BIT STRING { no unused bits, 0x04 (uncompressed), X, Y }.
std::string PointBits(const KeyPair& key) {
    return Element(kBitString,
                   std::string("\0\x04", 2) + std::string(Bytes(key.xy.data(), key.xy.size())));
}

// The parameters of an EC key, which must name P-256.
std::optional<std::string> CheckCurve(std::string_view parameters) {
    DerReader r(parameters);
    std::string_view oid;
    if (!r.Take(kOid, oid) || !r.AtEnd()) return kNotP256 + " (its curve is not named)";
    if (oid != kP256Oid) return kNotP256 + " (it is on another curve)";
    return std::nullopt;
}

std::optional<std::string> CheckAlgorithm(std::string_view algorithm) {
    DerReader r(algorithm);
    std::string_view oid;
    if (!r.Take(kOid, oid)) return kMalformed;
    if (oid != kEcPublicKeyOid) return kNotP256 + " (it is no elliptic-curve key)";
    return CheckCurve(r.Rest());
}

// ECPrivateKey { 1, OCTET STRING d, [0] curve OPTIONAL, [1] BIT STRING point OPTIONAL }.
std::optional<std::string> ReadEcPrivateKey(std::string_view der, bool curveNamedOutside,
                                            KeyPair& key) {
    DerReader outer(der);
    std::string_view body, version, d, parameters, publicKey;
    if (!outer.Take(kSequence, body) || !outer.AtEnd()) return kMalformed;
    DerReader r(body);
    if (!r.Take(kInteger, version) || !r.Take(kOctetString, d)) return kMalformed;
    if (version != "\x01"sv) return std::string("it is an EC private key of an unknown version");
    if (r.Next(kContext0)) {
        if (!r.Take(kContext0, parameters)) return kMalformed;
        if (auto why = CheckCurve(parameters)) return why;
    } else if (!curveNamedOutside) {
        return kNotP256 + " (its curve is not named)";
    }
    if (!r.Next(kContext1)) return std::string("it holds no public key");
    if (!r.Take(kContext1, publicKey) || !r.AtEnd()) return kMalformed;
    DerReader p(publicKey);
    std::string_view bits;
    if (!p.Take(kBitString, bits) || !p.AtEnd()) return kMalformed;
    if (bits.size() != 2 + key.xy.size() || bits[0] != 0 || bits[1] != 0x04) {
        return std::string("its public key is not an uncompressed P-256 point");
    }
    // The private number: 32 bytes, or fewer from writers that drop leading zeros.
    if (d.empty() || d.size() > kCoordinateSize)
        return kNotP256 + " (its private number is no 32 bytes)";
    key.d.fill(0);
    std::memcpy(key.d.data() + kCoordinateSize - d.size(), d.data(), d.size());
    if (std::all_of(key.d.begin(), key.d.end(), [](unsigned char b) { return b == 0; }) ||
        std::memcmp(key.d.data(), kOrder, kCoordinateSize) >= 0) {
        return std::string("its private number is out of range");
    }
    std::memcpy(key.xy.data(), bits.data() + 2, key.xy.size());
    return std::nullopt;
}

// PrivateKeyInfo { version, AlgorithmIdentifier, OCTET STRING ECPrivateKey, [0] attributes
// OPTIONAL, [1] public key OPTIONAL (version 1) }.
std::optional<std::string> ReadPrivateKeyInfo(std::string_view der, KeyPair& key) {
    DerReader outer(der);
    std::string_view body, version, algorithm, privateKey, skipped;
    if (!outer.Take(kSequence, body) || !outer.AtEnd()) return kMalformed;
    DerReader r(body);
    if (!r.Take(kInteger, version) || !r.Take(kSequence, algorithm)) return kMalformed;
    if (version != "\x00"sv && version != "\x01"sv) {
        return std::string("it is a private key of an unknown version");
    }
    if (auto why = CheckAlgorithm(algorithm)) return why;
    if (!r.Take(kOctetString, privateKey)) return kMalformed;
    if (r.Next(kContext0) && !r.Take(kContext0, skipped)) return kMalformed;
    if (r.Next(kImplicit1) && !r.Take(kImplicit1, skipped)) return kMalformed;
    if (!r.AtEnd()) return kMalformed;
    return ReadEcPrivateKey(privateKey, true, key);
}

// One line without its line end and trailing blanks.
std::string_view TrimEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.remove_suffix(1);
    }
    return line;
}

}  // namespace

std::string Pkcs8Der(const KeyPair& key) {
    const std::string ecPrivateKey =
        Element(kSequence, Element(kInteger, "\x01"sv) +
                               Element(kOctetString, Bytes(key.d.data(), key.d.size())) +
                               Element(kContext1, PointBits(key)));
    const std::string body =
        Element(kInteger, "\x00"sv) + std::string(kAlgorithm) + Element(kOctetString, ecPrivateKey);
    // 135 bytes of contents: the two-byte long form of the length.
    return std::string("\x30\x81", 2) + static_cast<char>(body.size()) + body;
}

std::string PublicKeyInfoDer(const KeyPair& key) {
    return Element(kSequence, std::string(kAlgorithm) + PointBits(key));
}

std::optional<std::string> FindPrivateKeyBlock(std::string_view pem, PemForm& form,
                                               std::string_view& base64) {
    constexpr std::string_view kBegin = "-----BEGIN ", kEnd = "-----END ", kDashes = "-----";
    std::string_view label;
    std::size_t bodyStart = 0;
    bool inBlock = false;
    for (std::size_t at = 0; at < pem.size();) {
        std::size_t lineEnd = pem.find('\n', at);
        if (lineEnd == pem.npos) lineEnd = pem.size();
        const std::string_view line = TrimEnd(pem.substr(at, lineEnd - at));
        const std::size_t lineStart = at;
        at = lineEnd + 1;
        if (!inBlock) {
            if (!line.starts_with(kBegin) || !line.ends_with(kDashes) ||
                line.size() < kBegin.size() + kDashes.size()) {
                continue;
            }
            label = line.substr(kBegin.size(), line.size() - kBegin.size() - kDashes.size());
            if (label == "ENCRYPTED PRIVATE KEY") {
                return std::string(
                    "it is an encrypted private key; orvinfo takes unencrypted "
                    "keys only");
            }
            if (label == "PRIVATE KEY" || label == "EC PRIVATE KEY") {
                form = label == "PRIVATE KEY" ? PemForm::Pkcs8 : PemForm::Sec1;
                inBlock = true;
                bodyStart = at;
            }
            continue;
        }
        if (line.starts_with(kEnd)) {
            if (line.substr(kEnd.size()) != std::string(label) + std::string(kDashes)) break;
            base64 = pem.substr(bodyStart, lineStart - bodyStart);
            return std::nullopt;
        }
        // Headers such as "Proc-Type: 4,ENCRYPTED" come only with an encrypted key.
        if (line.find(':') != line.npos) {
            return std::string(
                "it is an encrypted private key; orvinfo takes unencrypted "
                "keys only");
        }
    }
    if (inBlock) return std::string("its PEM private key has no END line");
    return std::string("it is no PEM private key");
}

std::optional<std::string> ReadPrivateKeyDer(std::string_view der, PemForm form, KeyPair& key) {
    return form == PemForm::Pkcs8 ? ReadPrivateKeyInfo(der, key)
                                  : ReadEcPrivateKey(der, false, key);
}

}  // namespace orv::orvinfo::p256
