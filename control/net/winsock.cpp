#include "control/net/winsock.h"

#include "control/net/winsock_api.h"

namespace orv::net {

using namespace SocketModule;

Winsock::Winsock() {
    // The newest object takes over the thread's slot; an older one receives nothing more.
    SocketOwner = this;
    if (WSAStartup(kSocketVersion, &SocketInfo) == 0) {
        libraryStarted_ = true;
    } else {
        // No handlers are attached yet, so nobody sees this; later attempts fail with 10065.
        SocketOwner->SOCKET_SETERROR(kStartupError);
    }
}

Winsock::~Winsock() {
    if (SocketOwner == this) SocketOwner = nullptr;
    CleanupSockets();
}

void Winsock::CleanupSockets() {
    if (!libraryStarted_) return;
    libraryStarted_ = false;
    WinsockAPI::CleanupSockets();
}

void Winsock::SOCKET_CONNECT(HWND hWnd, const std::string& host, int16_t port) {
    // A connection still open, or still being attempted, is ended silently first; the
    // socket of an attempt in progress would otherwise stay open with nobody listening.
    if (IsConnected == 1 || (CurrentSocket != 0 && CurrentSocket != INVALID_SOCKET))
        SOCKET_DISCONNECT(hWnd);
    if (!WinsockAPI::BorrowWindow(hWnd)) {
        // Without the window no notification could arrive: the attempt cannot start.
        CurrentSocket = INVALID_SOCKET;
        if (Winsock* owner = SocketOwner) owner->SOCKET_SETERROR(kSetupError);
        return;
    }
    // A -1 left by a failed attempt is forgotten; nothing is closed here.
    CurrentSocket = 0;
    CurrentSocket = WinsockAPI::ConnectSocket(host, port, hWnd);
}

void Winsock::SOCKET_DISCONNECT(HWND hWnd) {
    WinsockAPI::CloseCurrentSocket();
    IsConnected = 0;
    WinsockAPI::GiveWindowBack(hWnd);
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
    WinsockAPI::SendData(CurrentSocket, text);
}

void Winsock::SOCKET_SETERROR(int32_t errorId) {
    if (events_ != nullptr) events_->OnError(errorId);
}

}  // namespace orv::net
