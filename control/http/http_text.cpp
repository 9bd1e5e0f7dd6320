#include "control/http/http_text.h"

#include <cmath>
#include <limits>

#include "common/updateinfo/updateinfo.h"

namespace orv::http {

std::string ComposeRequest(const RequestInputs& in) {
    std::string r;
    r.reserve(128 + in.prefix.size() + in.fileName.size() + in.hostName.size());
    r += "GET " + in.prefix + in.fileName + " HTTP/1.0\r\n";
    r += "Host: " + in.hostName + "\r\n";
    r += "User-Agent: Orvane Control " + in.versionText + "\r\n";
    r += "Accept: *.*, */*\r\n";
    if (in.authorization) {
        r += "Authorization: Basic " + Base64Encode(in.userName + ":" + in.password) + "\r\n";
    }
    if (in.proxyAuthorization) r += ProxyAuthorizationLine(in.proxyUserName, in.proxyPassword);
    if (in.rangeFrom > 0) {
        r += "Range: bytes=" + std::to_string(in.rangeFrom) + "-\r\n";
        if (!in.ifRange.empty()) r += "If-Range: " + in.ifRange + "\r\n";
    }
    r += "\r\n";
    return r;
}

std::string ProxyAuthorizationLine(std::string_view userName, std::string_view password) {
    std::string credentials(userName);
    credentials += ':';
    credentials += password;
    return "Proxy-Authorization: Basic " + Base64Encode(credentials) + "\r\n";
}

std::array<char, 64> BuildBase64Table() {
    std::array<char, 64> t{};
    for (int i = 0; i < 26; ++i) {
        t[i] = static_cast<char>('A' + i);
        t[26 + i] = static_cast<char>('a' + i);
    }
    for (int i = 0; i < 10; ++i) t[52 + i] = static_cast<char>('0' + i);
    t[62] = '+';
    t[63] = '/';
    return t;
}

std::string Base64Encode(std::string_view bytes) {
    const std::array<char, 64> table = BuildBase64Table();
    const std::size_t n = bytes.size();
    std::string out;
    out.reserve((n + 2) / 3 * 4);
    auto at = [&](std::size_t i) { return static_cast<uint8_t>(bytes[i]); };
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const uint32_t v = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += table[v & 63];
    }
    if (n - i == 1) {
        const uint32_t v = at(i) << 16;
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += "==";
    } else if (n - i == 2) {
        const uint32_t v = (at(i) << 16) | (at(i + 1) << 8);
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

namespace {
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
}

ResponseParts SplitResponse(std::string_view response) {
    const std::size_t at = response.find(kHeaderEnd);
    if (at == std::string_view::npos) return {response, std::nullopt};
    return {response.substr(0, at), response.substr(at + kHeaderEnd.size())};
}

std::optional<int32_t> StatusNumber(std::string_view header) {
    const std::size_t first = header.find(' ');
    if (first == std::string_view::npos) return std::nullopt;
    std::string_view rest = header.substr(first + 1);
    const std::size_t second = rest.find(' ');
    if (second != std::string_view::npos) rest = rest.substr(0, second);
    // The piece is converted as a whole, so it must be a plain number. The runtime's
    // conversion accepts surrounding spaces, but a piece between two single spaces has none.
    if (rest.empty()) return std::nullopt;
    return ParseInt32(rest);
}

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trimmed(std::string_view v) {
    while (!v.empty() && IsBlank(v.front())) v.remove_prefix(1);
    while (!v.empty() && IsBlank(v.back())) v.remove_suffix(1);
    return v;
}

// A plain decimal number of at most 18 digits.
std::optional<int64_t> Decimal(std::string_view v) {
    if (v.empty() || v.size() > 18) return std::nullopt;
    int64_t value = 0;
    for (const char c : v) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::optional<std::string_view> HeaderValue(std::string_view header, std::string_view name) {
    std::size_t start = 0;
    while (start <= header.size()) {
        std::size_t end = header.find("\r\n", start);
        if (end == std::string_view::npos) end = header.size();
        std::string_view line = header.substr(start, end - start);
        start = end + 2;
        if (line.size() <= name.size()) continue;
        bool match = true;
        for (std::size_t i = 0; i < name.size() && match; ++i) {
            const char c = line[i];
            const char n = name[i];
            match = (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) ==
                    (n >= 'A' && n <= 'Z' ? static_cast<char>(n - 'A' + 'a') : n);
        }
        if (!match) continue;
        line.remove_prefix(name.size());
        while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
        if (line.empty() || line.front() != ':') continue;
        line.remove_prefix(1);
        const std::string_view value = Trimmed(line);
        // A value holding a control character (a bare LF or CR among them, which do not end a
        // line here) is never used: it could carry a line of the sender's choosing into a
        // request or a file.
        if (HasControlCharacter(value)) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

std::optional<int64_t> ContentLength(std::string_view header) {
    const std::optional<std::string_view> value = HeaderValue(header, "content-length");
    if (!value) return std::nullopt;
    return Decimal(*value);
}

std::optional<ContentRange> ContentRangeOf(std::string_view header) {
    const std::optional<std::string_view> value = HeaderValue(header, "content-range");
    static constexpr std::string_view kUnit = "bytes ";
    if (!value || value->substr(0, kUnit.size()) != kUnit) return std::nullopt;
    const std::string_view byteRange = Trimmed(value->substr(kUnit.size()));
    const std::size_t dash = byteRange.find('-');
    const std::size_t slash = byteRange.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
        return std::nullopt;
    ContentRange r;
    const auto first = Decimal(byteRange.substr(0, dash));
    const auto last = Decimal(byteRange.substr(dash + 1, slash - dash - 1));
    if (!first || !last || *last < *first) return std::nullopt;
    r.first = *first;
    r.last = *last;
    const std::string_view total = byteRange.substr(slash + 1);
    if (total != "*") {
        r.total = Decimal(total);
        if (!r.total || *r.total <= r.last) return std::nullopt;
    }
    return r;
}

const char* HttpStatusText(int32_t status) {
    switch (status) {
        case 100: return "Continue";
        case 101: return "Switching protocols";
        case 200: return "OK";
        case 201: return "Created";
        case 202: return "Accepted";
        case 203: return "Non-authoritative information";
        case 204: return "No content";
        case 205: return "Reset content";
        case 206: return "Partial content";
        case 300: return "Multiple choices";
        case 301: return "Moved permanently";
        case 302: return "Moved temporarily";
        case 303: return "See other";
        case 304: return "Not modified";
        case 305: return "Use proxy";
        case 400: return "Bad request";
        case 401: return "Unauthorized";
        case 402: return "Payment required";
        case 403: return "Forbidden";
        case 404: return "Not found";
        case 405: return "Method not allowed";
        case 406: return "Not acceptable";
        case 407: return "Proxy authentication required";
        case 408: return "Request timeout";
        case 409: return "Conflict";
        case 410: return "Gone";
        case 411: return "Length required";
        case 412: return "Precondition failed";
        case 413: return "Request entity too large";
        case 414: return "Request-URI too long";
        case 415: return "Unsupported media type";
        case 500: return "Internal server error";
        case 501: return "Not implemented";
        case 502: return "Bad gateway";
        case 503: return "Service unavailable";
        case 504: return "Gateway timeout";
        case 505: return "HTTP version not supported";
        default: return "Unknown HTTP status";
    }
}

HeaderDetection DetectHeader(std::string& responseText, std::string_view data) {
    HeaderDetection d;
    // The header end may straddle the old text and the new piece: start the search up to
    // three characters before the join.
    const std::size_t from = responseText.size() >= 3 ? responseText.size() - 3 : 0;
    responseText.append(data);
    const std::size_t at = responseText.find(kHeaderEnd, from);
    if (at == std::string::npos) return d;
    d.found = true;
    d.status = StatusNumber(std::string_view(responseText).substr(0, at));
    const std::string_view header = std::string_view(responseText).substr(0, at);
    d.contentLength = ContentLength(header);
    d.contentRange = ContentRangeOf(header);
    if (const auto etag = HeaderValue(header, "etag")) d.etag = std::string(*etag);
    if (const auto location = HeaderValue(header, "location")) d.location = std::string(*location);
    d.firstBody = responseText.substr(at + kHeaderEnd.size());
    responseText.clear();
    return d;
}

std::optional<int32_t> PercentDone(int32_t totalReceived, int32_t packageSize) {
    if (packageSize == 0) return std::nullopt;
    const double p = static_cast<double>(totalReceived) / packageSize * 100.0;
    const double t = std::trunc(p);
    if (!(t >= std::numeric_limits<int32_t>::min() && t <= std::numeric_limits<int32_t>::max()))
        return std::nullopt;
    return static_cast<int32_t>(t);
}

std::optional<int32_t> CheckedAdd(int32_t a, int32_t b) {
    int32_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

std::optional<int32_t> TransferRate(int32_t pieceLength, int32_t currentTick, int32_t lastTick) {
    int32_t product;
    int32_t elapsed;
    if (__builtin_mul_overflow(pieceLength, 1000, &product)) return std::nullopt;
    if (__builtin_sub_overflow(currentTick, lastTick, &elapsed)) return std::nullopt;
    if (elapsed == 0) return std::nullopt;
    const double q = static_cast<double>(product) / elapsed;
    const double r = std::nearbyint(q);  // default rounding mode: halves to even
    if (!(r >= std::numeric_limits<int32_t>::min() && r <= std::numeric_limits<int32_t>::max()))
        return std::nullopt;
    return static_cast<int32_t>(r);
}

bool HasControlCharacter(std::string_view text) {
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) return true;
    }
    return false;
}

}  // namespace orv::http
