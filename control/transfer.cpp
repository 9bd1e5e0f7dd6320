// The update check and the package download as the host sees them: the methods that start,
// refuse and cancel a transfer, and the control's side of the transfer (control/transfer/):
// its socket seam and its reports, which become COM events. Running and the product page
// sit next to them.
#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <climits>

#include "control/http/http_text.h"
#include "control/net/winsock_api.h"
#include "control/orvane_control.h"

namespace orv {
namespace {

constexpr int kErrInvalidCall = 5;

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

// Bytes per socket read over TLS.
constexpr int kSecureReadSize = 64 * 1024;

}  // namespace

bool HasControlCharacter(std::string_view text) {
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) return true;
    }
    return false;
}

bool OrvaneControl::AuthorizationIncomplete() const {
    return props_.Authorization && (props_.AuthUsername.empty() || props_.AuthPassword.empty());
}

bool OrvaneControl::ProxyIncomplete() const {
    return props_.Proxy && (props_.ProxyHost.empty() || props_.ProxyPort == 0);
}

std::string OrvaneControl::BareHostName(const std::string& host) const {
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

std::optional<transfer::TlsTarget> OrvaneControl::SecureTarget() const {
    static constexpr std::string_view kSecure = "https://";
    const std::string& host = props_.RemoteHost;
    if (host.size() < kSecure.size() ||
        !std::equal(kSecure.begin(), kSecure.end(), host.begin(),
                    [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b); }))
        return std::nullopt;
    transfer::TlsTarget target;
    target.host = BareHostName(host);
    // The port of plain HTTP, the default, stands for the port of HTTPS.
    target.port = props_.RemotePort == 80 ? 443 : props_.RemotePort;
    target.tunnel = props_.Proxy;
    return target;
}

transfer::Plan OrvaneControl::PrepareConnection(transfer::Kind kind,
                                                const std::string& fileName) const {
    transfer::Plan plan;
    plan.kind = kind;
    const std::optional<transfer::TlsTarget> secure = SecureTarget();
    std::string prefix;
    int32_t port = 0;
    if (props_.Proxy) {
        plan.connectHost = props_.ProxyHost;
        port = props_.ProxyPort;
        // Through a tunnel the request goes to the server itself.
        prefix = secure ? props_.RemotePath
                        : props_.RemoteHost + ":" + std::to_string(props_.RemotePort) +
                              props_.RemotePath;
    } else {
        plan.connectHost = BareHostName(props_.RemoteHost);
        port = secure ? secure->port : props_.RemotePort;
        prefix = props_.RemotePath;
    }
    plan.connectPort = static_cast<int16_t>(port);
    // The request is fixed when the transfer starts: what a handler changes afterwards
    // belongs to the next transfer.
    http::RequestInputs in;
    in.fileName = fileName;
    in.prefix = prefix;
    in.hostName = BareHostName(props_.RemoteHost);
    in.versionText = versionText_;
    in.authorization = props_.Authorization;
    in.userName = props_.AuthUsername;
    in.password = props_.AuthPassword;
    plan.request = http::ComposeRequest(in);
    return plan;
}

std::optional<ORVANEERROR> OrvaneControl::BusyResult() const {
    if (operationState_ == CTRL_STATE_CHECKING) return ORV_ERROR_ISCHECKING;
    if (operationState_ == CTRL_STATE_RECEIVING) return ORV_ERROR_ISRECEIVING;
    return std::nullopt;
}

HRESULT OrvaneControl::CheckSettings(ORVANEERROR& refused, bool check) const {
    refused = ORV_ERROR_SUCCESS;
    if (AuthorizationIncomplete()) {
        refused = ORV_ERROR_NOAUTHDATA;
    } else if (ProxyIncomplete()) {
        refused = ORV_ERROR_NOPROXYDATA;
    } else if (!PortFits(props_.Proxy ? props_.ProxyPort : props_.RemotePort)) {
        // The port must fit the socket object's 16 bits; tested before anything changes, so
        // a refused transfer leaves the control free.
        return RuntimeError(kErrOverflow, L"Overflow");
    } else if (HasControlCharacter(props_.RemoteHost) || HasControlCharacter(props_.RemotePath) ||
               (check && HasControlCharacter(props_.RemoteFile)) ||
               (props_.Proxy && HasControlCharacter(props_.ProxyHost))) {
        // A line break in any of these would end the request line or a header early and let
        // the rest pass for a request of its own.
        return RuntimeError(kErrInvalidCall, L"Invalid procedure call or argument");
    }
    return S_OK;
}

