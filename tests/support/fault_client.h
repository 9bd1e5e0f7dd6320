// Client of tests/tools/fault_server.py in control mode, shared by the Windows tests that
// drive byte-level server behaviour, and the byte patterns those tests compare with.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace orv::test {

// Talks to the fault server whose control port the test runner passes in
// ORV_FAULT_SERVER_PORT. It uses ws2_32 through GetProcAddress so that its own socket calls
// never pass through an import table a test's probes watch.
class FaultServer {
   public:
    struct Finished {
        std::string end;       // "closed", "eof", "reset", "reset-sent", "error"
        std::string received;  // what the client sent on that connection
        int64_t sent = -1;     // bytes the server sent on it
    };

    // False (with a reason in Error()) when there is no server to talk to.
    bool Available();
    const std::string& Error() const { return error_; }

    // A listener running the given JSON list of per-connection scripts; its port, or 0.
    uint16_t Listen(const std::string& scripts);
    // The same on a port from 20000 to 32767.
    uint16_t ListenLow(const std::string& scripts);
    // The same, every connection speaking TLS with the localhost test certificate (the
    // runner's --tls); 0 without one.
    uint16_t ListenTls(const std::string& scripts);
    // A port that refuses connections.
    uint16_t Refused();
    // The same from 20000 to 32767.
    uint16_t RefusedLow();
    // A port from 20000 to 32767 whose accept queue is full: connects to it never complete.
    uint16_t FullLow();
    // Waits until connection `index` of the listener on `port` has finished.
    bool Wait(uint16_t port, int index, int seconds, Finished* out);
    // How many connections the listener has accepted, once it has at least `atLeast` (waiting
    // up to 5 s): a client's connect completes before the server's accept call returns.
    int Accepted(uint16_t port, int atLeast = 0);
    // Stops the listener on `port`.
    bool Close(uint16_t port);

    // One request line, one answer line ("OK ..." or "ERR ..."); empty on failure.
    std::string Request(const std::string& line, int timeoutSeconds = 10);

   private:
    uint16_t PortOf(const std::string& answer);
    std::string error_;
};

// Every byte value 0..255 once, in order.
std::string AllByteValues();
// Bytes 0, 1, ... 255, 0, 1, ... of the given length (the server's "pattern").
std::string Pattern(std::size_t length);
std::string Hex(const std::string& bytes);
// A text as a JSON string literal, quotes included; bytes above 127 become \u00XX, so that
// the server's Latin-1 reading gives back the same bytes.
std::string JsonText(const std::string& bytes);

}  // namespace orv::test
