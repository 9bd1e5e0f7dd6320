#include "control/session/proxy_choice.h"

#include <winhttp.h>

#include <algorithm>
#include <utility>

#include "common/win/system.h"
#include "control/module.h"

namespace orv::session {
namespace {

// The longest WinHTTP may spend on each step of fetching a script: the worker ends by then
// even when nobody waits for it any more.
constexpr int kScriptStepMs = 30000;

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

// A text WinHTTP handed out (nullptr when it has none) in the ANSI code page.
std::string Narrow(const wchar_t* text) {
    return text ? win::WideToAnsi(text) : std::string();
}

// The manual proxy unless the host is on its bypass list, else direct.
ProxyAnswer ManualChoice(const ProxyQuestion& q) {
    if (q.settings.proxy.empty() || Bypassed(q.settings.bypass, q.host, q.port))
        return ProxyRoute{};
    return FirstProxy(q.settings.proxy, q.secure);
}

enum class Asked { kRoute, kUnusable, kFailed };

// One WinHttpGetProxyForUrl call: a script's (or detection's) answer for the URL.
Asked AskWinHttp(HINTERNET session, const ProxyQuestion& q, bool detect, ProxyRoute& route) {
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (detect) {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = q.settings.scriptUrl.c_str();
    }
    WINHTTP_PROXY_INFO info = {};
    if (!session || !WinHttpGetProxyForUrl(session, q.url.c_str(), &options, &info))
        return Asked::kFailed;
    const std::string proxy = Narrow(info.lpszProxy);
    const bool named = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !proxy.empty();
    if (info.lpszProxy) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
    if (!named) {
        route = ProxyRoute{};
        return Asked::kRoute;
    }
    const std::optional<ProxyRoute> first = FirstProxy(proxy, q.secure);
    if (!first) return Asked::kUnusable;
    route = *first;
    return Asked::kRoute;
}

// The whole decision with script or detection; runs on the worker.
ProxyAnswer Decide(const ProxyQuestion& q) {
    HINTERNET session = WinHttpOpen(L"Orvane Control", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session)
        WinHttpSetTimeouts(session, kScriptStepMs, kScriptStepMs, kScriptStepMs, kScriptStepMs);
    ProxyRoute route;
    ProxyAnswer answer;
    if (!q.settings.scriptUrl.empty()) {
        // A script that cannot be fetched or run leaves no way the user meant to go.
        if (AskWinHttp(session, q, false, route) == Asked::kRoute) answer = route;
    } else {
        const Asked detected =
            q.settings.autoDetect ? AskWinHttp(session, q, true, route) : Asked::kFailed;
        if (detected == Asked::kRoute) {
            answer = route;
        } else if (detected == Asked::kFailed) {
            // Nothing found: the next of the settings decides.
            answer = ManualChoice(q);
        }
    }
    if (session) WinHttpCloseHandle(session);
    return answer;
}

}  // namespace

struct ProxyLookup::State {
    SRWLOCK lock = SRWLOCK_INIT;
    bool dropped = false;
    ProxyAnswer answer;
    HWND window = nullptr;
    UINT message = 0;
    WPARAM cookie = 0;

    // Stores the answer and posts it, unless the session no longer wants it. The window is
    // the session's and lives until the session has dropped this state.
    void Deliver(ProxyAnswer a) {
        AcquireSRWLockExclusive(&lock);
        answer = std::move(a);
        if (!dropped) PostMessageW(window, message, cookie, 0);
        ReleaseSRWLockExclusive(&lock);
    }
};

namespace {

// What the worker owns: the question, the shared state, and a lock on the module.
struct Work {
    ProxyQuestion question;
    std::shared_ptr<ProxyLookup::State> state;
    ModuleLock moduleLock;
};

DWORD WINAPI Worker(void* param) {
    HMODULE self = nullptr;
    // The library stays loaded until this thread's last instruction, which FreeLibrary-
    // AndExitThread runs outside it.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&Worker),
                       &self);
    {
        std::unique_ptr<Work> work(static_cast<Work*>(param));
        work->state->Deliver(Decide(work->question));
    }
    if (self) FreeLibraryAndExitThread(self, 0);
    return 0;
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

SystemProxySettings ReadSystemProxySettings() {
    SystemProxySettings s;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    // Without settings the connection goes direct.
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return s;
    s.autoDetect = config.fAutoDetect != FALSE;
    if (config.lpszAutoConfigUrl) s.scriptUrl = config.lpszAutoConfigUrl;
    s.proxy = Narrow(config.lpszProxy);
    s.bypass = Narrow(config.lpszProxyBypass);
    for (LPWSTR p : {config.lpszAutoConfigUrl, config.lpszProxy, config.lpszProxyBypass})
        if (p) GlobalFree(p);
    return s;
}

std::shared_ptr<ProxyLookup> ProxyLookup::Start(ProxyQuestion question, HWND window, UINT message,
                                                WPARAM cookie) {
    auto state = std::make_shared<State>();
    state->window = window;
    state->message = message;
    state->cookie = cookie;
    std::shared_ptr<ProxyLookup> lookup(new ProxyLookup(state));
    if (question.settings.scriptUrl.empty() && !question.settings.autoDetect) {
        // Registry settings only: nothing to wait for.
        state->Deliver(ManualChoice(question));
        return lookup;
    }
    auto work = std::make_unique<Work>(Work{std::move(question), state, ModuleLock()});
    if (HANDLE thread = CreateThread(nullptr, 0, Worker, work.get(), 0, nullptr)) {
        work.release();
        CloseHandle(thread);
    } else {
        state->Deliver(std::nullopt);
    }
    return lookup;
}

ProxyLookup::~ProxyLookup() {
    Drop();
}

void ProxyLookup::Drop() {
    AcquireSRWLockExclusive(&state_->lock);
    state_->dropped = true;
    ReleaseSRWLockExclusive(&state_->lock);
}

ProxyAnswer ProxyLookup::Answer() const {
    AcquireSRWLockExclusive(&state_->lock);
    ProxyAnswer a = state_->answer;
    ReleaseSRWLockExclusive(&state_->lock);
    return a;
}

}  // namespace orv::session