HRESULT OrvaneControl::StartTransfer(transfer::Plan plan) {
    transfer::ISocketSeam& seam = *this;
    transfer::ITransferReport& report = *this;
    // Over HTTPS a TLS layer of the transfer's own stands between it and the socket. It reads
    // in large blocks, since every read costs a notification and the records decrypted from
    // it go on to the transfer in pieces of at most 16,384 bytes anyway.
    const std::optional<transfer::TlsTarget> secure = SecureTarget();
    socket_->SetReadSize(secure ? kSecureReadSize : net::kReadSize);
    transfer::Connection c = transfer::MakeConnection(std::move(plan), secure, seam, report);
    const std::shared_ptr<transfer::Transfer> t = c.transfer;
    if (t->GetKind() == transfer::Kind::Download) {
        if (const DWORD err = t->PrepareFiles()) return FileError(err);
    }
    transfer_ = t;
    connection_ = c.events;
    operationState_ =
        t->GetKind() == transfer::Kind::Check ? CTRL_STATE_CHECKING : CTRL_STATE_RECEIVING;
    // A set-up failure ends the transfer before Start returns, and its ConnectionError handler
    // may have started the next one: whatever it left stands.
    t->Start();
    return S_OK;
}

// ---------------------------------------------------------------------------------------
// CheckUpdate

STDMETHODIMP OrvaneControl::CheckUpdate(ORVANEERROR* result) {
    RETURN_HR_IF_NULL(E_POINTER, result);
    const KeepAlive alive(this);
    return ComMethod([&]() -> HRESULT {
        if (const auto busy = BusyResult()) {
            *result = *busy;
        } else {
            RETURN_IF_FAILED(CheckSettings(*result, true));
            if (*result != ORV_ERROR_SUCCESS) return S_OK;
            currentInfo_.ClearFields();
            currentDigest_ = {};
            transfer::Plan plan = PrepareConnection(transfer::Kind::Check, props_.RemoteFile);
            plan.publisherKey = props_.PublisherKey;
            RETURN_IF_FAILED(StartTransfer(std::move(plan)));
            *result = ORV_ERROR_SUCCESS;
        }
        SetUpdateStateFromOperation();
        return S_OK;
    });
}

// ---------------------------------------------------------------------------------------
// ReceiveUpdate

STDMETHODIMP OrvaneControl::ReceiveUpdate(BSTR localPathName, BSTR localFileName,
                                          ORVANEERROR* result) {
    RETURN_HR_IF_NULL(E_POINTER, result);
    const KeepAlive alive(this);
    return ComMethod([&]() -> HRESULT {
        // What a handler of InfoReceived wrote into the record counts.
        const UpdateInfo info = currentInfo_.ToUpdateInfo();
        const std::string packageFile = BareFileName(info.PackageFile);
        std::string fileName = ToAnsi(localFileName);
        const bool named = !fileName.empty();
        if (named) {
            // The name is one in the chosen folder: no folder, drive or device path of its own.
            std::erase_if(fileName, [](char c) { return c == '\\' || c == '/' || c == ':'; });
            if (fileName == "." || fileName == "..")
                return RuntimeError(kErrInvalidCall, L"Invalid procedure call or argument");
        } else {
            fileName = packageFile;
        }
        std::string folder = ToAnsi(localPathName);
        if (!folder.empty()) {
            if (folder.back() != '\\') folder += '\\';
            if (!FolderExists(folder)) {
                *result = ORV_ERROR_PATHNOTFOUND;
                return S_OK;
            }
        }
        // The target is made full once, here: the current folder may change while the
        // package arrives, and RunUpdate starts the file by this name.
        const std::string target = fileName.empty() ? std::string() : FullPath(folder + fileName);
        // A name from the server must name a file in the folder, never a device.
        if (!named && NamesADevice(target)) fileName.clear();

        if (const auto busy = BusyResult()) {
            // A refused call leaves the running download's target alone.
            *result = *busy;
        } else {
            // A name holding a line break or another control character would split the
            // request: no usable name.
            if (packageFile.empty() || fileName.empty() || HasControlCharacter(info.PackageFile)) {
                *result = ORV_ERROR_NOUPDATEDATA;
                return S_OK;
            }
            RETURN_IF_FAILED(CheckSettings(*result, false));
            if (*result != ORV_ERROR_SUCCESS) return S_OK;

            transfer::Plan plan = PrepareConnection(transfer::Kind::Download, info.PackageFile);
            plan.packageSize = info.PackageSize;
            plan.target = target;
            plan.digest = currentDigest_;
            localPackageFile_ = target;
            RETURN_IF_FAILED(StartTransfer(std::move(plan)));
            *result = ORV_ERROR_SUCCESS;
        }
        SetUpdateStateFromOperation();
        return S_OK;
    });
}

