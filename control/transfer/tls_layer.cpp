#include "control/transfer/tls_layer.h"

#include <algorithm>

#include "control/http/http_text.h"
#include "control/net/tls_error_text.h"

namespace orv::transfer {
namespace {

constexpr auto kHandshakeFailed = static_cast<int32_t>(net::TlsError::kHandshakeFailed);

// A transfer with a TLS layer of its own, in one allocation: both live as long as either is
// referenced.
struct SecureTransfer {
    SecureTransfer(Plan plan, TlsTarget target, ISocketSeam& socket, ITransferThread& thread,
                   ITransferOwner& owner, ITransferEvents& events)
        : tls(std::move(target), socket), transfer(std::move(plan), tls, thread, owner, events) {
        tls.Attach(transfer);
    }
    TlsLayer tls;
    Transfer transfer;
};

}  // namespace

Connection MakeConnection(Plan plan, const std::optional<TlsTarget>& tls, ISocketSeam& socket,
                          ITransferThread& thread, ITransferOwner& owner, ITransferEvents& events) {
    if (!tls) {
        auto t = std::make_shared<Transfer>(std::move(plan), socket, thread, owner, events);
        return {t, t};
    }
    auto s = std::make_shared<SecureTransfer>(std::move(plan), *tls, socket, thread, owner, events);
    return {std::shared_ptr<Transfer>(s, &s->transfer), std::shared_ptr<ISocketEvents>(s, &s->tls)};
}

TlsLayer::TlsLayer(TlsTarget target, ISocketSeam& socket)
    : target_(std::move(target)), socket_(socket) {
    tls_.emplace();
}

// ---------------------------------------------------------------------------------------
// The transfer's side

void TlsLayer::Connect(const std::string& host, int16_t port) {
    if ((phase_ != Phase::kIdle && phase_ != Phase::kEnded) || upper_ == nullptr) return;
    // A transfer that tries again connects anew: nothing of the last connection stays.
    tls_.emplace();
    tunnelAnswer_.clear();
    ready_.clear();
    readFrom_ = 0;
    endDue_ = false;
    confirmed_ = false;
    phase_ = Phase::kConnecting;
    socketOpen_ = true;
    // A set-up failure comes back as OnError before this returns.
    socket_.Connect(host, port);
}

void TlsLayer::Send(const std::string& text) {
    if (phase_ != Phase::kOpen) return;
    std::string records;
    const net::TlsError error = tls_->Encrypt(text, &records);
    if (error != net::TlsError::kNone) {
        Fail(static_cast<int32_t>(error));
        return;
    }
    socket_.Send(records);
}

void TlsLayer::Disconnect() {
    if (phase_ == Phase::kEnded) return;
    phase_ = Phase::kEnded;
    ready_.clear();
    readFrom_ = 0;
    if (socketOpen_) {
        socketOpen_ = false;
        socket_.Disconnect();
    }
}

bool TlsLayer::EndConfirmed() const {
    return confirmed_;
}

const char* TlsLayer::ErrorText(int32_t code) const {
    const char* text = net::TlsErrorText(code);
    return text != nullptr ? text : socket_.ErrorText(code);
}

void TlsLayer::Fail(int32_t code) {
    if (phase_ == Phase::kEnded || phase_ == Phase::kIdle) return;
    upper_->OnError(code);
}

// ---------------------------------------------------------------------------------------
// The socket's side

void TlsLayer::OnConnect() {
    if (phase_ != Phase::kConnecting) return;
    if (!target_.tunnel) {
        StartHandshake({});
        return;
    }
    phase_ = Phase::kTunnel;
    const std::string where = target_.host + ":" + std::to_string(target_.port);
    const std::string request = "CONNECT " + where + " HTTP/1.0\r\nHost: " + where + "\r\n" +
                                target_.proxyAuthorization + "\r\n";
    log::Step(target_.log, "tls", "tunnel through the proxy: " + log::RequestForLog(request));
    socket_.Send(request);
}

void TlsLayer::OnReceive(const std::string& data) {
    switch (phase_) {
        case Phase::kTunnel: ReceiveTunnelAnswer(data); break;
        case Phase::kHandshake:
        case Phase::kOpen: ReceiveCiphertext(data); break;
        default: break;
    }
}

void TlsLayer::OnDisconnect() {
    // The socket layer has closed the connection already.
    socketOpen_ = false;
    switch (phase_) {
        case Phase::kTunnel:
        case Phase::kHandshake:
            // The server (or the proxy) hung up before a secure stream stood.
            Fail(kHandshakeFailed);
            break;
        case Phase::kOpen:
            endDue_ = true;
            Deliver();
            break;
        default: break;
    }
}

void TlsLayer::OnError(int32_t code) {
    Fail(code);
}

void TlsLayer::ReceiveTunnelAnswer(const std::string& data) {
    tunnelAnswer_ += data;
    const std::size_t end = tunnelAnswer_.find("\r\n\r\n");
    if (end == std::string::npos) {
        if (tunnelAnswer_.size() > kMaxPackageHeader) Fail(kMessageTooLong);
        return;
    }
    const std::optional<int32_t> status =
        http::StatusNumber(std::string_view(tunnelAnswer_).substr(0, end));
    log::Step(target_.log, "tls",
              "the proxy answered the tunnel: " +
                  log::ReplyForLog(std::string_view(tunnelAnswer_).substr(0, end)) +
                  (status == 200 ? "" : " (no tunnel)"));
    if (!status) {
        // Not an HTTP answer: no tunnel, and nothing to tell the host but that it failed.
        Fail(kHandshakeFailed);
        return;
    }
    if (*status == 200) {
        // Whatever followed the proxy's header already comes from the server.
        const std::string early = tunnelAnswer_.substr(end + 4);
        tunnelAnswer_.clear();
        StartHandshake(early);
        return;
    }
    // The proxy opened no tunnel (any other 2xx included): the transfer hears its status and
    // ends or tries again, and its request is never sent. Nothing else of the answer counts:
    // its header and body came from the proxy, not from the server.
    phase_ = Phase::kRefused;
    tunnelAnswer_.clear();
    upper_->OnTunnelRefused(*status);
    // The transfer has disconnected; should it not have, the connection ends here.
    if (phase_ == Phase::kRefused) Disconnect();
}

void TlsLayer::StartHandshake(std::string_view early) {
    phase_ = Phase::kHandshake;
    std::string hello;
    const net::TlsError error = tls_->Start(target_.host, &hello);
    if (error != net::TlsError::kNone) {
        Fail(static_cast<int32_t>(error));
        return;
    }
    socket_.Send(hello);
    if (!early.empty()) ReceiveCiphertext(early);
}

void TlsLayer::ReceiveCiphertext(std::string_view data) {
    std::string toSend;
    const net::TlsError error = tls_->Receive(data, &toSend, &ready_);
    // Handshake replies, or the alert that goes with a failure.
    if (!toSend.empty() && socketOpen_) socket_.Send(toSend);
    if (error != net::TlsError::kNone) {
        // What was decrypted before the failure came from the server: it goes on first, as it
        // would have had the failure arrived in a later read.
        if (phase_ == Phase::kOpen) Deliver();
        Fail(static_cast<int32_t>(error));
        return;
    }
    if (phase_ == Phase::kHandshake && !tls_->Handshaking()) {
        // The handshake is done and the certificate passed: the transfer sends its request.
        log::Step(target_.log, "tls",
                  "handshake done; the certificate is valid for " + target_.host +
                      " and chains to a trusted root");
        phase_ = Phase::kOpen;
        upper_->OnConnect();
        if (phase_ != Phase::kOpen) return;
    }
    if (tls_->CloseNotified()) {
        // The server's close notice ends the response; what it sent before stands. The
        // connection is of no further use, so it ends now rather than at the server's close.
        confirmed_ = true;
        endDue_ = true;
    }
    Deliver();
}

void TlsLayer::Deliver() {
    if (delivering_) return;
    delivering_ = true;
    while (Running() && readFrom_ < ready_.size()) {
        const std::size_t n = std::min(kMaxPlainPiece, ready_.size() - readFrom_);
        const std::string piece = ready_.substr(readFrom_, n);
        readFrom_ += n;
        upper_->OnReceive(piece);
    }
    delivering_ = false;
    if (!Running()) return;
    ready_.clear();
    readFrom_ = 0;
    if (endDue_) {
        phase_ = Phase::kEnded;
        if (socketOpen_) {
            socketOpen_ = false;
            socket_.Disconnect();
        }
        upper_->OnDisconnect();
    }
}

}  // namespace orv::transfer
