#include "control/net/winsock_api.h"

#include <climits>
#include <cstring>
#include <optional>
#include <vector>

#include "control/net/winsock.h"

namespace orv::net {

// A notification whose events are running, and what arrived for its connection meanwhile.
struct Delivery {
    uint32_t ended;  // the connections ended before it: which connection it is about
    std::optional<LPARAM> read;
    std::optional<LPARAM> close;
};

namespace WinsockAPI {

namespace {

// The windows borrowed in this process, each with the object it belongs to (null once the
// object has forgotten it while someone else's procedure keeps ours in its chain) and the
// procedure we replaced, which stays reachable as long as ours is in the window's chain.
// Window properties could carry the same, but under Wine reading one is a round trip to the
// window server, and the procedure needs both at every socket notification.
struct BorrowedWindow {
    HWND window;
    Winsock* owner;
    WNDPROC previous;
};
// Windows of several threads (apartments) are borrowed at once.
SRWLOCK gBorrowedLock = SRWLOCK_INIT;
std::vector<BorrowedWindow> gBorrowed;

// The entry of `window`, copied; a null window when it is not borrowed.
BorrowedWindow FindBorrowed(HWND window) {
    AcquireSRWLockShared(&gBorrowedLock);
    BorrowedWindow found{};
    for (const BorrowedWindow& b : gBorrowed) {
        if (b.window == window) found = b;
    }
    ReleaseSRWLockShared(&gBorrowedLock);
    return found;
}

// Applies `change` to the entry of `window`, if any, under the lock.
template <typename F>
void ChangeBorrowed(HWND window, F&& change) {
    AcquireSRWLockExclusive(&gBorrowedLock);
    for (BorrowedWindow& b : gBorrowed) {
        if (b.window == window) change(b);
    }
    std::erase_if(gBorrowed, [](const BorrowedWindow& b) { return b.window == nullptr; });
    ReleaseSRWLockExclusive(&gBorrowedLock);
}

void ForgetBorrowed(HWND window) {
    ChangeBorrowed(window, [](BorrowedWindow& b) { b.window = nullptr; });
}

// A notification can only be queued by a window of this thread; more than this many is
// someone else posting the message, not our socket.
constexpr int kMaxQueuedNotifications = 4096;

bool SocketRecorded(const SocketSlot& slot) {
    return slot.CurrentSocket != 0 && slot.CurrentSocket != INVALID_SOCKET;
}

// Records the failed attempt and reports it to the owner; tells the caller there is no socket.
SOCKET SetupFailed(Winsock& owner) {
    owner.Slot().CurrentSocket = INVALID_SOCKET;
    owner.SOCKET_SETERROR(kSetupError);
    return INVALID_SOCKET;
}

bool HasOurProcedure(HWND window) {
    return reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window, GWLP_WNDPROC)) == SocketWindowProc;
}

WNDPROC PreviousProcedure(HWND window) {
    return FindBorrowed(window).previous;
}

// Notifications the library posted before the socket was closed are still in the queue; a new
// socket may get the same handle, so they are dropped with the socket. PeekMessage with a
// window and a filter still hands out (and removes) the thread's WM_QUIT: it belongs to the
// host's loop and is posted again with its exit code.
void DiscardNotifications(HWND window) {
    if (window == nullptr || !IsWindow(window)) return;
    MSG msg;
    bool quit = false;
    WPARAM exitCode = 0;
    for (int i = 0; i < kMaxQueuedNotifications &&
                    PeekMessageA(&msg, window, kSocketMessage, kSocketMessage, PM_REMOVE);
         ++i) {
        if (msg.message == WM_QUIT) {
            quit = true;
            exitCode = msg.wParam;
        }
    }
    if (quit) PostQuitMessage(static_cast<int>(exitCode));
}

// Whether the connection a notification was about is still the owner's current one.
bool StillCurrent(const SocketSlot& slot, uint32_t ended, SOCKET notified) {
    return slot.EndedConnections == ended && slot.CurrentSocket == notified;
}

// Handles one notification for Owner's current connection Notified.
void Handle(Winsock& owner, HWND window, SOCKET notified, LPARAM lParam) {
    SocketSlot& slot = owner.Slot();
    const int16_t code = GetSelectEvent(lParam);
    int32_t error = GetSelectError(lParam);
    const uint32_t ended = slot.EndedConnections;
    if (error != 0) owner.SOCKET_SETERROR(error);
    // The Error handler may have ended the notified connection, and even started the next
    // one, which may have the same handle.
    bool stillRecorded = StillCurrent(slot, ended, notified);
    switch (code) {
        case FD_READ:
            if (stillRecorded) {
                std::string data(static_cast<size_t>(owner.ReadSize()), '\0');
                const int n = recv(notified, data.data(), owner.ReadSize(), 0);
                if (n >= 0) {
                    data.resize(static_cast<size_t>(n));
                    owner.SOCKET_RAISEEVENT(kEventReceive, nullptr, &data);
                }
            }
            break;
        case FD_CONNECT:
            if (error == 0) {
                slot.IsConnected = 1;
                owner.SOCKET_RAISEEVENT(kEventConnect, nullptr, nullptr);
            }
            break;
        case FD_CLOSE:
            // A handler that already started the next connection owns the slot now; this
            // close belongs to the old one and must not end the new one.
            if (!stillRecorded && SocketRecorded(slot)) break;
            if (error == 0 && stillRecorded) {
                // The close may be signalled before the last data has been read: what is
                // still buffered is read first, until the end of the stream or an error.
                for (;;) {
                    std::string data(static_cast<size_t>(owner.ReadSize()), '\0');
                    const int n = recv(notified, data.data(), owner.ReadSize(), 0);
                    if (n == 0) break;
                    if (n < 0) {
                        const int failure = WSAGetLastError();
                        if (failure != WSAEWOULDBLOCK) error = failure;
                        break;
                    }
                    data.resize(static_cast<size_t>(n));
                    owner.SOCKET_RAISEEVENT(kEventReceive, nullptr, &data);
                    // The Receive handler ended the connection (or replaced it): it is done.
                    if (!StillCurrent(slot, ended, notified)) return;
                }
                if (error != 0) {
                    owner.SOCKET_SETERROR(error);
                    stillRecorded = StillCurrent(slot, ended, notified);
                    if (!stillRecorded && SocketRecorded(slot)) break;
                }
            }
            CloseCurrentSocket(owner);
            GiveWindowBack(owner, window);
            slot.IsConnected = 0;
            owner.SOCKET_RAISEEVENT(kEventDisconnect, nullptr, nullptr);
            break;
        default: break;
    }
}

// Handles one notification for Owner's connection. Its events may pump messages (a host's
// DoEvents, a message box), and the next notifications of the same connection arrive inside
// them: a read there would raise the next Receive inside the handler of the last, once per
// piece of the stream, so deep that the stack ends, and a close would end the stream under it.
// Those are recorded instead and handled here once the events have returned, one after
// another, reads first. The library posts the next read notification only after a read, so
// the reads recorded here are all that will come while the handler pumps.
void Dispatch(Winsock& owner, HWND window, WPARAM wParam, LPARAM lParam) {
    SocketSlot& slot = owner.Slot();
    const auto notified = static_cast<SOCKET>(wParam);
    if (!SocketRecorded(slot) || notified != slot.CurrentSocket) return;

    const int16_t code = GetSelectEvent(lParam);
    Delivery* const running = slot.Delivering;
    if (running != nullptr && StillCurrent(slot, running->ended, notified)) {
        if (code == FD_READ || code == FD_CLOSE) {
            (code == FD_READ ? running->read : running->close) = lParam;
        } else {
            // Anything else (an error on a write notification) is handled at once, as before.
            Handle(owner, window, notified, lParam);
        }
        return;
    }
    // The outermost notification of its connection (also one of a connection a handler
    // started while another's events ran): handled here, then what arrived meanwhile.
    Delivery delivery{slot.EndedConnections, {}, {}};
    slot.Delivering = &delivery;
    Handle(owner, window, notified, lParam);
    while (StillCurrent(slot, delivery.ended, notified)) {
        std::optional<LPARAM>& next = delivery.read ? delivery.read : delivery.close;
        if (!next) break;
        const LPARAM waiting = *next;
        next.reset();
        Handle(owner, window, notified, waiting);
    }
    slot.Delivering = running;
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

SOCKET ConnectSocket(Winsock& owner, const std::string& host, int32_t port, HWND window) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    const auto port16 = static_cast<u_short>(port & 0xFFFF);
    address.sin_port = htons(port16);
    if (port16 == 0xFFFF) return SetupFailed(owner);

    const int32_t resolved = ResolveHost(host);
    if (resolved == -1) return SetupFailed(owner);
    address.sin_addr.s_addr = static_cast<u_long>(resolved);

    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return SetupFailed(owner);

    // Linger on with no time: closing resets the connection at once.
    if (SetLinger(s, 1, 0) == -1) {
        closesocket(s);
        return SetupFailed(owner);
    }
    // Before connect, so that the socket is non-blocking and the outcome is a notification.
    if (WSAAsyncSelect(s, window, kSocketMessage, kSelectMask) != 0) {
        closesocket(s);
        return SetupFailed(owner);
    }
    // A non-blocking connect answers -1 with WSAEWOULDBLOCK while it is in progress, which is
    // the normal case. Any other answer means no notification will ever come.
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != -1 ||
        WSAGetLastError() != WSAEWOULDBLOCK) {
        closesocket(s);
        DiscardNotifications(window);
        return SetupFailed(owner);
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

Winsock* WindowOwner(HWND window) {
    return window != nullptr ? FindBorrowed(window).owner : nullptr;
}

bool BorrowWindow(Winsock& owner, HWND window) {
    SocketSlot& slot = owner.Slot();
    if (window == nullptr || !IsWindow(window) ||
        GetWindowThreadProcessId(window, nullptr) != GetCurrentThreadId())
        return false;
    if (slot.BorrowedWindow == window && HasOurProcedure(window)) return true;
    if (slot.BorrowedWindow != nullptr) GiveWindowBack(owner, slot.BorrowedWindow);
    // A window still borrowed here has been subclassed again on top of us; its messages
    // keep passing through us, so a second window cannot be borrowed.
    if (slot.BorrowedWindow != nullptr) return false;
    // A window that still carries our procedure (another object's, or one left in a chain)
    // cannot serve two connections.
    if (PreviousProcedure(window) != nullptr) return false;
    SetLastError(0);
    const LONG_PTR previous =
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SocketWindowProc));
    if (previous == 0) return false;
    AcquireSRWLockExclusive(&gBorrowedLock);
    gBorrowed.push_back({window, &owner, reinterpret_cast<WNDPROC>(previous)});
    ReleaseSRWLockExclusive(&gBorrowedLock);
    slot.BorrowedWindow = window;
    return true;
}