// ---------------------------------------------------------------------------------------
// The socket's events go to the running transfer (or its TLS layer), which is held while it
// handles them: a handler may end it and start the next one.

void OrvaneControl::OnConnect() {
    if (auto c = connection_) c->OnConnect();
}

void OrvaneControl::OnReceive(const std::string& data) {
    if (auto c = connection_) c->OnReceive(data);
}

void OrvaneControl::OnDisconnect() {
    if (auto c = connection_) c->OnDisconnect();
}

void OrvaneControl::OnAccept(int32_t) {}

void OrvaneControl::OnError(int32_t errorId) {
    if (auto c = connection_) {
        c->OnError(errorId);
    } else {
        socket_->SOCKET_DISCONNECT(transferWindow_);
    }
}

void OrvaneControl::HoldOwner() {
    ++holds_;
    AddRef();
}

void OrvaneControl::ReleaseOwner() {
    --holds_;
    Release();
}

// ---------------------------------------------------------------------------------------
// The transfer's seam to the socket and its reports

void OrvaneControl::Connect(const std::string& host, int16_t port) {
    transferWindow_ = SocketWindow();
    socket_->SOCKET_CONNECT(transferWindow_, host, port);
}

void OrvaneControl::Send(const std::string& text) {
    socket_->SOCKET_SEND(text);
}

void OrvaneControl::Disconnect() {
    socket_->SOCKET_DISCONNECT(transferWindow_);
}

void OrvaneControl::ReportHttpStatus(int32_t status) {
    FireHttpStatus(status);
}

void OrvaneControl::ReportProgress(int32_t bytes, int32_t total, int32_t percent, int32_t rate) {
    FireReceivingUpdate(bytes, total, percent, rate);
}

void OrvaneControl::ReportUpdateReceived() {
    FireUpdateReceived();
}

void OrvaneControl::ReportInfo(const UpdateInfo& fields, const transfer::PackageDigest& digest) {
    currentInfo_.AssignFields(fields);
    currentDigest_ = digest;
    put_UpdateInformation(currentInfo_.get());
}

void OrvaneControl::ReportEnded(transfer::Transfer& ended) {
    // The end of an older transfer never frees the control from a newer one.
    if (transfer_.get() != &ended) return;
    transfer_.reset();
    connection_.reset();
    operationState_ = CTRL_STATE_FREE;
    if (quiet_) {
        props_.UpdateState = operationState_;
    } else {
        SetUpdateStateFromOperation();
    }
}

void OrvaneControl::ReportInfoReceived() {
    FireInfoReceived();
}

void OrvaneControl::ReportConnectionError(int32_t code, const std::string& text) {
    FireConnectionErrorText(code, text);
}

void OrvaneControl::CancelQuietly() {
    if (auto t = transfer_) {
        quiet_ = true;
        t->Cancel();
        quiet_ = false;
    }
}

// ---------------------------------------------------------------------------------------
// CancelUpdate, RunUpdate, GoProductPage

STDMETHODIMP OrvaneControl::CancelUpdate() {
    SetErrorInfo(0, nullptr);
    const KeepAlive alive(this);
    // The control is free again at once, so the host can start the next check or download.
    if (auto t = transfer_) t->Cancel();
    return S_OK;
}

STDMETHODIMP OrvaneControl::RunUpdate(BSTR parameters, LONG* result) {
    RETURN_HR_IF_NULL(E_POINTER, result);
    return ComMethod([&] {
        const std::string params = ToAnsi(parameters);
        const std::string folder = ModuleFolder(ModuleInstance());
        HINSTANCE r = ShellExecuteA(window_.get(), nullptr, localPackageFile_.c_str(),
                                    params.c_str(), folder.c_str(), SW_SHOWNORMAL);
        // The number says success above 32 and nothing else; a 64-bit one is never cut into a
        // Long that could read as an error.
        const INT_PTR code = reinterpret_cast<INT_PTR>(r);
        *result = static_cast<LONG>(std::clamp<INT_PTR>(code, 0, LONG_MAX));
        return S_OK;
    });
}

STDMETHODIMP OrvaneControl::GoProductPage(BSTR productPage) {
    return ComMethod([&] {
        const std::string page = ToAnsi(productPage);
        const std::string folder = ModuleFolder(ModuleInstance());
        ShellExecuteA(window_.get(), nullptr, page.c_str(), nullptr, folder.c_str(), SW_SHOWNORMAL);
        return S_OK;
    });
}

}  // namespace orv
