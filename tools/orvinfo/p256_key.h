// A P-256 key pair in the DER forms orvinfo writes and reads: the private key as PKCS#8
// PrivateKeyInfo (byte for byte what OpenSSL 3 writes), the public key as a
// SubjectPublicKeyInfo; and the private key block of a PEM text. Parsing is strict, bounded
// DER, since key files come from users. Portable: no <windows.h>.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace orv::orvinfo::p256 {

constexpr std::size_t kCoordinateSize = 32;

struct KeyPair {
    std::array<unsigned char, kCoordinateSize> d{};       // the private number, big-endian
    std::array<unsigned char, 2 * kCoordinateSize> xy{};  // the public point's X then Y
};

// PrivateKeyInfo { 0, { id-ecPublicKey, prime256v1 }, OCTET STRING ECPrivateKey { 1, d,
// [1] uncompressed point } }: 138 bytes.
std::string Pkcs8Der(const KeyPair& key);

// SubjectPublicKeyInfo { { id-ecPublicKey, prime256v1 }, BIT STRING uncompressed point }.
std::string PublicKeyInfoDer(const KeyPair& key);

// The PEM label the private key block has.
enum class PemForm {
    Pkcs8,  // "PRIVATE KEY": PrivateKeyInfo
    Sec1,   // "EC PRIVATE KEY": a bare ECPrivateKey, its curve named inside
};

// Finds the private key block of a PEM text and hands out the Base64 between its BEGIN and
// END lines; other blocks before it (such as EC PARAMETERS) are passed over. Returns why not:
// no such block, an encrypted key, a block without its END line.
std::optional<std::string> FindPrivateKeyBlock(std::string_view pem, PemForm& form,
                                               std::string_view& base64);

// Reads the DER of a private key block into a key pair. Takes what other writers add (the
// curve inside ECPrivateKey, attributes) and refuses anything but an unencrypted P-256 key
// with its public point, saying why.
std::optional<std::string> ReadPrivateKeyDer(std::string_view der, PemForm form, KeyPair& key);

}  // namespace orv::orvinfo::p256
