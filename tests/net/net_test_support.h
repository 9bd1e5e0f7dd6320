// Test support for the socket layer: probes on the program's own import table, a window of
// the test's own, a bounded message pump and a recording event owner. The fault server's
// client and the import probe itself live in tests/support.
#pragma once

#include <windows.h>

#include <winsock.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "control/net/winsock.h"
#include "tests/support/fault_client.h"
#include "tests/support/import_probe.h"
#include "tests/support/message_pump.h"

namespace orv::net::test {

using orv::test::AllByteValues;
using orv::test::FaultServer;
using orv::test::Hex;
using orv::test::ImportProbe;
using orv::test::Pattern;

// What the probes saw of the library's calls to wsock32.
struct SocketCalls {
    std::vector<std::string> lookups;  // names passed to gethostbyname
    std::vector<SOCKET> opened;        // sockets returned by socket()
    std::vector<SOCKET> closed;        // sockets passed to closesocket()
    int sends = 0;                     // calls of send()
    std::string closedTwice;           // description of the first double close, if any
    std::vector<SOCKET> open;          // opened and not yet closed
    int connectFailure = 0;            // when not 0, connect() fails at once with this code
    void Clear() { *this = SocketCalls(); }
};
extern SocketCalls g_calls;

// Installs the probes on gethostbyname, socket, closesocket, send and connect for its
// lifetime.
class SocketProbes {
   public:
    SocketProbes();
    bool Installed() const;

   private:
    ImportProbe lookup_;
    ImportProbe socket_;
    ImportProbe close_;
    ImportProbe send_;
    ImportProbe connect_;
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

using orv::test::PumpFor;
using orv::test::PumpUntil;

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
    Winsock* socket = nullptr;  // whose slot each event records
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
