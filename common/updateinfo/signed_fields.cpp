#include "common/updateinfo/signed_fields.h"

namespace orv {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The position of the n-th "|" (n counted from 1), or npos.
std::size_t NthSeparator(std::string_view text, int n) {
    std::size_t at = std::string_view::npos;
    std::size_t from = 0;
    for (int i = 0; i < n; ++i) {
        at = text.find('|', from);
        if (at == std::string_view::npos) return at;
        from = at + 1;
    }
    return at;
}

}  // namespace

std::string HexLower(const uint8_t* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

std::string EncodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    auto at = [&](std::size_t i) -> uint32_t { return static_cast<uint8_t>(bytes[i]); };
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
        for (int shift : {18, 12, 6, 0}) out += kAlphabet[(v >> shift) & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        const uint32_t v = (at(i) << 16) | (rest == 2 ? at(i + 1) << 8 : 0);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        uint32_t v = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            int value = Base64Value(c);
            if (c == '=' && last && k >= 4 - padding) value = 0;
            if (value < 0) return std::nullopt;
            v = (v << 6) | static_cast<uint32_t>(value);
        }
        out += static_cast<char>(v >> 16);
        if (!last || padding < 2) out += static_cast<char>(v >> 8);
        if (!last || padding < 1) out += static_cast<char>(v);
    }
    // Bits below the last whole byte must be zero: one text per byte string.
    if (EncodeBase64(out) != text) return std::nullopt;
    return out;
}

std::string DigestField(const Sha256Digest& digest) {
    return std::string(kDigestPrefix) + HexLower(digest.data(), digest.size());
}

std::string SignatureField(const P256Signature& signature) {
    return std::string(kSignaturePrefix) +
           EncodeBase64(
               std::string_view(reinterpret_cast<const char*>(signature.data()), signature.size()));
}

std::optional<Sha256Digest> ParseDigestField(std::string_view field) {
    if (!field.starts_with(kDigestPrefix)) return std::nullopt;
    field.remove_prefix(kDigestPrefix.size());
    Sha256Digest digest{};
    if (field.size() != digest.size() * 2) return std::nullopt;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = HexValue(field[2 * i]);
        const int low = HexValue(field[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        digest[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return digest;
}

std::optional<P256Signature> ParseSignatureField(std::string_view field) {
    if (!field.starts_with(kSignaturePrefix)) return std::nullopt;
    field.remove_prefix(kSignaturePrefix.size());
    P256Signature signature{};
    if (field.size() != (signature.size() + 2) / 3 * 4) return std::nullopt;
    const std::optional<std::string> bytes = DecodeBase64(field);
    if (!bytes || bytes->size() != signature.size()) return std::nullopt;
    for (std::size_t i = 0; i < signature.size(); ++i) {
        signature[i] = static_cast<uint8_t>((*bytes)[i]);
    }
    return signature;
}

SignedFields ReadSignedFields(std::string_view plain) {
    SignedFields f;
    const std::size_t beforeSeventh = NthSeparator(plain, 6);
    if (beforeSeventh == std::string_view::npos) return f;
    const std::size_t beforeEighth = plain.find('|', beforeSeventh + 1);
    const std::string_view seventh =
        plain.substr(beforeSeventh + 1, beforeEighth == std::string_view::npos
                                            ? std::string_view::npos
                                            : beforeEighth - beforeSeventh - 1);
    if (const auto digest = ParseDigestField(seventh)) {
        f.Digest = FieldState::Valid;
        f.DigestBytes = *digest;
    } else {
        f.Digest = FieldState::Malformed;
    }
    if (beforeEighth == std::string_view::npos) return f;
    const std::size_t afterEighth = plain.find('|', beforeEighth + 1);
    const std::string_view eighth = plain.substr(
        beforeEighth + 1, afterEighth == std::string_view::npos ? std::string_view::npos
                                                                : afterEighth - beforeEighth - 1);
    f.SignedText = plain.substr(0, beforeEighth);
    if (const auto signature = ParseSignatureField(eighth)) {
        f.Signature = FieldState::Valid;
        f.SignatureBytes = *signature;
    } else {
        f.Signature = FieldState::Malformed;
    }
    return f;
}

std::optional<std::string_view> FirstSixFields(std::string_view plain) {
    if (NthSeparator(plain, 5) == std::string_view::npos) return std::nullopt;
    return plain.substr(0, NthSeparator(plain, 6));
}

}  // namespace orv
