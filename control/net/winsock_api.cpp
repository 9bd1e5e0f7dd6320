#include "control/net/winsock_api.h"

#include <climits>
#include <cstring>

#include "control/net/winsock.h"

namespace orv::net {

namespace SocketModule {

thread_local SOCKET CurrentSocket = 0;
thread_local WNDPROC PreviousWindowProc = nullptr;
thread_local int16_t IsConnected = 0;
thread_local WSADATA SocketInfo{};
thread_local Winsock* SocketOwner = nullptr;
thread_local HWND BorrowedWindow = nullptr;

}  // namespace SocketModule

namespace WinsockAPI {

namespace {

using namespace SocketModule;

// A notification can only be queued by a window of this thread; more than this many is
// someone else posting the message, not our socket.
constexpr int kMaxQueuedNotifications = 4096;

// Counts the connections that have ended on this thread. The library reuses socket handles at
// once, so a handle alone cannot tell whether a handler replaced the connection.
thread_local uint32_t EndedConnections = 0;

bool SocketRecorded() {
    return CurrentSocket != 0 && CurrentSocket != INVALID_SOCKET;
}

// Reports a set-up failure to the owner and tells the caller there is no socket.
SOCKET SetupFailed() {
    if (Winsock* owner = SocketOwner) owner->SOCKET_SETERROR(kSetupError);
    return INVALID_SOCKET;
}

bool HasOurProcedure(HWND window) {
    return reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window, GWLP_WNDPROC)) == SocketWindowProc;
}

// Notifications the library posted before the socket was closed are still in the queue; a new
// socket may get the same handle, so they are dropped with the socket.
void DiscardNotifications(HWND window) {
    if (window == nullptr || !IsWindow(window)) return;
    MSG msg;
    for (int i = 0; i < kMaxQueuedNotifications &&
                    PeekMessageA(&msg, window, kSocketMessage, kSocketMessage, PM_REMOVE);
         ++i) {
    }
}

// Wine reports a connection the peer reset as a plain close, without the error code; the sign
// left is data that arrived but was never read (an orderly close is reported only once
// everything has been read). Such a close counts as the reset it is, so that a response cut
// short never passes for a complete one.
bool AbortedWithDataUnread(SOCKET s) {
    u_long unread = 0;
    return ioctlsocket(s, FIONREAD, &unread) == 0 && unread > 0;
}

}  // namespace

int16_t GetSelectEvent(LPARAM lParam) {
    return static_cast<int16_t>(LOWORD(lParam));
}

int16_t GetSelectError(LPARAM lParam) {
    return static_cast<int16_t>(HIWORD(lParam));
}

int32_t ResolveHost(const std::string& host) {
    // A text with a NUL in it would be cut short by the library and name another host.
    if (host.find('\0') != std::string::npos) return -1;
    const unsigned long dotted = inet_addr(host.c_str());
    if (dotted != INADDR_NONE) return static_cast<int32_t>(dotted);
    const hostent* entry = gethostbyname(host.c_str());
    if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr)
        return -1;
    int32_t address = -1;
    const size_t length = entry->h_length < 0 ? 0 : static_cast<size_t>(entry->h_length);
    std::memcpy(&address, entry->h_addr_list[0], length < sizeof address ? length : sizeof address);
    return address;
}

int SetLinger(SOCKET s, int16_t on, int16_t seconds) {
    linger value{};
    value.l_onoff = static_cast<u_short>(on);
    value.l_linger = static_cast<u_short>(seconds);
    static_assert(sizeof value == 4, "the linger record is two 16-bit fields");
    if (setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value), sizeof value) !=
        0)
        return -1;
    int length = sizeof value;
    if (getsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&value), &length) != 0)
        return -1;
    return 0;
}

SOCKET ConnectSocket(const std::string& host, int32_t port, HWND window) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    const auto port16 = static_cast<u_short>(port & 0xFFFF);
    address.sin_port = htons(port16);
    if (port16 == 0xFFFF) return SetupFailed();

    const int32_t resolved = ResolveHost(host);
    if (resolved == -1) return SetupFailed();
    address.sin_addr.s_addr = static_cast<u_long>(resolved);

    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return SetupFailed();

    // Linger on with no time: closing resets the connection at once.
    if (SetLinger(s, 1, 0) == -1) {
        closesocket(s);
        return SetupFailed();
    }
    // Before connect, so that the socket is non-blocking and the outcome is a notification.
    if (WSAAsyncSelect(s, window, kSocketMessage, kSelectMask) != 0) {
        closesocket(s);
        return SetupFailed();
    }
    // A non-blocking connect answers -1 while it is in progress, which is the normal case.
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != -1) {
        closesocket(s);
        DiscardNotifications(window);
        return SetupFailed();
    }
    return s;
}