void GiveWindowBack(Winsock& owner, HWND window) {
    SocketSlot& slot = owner.Slot();
    if (window == nullptr || window != slot.BorrowedWindow) return;
    if (IsWindow(window)) {
        // Someone subclassed the window after us: unhooking now would cut their chain, so
        // the window stays borrowed and we keep passing its messages on.
        if (!HasOurProcedure(window)) return;
        SetWindowLongPtrA(window, GWLP_WNDPROC,
                          reinterpret_cast<LONG_PTR>(PreviousProcedure(window)));
    }
    // A window that is gone took our procedure with it.
    ForgetBorrowed(window);
    slot.BorrowedWindow = nullptr;
}

void ForgetWindow(Winsock& owner) {
    SocketSlot& slot = owner.Slot();
    const HWND window = slot.BorrowedWindow;
    if (window == nullptr) return;
    GiveWindowBack(owner, window);
    if (slot.BorrowedWindow != nullptr) {
        // Still in someone's chain: messages pass on, notifications reach nobody.
        ChangeBorrowed(window, [](BorrowedWindow& b) { b.owner = nullptr; });
        slot.BorrowedWindow = nullptr;
    }
}

void CloseCurrentSocket(Winsock& owner) {
    SocketSlot& slot = owner.Slot();
    if (SocketRecorded(slot)) {
        closesocket(slot.CurrentSocket);
        DiscardNotifications(slot.BorrowedWindow);
        ++slot.EndedConnections;
    }
    slot.CurrentSocket = 0;
}

