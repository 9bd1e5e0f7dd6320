// Winsock: the asynchronous TCP client object of the control library. Its connection state is
// the per-thread slot of the socket module; its events go to the owner interface.
#pragma once

#include <windows.h>

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
    virtual void OnAccept(int32_t value) = 0;
    virtual void OnError(int32_t errorId) = 0;

   protected:
    ~IWinsockEvents() = default;
};

// Event codes of SOCKET_RAISEEVENT.
enum SocketEventCode : int32_t {
    kEventConnect = 0,
    kEventDisconnect = 1,
    kEventReceive = 2,
    kEventAccept = 3,
};

class Winsock {
   public:
    // Makes this object the thread's socket owner and starts one use of the library.
    Winsock();
    // Ends this object's use of the library if CleanupSockets has not; stops being the owner.
    // Neither closes a socket nor gives a window back.
    ~Winsock();
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;

    // Where the events go; null drops them.
    void SetEvents(IWinsockEvents* events) { events_ = events; }

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

    // Whether this object still holds a use of the library it started.
    bool HoldsLibrary() const { return libraryStarted_; }

   private:
    IWinsockEvents* events_ = nullptr;
    bool libraryStarted_ = false;
};

}  // namespace orv::net