int SendData(SOCKET s, const std::string& text) {
    if (text.empty()) return 0;
    const int count =
        text.size() > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(text.size());
    return send(s, text.data(), count, 0);
}

void CleanupSockets() {
    if (WSAIsBlocking()) WSACancelBlockingCall();
    WSACleanup();
}

bool BorrowWindow(HWND window) {
    if (window == nullptr || !IsWindow(window) ||
        GetWindowThreadProcessId(window, nullptr) != GetCurrentThreadId())
        return false;
    if (BorrowedWindow == window && HasOurProcedure(window)) return true;
    if (BorrowedWindow != nullptr) GiveWindowBack(BorrowedWindow);
    // A window still borrowed here has been subclassed again on top of us; its messages
    // keep passing through us, so a second window cannot be borrowed.
    if (BorrowedWindow != nullptr) return false;
    SetLastError(0);
    const LONG_PTR previous =
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SocketWindowProc));
    if (previous == 0) return false;
    PreviousWindowProc = reinterpret_cast<WNDPROC>(previous);
    BorrowedWindow = window;
    return true;
}

void GiveWindowBack(HWND window) {
    if (window == nullptr || window != BorrowedWindow) return;
    if (IsWindow(window)) {
        // Someone subclassed the window after us: unhooking now would cut their chain, so
        // the window stays borrowed and we keep passing its messages on.
        if (!HasOurProcedure(window)) return;
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PreviousWindowProc));
    }
    BorrowedWindow = nullptr;
    PreviousWindowProc = nullptr;
}

void CloseCurrentSocket() {
    if (SocketRecorded()) {
        closesocket(CurrentSocket);
        DiscardNotifications(BorrowedWindow);
        ++EndedConnections;
    }
    CurrentSocket = 0;
}

LRESULT CALLBACK SocketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Only the borrowed window has this procedure; anything else has no procedure to go to.
    if (window != BorrowedWindow || PreviousWindowProc == nullptr)
        return DefWindowProcA(window, message, wParam, lParam);

    if (message == WM_NCDESTROY) {
        // The window goes away with the connection on it: end the connection silently and
        // forget the window, so its stale procedure is never installed anywhere later.
        const WNDPROC previous = PreviousWindowProc;
        CloseCurrentSocket();
        IsConnected = 0;
        GiveWindowBack(window);
        return CallWindowProcA(previous, window, message, wParam, lParam);
    }
    if (message != kSocketMessage)
        return CallWindowProcA(PreviousWindowProc, window, message, wParam, lParam);

    const auto notified = static_cast<SOCKET>(wParam);
    if (!SocketRecorded() || notified != CurrentSocket) return 0;

    const int16_t code = GetSelectEvent(lParam);
    const int16_t error = GetSelectError(lParam);
    const uint32_t ended = EndedConnections;
    if (error != 0) {
        if (Winsock* owner = SocketOwner) owner->SOCKET_SETERROR(error);
    }
    // The Error handler may have ended the notified connection, and even started the next
    // one, which may have the same handle.
    const bool stillRecorded = EndedConnections == ended && CurrentSocket == notified;
    switch (code) {
        case FD_READ:
            if (stillRecorded) {
                std::string data(kReadSize, '\0');
                const int n = recv(notified, data.data(), kReadSize, 0);
                if (n >= 0) {
                    data.resize(static_cast<size_t>(n));
                    if (Winsock* owner = SocketOwner)
                        owner->SOCKET_RAISEEVENT(kEventReceive, nullptr, &data);
                }
            }
            break;
        case FD_CONNECT:
            if (error == 0) {
                IsConnected = 1;
                if (Winsock* owner = SocketOwner)
                    owner->SOCKET_RAISEEVENT(kEventConnect, nullptr, nullptr);
            }
            break;
        case FD_CLOSE:
            // An Error handler that already started the next connection owns the slot now; this
            // close belongs to the old one and must not end the new one.
            if (!stillRecorded && SocketRecorded()) break;
            if (error == 0 && stillRecorded && AbortedWithDataUnread(notified)) {
                if (Winsock* owner = SocketOwner) owner->SOCKET_SETERROR(WSAECONNRESET);
                if ((EndedConnections != ended || CurrentSocket != notified) && SocketRecorded())
                    break;
            }
            CloseCurrentSocket();
            GiveWindowBack(window);
            IsConnected = 0;
            if (Winsock* owner = SocketOwner)
                owner->SOCKET_RAISEEVENT(kEventDisconnect, nullptr, nullptr);
            break;
        default: break;
    }
    return 0;
}

}  // namespace WinsockAPI

}  // namespace orv::net
