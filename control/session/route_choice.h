// Which way a transfer's connection goes, straight to the server or through a proxy, and
// whether that proxy may have the control's proxy credentials. Portable: the decision over the
// user's system settings takes what a proxy script answered through a callback, so that every
// branch of it is tested without the system.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace orv::session {

// Where a transfer's connection goes: straight to the server, or to a proxy.
struct ProxyRoute {
    bool viaProxy = false;
    std::string host;  // the proxy's name: the only name resolved through a proxy
    int32_t port = 0;
    // Whether ProxyUsername/ProxyPassword go to this proxy: only to a proxy the host or the
    // user named (the host's own proxy, the manual proxy of the user's settings, or one named
    // by the script at the address those settings give), never to one that automatic
    // detection found.
    bool credentials = false;
    bool operator==(const ProxyRoute&) const = default;
};

// A route, or none: the settings name a proxy (or script) that cannot be used.
using ProxyAnswer = std::optional<ProxyRoute>;

// The outcome number of a proxy or script that cannot be used (WSAEHOSTUNREACH).
inline constexpr int32_t kProxyUnusable = 10065;

// The first usable entry of a proxy list as WinHTTP gives it ("host:port", "http://host",
// "http=h:p;https=h:p", separated by ";" or blanks): an entry for the URL's scheme first, else
// one for every scheme. The port defaults to 80. Nothing when no entry is usable.
std::optional<ProxyRoute> FirstProxy(std::string_view list, bool secure);

// Whether `host` (port `port`) is on a bypass list: entries separated by ";", "," or blanks,
// "<local>" for names without a dot, "*" standing for any run of characters, an optional
// scheme before and port after the name, letter case ignored.
bool Bypassed(std::string_view list, std::string_view host, int32_t port);

// The host's own proxy settings (ProxyMode 0): the proxy when `proxy` is on, with the
// credentials, else direct.
ProxyRoute HostRoute(bool proxy, std::string host, int32_t port);

// The user's settings as WinHTTP reads them.
struct SystemProxySettings {
    bool autoDetect = false;
    std::wstring scriptUrl;
    std::string proxy;
    std::string bypass;
    bool operator==(const SystemProxySettings&) const = default;
};

// What the transfer to `url` (on `host`, `port`) needs to decide its route.
struct ProxyQuestion {
    SystemProxySettings settings;
    std::wstring url;
    std::string host;
    int32_t port = 0;
    bool secure = false;
    bool operator==(const ProxyQuestion&) const = default;
};

// Whether deciding under `settings` runs a script: the one at their address, or the one that
// automatic detection looks for. Only then does the system take its time (and a worker).
bool NeedsScript(const SystemProxySettings& settings);

// What a proxy script made of the transfer's URL: it could not be found, fetched or run;
// it said DIRECT; or it named a proxy list.
struct ScriptAnswer {
    enum class Outcome { Failed, Direct, Proxies } outcome = Outcome::Failed;
    std::string proxies;
};
// Runs the script at the settings' address (`detect` false) or the one automatic detection
// finds (`detect` true) for the question's URL.
using ScriptRunner = std::function<ScriptAnswer(bool detect)>;

// The route under the user's settings, in their order: the script at their address (its
// answer stands, a failure included: no way the user meant to go), else automatic detection
// (a failure falls through), else the manual proxy unless the host is on its bypass list, else
// direct. Nothing when the proxy chosen cannot be used. `run` is called only as far as the
// settings ask for a script. `why`, when given, receives which of the settings decided and
// what it said, for the log.
ProxyAnswer ChooseSystemRoute(const ProxyQuestion& question, const ScriptRunner& run,
                              std::string* why = nullptr);

}  // namespace orv::session
