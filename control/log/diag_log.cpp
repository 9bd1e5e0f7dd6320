#include "control/log/diag_log.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace orv::log {
namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

void ReplaceAll(std::string& text, std::string_view what, std::string_view with) {
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size())
        text.replace(at, what.size(), with);
}

// Every URL in `text` ("scheme://...") without its user-info.
std::string UrlsWithoutUserInfo(std::string_view text) {
    std::string out;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find("://", from)) != std::string_view::npos;) {
        const std::size_t end = std::min(text.find_first_of(" ;", at), text.size());
        // The scheme's letters before "://" stay with the URL.
        std::size_t start = at;
        while (start > from && std::isalpha(static_cast<unsigned char>(text[start - 1]))) --start;
        out.append(text.substr(from, start - from));
        out += WithoutUserInfo(text.substr(start, end - start));
        from = end;
    }
    out.append(text.substr(from));
    return out;
}

}  // namespace

std::string FormatLine(const Stamp& s, std::string_view area, std::string_view text) {
    char head[96];
    std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03d [%u:%u] ", s.year, s.month,
                  s.day, s.hour, s.minute, s.second, s.millisecond, s.process, s.control);
    std::string line = head;
    line.append(area);
    line += ": ";
    const std::size_t cut = std::min(text.size(), kMaxLineText);
    for (const char c : text.substr(0, cut)) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r') {
            line += "\\r";
        } else if (c == '\n') {
            line += "\\n";
        } else if (c == '\t') {
            line += "\\t";
        } else if (u < 0x20 || u == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            line += hex;
        } else {
            line += c;
        }
    }
    if (cut < text.size()) line += " ... (" + std::to_string(text.size() - cut) + " more)";
    line += "\r\n";
    return line;
}

