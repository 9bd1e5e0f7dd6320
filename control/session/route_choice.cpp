#include "control/session/route_choice.h"

#include <algorithm>
#include <utility>

namespace orv::session {
namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (Lower(text[i]) != Lower(prefix[i])) return false;
    return true;
}

// Splits at any of `separators`, leaving out empty pieces; calls f(piece) until it says stop.
template <typename F>
void ForEachPiece(std::string_view text, std::string_view separators, F&& f) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find_first_of(separators, at), text.size());
        if (end > at && !f(text.substr(at, end - at))) return;
        at = end + 1;
    }
}

// "*" stands for any run of characters, letter case ignored.
bool WildcardMatch(std::string_view pattern, std::string_view text) {
    std::size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && Lower(pattern[p]) == Lower(text[t])) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::string_view WithoutScheme(std::string_view entry) {
    const std::size_t at = entry.find("://");
    return at == std::string_view::npos ? entry : entry.substr(at + 3);
}

std::optional<ProxyRoute> HostAndPort(std::string_view entry) {
    entry = WithoutScheme(entry);
    if (const std::size_t slash = entry.find('/'); slash != std::string_view::npos)
        entry = entry.substr(0, slash);
    ProxyRoute r;
    r.viaProxy = true;
    r.port = 80;
    const std::size_t colon = entry.rfind(':');
    if (colon != std::string_view::npos) {
        const std::string_view digits = entry.substr(colon + 1);
        if (digits.empty() || digits.size() > 5) return std::nullopt;
        int32_t port = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') return std::nullopt;
            port = port * 10 + (c - '0');
        }
        // The socket object takes 16 bits, and 65535 stands for its own failure.
        if (port < 1 || port > 65534) return std::nullopt;
        r.port = port;
        entry = entry.substr(0, colon);
    }
    if (entry.empty()) return std::nullopt;
    r.host = std::string(entry);
    return r;
}

// A script address as plain text for the log (characters beyond ASCII as "?").
std::string Narrow(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) out += c > 0 && c < 128 ? static_cast<char>(c) : '?';
    return out;
}

std::string ScriptSaid(const ScriptAnswer& a) {
    switch (a.outcome) {
        case ScriptAnswer::Outcome::Failed: return "failed (not found, not fetched or not run)";
        case ScriptAnswer::Outcome::Direct: return "answered DIRECT";
        case ScriptAnswer::Outcome::Proxies: break;
    }
    return "answered PROXY " + a.proxies;
}

// The manual proxy unless the host is on its bypass list, else direct.
ProxyAnswer ManualChoice(const ProxyQuestion& q, std::string& why) {
    if (q.settings.proxy.empty()) {
        why += "no manual proxy in the system's settings";
        return ProxyRoute{};
    }
    if (Bypassed(q.settings.bypass, q.host, q.port)) {
        why += q.host + " is on the system's bypass list \"" + q.settings.bypass + "\"";
        return ProxyRoute{};
    }
    why += "the system's manual proxy \"" + q.settings.proxy + "\"";
    std::optional<ProxyRoute> route = FirstProxy(q.settings.proxy, q.secure);
    if (route) route->credentials = true;
    return route;
}

// What a script's answer means: its proxy, with the credentials when `named` says the user
// named the script; direct; or nothing when the script failed or named nothing usable.
ProxyAnswer ScriptChoice(const ScriptAnswer& a, const ProxyQuestion& q, bool named) {
    switch (a.outcome) {
        case ScriptAnswer::Outcome::Failed: return std::nullopt;
        case ScriptAnswer::Outcome::Direct: return ProxyRoute{};
        case ScriptAnswer::Outcome::Proxies: break;
    }
    std::optional<ProxyRoute> route = FirstProxy(a.proxies, q.secure);
    if (route) route->credentials = named;
    return route;
}

}  // namespace

std::optional<ProxyRoute> FirstProxy(std::string_view list, bool secure) {
    const std::string_view scheme = secure ? "https=" : "http=";
    std::optional<ProxyRoute> forScheme, forAll;
    ForEachPiece(list, "; \t", [&](std::string_view entry) {
        if (entry.find('=') == std::string_view::npos) {
            if (!forAll) forAll = HostAndPort(entry);
        } else if (StartsWithNoCase(entry, scheme)) {
            forScheme = HostAndPort(entry.substr(scheme.size()));
            return false;
        }
        return true;
    });
    return forScheme ? forScheme : forAll;
}

bool Bypassed(std::string_view list, std::string_view host, int32_t port) {
    const std::string withPort = std::string(host) + ":" + std::to_string(port);
    bool bypassed = false;
    ForEachPiece(list, ";, \t", [&](std::string_view entry) {
        if (entry == "<local>") {
            bypassed = host.find('.') == std::string_view::npos;
        } else {
            entry = WithoutScheme(entry);
            const bool hasPort = entry.find(':') != std::string_view::npos;
            bypassed = WildcardMatch(entry, hasPort ? std::string_view(withPort) : host);
        }
        return !bypassed;
    });
    return bypassed;
}

ProxyRoute HostRoute(bool proxy, std::string host, int32_t port) {
    if (!proxy) return ProxyRoute{};
    return ProxyRoute{true, std::move(host), port, true};
}

bool NeedsScript(const SystemProxySettings& settings) {
    return !settings.scriptUrl.empty() || settings.autoDetect;
}

ProxyAnswer ChooseSystemRoute(const ProxyQuestion& q, const ScriptRunner& run, std::string* why) {
    std::string said;
    std::string& w = why ? *why : said;
    // The script at the user's own address stands whatever it answers.
    if (!q.settings.scriptUrl.empty()) {
        const ScriptAnswer a = run(false);
        w += "the script at " + Narrow(q.settings.scriptUrl) + " " + ScriptSaid(a);
        return ScriptChoice(a, q, true);
    }
    if (q.settings.autoDetect) {
        // Whoever answers detection on the local network names this proxy: it never gets the
        // credentials. Nothing found: the next of the settings decides.
        const ScriptAnswer detected = run(true);
        w += "automatic detection: ";
        if (detected.outcome != ScriptAnswer::Outcome::Failed) {
            w += "the script found " + ScriptSaid(detected);
            return ScriptChoice(detected, q, false);
        }
        w += "nothing found; ";
    }
    return ManualChoice(q, w);
}

}  // namespace orv::session
