// The socket module: one asynchronous outgoing TCP connection per thread on Windows Sockets
// 1.1, with its notifications delivered to a borrowed window whose procedure is replaced by
// SocketWindowProc for the lifetime of the connection.
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
// Reported for every connection attempt that cannot even start.
inline constexpr int32_t kSetupError = 10065;
// Reported when the library cannot be started.
inline constexpr int32_t kStartupError = 10093;

// The shared socket state, one copy per thread, all zero when the thread starts.
namespace SocketModule {

// Socket of the connection in progress or open; 0 when there is none; INVALID_SOCKET (-1)
// after an attempt that failed before it started.
extern thread_local SOCKET CurrentSocket;
// The procedure SocketWindowProc replaced on BorrowedWindow; null while nothing is borrowed.
extern thread_local WNDPROC PreviousWindowProc;
// 1 from a successful connect notification until the connection ends.
extern thread_local int16_t IsConnected;
// Filled by the start-up of the library; nothing reads it.
extern thread_local WSADATA SocketInfo;
// The newest living socket object of the thread: every event of the module goes to it.
// A socket object clears it when it is destroyed, so it never refers to a dead object.
extern thread_local Winsock* SocketOwner;
// The window whose procedure is SocketWindowProc now; null while nothing is borrowed.
extern thread_local HWND BorrowedWindow;

}  // namespace SocketModule

namespace WinsockAPI {

// Starts a non-blocking connection to Host:Port whose notifications go to Window. Returns the
// socket, or INVALID_SOCKET after raising Error 10065 on the owner when the attempt cannot
// start (port 0xFFFF, unknown host, no socket, linger, select, or a connect that completed at
// once).
SOCKET ConnectSocket(const std::string& host, int32_t port, HWND window);

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

// Installs SocketWindowProc on Window (a window of this thread) unless it is borrowed already,
// first giving back any other window still borrowed. False when Window cannot be borrowed.
bool BorrowWindow(HWND window);

// Gives Window its own procedure back if it is the borrowed window, still exists and still
// has SocketWindowProc installed. Any other window is left alone.
void GiveWindowBack(HWND window);

// Closes the recorded socket, if any, and drops the notifications it left queued on the
// borrowed window, so that a later socket with the same handle never sees them.
void CloseCurrentSocket();

}  // namespace WinsockAPI

}  // namespace orv::net