LRESULT CALLBACK SocketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Only a borrowed window has this procedure; anything else has no procedure to go to.
    const BorrowedWindow borrowed = FindBorrowed(window);
    const WNDPROC previous = borrowed.previous;
    if (previous == nullptr) return DefWindowProcA(window, message, wParam, lParam);
    Winsock* owner = borrowed.owner;

    if (message == WM_NCDESTROY) {
        // The window goes away with the connection on it: end the connection silently and
        // forget the window, so its stale procedure is never installed anywhere later.
        if (owner != nullptr) {
            CloseCurrentSocket(*owner);
            owner->Slot().IsConnected = 0;
            owner->Slot().BorrowedWindow = nullptr;
        }
        ForgetBorrowed(window);
        return CallWindowProcA(previous, window, message, wParam, lParam);
    }
    if (message != kSocketMessage)
        return CallWindowProcA(previous, window, message, wParam, lParam);
    if (owner == nullptr) return 0;

    // The owner stays alive until the notification has been handled whole, whatever its
    // handlers release; after ReleaseOwner nothing here is touched again.
    IWinsockOwner* holder = owner->Owner();
    if (holder != nullptr) holder->HoldOwner();
    Dispatch(*owner, window, wParam, lParam);
    if (holder != nullptr) holder->ReleaseOwner();
    return 0;
}

}  // namespace WinsockAPI

}  // namespace orv::net
