// The cryptography orvinfo needs, behind one seam: OpenSSL's libcrypto in the Linux build,
// the system's CNG in the Windows build. Both make the same key files and check alike.
// Portable header: no <windows.h>.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/updateinfo/signed_fields.h"

namespace orv::orvinfo::crypto {

// SHA-256 of a whole file, read in pieces; the system's reason when it cannot be read.
std::optional<std::string> Sha256OfFile(const std::filesystem::path& path, Sha256Digest& digest);
// SHA-256 of bytes in memory.
std::optional<std::string> Sha256OfBytes(std::string_view bytes, Sha256Digest& digest);

// A new P-256 key pair: the private key as PKCS#8 PEM, the public key as one line of Base64
// of its DER SubjectPublicKeyInfo (no line end). Returns why not on failure.
std::optional<std::string> GenerateKey(std::string& privatePem, std::string& publicLine);

// Signs `message` (SHA-256, ECDSA) with a PKCS#8 PEM P-256 private key; r||s in `signature`.
std::optional<std::string> Sign(std::string_view privatePem, std::string_view message,
                                P256Signature& signature);

// The public key line of a PKCS#8 PEM P-256 private key.
std::optional<std::string> PublicKeyOf(std::string_view privatePem, std::string& publicLine);

enum class Verdict { Valid, BadKey, BadSignature, CannotVerify };

struct Verification {
    Verdict verdict = Verdict::CannotVerify;
    std::size_t keyIndex = 0;  // Valid: which key of the list signed
    std::string reason;        // for people, empty when Valid
};

// Checks `signature` over `message` with a ";"-separated list of public key lines; valid by
// any of them passes.
Verification Verify(std::string_view keyList, std::string_view message,
                    const P256Signature& signature);

}  // namespace orv::orvinfo::crypto
