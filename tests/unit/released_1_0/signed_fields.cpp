#include "tests/unit/released_1_0/signed_fields.h"

#include <cstdio>

namespace orv::released_1_0 {

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

// The piece of `text` that starts after the "|" at `before` and ends before the next "|"
// (or the end); `after` is where that next "|" is, or npos.
std::string_view PieceAfter(std::string_view text, std::size_t before, std::size_t& after) {
    after = text.find('|', before + 1);
    return text.substr(
        before + 1, after == std::string_view::npos ? std::string_view::npos : after - before - 1);
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar, and back.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, int64_t& m, int64_t& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = yoe + era * 400 + (m <= 2);
}

int DaysInMonth(int64_t y, int64_t m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

}  // namespace

std::string UtcTimeText(int64_t secondsSince1970) {
    const int64_t days =
        secondsSince1970 >= 0 ? secondsSince1970 / 86400 : -((-secondsSince1970 + 86399) / 86400);
    const int64_t second = secondsSince1970 - days * 86400;
    int64_t y = 0, m = 0, d = 0;
    CivilFromDays(days, y, m, d);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(y), static_cast<long long>(m), static_cast<long long>(d),
                  static_cast<long long>(second / 3600), static_cast<long long>(second / 60 % 60),
                  static_cast<long long>(second % 60));
    return buf;
}

std::optional<int64_t> ParseUtcTime(std::string_view text) {
    static constexpr std::string_view kForm = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != kForm.size()) return std::nullopt;
    for (std::size_t i = 0; i < kForm.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kForm[i] == 'd' ? !digit : text[i] != kForm[i]) return std::nullopt;
    }
    auto number = [&](std::size_t at, std::size_t count) {
        int64_t n = 0;
        for (std::size_t i = at; i < at + count; ++i) n = n * 10 + (text[i] - '0');
        return n;
    };
    const int64_t y = number(0, 4), mo = number(5, 2), d = number(8, 2);
    const int64_t h = number(11, 2), mi = number(14, 2), s = number(17, 2);
    if (mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo)) return std::nullopt;
    if (h > 23 || mi > 59 || s > 59) return std::nullopt;
    return DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

std::string ExpiryField(int64_t secondsSince1970) {
    return std::string(kExpiryPrefix) + UtcTimeText(secondsSince1970);
}

std::optional<int64_t> ParseExpiryField(std::string_view field) {
    if (!field.starts_with(kExpiryPrefix)) return std::nullopt;
    return ParseUtcTime(field.substr(kExpiryPrefix.size()));
}

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

namespace {

// The state of one optional field read by `parse`; its value goes to `out` when valid.
template <class T, class Parse>
FieldState ReadField(std::string_view text, Parse parse, T& out) {
    const auto value = parse(text);
    if (!value) return FieldState::Malformed;
    out = *value;
    return FieldState::Valid;
}

}  // namespace

SignedFields ReadSignedFields(std::string_view plain) {
    SignedFields f;
    const std::size_t beforeSeventh = NthSeparator(plain, 6);
    if (beforeSeventh == std::string_view::npos) return f;
    std::size_t beforeEighth = 0;
    f.Digest =
        ReadField(PieceAfter(plain, beforeSeventh, beforeEighth), ParseDigestField, f.DigestBytes);
    if (beforeEighth == std::string_view::npos) return f;
    std::size_t beforeNinth = 0;
    f.SignedText = plain.substr(0, beforeEighth);
    f.Signature = ReadField(PieceAfter(plain, beforeEighth, beforeNinth), ParseSignatureField,
                            f.SignatureBytes);
    if (beforeNinth == std::string_view::npos) return f;
    std::size_t beforeTenth = 0;
    f.Expiry =
        ReadField(PieceAfter(plain, beforeNinth, beforeTenth), ParseExpiryField, f.ExpiryTime);
    if (beforeTenth == std::string_view::npos) return f;
    std::size_t afterTenth = 0;
    f.ExpirySignedText = plain.substr(0, beforeTenth);
    f.ExpirySignature = ReadField(PieceAfter(plain, beforeTenth, afterTenth), ParseSignatureField,
                                  f.ExpirySignatureBytes);
    return f;
}

std::optional<std::string_view> FirstSixFields(std::string_view plain) {
    if (NthSeparator(plain, 5) == std::string_view::npos) return std::nullopt;
    return plain.substr(0, NthSeparator(plain, 6));
}

}  // namespace orv::released_1_0
