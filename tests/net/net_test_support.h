// Test support for the socket layer: the fault server's control client, a probe on the
// program's own import table, a window of the test's own, a bounded message pump and a
// recording event owner.
#pragma once

#include <windows.h>
#include <winsock.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "control/net/winsock.h"

namespace orv::net::test {

// Client of tests/tools/fault_server.py in control mode, whose port the test runner passes in
// ORV_FAULT_SERVER_PORT. It uses ws2_32 through GetProcAddress so that its own socket calls
// never pass through the import table the probes watch.
class FaultServer {
   public:
    struct Finished {
        std::string end;       // "closed", "eof", "reset", "reset-sent", "error"
        std::string received;  // what the client sent on that connection
    };

    // False (with a reason in Error()) when there is no server to talk to.
    bool Available();
    const std::string& Error() const { return error_; }

    // A listener running the given JSON list of per-connection scripts; its port, or 0.
    uint16_t Listen(const std::string& scripts);
    // The same on a port from 20000 to 32767.
    uint16_t ListenLow(const std::string& scripts);
    // A port that refuses connections.
    uint16_t Refused();
    // Waits until connection `index` of the listener on `port` has finished.
    bool Wait(uint16_t port, int index, int seconds, Finished* out);
    // How many connections the listener has accepted.
    int Accepted(uint16_t port);

    // One request line, one answer line ("OK ..." or "ERR ..."); empty on failure.
    std::string Request(const std::string& line, int timeoutSeconds = 10);

   private:
    uint16_t PortOf(const std::string& answer);
    std::string error_;
};

// Every byte value 0..255 once, in order.
std::string AllByteValues();
// Bytes 0, 1, ... 255, 0, 1, ... of the given length (the server's "pattern").
std::string Pattern(size_t length);
std::string Hex(const std::string& bytes);

// Replaces this program's import-table entry of one function, so that a test sees the calls
// the library under test makes; the replacement forwards to the real function (Original()).
class ImportProbe {
   public:
    ImportProbe(const char* dll, const char* function, void* replacement);
    ~ImportProbe();
    ImportProbe(const ImportProbe&) = delete;
    ImportProbe& operator=(const ImportProbe&) = delete;

    bool Installed() const { return slot_ != nullptr; }
    void* Original() const { return original_; }

   private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

// What the probes saw of the library's calls to wsock32.
struct SocketCalls {
    std::vector<std::string> lookups;  // names passed to gethostbyname
    std::vector<SOCKET> opened;        // sockets returned by socket()
    std::vector<SOCKET> closed;        // sockets passed to closesocket()
    int sends = 0;                     // calls of send()
    std::string closedTwice;           // description of the first double close, if any
    std::vector<SOCKET> open;          // opened and not yet closed
    void Clear() { *this = SocketCalls(); }
};
extern SocketCalls g_calls;

// Installs the probes on gethostbyname, socket, closesocket and send for its lifetime.
class SocketProbes {
   public:
    SocketProbes();
    bool Installed() const;

   private:
    ImportProbe lookup_;
    ImportProbe socket_;
    ImportProbe close_;
    ImportProbe send_;
};

// Messages the test window's own procedure received (socket messages, the probe message and
// WM_NCDESTROY), in order.
struct HostMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
extern std::vector<HostMessage> g_hostMessages;

// A message the host procedure answers with wParam * 3 + lParam + 7.
inline constexpr UINT kProbeMessage = WM_APP + 1;

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// A message-only window of this thread with HostWindowProc as its procedure.
class TestWindow {
   public:
    TestWindow();
    ~TestWindow();
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    HWND get() const { return window_; }
    // The procedure currently installed on the window.
    WNDPROC Procedure() const;
    bool HasOwnProcedure() const { return Procedure() == HostWindowProc; }
    void Destroy();

   private:
    HWND window_ = nullptr;
};

// Dispatches messages until done() holds or timeoutMs pass; whether done() held.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000);
// Dispatches messages for ms milliseconds.
void PumpFor(DWORD ms);

// One event as the owner saw it, with the socket slot at that moment.
struct Event {
    char kind;  // 'C' Connect, 'D' Disconnect, 'R' Receive, 'A' Accept, 'E' Error
    int32_t code = 0;
    std::string data;
    SOCKET currentSocket = 0;
    int16_t isConnected = 0;
    bool windowBorrowed = false;
};

// An owner that records every event and can run a handler of the test's inside it.
class Recorder : public IWinsockEvents {
   public:
    std::vector<Event> events;
    std::function<void()> onConnect;
    std::function<void()> onDisconnect;
    std::function<void(const std::string&)> onReceive;
    std::function<void(int32_t)> onError;

    void OnConnect() override;
    void OnDisconnect() override;
    void OnReceive(const std::string& data) override;
    void OnAccept(int32_t value) override;
    void OnError(int32_t errorId) override;

    // The kinds in order with runs of Receive folded into one "R": "CRD".
    std::string Course() const;
    // The kinds in order, unfolded.
    std::string Kinds() const;
    // All received data, concatenated.
    std::string Received() const;
    int Count(char kind) const;
    bool Has(char kind) const { return Count(kind) > 0; }

   private:
    Event& Record(char kind);
};

}  // namespace orv::net::test
