// The proxy a transfer goes through when the control follows the current user's system
// settings (ProxyMode 1), read through WinHTTP and decided for the transfer's URL: an
// automatic-configuration script, automatic detection (whose failure falls through), the
// manual proxy with its bypass list, else direct. A script or detection runs WinHTTP's
// network calls on a worker thread of its own, so the host's UI thread never waits for a
// slow script server; the answer comes to the session's window as a posted message.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orv::session {

// Where a transfer's connection goes: straight to the server, or to a proxy.
struct ProxyRoute {
    bool viaProxy = false;
    std::string host;  // the proxy's name: the only name resolved through a proxy
    int32_t port = 0;
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

// The user's settings as WinHTTP reads them.
struct SystemProxySettings {
    bool autoDetect = false;
    std::wstring scriptUrl;
    std::string proxy;
    std::string bypass;
};
SystemProxySettings ReadSystemProxySettings();

// What the transfer to `url` (on `host`, `port`) needs to decide its route.
struct ProxyQuestion {
    SystemProxySettings settings;
    std::wstring url;
    std::string host;
    int32_t port = 0;
    bool secure = false;
};

// One decision in progress. The answer is posted to `window` as `message` with `cookie` in
// wParam once it is there; a decision without script or detection is posted at once, from
// the calling thread. The worker shares only this object's state with the session: once
// Drop has run it posts nothing, whatever it finds.
class ProxyLookup {
   public:
    static std::shared_ptr<ProxyLookup> Start(ProxyQuestion question, HWND window, UINT message,
                                              WPARAM cookie);
    ~ProxyLookup();
    ProxyLookup(const ProxyLookup&) = delete;
    ProxyLookup& operator=(const ProxyLookup&) = delete;

    // The answer is no longer wanted (the transfer was cancelled, or the control let go).
    void Drop();
    // The answer, once the message has been posted.
    ProxyAnswer Answer() const;

    struct State;

   private:
    explicit ProxyLookup(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

}  // namespace orv::session
