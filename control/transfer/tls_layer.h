// The TLS layer of a transfer's connection. It sits between a transfer and the socket: to the
// transfer it is the socket seam (HTTP text out, HTTP text in), to the socket it is where the
// events go (records in, records out). The transfer never sees a record, so the request, the
// response handling, the caps and the file rules are the same over either connection.
//
// Through a proxy the layer first asks for a tunnel to the server (CONNECT, in plain text);
// the handshake, the certificate check and the request then all run inside the tunnel, so
// the proxy sees neither the request nor its Basic authorization. A proxy that answers the
// CONNECT with anything but 200 opened no tunnel: the transfer hears that status and nothing
// else of the answer, which never passes for the server's reply.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "control/net/tls_client.h"
#include "control/transfer/transfer.h"

namespace orv::transfer {

// Where a secure connection leads.
struct TlsTarget {
    // The server's name: sent in the hello, and the name its certificate must carry.
    std::string host;
    // The server's port, where the proxy's tunnel leads.
    int32_t port = 443;
    // The socket connects to a proxy, which opens a tunnel to host:port.
    bool tunnel = false;
    // The tunnel's CONNECT carries this line (the proxy's credentials) when it is not empty.
    std::string proxyAuthorization;
    // Where the tunnel and the handshake are logged; none when null.
    log::Sink* log = nullptr;
};

// The most decrypted bytes the transfer gets per Receive: no more than a plain socket read,
// so that no ReceivingUpdate reports a larger piece over TLS than over plain HTTP.
inline constexpr std::size_t kMaxPlainPiece = 16384;

class TlsLayer final : public ISocketSeam, public ISocketEvents {
   public:
    TlsLayer(TlsTarget target, ISocketSeam& socket);
    TlsLayer(const TlsLayer&) = delete;
    TlsLayer& operator=(const TlsLayer&) = delete;

    // Where the decrypted stream and the outcomes go; before Connect.
    void Attach(Transfer& upper) { upper_ = &upper; }

    // ISocketSeam, for the transfer: Connect reaches the server (or the proxy), and the
    // transfer hears Connect once the secure stream stands. Send encrypts; before the stream
    // stands there is nothing to send on, and the text is dropped.
    void Connect(const std::string& host, int16_t port) override;
    void Send(const std::string& text) override;
    void Disconnect() override;
    // Only the server's close notice confirms the end of a stream.
    bool EndConfirmed() const override;
    const char* ErrorText(int32_t code) const override;

    // ISocketEvents, for the socket.
    void OnConnect() override;
    void OnReceive(const std::string& data) override;
    void OnDisconnect() override;
    void OnError(int32_t code) override;

    const net::TlsClient& Client() const { return *tls_; }

   private:
    enum class Phase {
        kIdle,        // Connect not called yet
        kConnecting,  // the socket connects
        kTunnel,      // waiting for the proxy's answer to CONNECT
        kHandshake,   // the TLS handshake runs
        kOpen,        // the secure stream carries the request and the response
        kRefused,     // the proxy refused the tunnel: the transfer heard its status only
        kEnded,       // over: nothing reaches the socket or the transfer any more
    };

    bool Running() const { return phase_ == Phase::kOpen; }
    void ReceiveTunnelAnswer(const std::string& data);
    void StartHandshake(std::string_view early);
    void ReceiveCiphertext(std::string_view data);
    // Hands what is ready on to the transfer in pieces, then the end once it is due. Runs
    // once at a time. The socket reads nothing more for the connection while a piece is out
    // (a handler that pumps messages gets the next read only after it returns), so what
    // waits here is never more than one socket read decrypts (kMaxReadSize).
    void Deliver();
    // Reports an outcome; the transfer ends the connection in turn.
    void Fail(int32_t code);

    TlsTarget target_;
    ISocketSeam& socket_;
    Transfer* upper_ = nullptr;
    Phase phase_ = Phase::kIdle;
    bool socketOpen_ = false;            // the socket may still hold the connection
    std::optional<net::TlsClient> tls_;  // made anew for each connection
    std::string tunnelAnswer_;           // the proxy's answer while its header arrives
    std::string ready_;                  // decrypted bytes not yet handed on, from readFrom_
    std::size_t readFrom_ = 0;
    bool delivering_ = false;
    bool endDue_ = false;     // the stream has ended; the transfer hears it after the data
    bool confirmed_ = false;  // the server's close notice ended it
};

// A transfer and where its socket's events go: the transfer itself over plain HTTP, or a TLS
// layer of its own, held and released with it, over TLS.
struct Connection {
    std::shared_ptr<Transfer> transfer;
    std::shared_ptr<ISocketEvents> events;
};
Connection MakeConnection(Plan plan, const std::optional<TlsTarget>& tls, ISocketSeam& socket,
                          ITransferThread& thread, ITransferOwner& owner, ITransferEvents& events);
inline Connection MakeConnection(Plan plan, const std::optional<TlsTarget>& tls,
                                 ISocketSeam& socket, ITransferThread& thread,
                                 ITransferReport& report) {
    return MakeConnection(std::move(plan), tls, socket, thread, report, report);
}

}  // namespace orv::transfer
