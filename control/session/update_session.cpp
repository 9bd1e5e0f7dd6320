#include "control/session/update_session.h"

#include <algorithm>
#include <climits>

#include "common/win/system.h"
#include "control/com_util.h"
#include "control/http/http_text.h"
#include "control/module.h"
#include "control/net/socket_error_text.h"
#include "control/net/winsock_api.h"

namespace orv::session {
namespace {

constexpr wchar_t kSocketWindowClass[] = L"OrvaneSocketWindow";
constexpr int kErrInvalidCall = 5;
// Bytes per socket read over TLS.
constexpr int kSecureReadSize = 64 * 1024;
// Posted to the socket window when the system's proxy decision is there (wParam: which).
constexpr UINT kProxyAnswerMessage = WM_APP + 1;
// Posted to the socket window to start a redirect's next hop (wParam: which).
constexpr UINT kNextHopMessage = WM_APP + 2;
// Posted to the socket window by a transfer's signer check when it is done (wParam: which).
constexpr UINT kSignerCheckedMessage = WM_APP + 3;
// The session's own timer on the socket window, apart from the transfer's: ConnectTimeout
// while the system's settings are still deciding the route.
constexpr UINT_PTR kLookupTimer = 0x100;
// The wait before the control looks up what a hand-off recorded for its source.
constexpr UINT_PTR kInstalledTimer = 0x101;

bool FolderExists(const std::string& path) {
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The file-name part of a name a server sent: no folder of either slash, no drive or colon,
// no "." or ".." left, no control character; empty when nothing usable remains.
std::string BareFileName(const std::string& name) {
    const std::size_t cut = name.find_last_of("\\/:");
    std::string bare = cut == std::string::npos ? name : name.substr(cut + 1);
    if (bare == "." || bare == ".." || HasControlCharacter(bare)) bare.clear();
    return bare;
}

// The full form of a path, made once so that a later change of the current folder (a file
// dialog, say) never moves the target; the path itself when it cannot be made full.
std::string FullPath(const std::string& path) {
    const DWORD need = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    if (need == 0) return path;
    std::string full(need, '\0');
    const DWORD n = GetFullPathNameA(path.c_str(), need, full.data(), nullptr);
    if (n == 0 || n >= need) return path;
    full.resize(n);
    return full;
}

// Whether a full path names a device (CON, NUL, COM1, LPT1.txt, ...).
bool NamesADevice(const std::string& full) {
    return full.rfind("\\\\.\\", 0) == 0;
}

// Converts a 32-bit port for the socket object; false when it does not fit 16 bits.
bool PortFits(int32_t port) {
    return port >= SHRT_MIN && port <= SHRT_MAX;
}

bool AuthorizationIncomplete(const Properties& p) {
    return p.Authorization && (p.AuthUsername.empty() || p.AuthPassword.empty());
}

// The control's own proxy settings count only while ProxyMode is 0.
bool OwnProxy(const Properties& p) {
    return p.ProxyMode == 0 && p.Proxy;
}

bool ProxyIncomplete(const Properties& p) {
    return OwnProxy(p) && (p.ProxyHost.empty() || p.ProxyPort == 0);
}

// The first property that would carry a control character into the request, or nullptr.
// RemoteFile counts for a check only (a download asks for the package's name instead).
const wchar_t* ControlCharacterProperty(const Properties& p, bool check) {
    const std::pair<const wchar_t*, bool> candidates[] = {
        {L"RemoteHost", HasControlCharacter(p.RemoteHost)},
        {L"RemotePath", HasControlCharacter(p.RemotePath)},
        {L"RemoteFile", check && HasControlCharacter(p.RemoteFile)},
        {L"ProxyHost", OwnProxy(p) && HasControlCharacter(p.ProxyHost)},
        {L"ProxyUsername", HasControlCharacter(p.ProxyUsername)},
        {L"ProxyPassword", HasControlCharacter(p.ProxyPassword)},
    };
    for (const auto& [name, found] : candidates)
        if (found) return name;
    return nullptr;
}

std::string BareHostName(const std::string& host) {
    std::string lower = host;
    if (!lower.empty()) CharLowerBuffA(lower.data(), static_cast<DWORD>(lower.size()));
    // Either scheme, wherever it stands, until neither is left.
    for (bool removed = true; removed;) {
        removed = false;
        for (const std::string_view scheme : {"https://", "http://"}) {
            for (std::size_t at; (at = lower.find(scheme)) != std::string::npos; removed = true)
                lower.erase(at, scheme.size());
        }
    }
    return lower;
}

// The settings a transfer starts from, for the log: every property of the table but the
// published state and record, passwords only as set or not, keys shortened.
void AddSetting(std::string& out, std::string_view name, const std::string& value) {
    out += (out.empty() ? "" : ", ") + std::string(name) + "=" + log::SettingForLog(name, value);
}
void AddSetting(std::string& out, std::string_view name, int32_t value) {
    AddSetting(out, name, std::to_string(value));
}
void AddSetting(std::string& out, std::string_view name, bool value) {
    AddSetting(out, name, std::string(value ? "on" : "off"));
}
void AddSetting(std::string&, std::string_view, const RecordValue&) {}

std::string SettingsForLog(const Properties& p) {
    std::string out;
#define ORV_PROPERTY(name, id, kind, def, page, field, ...) \
    if (PropertyKind::kind != PropertyKind::State) AddSetting(out, #name, p.name);
#include "control/property_table.h"
    return out;
}

std::string RouteForLog(const ProxyRoute& r) {
    if (!r.viaProxy) return "direct";
    return "through the proxy " + r.host + ":" + std::to_string(r.port) +
           (r.credentials ? " (with the proxy credentials when set)" : " (without credentials)");
}

}  // namespace

dialog::UpdateMemory SourceMemory(const Properties& settings) {
    return dialog::UpdateMemory(settings.RemoteHost, settings.RemotePath, settings.RemoteFile);
}

std::optional<transfer::ServerTarget> RedirectTarget(std::string_view location,
                                                     const transfer::ServerTarget& current) {
    // A space or a control character would split the request line.
    if (HasControlCharacter(location) || location.find(' ') != std::string_view::npos)
        return std::nullopt;
    location = location.substr(0, location.find('#'));
    transfer::ServerTarget next;
    if (location.size() > 1 && location[0] == '/' && location[1] != '/') {
        next = current;
        next.prefix = std::string(location);
        next.file.clear();
        return next;
    }
    std::string lower(location.substr(0, std::min<std::size_t>(location.size(), 8)));
    std::ranges::transform(lower, lower.begin(),
                           [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; });
    std::size_t schemeEnd = 0;
    if (lower.rfind("https://", 0) == 0) {
        next.secure = true;
        schemeEnd = 8;
    } else if (lower.rfind("http://", 0) == 0) {
        schemeEnd = 7;
    } else {
        return std::nullopt;
    }
    const std::string_view rest = location.substr(schemeEnd);
    const std::size_t pathAt = std::min(rest.find_first_of("/?"), rest.size());
    const std::string_view authority = rest.substr(0, pathAt);
    const std::size_t colon = authority.rfind(':');
    const std::string_view host = authority.substr(0, colon);
    next.port = next.secure ? 443 : 80;
    if (colon != std::string_view::npos) {
        const std::string_view digits = authority.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 ||
            !std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        next.port = std::stoi(std::string(digits));
        if (next.port < 1 || next.port > 65535) return std::nullopt;
    }
    if (host.empty() || host.find_first_of("@[]") != std::string_view::npos) return std::nullopt;
    next.host.assign(host);
    std::ranges::transform(next.host, next.host.begin(),
                           [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; });
    next.origin = "http://" + next.host;
    const std::string_view path = rest.substr(pathAt);
    next.prefix = path.empty() || path[0] != '/' ? "/" + std::string(path) : std::string(path);
    return next;
}

// Marks a stretch in which the session's code, or host code it called, runs: connections that
// end inside it are released only when the outermost stretch is over.
class UpdateSession::Scope {
   public:
    explicit Scope(UpdateSession& s) : s_(s) { ++s_.depth_; }
    ~Scope() {
        if (--s_.depth_ == 0) s_.ended_.clear();
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    UpdateSession& s_;
};

UpdateSession::UpdateSession(ISessionHost& host, std::string versionText)
    : host_(host), versionText_(std::move(versionText)) {
    RegisterModuleWindowClass(kSocketWindowClass, WindowProc);
    socket_ = std::make_unique<net::Winsock>();
    socket_->SetOwner(this);
}

UpdateSession::~UpdateSession() {
    Shutdown();
}

void UpdateSession::Shutdown() {
    CancelQuietly();
    if (!socket_) return;
    socket_->SetEvents(nullptr);
    socket_->SetOwner(nullptr);
    socket_->CleanupSockets();
    socket_.reset();
    socketWindow_.reset();
}

LRESULT UpdateSession::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_TIMER) {
        OnTimer(static_cast<int>(wp));
        return 0;
    }
    if (msg == kProxyAnswerMessage) {
        OnProxyAnswer(wp);
        return 0;
    }
    if (msg == kNextHopMessage) {
        OnNextHop(wp);
        return 0;
    }
    if (msg == kSignerCheckedMessage) {
        OnSignerChecked(wp);
        return 0;
    }
    return DefWindowProcW(Handle(), msg, wp, lp);
}

void UpdateSession::OnTimer(int id) {
    // Like a socket notification: host code runs inside, and may release the control.
    HoldOwner();
    {
        const Scope scope(*this);
        if (id == static_cast<int>(kLookupTimer)) {
            OnLookupTimedOut();
        } else if (id == static_cast<int>(kInstalledTimer)) {
            ::KillTimer(socketWindow_.get(), kInstalledTimer);
            host_.InstalledDue();
        } else if (auto t = transfer_) {
            t->OnTimer(id);
        } else {
            ::KillTimer(socketWindow_.get(), static_cast<UINT_PTR>(id));
        }
    }
    ReleaseOwner();
}

void UpdateSession::OnSignerChecked(WPARAM cookie) {
    // Like a socket notification: the package replaces its target or is refused, and the
    // host's handlers run inside.
    HoldOwner();
    {
        const Scope scope(*this);
        if (auto t = transfer_) t->OnSignerChecked(cookie);
    }
    ReleaseOwner();
}

void UpdateSession::WatchInstalled(uint32_t ms) {
    if (const HWND window = SocketWindow()) ::SetTimer(window, kInstalledTimer, ms, nullptr);
}

HWND UpdateSession::SocketWindow() {
    // Socket notifications go to a hidden window of the session's own, so a transfer works
    // without a visual site and survives in-place deactivation.
    if (!socketWindow_) {
        socketWindow_.reset(CreateWindowExW(0, kSocketWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                            nullptr, ModuleInstance(), this));
    }
    return socketWindow_.get();
}

// ---------------------------------------------------------------------------------------
// Refusals and the connection plan

void UpdateSession::StartLog(std::string_view what) {
    const Properties& p = host_.Settings();
    log::Redactor secrets;
    secrets.AddPassword(p.AuthUsername, p.AuthPassword);
    secrets.AddPassword(p.ProxyUsername, p.ProxyPassword);
    log_.Begin(p.LogFile, std::move(secrets));
    log_.Step("start", std::string(what) + " (control " + versionText_ +
                           "); settings: " + SettingsForLog(p));
}

std::optional<ORVANEERROR> UpdateSession::BusyResult() const {
    if (operationState_ == CTRL_STATE_CHECKING) return ORV_ERROR_ISCHECKING;
    if (operationState_ == CTRL_STATE_RECEIVING) return ORV_ERROR_ISRECEIVING;
    return std::nullopt;
}

HRESULT UpdateSession::CheckSettings(ORVANEERROR& refused, bool check) const {
    const Properties& p = host_.Settings();
    refused = ORV_ERROR_SUCCESS;
    if (AuthorizationIncomplete(p)) {
        refused = ORV_ERROR_NOAUTHDATA;
        log_.Step("refused", "-5: Authorization is on without a user name or password");
    } else if (ProxyIncomplete(p)) {
        refused = ORV_ERROR_NOPROXYDATA;
        log_.Step("refused", "-6: Proxy is on without ProxyHost or ProxyPort");
    } else if (const bool proxy = OwnProxy(p); !PortFits(proxy ? p.ProxyPort : p.RemotePort)) {
        log_.Step("refused", "run-time error 6: the port does not fit 16 bits");
        // The port must fit the socket object's 16 bits; tested before anything changes, so
        // a refused transfer leaves the control free.
        return RuntimeError(kErrOverflow, std::wstring(proxy ? L"ProxyPort" : L"RemotePort") +
                                              L" must be between 0 and 32767");
    } else if (const wchar_t* name = ControlCharacterProperty(p, check)) {
        log_.Step("refused",
                  "run-time error 5: " + win::WideToAnsi(name) + " holds a control character");
        // A line break in any of these would end the request line or a header early and let
        // the rest pass for a request of its own.
        return RuntimeError(
            kErrInvalidCall,
            std::wstring(name) + L" must not contain control characters (CR, LF, 0x00-0x1F, 0x7F)");
    }
    return S_OK;
}

transfer::ServerTarget UpdateSession::SettingsTarget(const std::string& fileName) const {
    static constexpr std::string_view kSecure = "https://";
    const Properties& p = host_.Settings();
    const std::string& host = p.RemoteHost;
    transfer::ServerTarget server;
    server.secure = host.size() >= kSecure.size() &&
                    std::equal(kSecure.begin(), kSecure.end(), host.begin(), [](char a, char b) {
                        return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b);
                    });
    server.host = BareHostName(host);
    // The port of plain HTTP, the default, stands for the port of HTTPS.
    server.port = server.secure && p.RemotePort == 80 ? 443 : p.RemotePort;
    server.origin = host;
    server.prefix = p.RemotePath;
    server.file = fileName;
    return server;
}

std::optional<transfer::TlsTarget> UpdateSession::SecureTarget(const transfer::ServerTarget& server,
                                                               const ProxyRoute& route) const {
    if (!server.secure) return std::nullopt;
    const Properties& p = host_.Settings();
    transfer::TlsTarget target;
    target.host = server.host;
    target.port = server.port;
    target.tunnel = route.viaProxy;
    target.log = &log_;
    // The proxy's credentials go with the CONNECT only, never into the tunnel, and only to a
    // proxy the host or the user named.
    if (route.viaProxy && route.credentials && !p.ProxyUsername.empty())
        target.proxyAuthorization = http::ProxyAuthorizationLine(p.ProxyUsername, p.ProxyPassword);
    return target;
}

void UpdateSession::PrepareConnection(transfer::Plan& plan, const transfer::ServerTarget& server,
                                      const ProxyRoute& route) const {
    const Properties& p = host_.Settings();
    std::string prefix;
    int32_t port = 0;
    if (route.viaProxy) {
        plan.connectHost = route.host;
        port = route.port;
        // Through a tunnel the request goes to the server itself.
        prefix = server.secure ? server.prefix
                               : server.origin + ":" + std::to_string(server.port) + server.prefix;
    } else {
        plan.connectHost = server.host;
        port = server.port;
        prefix = server.prefix;
    }
    plan.connectPort = static_cast<int16_t>(port);
    // The request is fixed when the transfer starts: what a handler changes afterwards
    // belongs to the next transfer.
    http::RequestInputs in;
    in.fileName = server.file;
    in.prefix = prefix;
    in.hostName = server.host;
    in.versionText = versionText_;
    // The server's credentials go to the server the settings name only, never to one a
    // redirect leads to.
    const transfer::ServerTarget home = SettingsTarget({});
    in.authorization = p.Authorization && server.secure == home.secure &&
                       server.host == home.host &&
                       static_cast<uint16_t>(server.port) == static_cast<uint16_t>(home.port);
    in.userName = p.AuthUsername;
    in.password = p.AuthPassword;
    // A request to a proxy the host or the user named carries the proxy's credentials; one to
    // the server, or to a proxy automatic detection found, never does.
    in.proxyAuthorization =
        route.viaProxy && route.credentials && !server.secure && !p.ProxyUsername.empty();
    in.proxyUserName = p.ProxyUsername;
    in.proxyPassword = p.ProxyPassword;
    plan.request = http::ComposeRequest(in);
    plan.requestInputs = std::move(in);
    plan.server = server;
    plan.connectTimeout = p.ConnectTimeout;
    plan.idleTimeout = p.IdleTimeout;
    // A redirect's hop keeps what identifies the package and the retries left.
    if (!plan.source.empty()) return;
    // What a kept part came from: the server's file, however the request reaches it.
    plan.source = server.host + ":" + std::to_string(p.RemotePort) + server.prefix + server.file;
    plan.packageName = server.file;
    // Checks fail at once; a download tries again (the same place, unless it has others).
    if (plan.kind == transfer::Kind::Download) plan.retryCount = plan.morePlaces ? 0 : p.RetryCount;
}

HRESULT UpdateSession::Begin(transfer::Plan plan, const transfer::ServerTarget& server) {
    const Properties& p = host_.Settings();
    // The one place where a transfer's connect time starts: ConnectTimeout counts from here,
    // the choice of a proxy by the system's settings included.
    plan.connectSince = GetTickCount();
    plan.log = &log_;
    if (p.ProxyMode == 0) {
        const ProxyRoute route = HostRoute(p.Proxy, p.ProxyHost, p.ProxyPort);
        log_.Step("plan", RouteForLog(route) + " to " + server.host + ":" +
                              std::to_string(server.port) + (server.secure ? " over TLS" : "") +
                              ": the control's own settings (ProxyMode 0, Proxy " +
                              (p.Proxy ? "on)" : "off)"));
        PrepareConnection(plan, server, route);
        return StartTransfer(std::move(plan), SecureTarget(server, route));
    }
    // Every form of the request is fixed now: what a handler changes while the system
    // decides belongs to the next transfer.
    Waiting w;
    w.direct = plan;
    w.proxied = plan;
    w.anonymous = std::move(plan);
    const ProxyRoute direct, proxied{true, {}, 0, true}, anonymous{true, {}, 0, false};
    PrepareConnection(w.direct, server, direct);
    PrepareConnection(w.proxied, server, proxied);
    PrepareConnection(w.anonymous, server, anonymous);
    if (w.direct.kind == transfer::Kind::Download) {
        // The files are tried now, so that a target that cannot be written is refused by
        // ReceiveUpdate itself, as with the control's own proxy settings.
        transfer::Transfer probe(w.direct, *this, *this, *this, host_);
        if (const DWORD err = probe.PrepareFiles()) return FileError(fileError_ = err);
    }
    w.secureDirect = SecureTarget(server, direct);
    w.secureProxied = SecureTarget(server, proxied);
    w.secureAnonymous = SecureTarget(server, anonymous);

    ProxyQuestion q;
    q.settings = ReadSystemProxySettings();
    log_.Step("plan", "the user's system settings decide (ProxyMode 1): automatic detection " +
                          std::string(q.settings.autoDetect ? "on" : "off") + ", script " +
                          (q.settings.scriptUrl.empty() ? "none" : "set") + ", manual proxy \"" +
                          q.settings.proxy + "\", bypass \"" + q.settings.bypass + "\"");
    q.secure = w.secureDirect.has_value();
    q.host = w.direct.connectHost;
    q.port = static_cast<uint16_t>(w.direct.connectPort);
    const std::string url = std::string(q.secure ? "https://" : "http://") + q.host + ":" +
                            std::to_string(q.port) + server.prefix + server.file;
    q.url.assign(url.begin(), url.end());
    waiting_ = std::move(w);
    operationState_ =
        waiting_->direct.kind == transfer::Kind::Check ? CTRL_STATE_CHECKING : CTRL_STATE_RECEIVING;
    // The answer always arrives as a message, after CheckUpdate or ReceiveUpdate returned. A
    // script counts against ConnectTimeout: when it passes first, the transfer ends, whatever
    // the worker is doing (with 0 it waits for ever, as for a connection).
    if (++lookupCookie_ == 0) ++lookupCookie_;
    resolver_.Ask(std::move(q), SocketWindow(), kProxyAnswerMessage, lookupCookie_);
    if (p.ConnectTimeout > 0)
        ::SetTimer(SocketWindow(), kLookupTimer, static_cast<UINT>(p.ConnectTimeout) * 1000u,
                   nullptr);
    return S_OK;
}

void UpdateSession::OnProxyAnswer(WPARAM cookie) {
    // An answer for a decision that was dropped, or was replaced by a newer one, is no answer.
    if (!waiting_ || cookie != lookupCookie_) return;
    std::string why;
    const std::optional<ProxyAnswer> taken = resolver_.Take(cookie, &why);
    if (!taken) return;
    const ProxyAnswer& answer = *taken;
    log_.Step("plan",
              (answer ? RouteForLog(*answer) : std::string("no usable route")) + ": " + why);
    ::KillTimer(socketWindow_.get(), kLookupTimer);
    Waiting w = std::move(*waiting_);
    waiting_.reset();
    // Host code runs from here, and may let the control go.
    HoldOwner();
    {
        const Scope scope(*this);
        HRESULT hr = E_FAIL;
        if (answer) {
            const bool credentials = answer->viaProxy && answer->credentials;
            // A proxy automatic detection found gets the form without the credentials.
            transfer::Plan& plan =
                answer->viaProxy ? (credentials ? w.proxied : w.anonymous) : w.direct;
            const std::optional<transfer::TlsTarget>& secure =
                answer->viaProxy ? (credentials ? w.secureProxied : w.secureAnonymous)
                                 : w.secureDirect;
            if (answer->viaProxy) {
                plan.connectHost = answer->host;
                plan.connectPort = static_cast<int16_t>(static_cast<uint16_t>(answer->port));
            }
            hr = StartTransfer(std::move(plan), secure);
        }
        if (FAILED(hr)) {
            // No usable proxy or script (or the files went away since the call): the transfer
            // ends as a connection that could not be set up.
            operationState_ = CTRL_STATE_FREE;
            host_.PublishState(operationState_, true);
            host_.ReportConnectionError(kProxyUnusable, SocketErrorText(kProxyUnusable));
        }
    }
    ReleaseOwner();
}

void UpdateSession::OnLookupTimedOut() {
    ::KillTimer(socketWindow_.get(), kLookupTimer);
    if (!DropLookup()) return;
    log_.Step("plan", "time-out: the system's proxy decision took longer than ConnectTimeout");
    host_.ReportConnectionError(transfer::kTimedOut, SocketErrorText(transfer::kTimedOut));
}

bool UpdateSession::DropLookup() {
    if (!waiting_) return false;
    resolver_.Forget();
    if (socketWindow_) ::KillTimer(socketWindow_.get(), kLookupTimer);
    waiting_.reset();
    operationState_ = CTRL_STATE_FREE;
    host_.PublishState(operationState_, !quiet_);
    return true;
}

HRESULT UpdateSession::StartTransfer(transfer::Plan plan,
                                     const std::optional<transfer::TlsTarget>& secure) {
    // Over HTTPS a TLS layer of the transfer's own stands between it and the socket. It reads
    // in large blocks, since every read costs a notification and the records decrypted from
    // it go on to the transfer in pieces of at most 16,384 bytes anyway.
    socket_->SetReadSize(secure ? kSecureReadSize : net::kReadSize);
    transfer::Connection c =
        transfer::MakeConnection(std::move(plan), secure, *this, *this, *this, host_);
    const std::shared_ptr<transfer::Transfer> t = c.transfer;
    if (t->GetKind() == transfer::Kind::Download) {
        if (const DWORD err = t->PrepareFiles()) {
            log_.Step("file", "cannot prepare the download's files: " + win::SystemErrorText(err));
            return FileError(fileError_ = err);
        }
    }
    transfer_ = t;
    connection_ = std::move(c.events);
    socket_->SetEvents(connection_.get());
    operationState_ =
        t->GetKind() == transfer::Kind::Check ? CTRL_STATE_CHECKING : CTRL_STATE_RECEIVING;
    // A set-up failure ends the transfer before Start returns, and its ConnectionError handler
    // may have started the next one: whatever it left stands.
    t->Start();
    return S_OK;
}

// ---------------------------------------------------------------------------------------
// CheckUpdate, ReceiveUpdate, CancelUpdate

HRESULT UpdateSession::Check(ORVANEERROR& result) {
    const Scope scope(*this);
    StartLog("CheckUpdate");
    if (const auto busy = BusyResult()) {
        log_.Step("refused", std::to_string(*busy) + ": a transfer is running");
        result = *busy;
    } else {
        RETURN_IF_FAILED(CheckSettings(result, true));
        if (result != ORV_ERROR_SUCCESS) return S_OK;
        currentInfo_.ClearFields();
        currentDigest_ = {};
        currentPolicy_.reset();
        transfer::Plan plan;
        plan.kind = transfer::Kind::Check;
        plan.publisherKey = host_.Settings().PublisherKey;
        // A source that once gave verified information with a signed expiry must keep giving
        // one: information whose expiry was cut off is refused as RequireExpiry refuses it.
        checkSource_ = SourceMemory(host_.Settings());
        plan.requireExpiry = host_.Settings().RequireExpiry ||
                             (!plan.publisherKey.empty() && checkSource_->SignedExpirySeen());
        plan.redirectsLeft = host_.Settings().FollowRedirects ? transfer::kMaxRedirects : 0;
        RETURN_IF_FAILED(Begin(std::move(plan), SettingsTarget(host_.Settings().RemoteFile)));
        result = ORV_ERROR_SUCCESS;
    }
    PublishState();
    return S_OK;
}

HRESULT UpdateSession::Receive(const std::string& folderName, std::string fileName,
                               ORVANEERROR& result) {
    const Scope scope(*this);
    // What a handler of InfoReceived wrote into the record counts.
    const UpdateInfo info = currentInfo_.ToUpdateInfo();
    StartLog("ReceiveUpdate(\"" + folderName + "\", \"" + fileName + "\") of " + info.PackageFile);
    const std::string packageFile = BareFileName(info.PackageFile);
    const bool named = !fileName.empty();
    if (named) {
        // The name is one in the chosen folder: no folder, drive or device path of its own.
        std::erase_if(fileName, [](char c) { return c == '\\' || c == '/' || c == ':'; });
        if (fileName == "." || fileName == "..")
            return RuntimeError(kErrInvalidCall,
                                L"LocalFileName must be a file name, not \".\" or \"..\"");
    } else {
        fileName = packageFile;
    }
    std::string folder = folderName;
    if (!folder.empty()) {
        if (folder.back() != '\\') folder += '\\';
        if (!FolderExists(folder)) {
            log_.Step("refused", "-8: the folder " + folder + " does not exist");
            result = ORV_ERROR_PATHNOTFOUND;
            return S_OK;
        }
    }
    // The target is made full once, here: the current folder may change while the package
    // arrives, and RunUpdate starts the file by this name.
    const std::string target = fileName.empty() ? std::string() : FullPath(folder + fileName);
    // A name from the server must name a file in the folder, never a device.
    if (!named && NamesADevice(target)) fileName.clear();

    if (const auto busy = BusyResult()) {
        // A refused call leaves the running download's target alone.
        log_.Step("refused", std::to_string(*busy) + ": a transfer is running");
        result = *busy;
    } else {
        // A name holding a line break or another control character would split the request:
        // no usable name.
        if (packageFile.empty() || fileName.empty() || HasControlCharacter(info.PackageFile)) {
            log_.Step("refused", "-7: no usable package name in the update information");
            result = ORV_ERROR_NOUPDATEDATA;
            return S_OK;
        }
        RETURN_IF_FAILED(CheckSettings(result, false));
        if (result != ORV_ERROR_SUCCESS) return S_OK;

        transfer::Plan plan;
        plan.kind = transfer::Kind::Download;
        plan.packageSize = info.PackageSize;
        plan.target = target;
        plan.digest = currentDigest_;
        plan.packageSigner = host_.Settings().PackageSigner;
        plan.redirectsLeft = host_.Settings().FollowRedirects ? transfer::kMaxRedirects : 0;
        localPackageFile_ = target;
        // The package the last download delivered is no longer the one RunUpdate starts,
        // and the new download may replace it.
        DropDelivery();
        const transfer::ServerTarget home = SettingsTarget(info.PackageFile);
        walk_.reset();
        if (std::vector<transfer::ServerTarget> places = Places(home); places.size() > 1) {
            // RetryCount counts rounds over the places rather than attempts at one.
            plan.morePlaces = true;
            walk_ = Walk{std::move(places), 0, host_.Settings().RetryCount};
        }
        RETURN_IF_FAILED(Begin(std::move(plan), home));
        result = ORV_ERROR_SUCCESS;
    }
    PublishState();
    return S_OK;
}

void UpdateSession::Cancel() {
    const Scope scope(*this);
    log_.Step("start", "cancel requested");
    // The control is free again at once, so the host can start the next check or download.
    // What the last download kept for a later one goes as well.
    if (auto t = transfer_) {
        t->Cancel();
    } else if (!DropHop(false) && !DropLookup()) {
        // With nothing running the update is declined: the delivered package is let go too
        // (RunUpdate starts nothing now, and the host may remove the file). A check or
        // download still waiting for its proxy is running, and only it ends.
        DropDelivery();
        if (!localPackageFile_.empty()) transfer::DiscardPart(localPackageFile_);
    }
    DropLookup();
}

void UpdateSession::CancelQuietly() {
    const Scope scope(*this);
    if (auto t = transfer_) {
        quiet_ = true;
        // A control let go mid-download keeps what a later one can continue.
        t->Cancel(true);
        quiet_ = false;
    }
    quiet_ = true;
    DropHop(true);
    DropLookup();
    quiet_ = false;
}

// ---------------------------------------------------------------------------------------
// The transfer's seam to the socket, and what it tells its owner

void UpdateSession::Connect(const std::string& host, int16_t port) {
    socket_->SOCKET_CONNECT(SocketWindow(), host, port);
}

void UpdateSession::Send(const std::string& text) {
    socket_->SOCKET_SEND(text);
}

void UpdateSession::Disconnect() {
    socket_->SOCKET_DISCONNECT(socketWindow_.get());
}

void UpdateSession::SetTimer(int id, uint32_t ms) {
    ::SetTimer(SocketWindow(), static_cast<UINT_PTR>(id), ms, nullptr);
}

transfer::ITransferThread::Mailbox UpdateSession::WorkerMailbox() {
    return {SocketWindow(), kSignerCheckedMessage};
}

void UpdateSession::KillTimer(int id) {
    if (socketWindow_) ::KillTimer(socketWindow_.get(), static_cast<UINT_PTR>(id));
}

void UpdateSession::ReportInfo(const UpdateInfo& fields, const transfer::PackageDigest& digest,
                               bool verifiedExpiry, const ReleasePolicy& policy) {
    // Recorded before InfoReceived: whatever the host does next, the source now has to keep
    // its expiry.
    if (verifiedExpiry && checkSource_) checkSource_->RecordSignedExpiry();
    currentInfo_.AssignFields(fields);
    currentDigest_ = digest;
    currentPolicy_ = policy;
    host_.StoreInformation(*currentInfo_.get());
}

void UpdateSession::ReportEnded(transfer::Transfer& ended) {
    // The end of an older transfer never frees the session from a newer one.
    if (transfer_.get() != &ended) return;
    // The socket raised into this connection, and its methods are still running: it stays
    // alive until the outermost event or call of the session is over.
    socket_->SetEvents(nullptr);
    ended_.push_back(std::move(connection_));
    transfer_.reset();
    operationState_ = CTRL_STATE_FREE;
    host_.PublishState(operationState_, !quiet_);
}

void UpdateSession::ReportDelivered(const std::string& target, unique_file held) {
    delivered_ = std::move(held);
    deliveredPath_ = target;
    deliveredDigest_.reset();
    if (currentDigest_.state == FieldState::Valid) deliveredDigest_ = currentDigest_.bytes;
}

transfer::RedirectVerdict UpdateSession::FollowRedirect(transfer::Transfer& from,
                                                        std::string_view location) {
    using transfer::RedirectVerdict;
    if (transfer_.get() != &from) return RedirectVerdict::Declined;
    transfer::Plan next = from.NextHop();
    const std::optional<transfer::ServerTarget> server = RedirectTarget(location, next.server);
    const std::string shown = log::WithoutUserInfo(location);
    if (!server) {
        log_.Step("redirect", "not followed: " + shown + " is no usable http(s) URL or path");
        return RedirectVerdict::Declined;
    }
    if (next.server.secure && !server->secure) {
        log_.Step("redirect", "refused: " + shown + " leaves HTTPS for plain HTTP");
        return RedirectVerdict::Refused;
    }
    log_.Step("redirect", "followed to " + shown + " (" + std::to_string(next.redirectsLeft) +
                              " more allowed)");
    HandOver(std::move(next), *server);
    return RedirectVerdict::Followed;
}

void UpdateSession::HandOver(transfer::Plan next, const transfer::ServerTarget& server) {
    // The old hop ends first, its connection and files closed (a kept part stays for the
    // next, which continues it only when its identity matches): both use the one socket
    // object, and the next hop opens the same part. It is no longer the running transfer, so
    // its end frees nothing and publishes nothing. The next hop starts from a message, once
    // the socket's and the secure layer's events for the old connection are over.
    const std::shared_ptr<transfer::Transfer> old = std::move(transfer_);
    socket_->SetEvents(nullptr);
    ended_.push_back(std::move(connection_));
    old->Cancel(true);
    next.request.clear();
    next.requestInputs = {};
    hop_ = Hop{std::move(next), server};
    PostMessageW(SocketWindow(), kNextHopMessage, ++hopCookie_, 0);
}

std::vector<transfer::ServerTarget> UpdateSession::Places(
    const transfer::ServerTarget& home) const {
    std::vector<transfer::ServerTarget> places{home};
    if (!currentPolicy_) return places;
    // The policy holds only absolute http:// and https:// URLs.
    for (const std::string& url : currentPolicy_->Urls) {
        const std::optional<transfer::ServerTarget> server = RedirectTarget(url, home);
        // Plain HTTP only when the digest decides what the package is.
        if (server && (server->secure || currentDigest_.state == FieldState::Valid))
            places.push_back(*server);
    }
    return places;
}

bool UpdateSession::MoveOn(transfer::Transfer& from, bool mendable) {
    if (transfer_.get() != &from || !walk_) return false;
    Walk& w = *walk_;
    w.mendable = w.mendable || mendable;
    std::size_t next = w.at + 1;
    uint32_t delay = 0;
    if (next >= w.places.size()) {
        // The round is over: another one, from the default location after the back-off, only
        // when retries are left and a failure of this round may pass.
        if (!w.mendable || w.roundsLeft <= 0) return false;
        --w.roundsLeft;
        w.mendable = false;
        delay = transfer::BackOff(w.round++);
        next = 0;
    }
    w.at = next;
    const transfer::ServerTarget& to = w.places[next];
    log_.Step("download", "trying place " + std::to_string(next + 1) + " of " +
                              std::to_string(w.places.size()) + ": " +
                              (to.secure ? "https://" : "http://") + to.host + ":" +
                              std::to_string(to.port) + to.prefix + to.file +
                              (delay ? " after " + std::to_string(delay) + " ms" : ""));
    // As a redirect's hop.
    transfer::Plan plan = from.NextPlace();
    plan.startDelay = delay;
    plan.redirectsLeft = host_.Settings().FollowRedirects ? transfer::kMaxRedirects : 0;
    HandOver(std::move(plan), to);
    return true;
}

void UpdateSession::OnNextHop(WPARAM cookie) {
    if (!hop_ || cookie != hopCookie_) return;
    Hop hop = std::move(*hop_);
    hop_.reset();
    HoldOwner();
    {
        const Scope scope(*this);
        if (FAILED(Begin(std::move(hop.plan), hop.server))) {
            log_.Step("redirect", "the next hop's files cannot be prepared");
            // The next hop's files could not be prepared: the transfer ends with the reason.
            operationState_ = CTRL_STATE_FREE;
            host_.PublishState(operationState_, true);
            host_.ReportConnectionError(static_cast<int32_t>(fileError_),
                                        win::SystemErrorText(fileError_));
        }
    }
    ReleaseOwner();
}

bool UpdateSession::DropHop(bool keepPart) {
    if (!hop_) return false;
    if (hop_->plan.kind == transfer::Kind::Download && !keepPart)
        transfer::DiscardPart(hop_->plan.target);
    hop_.reset();
    operationState_ = CTRL_STATE_FREE;
    host_.PublishState(operationState_, !quiet_);
    return true;
}

void UpdateSession::HoldOwner() {
    host_.HoldHost();
    ++depth_;
}

void UpdateSession::ReleaseOwner() {
    if (--depth_ == 0) ended_.clear();
    // The last reference may go here, and the session with the control.
    host_.ReleaseHost();
}

}  // namespace orv::session
