// The socket module: asynchronous outgoing TCP connections on Windows Sockets 1.1, one per
// socket object, with the notifications of each delivered to the window that object borrowed
// (its procedure replaced by SocketWindowProc for the lifetime of the connection). The window
// carries the object it belongs to, so no state is shared between objects or kept per thread.
#pragma once

#include <windows.h>

#include <winsock.h>

#include <cstdint>
#include <string>

namespace orv::net {

class Winsock;

// Message the library posts to the borrowed window (WM_USER + 1).
inline constexpr UINT kSocketMessage = 1025;
// FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE.
inline constexpr long kSelectMask = 0x33;
// Windows Sockets 1.1.
inline constexpr WORD kSocketVersion = 0x0101;
// Bytes read per read notification.
inline constexpr int kReadSize = 16384;
// The most a socket object may read per notification when asked for larger reads.
inline constexpr int kMaxReadSize = 256 * 1024;
// Reported for every connection attempt that cannot even start.
inline constexpr int32_t kSetupError = 10065;
// Reported when the library cannot be started.
inline constexpr int32_t kStartupError = 10093;

namespace WinsockAPI {

// Starts a non-blocking connection to Host:Port whose notifications go to Window. Returns the
// socket, or INVALID_SOCKET when the attempt cannot start (port 0xFFFF, unknown host, no
// socket, linger, select, a connect that completed at once or failed at once): then the
// owner's CurrentSocket is -1 and its Error 10065 has been raised before the call returns.
SOCKET ConnectSocket(Winsock& owner, const std::string& host, int32_t port, HWND window);

// IPv4 address of Host in network byte order: a dotted address as it is, otherwise the first
// address of a name lookup; -1 when neither works.
int32_t ResolveHost(const std::string& host);

// Sets SO_LINGER and reads it back; 0, or -1 when either call fails.
int SetLinger(SOCKET s, int16_t on, int16_t seconds);

// Sends the bytes of Text once; returns what send returned, or 0 for empty text (no call).
int SendData(SOCKET s, const std::string& text);

// Cancels a blocking call in progress on this thread and ends one use of the library.
void CleanupSockets();

// The procedure installed on the borrowed window.
LRESULT CALLBACK SocketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Notification code (low 16 bits) and error code (high 16 bits) of a notification.
int16_t GetSelectEvent(LPARAM lParam);
int16_t GetSelectError(LPARAM lParam);

// Installs SocketWindowProc on Window (a window of this thread) for Owner unless Owner has
// borrowed it already, first giving back any other window Owner still borrows. False when
// Window cannot be borrowed (not ours, or borrowed by another object).
bool BorrowWindow(Winsock& owner, HWND window);

// Gives Window its own procedure back if it is Owner's borrowed window, still exists and
// still has SocketWindowProc installed. Any other window is left alone.
void GiveWindowBack(Winsock& owner, HWND window);

// Owner goes away: its window gets its procedure back, or, when someone subclassed it on top
// of us, keeps passing its messages on without ever reaching Owner again.
void ForgetWindow(Winsock& owner);

// Closes Owner's recorded socket, if any, and drops the notifications it left queued on the
// borrowed window, so that a later socket with the same handle never sees them.
void CloseCurrentSocket(Winsock& owner);

// The object whose window this is, while it borrows it; null otherwise.
Winsock* WindowOwner(HWND window);

}  // namespace WinsockAPI

}  // namespace orv::net