void Redactor::AddPassword(std::string_view user, std::string_view password) {
    std::string pair(user);
    pair += ':';
    pair += password;
    for (std::string s :
         {std::string(password), http::Base64Encode(pair), http::Base64Encode(password)}) {
        if (password.size() >= kMinSecret && std::ranges::find(secrets_, s) == secrets_.end())
            secrets_.push_back(std::move(s));
    }
    // The longest first: a secret inside another is replaced with it.
    std::ranges::sort(
        secrets_, [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

std::string Redactor::Scrub(std::string_view text) const {
    std::string out(text);
    for (const std::string& s : secrets_) ReplaceAll(out, s, "***");
    return out;
}

std::string WithoutUserInfo(std::string_view url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) return std::string(url);
    const std::size_t authority = scheme + 3;
    const std::size_t end = std::min(url.find_first_of("/?#", authority), url.size());
    const std::size_t at = url.substr(0, end).rfind('@');
    if (at == std::string_view::npos || at < authority) return std::string(url);
    return std::string(url.substr(0, authority)) + std::string(url.substr(at + 1));
}

std::string RequestForLog(std::string_view request) {
    std::string out;
    while (!request.empty()) {
        const std::size_t end = std::min(request.find("\r\n"), request.size());
        std::string_view line = request.substr(0, end);
        request.remove_prefix(std::min(end + 2, request.size()));
        if (line.empty()) break;
        const std::size_t colon = line.find(':');
        const std::string_view name =
            colon == std::string_view::npos ? std::string_view() : line.substr(0, colon);
        if (EqualNoCase(name, "Accept")) continue;
        std::string shown;
        if (EqualNoCase(name, "Authorization") || EqualNoCase(name, "Proxy-Authorization")) {
            std::string_view value = line.substr(colon + 1);
            value.remove_prefix(std::min(value.find_first_not_of(' '), value.size()));
            shown = std::string(name) + ": " + std::string(value.substr(0, value.find(' '))) +
                    " [credentials not logged]";
        } else {
            shown = UrlsWithoutUserInfo(line);
        }
        out += (out.empty() ? "" : "; ") + shown;
    }
    return out;
}

std::string ReplyForLog(const http::HeaderDetection& reply) {
    std::string out =
        reply.status ? std::to_string(*reply.status) + " " + http::HttpStatusText(*reply.status)
                     : std::string("no status");
    if (reply.contentLength) out += "; Content-Length: " + std::to_string(*reply.contentLength);
    if (const auto& r = reply.contentRange) {
        out += "; Content-Range: bytes " + std::to_string(r->first) + "-" +
               std::to_string(r->last) + "/" + (r->total ? std::to_string(*r->total) : "*");
    }
    if (!reply.etag.empty()) out += "; ETag: " + reply.etag;
    if (!reply.location.empty()) out += "; Location: " + WithoutUserInfo(reply.location);
    return out;
}

std::string ReplyForLog(std::string_view header) {
    http::HeaderDetection d;
    d.status = http::StatusNumber(header);
    d.contentLength = http::ContentLength(header);
    d.contentRange = http::ContentRangeOf(header);
    d.etag = http::HeaderValue(header, "etag").value_or("");
    d.location = http::HeaderValue(header, "location").value_or("");
    return ReplyForLog(d);
}

std::string SettingForLog(std::string_view name, std::string_view value) {
    if (name.ends_with("Password")) return value.empty() ? "(empty)" : "(set)";
    if (name == "PublisherKey") return ShortKeys(value);
    return UrlsWithoutUserInfo(value);
}

std::string ShortKeys(std::string_view list) {
    std::string out;
    std::size_t count = 0;
    while (!list.empty()) {
        const std::size_t end = std::min(list.find(';'), list.size());
        std::string_view key = list.substr(0, end);
        list.remove_prefix(std::min(end + 1, list.size()));
        key.remove_prefix(std::min(key.find_first_not_of(" \t\r\n"), key.size()));
        key = key.substr(0, key.find_last_not_of(" \t\r\n") + 1);
        if (key.empty()) continue;
        out += ++count == 1 ? "" : ";";
        out += key.size() <= 12 ? std::string(key)
                                : std::string(key.substr(0, 8)) + "..." +
                                      std::string(key.substr(key.size() - 4));
    }
    return count == 0 ? std::string("(none)") : out;
}

std::string SignerVerdict(bool accepted, long status, uint32_t chainStatus, std::string_view signer,
                          std::string_view expected) {
    constexpr auto kNoSignature = static_cast<long>(0x800B0100),
                   kBadDigest = static_cast<long>(0x80096010);
    constexpr uint32_t kNotTimeValid = 0x1, kUntrustedRoot = 0x20;
    const std::string by = "signed by \"" + std::string(signer) + "\"";
    std::string why;
    if (accepted) {
        why = "accepted: " + by;
    } else if (status == kNoSignature) {
        why = "refused: the package is not signed";
    } else if (status == kBadDigest) {
        why = "refused: the package was changed after it was signed";
    } else if (status != 0) {
        why = "refused: its signature is not valid";
    } else if (chainStatus & kNotTimeValid) {
        why = "refused: " + by + ", whose certificate has expired or is not yet valid";
    } else if (chainStatus & kUntrustedRoot) {
        why = "refused: " + by + ", whose certificate chains to an authority not trusted here";
    } else if (chainStatus != 0) {
        why = "refused: " + by + ", whose certificate chain has errors";
    } else {
        why = "refused: " + by + ", not one of the expected signers";
    }
    char codes[64];
    std::snprintf(codes, sizeof codes, " (verification 0x%08lX, chain status 0x%08lX)",
                  static_cast<unsigned long>(status), static_cast<unsigned long>(chainStatus));
    return why + "; expected: " + std::string(expected) + codes;
}

bool ProgressDue(int64_t before, int64_t now, int64_t size) {
    if (size > 0) {
        // Tenths up to the whole; past it (a lying size) only the whole's multiples.
        const auto tenth = [size](int64_t n) { return n >= size ? 10 + n / size : n * 10 / size; };
        return tenth(before) != tenth(now);
    }
    constexpr int64_t kStep = int64_t{10} << 20;
    return before / kStep != now / kStep;
}

}  // namespace orv::log
