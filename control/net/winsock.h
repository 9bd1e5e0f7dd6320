// Winsock: the asynchronous TCP client object of the control library. Each object keeps its
// own connection state and borrows its own window, so several objects on one thread (several
// controls on one form) run their connections independently; its events go to the owner
// interface.
#pragma once

#include <windows.h>

#include <winsock.h>

#include <cstdint>
#include <string>

namespace orv::net {

// Receives the events of a Winsock object, synchronously on the thread of its window.
// Handlers may call the object back (send from Connect, disconnect from Error).
class IWinsockEvents {
   public:
    virtual void OnConnect() = 0;
    virtual void OnDisconnect() = 0;
    // One byte per character, unchanged; empty when a read yielded no bytes.
    virtual void OnReceive(const std::string& data) = 0;
    virtual void OnError(int32_t errorId) = 0;
    // A client's connections never raise it.
    virtual void OnAccept(int32_t) {}

   protected:
    ~IWinsockEvents() = default;
};

// The owner of a Winsock object. It brackets every notification the window procedure
// handles: the owner keeps itself (and with it the object and whatever takes its events)
// alive from before the first event until after the last. After ReleaseOwner the object may
// be gone.
class IWinsockOwner {
   public:
    virtual void HoldOwner() = 0;
    virtual void ReleaseOwner() = 0;

   protected:
    ~IWinsockOwner() = default;
};

// Event codes of SOCKET_RAISEEVENT.
enum SocketEventCode : int32_t {
    kEventConnect = 0,
    kEventDisconnect = 1,
    kEventReceive = 2,
    kEventAccept = 3,
};

// A notification being handled (the socket module's own record).
struct Delivery;

// The connection state of one socket object.
struct SocketSlot {
    // Socket of the connection in progress or open; 0 when there is none; INVALID_SOCKET (-1)
    // after an attempt that failed before it started.
    SOCKET CurrentSocket = 0;
    // 1 from a successful connect notification until the connection ends.
    int16_t IsConnected = 0;
    // The window whose procedure is SocketWindowProc for this object; null while nothing is
    // borrowed.
    HWND BorrowedWindow = nullptr;
    // Counts the connections that have ended. The library reuses socket handles at once, so a
    // handle alone cannot tell whether a handler replaced the connection.
    uint32_t EndedConnections = 0;
    // The innermost notification whose events are running, while they run; null otherwise.
    // Reads and closes of its connection that arrive meanwhile wait for it.
    Delivery* Delivering = nullptr;
    // Filled by the start-up of the library; nothing reads it.
    WSADATA SocketInfo{};
};

class Winsock {
   public:
    // Starts one use of the library.
    Winsock();
    // Ends the connection silently and gives the window back, then ends this object's use of
    // the library if CleanupSockets has not.
    ~Winsock();
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;

    // Where the events go; null drops them.
    void SetEvents(IWinsockEvents* events) { events_ = events; }
    IWinsockEvents* Events() const { return events_; }
    // Who is held across each notification; null holds nobody.
    void SetOwner(IWinsockOwner* owner) { owner_ = owner; }
    IWinsockOwner* Owner() const { return owner_; }

    // Starts a connection whose notifications go to hWnd; the outcome arrives as Connect or
    // Error (Error 10065 before the call returns when the attempt cannot start).
    void SOCKET_CONNECT(HWND hWnd, const std::string& host, int16_t port);
    // Ends the connection at once without an event and gives hWnd its procedure back.
    void SOCKET_DISCONNECT(HWND hWnd);
    // Raises the event of code: 0 Connect, 1 Disconnect, 2 Receive with data, 3 Accept with
    // value; any other code raises nothing. Missing arguments count as 0 and empty text.
    void SOCKET_RAISEEVENT(int32_t code, const int32_t* value, const std::string* data);
    // Sends text on the current connection; the result is not checked.
    void SOCKET_SEND(const std::string& text);
    // Raises Error with the code.
    void SOCKET_SETERROR(int32_t errorId);

    // Ends this object's use of the library once: the control's termination calls it, and
    // the destructor then leaves the library alone. Further calls do nothing.
    void CleanupSockets();

    // Bytes read per read notification: 16,384 unless a caller asks for larger reads (a TLS
    // connection, whose records are decrypted whole and handed on in pieces of its own).
    // Kept between kReadSize and kMaxReadSize; takes effect at the next read.
    void SetReadSize(int bytes);
    int ReadSize() const { return readSize_; }

    // Whether this object still holds a use of the library it started.
    bool HoldsLibrary() const { return libraryStarted_; }

    // The connection state (read by the socket module and by tests).
    SocketSlot& Slot() { return slot_; }
    const SocketSlot& Slot() const { return slot_; }

   private:
    IWinsockEvents* events_ = nullptr;
    IWinsockOwner* owner_ = nullptr;
    bool libraryStarted_ = false;
    int readSize_ = 16384;
    SocketSlot slot_;
};

}  // namespace orv::net
