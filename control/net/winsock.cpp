#include "control/net/winsock.h"

#include "control/net/winsock_api.h"

namespace orv::net {

Winsock::Winsock() {
    if (WSAStartup(kSocketVersion, &slot_.SocketInfo) == 0) {
        libraryStarted_ = true;
    } else {
        // No handlers are attached yet, so nobody sees this; later attempts fail with 10065.
        SOCKET_SETERROR(kStartupError);
    }
}

Winsock::~Winsock() {
    // The state dies with the object: nothing of it may reach the window later.
    events_ = nullptr;
    owner_ = nullptr;
    WinsockAPI::CloseCurrentSocket(*this);
    slot_.IsConnected = 0;
    WinsockAPI::ForgetWindow(*this);
    CleanupSockets();
}

void Winsock::SetReadSize(int bytes) {
    readSize_ = bytes < kReadSize ? kReadSize : bytes > kMaxReadSize ? kMaxReadSize : bytes;
}

void Winsock::CleanupSockets() {
    if (!libraryStarted_) return;
    libraryStarted_ = false;
    WinsockAPI::CleanupSockets();
}

void Winsock::SOCKET_CONNECT(HWND hWnd, const std::string& host, int16_t port) {
    // A connection still open, or still being attempted, is ended silently first; the
    // socket of an attempt in progress would otherwise stay open with nobody listening.
    if (slot_.IsConnected == 1 ||
        (slot_.CurrentSocket != 0 && slot_.CurrentSocket != INVALID_SOCKET))
        SOCKET_DISCONNECT(hWnd);
    if (!WinsockAPI::BorrowWindow(*this, hWnd)) {
        // Without the window no notification could arrive: the attempt cannot start.
        slot_.CurrentSocket = INVALID_SOCKET;
        SOCKET_SETERROR(kSetupError);
        return;
    }
    // A -1 left by a failed attempt is forgotten; nothing is closed here.
    slot_.CurrentSocket = 0;
    // A failed attempt records -1 and raises Error itself; the handler of that Error may have
    // started the next connection already, which then stands.
    const SOCKET s = WinsockAPI::ConnectSocket(*this, host, port, hWnd);
    if (s != INVALID_SOCKET) slot_.CurrentSocket = s;
}

void Winsock::SOCKET_DISCONNECT(HWND hWnd) {
    WinsockAPI::CloseCurrentSocket(*this);
    slot_.IsConnected = 0;
    WinsockAPI::GiveWindowBack(*this, hWnd);
}

void Winsock::SOCKET_RAISEEVENT(int32_t code, const int32_t* value, const std::string* data) {
    if (events_ == nullptr) return;
    switch (code) {
        case kEventConnect: events_->OnConnect(); break;
        case kEventDisconnect: events_->OnDisconnect(); break;
        case kEventReceive: events_->OnReceive(data != nullptr ? *data : std::string()); break;
        case kEventAccept: events_->OnAccept(value != nullptr ? *value : 0); break;
        default: break;
    }
}

void Winsock::SOCKET_SEND(const std::string& text) {
    WinsockAPI::SendData(slot_.CurrentSocket, text);
}

void Winsock::SOCKET_SETERROR(int32_t errorId) {
    if (events_ != nullptr) events_->OnError(errorId);
}

}  // namespace orv::net
