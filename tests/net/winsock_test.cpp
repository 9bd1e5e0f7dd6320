// The socket object and module on the real Windows Sockets library, against fault servers on
// 127.0.0.1 that the test runner starts (tests/tools/with_fault_server.py).
#include "control/net/winsock.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

#include "control/net/winsock_api.h"
#include "tests/net/net_test_support.h"

namespace orv::net::test {
namespace {

using namespace WinsockAPI;

// A label longer than the 63 bytes a DNS name can carry: the resolver gives up before asking
// anyone, so this unknown host sends no query off the machine.
const std::string kUnknownHost = std::string(64, 'x') + ".invalid";

const int32_t kLoopback = static_cast<int32_t>(0x0100007F);  // 127.0.0.1, network order

// Numbers hosts see, written here rather than taken from the product: a changed constant in
// the product must fail a test.
constexpr int32_t kSetupFailure = 10065;     // the error of a connection that could not be set up
constexpr std::size_t kLargestRead = 16384;  // bytes handed over by one read notification

// A server that holds the connection open and says nothing.
const char kSilent[] = R"([[{"op":"silent","seconds":20}]])";

class WinsockTest : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(probes_.Installed()) << "the library's wsock32 imports were not found";
        g_calls.Clear();
        g_hostMessages.clear();
        ASSERT_NE(window_.get(), nullptr);
        socket_ = std::make_unique<Winsock>();
        socket_->SetEvents(&rec_);
        rec_.socket = socket_.get();
    }

    void TearDown() override {
        if (socket_) {
            socket_->SOCKET_DISCONNECT(window_.get());
            EXPECT_EQ(socket_->Slot().BorrowedWindow, nullptr);
            EXPECT_EQ(socket_->Slot().IsConnected, 0);
        }
        EXPECT_EQ(g_calls.closedTwice, "");
        EXPECT_TRUE(g_calls.open.empty()) << g_calls.open.size() << " socket(s) left open";
        socket_.reset();
        window_.Destroy();
    }

    // A listener with the given scripts; 0 (and a failure) without a fault server.
    uint16_t Listen(const std::string& scripts) {
        if (!server_.Available()) {
            ADD_FAILURE() << server_.Error();
            return 0;
        }
        const uint16_t port = server_.Listen(scripts);
        EXPECT_NE(port, 0) << server_.Error();
        return port;
    }

    void Connect(uint16_t port, HWND window = nullptr) {
        // Ports travel as signed 16-bit numbers; the module takes their low 16 bits.
        socket_->SOCKET_CONNECT(window != nullptr ? window : window_.get(), "127.0.0.1",
                                static_cast<int16_t>(port));
    }

    bool PumpUntilCount(char kind, int count = 1, DWORD ms = 5000) {
        return PumpUntil([&] { return rec_.Count(kind) >= count; }, ms);
    }

    FaultServer::Finished Finish(uint16_t port, int index = 0) {
        FaultServer::Finished f;
        EXPECT_TRUE(server_.Wait(port, index, 10, &f)) << server_.Error();
        return f;
    }

    SocketProbes probes_;
    TestWindow window_;
    Recorder rec_;
    std::unique_ptr<Winsock> socket_;
    FaultServer server_;
};

// --- module procedures ---------------------------------------------------------------------

TEST_F(WinsockTest, ResolveHostLooksUpOnlyWhatIsNotADottedAddress) {
    EXPECT_EQ(ResolveHost("127.0.0.1"), kLoopback);
    EXPECT_EQ(ResolveHost("10.0.0.1"), static_cast<int32_t>(0x0100000A));
    EXPECT_TRUE(g_calls.lookups.empty()) << "a dotted address went to the name lookup";

    EXPECT_EQ(ResolveHost("localhost"), kLoopback);
    // The broadcast address is what inet_addr answers for "not an address", so it goes to
    // the lookup, which resolves it to that same -1.
    EXPECT_EQ(ResolveHost("255.255.255.255"), -1);
    EXPECT_EQ(ResolveHost(kUnknownHost), -1);
    EXPECT_EQ(g_calls.lookups,
              (std::vector<std::string>{"localhost", "255.255.255.255", kUnknownHost}));

    // A NUL inside the text would silently name another host.
    EXPECT_EQ(ResolveHost(std::string("127.0.0.1\0.example", 18)), -1);
}

TEST_F(WinsockTest, SetLingerSetsAndReadsBack) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(SetLinger(s, 1, 0), 0);
    linger value{};
    int length = sizeof value;
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&value), &length), 0);
    EXPECT_EQ(value.l_onoff, 1);
    EXPECT_EQ(value.l_linger, 0);
    closesocket(s);
    EXPECT_EQ(SetLinger(INVALID_SOCKET, 1, 0), -1);
}

TEST_F(WinsockTest, PortPatternFFFFFailsBeforeAnythingElse) {
    for (int32_t port : {65535, -1, 0x1FFFF}) {
        EXPECT_EQ(ConnectSocket(*socket_, "127.0.0.1", port, window_.get()), INVALID_SOCKET)
            << port;
    }
    EXPECT_EQ(rec_.Kinds(), "EEE");
    for (const Event& e : rec_.events) EXPECT_EQ(e.code, kSetupFailure);
    EXPECT_TRUE(g_calls.opened.empty());

    rec_.events.clear();
    socket_->SOCKET_CONNECT(window_.get(), "127.0.0.1", -1);
    EXPECT_EQ(rec_.Kinds(), "E");
    EXPECT_EQ(rec_.events[0].code, kSetupFailure);
    EXPECT_EQ(socket_->Slot().CurrentSocket, INVALID_SOCKET);
    socket_->SOCKET_DISCONNECT(window_.get());
    EXPECT_TRUE(window_.HasOwnProcedure());
}

TEST_F(WinsockTest, SendDataOfEmptyTextCallsNothing) {
    EXPECT_EQ(SendData(INVALID_SOCKET, ""), 0);
    EXPECT_EQ(g_calls.sends, 0);
    EXPECT_EQ(SendData(INVALID_SOCKET, "x"), SOCKET_ERROR);
    EXPECT_EQ(g_calls.sends, 1);
}

TEST_F(WinsockTest, RaiseEventDeliversKnownCodesOnly) {
    const int32_t value = 77;
    const std::string data = "piece";
    socket_->SOCKET_RAISEEVENT(kEventAccept, &value, nullptr);
    socket_->SOCKET_RAISEEVENT(kEventReceive, nullptr, &data);
    socket_->SOCKET_RAISEEVENT(kEventReceive, nullptr, nullptr);
    socket_->SOCKET_RAISEEVENT(4, &value, &data);
    socket_->SOCKET_RAISEEVENT(-1, &value, &data);
    socket_->SOCKET_RAISEEVENT(kEventConnect, nullptr, nullptr);
    socket_->SOCKET_RAISEEVENT(kEventDisconnect, nullptr, nullptr);
    socket_->SOCKET_SETERROR(10061);
    ASSERT_EQ(rec_.Kinds(), "ARRCDE");
    EXPECT_EQ(rec_.events[0].code, 77);
    EXPECT_EQ(rec_.events[1].data, "piece");
    EXPECT_EQ(rec_.events[2].data, "");
    EXPECT_EQ(rec_.events[5].code, 10061);
}

// --- courses of one connection -------------------------------------------------------------

TEST_F(WinsockTest, NormalExchangeConnectsReceivesInOrderAndDisconnects) {
    ASSERT_TRUE(server_.Available()) << server_.Error();
    const std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody";
    const uint16_t port = server_.ListenLow(R"([[{"op":"recv","until":"\r\n\r\n"},)"
                                            R"({"op":"send","hex":")" +
                                            Hex(reply) + R"(","pieces":[4,13,9],"pause":0.2}]])");
    ASSERT_GT(port, 0);
    ASSERT_LT(port, 32768);
    const std::string request = "GET /update.orv HTTP/1.0\r\n\r\n";
    rec_.onConnect = [&] { socket_->SOCKET_SEND(request); };

    Connect(port);
    EXPECT_TRUE(rec_.events.empty()) << "nothing is raised before the connection stands";
    EXPECT_NE(socket_->Slot().CurrentSocket, 0u);
    EXPECT_FALSE(window_.HasOwnProcedure());
    ASSERT_TRUE(PumpUntilCount('D')) << rec_.Kinds();

    EXPECT_EQ(rec_.Course(), "CRD");
    EXPECT_GE(rec_.Count('R'), 2) << "pieces sent with pauses arrive as separate reads";
    EXPECT_EQ(rec_.Received(), reply);
    EXPECT_EQ(rec_.events.front().isConnected, 1) << "IsConnected is set before Connect";
    const Event& last = rec_.events.back();
    EXPECT_EQ(last.currentSocket, 0u) << "the slot is cleared before Disconnect";
    EXPECT_EQ(last.isConnected, 0);
    EXPECT_FALSE(last.windowBorrowed) << "the window is given back before Disconnect";
    EXPECT_TRUE(window_.HasOwnProcedure());
    EXPECT_EQ(Finish(port).received, request);
}

TEST_F(WinsockTest, UnknownHostRaisesErrorInsideConnectAndNothingElse) {
    socket_->SOCKET_CONNECT(window_.get(), kUnknownHost, 80);
    ASSERT_EQ(rec_.Kinds(), "E") << "the error is raised before SOCKET_CONNECT returns";
    EXPECT_EQ(rec_.events[0].code, kSetupFailure);
    EXPECT_EQ(socket_->Slot().CurrentSocket, INVALID_SOCKET);
    EXPECT_TRUE(g_calls.opened.empty());
    PumpFor(300);
    EXPECT_EQ(rec_.Kinds(), "E");
    socket_->SOCKET_DISCONNECT(window_.get());
    EXPECT_TRUE(window_.HasOwnProcedure());
    EXPECT_EQ(socket_->Slot().CurrentSocket, 0u);
}

TEST_F(WinsockTest, RefusedConnectionGivesExactlyOneErrorAndNoConnect) {
    ASSERT_TRUE(server_.Available()) << server_.Error();
    const uint16_t port = server_.Refused();
    ASSERT_NE(port, 0) << server_.Error();
    Connect(port);
    EXPECT_TRUE(rec_.events.empty());
    ASSERT_TRUE(PumpUntilCount('E')) << rec_.Kinds();
    PumpFor(400);
    ASSERT_EQ(rec_.Kinds(), "E");
    EXPECT_EQ(rec_.events[0].code, 10061);
    // The attempt stays recorded until the owner ends it.
    EXPECT_NE(socket_->Slot().CurrentSocket, 0u);
    EXPECT_FALSE(window_.HasOwnProcedure());
    socket_->SOCKET_DISCONNECT(window_.get());
    EXPECT_TRUE(window_.HasOwnProcedure());
    EXPECT_EQ(g_calls.closed.size(), 1u);
}

TEST_F(WinsockTest, ResetByServerEndsWithDisconnectAfterAnyError) {
    // The reset follows the client's "go", sent once the connect is reported: Wine derives the
    // connect notification when it gets to it, and a reset already in by then fails the connect.
    const uint16_t port = Listen(R"([[{"op":"recv","until":"go"},{"op":"reset"}]])");
    ASSERT_NE(port, 0);
    Connect(port);
    ASSERT_TRUE(PumpUntilCount('C')) << rec_.Kinds();
    socket_->SOCKET_SEND("go");
    ASSERT_TRUE(PumpUntilCount('D')) << rec_.Kinds();
    PumpFor(200);
    // Wine reports a reset as a close notification, with or without an error code
    // depending on the host; either way an error comes before the one Disconnect.
    const std::string kinds = rec_.Kinds();
    EXPECT_TRUE(kinds == "CD" || kinds == "CED") << kinds;
    for (const Event& e : rec_.events) {
        if (e.kind == 'E') {
            EXPECT_NE(e.code, 0);
        }
    }
    EXPECT_TRUE(window_.HasOwnProcedure());
}

TEST_F(WinsockTest, CloseWithDataStillUnreadDeliversItBeforeTheEnd) {
    // A close signalled while data still waits to be read, as Windows may signal a graceful
    // close: the data arrives first, then the end, and no reset is made up.
    const uint16_t quiet = Listen(
        R"([[{"op":"pause","seconds":0.2},{"op":"send","text":"buffered"},{"op":"silent","seconds":5}]])");
    ASSERT_NE(quiet, 0);
    Connect(quiet);
    ASSERT_TRUE(PumpUntilCount('C'));
    Sleep(600);  // the data arrives, unread: nothing is dispatched meanwhile
    SendMessageA(window_.get(), kSocketMessage, socket_->Slot().CurrentSocket,
                 WSAMAKESELECTREPLY(FD_CLOSE, 0));
    EXPECT_EQ(rec_.Course(), "CRD");
    EXPECT_EQ(rec_.Received(), "buffered");
    EXPECT_TRUE(window_.HasOwnProcedure());
    rec_.events.clear();

    // Far more than one read notification takes, then an orderly close right behind it: the
    // close may be signalled while data is still buffered, and all of it arrives first.
    const uint16_t port = Listen(R"([[{"op":"send","pattern":2097152},{"op":"close"}]])");
    ASSERT_NE(port, 0);
    Connect(port);
    ASSERT_TRUE(PumpUntilCount('D', 1, 10000)) << rec_.Course();
    PumpFor(200);
    EXPECT_EQ(rec_.Course(), "CRD");
    EXPECT_EQ(rec_.Received(), Pattern(2097152));
    EXPECT_TRUE(window_.HasOwnProcedure());

    // Behind a reset, what was buffered still arrives; the end is either a plain close (the
    // owner tells a cut body by its declared length) or the reset's own error, then the end.
    // As above, the server starts once the connect has been reported.
    rec_.events.clear();
    const uint16_t reset =
        Listen(R"([[{"op":"recv","until":"go"},{"op":"send","pattern":2097152},{"op":"reset"}]])");
    ASSERT_NE(reset, 0);
    Connect(reset);
    ASSERT_TRUE(PumpUntilCount('C')) << rec_.Course();
    socket_->SOCKET_SEND("go");
    ASSERT_TRUE(PumpUntilCount('D', 1, 10000)) << rec_.Course();
    PumpFor(200);
    const std::string course = rec_.Course();
    EXPECT_TRUE(course == "CRD" || course == "CRED") << course;
    for (const Event& e : rec_.events) {
        if (e.kind == 'E') {
            EXPECT_EQ(e.code, WSAECONNRESET);
        }
    }
    EXPECT_LE(rec_.Received().size(), 2097152u);
    EXPECT_EQ(rec_.Received(), Pattern(2097152).substr(0, rec_.Received().size()));
}

TEST_F(WinsockTest, ConnectThatFailsAtOnceIsASetupFailure) {
    // A non-blocking connect answering anything but "would block" never notifies: the attempt
    // is reported at once like every other set-up failure, and its socket is closed.
    const uint16_t port = Listen(kSilent);
    ASSERT_NE(port, 0);
    g_calls.connectFailure = WSAECONNREFUSED;
    Connect(port);
    g_calls.connectFailure = 0;
    ASSERT_EQ(rec_.Kinds(), "E");
    EXPECT_EQ(rec_.events[0].code, kSetupFailure);
    EXPECT_EQ(socket_->Slot().CurrentSocket, INVALID_SOCKET);
    EXPECT_EQ(g_calls.opened.size(), 1u);
    EXPECT_TRUE(g_calls.open.empty());
    PumpFor(200);
    EXPECT_EQ(rec_.Kinds(), "E");
}

TEST_F(WinsockTest, CloseNotificationWithErrorRaisesErrorFirstThenDisconnect) {
    const uint16_t port = Listen(kSilent);
    ASSERT_NE(port, 0);
    Connect(port);
    ASSERT_TRUE(PumpUntilCount('C'));
    const SOCKET s = socket_->Slot().CurrentSocket;
    SendMessageA(window_.get(), kSocketMessage, s, WSAMAKESELECTREPLY(FD_CLOSE, WSAECONNABORTED));
    ASSERT_EQ(rec_.Kinds(), "CED");
    EXPECT_EQ(rec_.events[1].code, WSAECONNABORTED);
    // Error comes while the connection is still recorded, Disconnect after it is cleared.
    EXPECT_EQ(rec_.events[1].currentSocket, s);
    EXPECT_EQ(rec_.events[2].currentSocket, 0u);
    EXPECT_FALSE(rec_.events[2].windowBorrowed);
    EXPECT_TRUE(window_.HasOwnProcedure());
    EXPECT_EQ(Finish(port).end, "reset");
}

TEST_F(WinsockTest, CloseAfterAnErrorHandlerStartedANewConnectionLeavesTheNewOneAlone) {
    const uint16_t first = Listen(kSilent);
    const uint16_t second = Listen(kSilent);
    ASSERT_NE(first, 0);
    ASSERT_NE(second, 0);
    rec_.onError = [&](int32_t) {
        socket_->SOCKET_DISCONNECT(window_.get());
        Connect(second);
    };
    Connect(first);
    ASSERT_TRUE(PumpUntilCount('C'));
    SendMessageA(window_.get(), kSocketMessage, socket_->Slot().CurrentSocket,
                 WSAMAKESELECTREPLY(FD_CLOSE, WSAECONNABORTED));
    EXPECT_EQ(rec_.Kinds(), "CE") << "the close belonged to the connection the handler ended";
    ASSERT_TRUE(PumpUntilCount('C', 2));
    EXPECT_EQ(rec_.Kinds(), "CEC");
    EXPECT_EQ(socket_->Slot().IsConnected, 1);
    EXPECT_EQ(server_.Accepted(second, 1), 1);
}

TEST_F(WinsockTest, DisconnectIsSilentResetsAndALaterConnectWorks) {
    const uint16_t silent = Listen(kSilent);
    const uint16_t normal = Listen(R"([[{"op":"send","text":"fresh"},{"op":"close"}]])");
    ASSERT_NE(silent, 0);
    ASSERT_NE(normal, 0);
    Connect(silent);
    ASSERT_TRUE(PumpUntilCount('C'));
    socket_->SOCKET_DISCONNECT(window_.get());
    EXPECT_EQ(socket_->Slot().CurrentSocket, 0u);
    EXPECT_EQ(socket_->Slot().IsConnected, 0);
    EXPECT_TRUE(window_.HasOwnProcedure());
    // Linger on with no time: the server sees a reset, not an orderly close.
    EXPECT_EQ(Finish(silent).end, "reset");
    PumpFor(300);
    EXPECT_EQ(rec_.Kinds(), "C") << "SOCKET_DISCONNECT raises no event";

    Connect(normal);
    ASSERT_TRUE(PumpUntilCount('D'));
    EXPECT_EQ(rec_.Course(), "CCRD");
    EXPECT_EQ(rec_.Received(), "fresh");
    EXPECT_EQ(g_calls.opened.size(), 2u);
    EXPECT_EQ(g_calls.closed.size(), 2u);
}

TEST_F(WinsockTest, ConnectWhileConnectedEndsTheOldConnectionSilently) {
    const uint16_t first = Listen(kSilent);
    const uint16_t second = Listen(R"([[{"op":"send","text":"two"},{"op":"close"}]])");
    ASSERT_NE(first, 0);
    ASSERT_NE(second, 0);
    Connect(first);
    ASSERT_TRUE(PumpUntilCount('C'));
    const SOCKET old = socket_->Slot().CurrentSocket;
    Connect(second);
    EXPECT_EQ(rec_.Kinds(), "C") << "no event for the old connection";
    ASSERT_EQ(g_calls.closed.size(), 1u);
    EXPECT_EQ(g_calls.closed[0], old);
    EXPECT_EQ(Finish(first).end, "reset");
    ASSERT_TRUE(PumpUntilCount('D'));
    EXPECT_EQ(rec_.Course(), "CCRD");
    EXPECT_EQ(rec_.Received(), "two");
    EXPECT_TRUE(window_.HasOwnProcedure());
}

TEST_F(WinsockTest, ConnectAfterAFailedAttemptWithoutDisconnectLeavesNothingBehind) {
    ASSERT_TRUE(server_.Available()) << server_.Error();
    const uint16_t refused = server_.Refused();
    const uint16_t normal = server_.Listen(R"([[{"op":"send","text":"ok"},{"op":"close"}]])");
    ASSERT_NE(refused, 0);
    ASSERT_NE(normal, 0);
    Connect(refused);
    ASSERT_TRUE(PumpUntilCount('E'));
    // The caller skips SOCKET_DISCONNECT: the refused socket is closed and the window is
    // borrowed once, not twice.
    Connect(normal);
    ASSERT_EQ(g_calls.closed.size(), 1u);
    EXPECT_EQ(g_calls.closed[0], g_calls.opened[0]);
    EXPECT_EQ(SendMessageA(window_.get(), kProbeMessage, 2, 3), 2 * 3 + 3 + 7);
    ASSERT_TRUE(PumpUntilCount('D'));
    EXPECT_EQ(rec_.Course(), "ECRD");
    EXPECT_TRUE(window_.HasOwnProcedure());
}

// --- notifications -------------------------------------------------------------------------

TEST_F(WinsockTest, ForeignSocketMessageIsSwallowedOtherMessagesPassUnchanged) {
    const uint16_t port = Listen(kSilent);
    ASSERT_NE(port, 0);
    Connect(port);
    ASSERT_TRUE(PumpUntilCount('C'));
    const SOCKET s = socket_->Slot().CurrentSocket;
    g_hostMessages.clear();

    for (WPARAM foreign : {static_cast<WPARAM>(s + 4), static_cast<WPARAM>(0),
                           static_cast<WPARAM>(INVALID_SOCKET)}) {
        EXPECT_EQ(SendMessageA(window_.get(), kSocketMessage, foreign,
                               WSAMAKESELECTREPLY(FD_CLOSE, WSAECONNRESET)),
                  0);
    }
    EXPECT_TRUE(g_hostMessages.empty()) << "socket messages never reach the window's procedure";
    EXPECT_EQ(rec_.Kinds(), "C");
    EXPECT_EQ(socket_->Slot().CurrentSocket, s);

    EXPECT_EQ(SendMessageA(window_.get(), kProbeMessage, 5, 11), 5 * 3 + 11 + 7);
    ASSERT_EQ(g_hostMessages.size(), 1u);
    EXPECT_EQ(g_hostMessages[0].window, window_.get());
    EXPECT_EQ(g_hostMessages[0].message, kProbeMessage);
    EXPECT_EQ(g_hostMessages[0].wParam, 5u);
    EXPECT_EQ(g_hostMessages[0].lParam, 11);
}

TEST_F(WinsockTest, ReadThatYieldsNothingRaisesNothingAndEndOfDataRaisesEmptyReceive) {
    const uint16_t port = Listen(R"([[{"op":"recv","until":"bye"},{"op":"close","drain":0}]])");
    ASSERT_NE(port, 0);
    Connect(port);
    ASSERT_TRUE(PumpUntilCount('C'));
    const SOCKET s = socket_->Slot().CurrentSocket;

    // Nothing to read yet: recv fails and no event is raised.
    SendMessageA(window_.get(), kSocketMessage, s, WSAMAKESELECTREPLY(FD_READ, 0));
    EXPECT_EQ(rec_.Kinds(), "C");

    // Once the server has closed, a read returns 0 bytes: Receive with empty text.
    socket_->SOCKET_SEND("bye");
    EXPECT_EQ(Finish(port).end, "closed");
    Sleep(200);
    SendMessageA(window_.get(), kSocketMessage, s, WSAMAKESELECTREPLY(FD_READ, 0));
    ASSERT_EQ(rec_.Kinds(), "CR");
    EXPECT_EQ(rec_.events[1].data, "");
    ASSERT_TRUE(PumpUntilCount('D'));
    EXPECT_EQ(rec_.Received(), "");
}

TEST_F(WinsockTest, ReadErrorIsReportedBeforeTheReadUnlessTheHandlerDisconnects) {
    const uint16_t port = Listen(
        R"([[{"op":"recv","until":"go"},{"op":"send","text":"data"},{"op":"silent","seconds":20}]])");
    ASSERT_NE(port, 0);
    for (bool disconnectOnError : {false, true}) {
        SCOPED_TRACE(disconnectOnError ? "handler disconnects" : "handler does nothing");
        rec_.events.clear();
        rec_.onError = [&](int32_t) {
            if (disconnectOnError) socket_->SOCKET_DISCONNECT(window_.get());
        };
        Connect(port);
        ASSERT_TRUE(PumpUntilCount('C'));
        const SOCKET s = socket_->Slot().CurrentSocket;
        socket_->SOCKET_SEND("go");
        Sleep(300);  // the server's answer reaches the socket; the queue is not pumped
        SendMessageA(window_.get(), kSocketMessage, s, WSAMAKESELECTREPLY(FD_READ, WSAECONNRESET));
        if (disconnectOnError) {
            EXPECT_EQ(rec_.Kinds(), "CE");
            EXPECT_EQ(socket_->Slot().CurrentSocket, 0u);
        } else {
            ASSERT_EQ(rec_.Kinds(), "CER");
            EXPECT_EQ(rec_.events[1].code, WSAECONNRESET);
            EXPECT_EQ(rec_.events[2].data, "data");
        }
        socket_->SOCKET_DISCONNECT(window_.get());
        PumpFor(200);
    }
}

TEST_F(WinsockTest, LargeReplyArrivesInPiecesOfAtMostTheReadSize) {
    const uint16_t port = Listen(R"([[{"op":"send","pattern":20000},{"op":"close"}]])");
    ASSERT_NE(port, 0);
    Connect(port);
    ASSERT_TRUE(PumpUntilCount('D', 1, 10000)) << rec_.Kinds();
    EXPECT_EQ(rec_.Course(), "CRD");
    EXPECT_GE(rec_.Count('R'), 2);
    // One send of 20000 bytes on the loopback is there whole by the first read, which takes
    // exactly the read size.
    std::size_t largest = 0;
    for (const Event& e : rec_.events) largest = std::max(largest, e.data.size());
    EXPECT_EQ(largest, kLargestRead);
    EXPECT_TRUE(rec_.Received() == Pattern(20000)) << "received " << rec_.Received().size();
}

TEST_F(WinsockTest, DisconnectHandlerGetsAFreshConnectionOnTheSameWindow) {
    const uint16_t first = Listen(R"([[{"op":"send","text":"one"},{"op":"close"}]])");
    const uint16_t second = Listen(R"([[{"op":"send","text":"two"},{"op":"close"}]])");
    ASSERT_NE(first, 0);
    ASSERT_NE(second, 0);
    rec_.onDisconnect = [&] {
        if (rec_.Count('D') == 1) Connect(second);
    };
    Connect(first);
    ASSERT_TRUE(PumpUntilCount('D', 2)) << rec_.Kinds();
    EXPECT_EQ(rec_.Course(), "CRDCRD");
    EXPECT_EQ(rec_.Received(), "onetwo");
    EXPECT_TRUE(window_.HasOwnProcedure());
    EXPECT_EQ(server_.Accepted(second), 1);
}

TEST_F(WinsockTest, EveryByteValueSurvivesSendAndReceiveAndEmptyTextSendsNothing) {
    const std::string bytes = AllByteValues() + "!";
    const uint16_t port = Listen(R"([[{"op":"recv","count":257},{"op":"echo"},{"op":"close"}]])");
    ASSERT_NE(port, 0);
    rec_.onConnect = [&] {
        socket_->SOCKET_SEND("");
        socket_->SOCKET_SEND(bytes);
    };
    Connect(port);
    ASSERT_TRUE(PumpUntilCount('D'));
    EXPECT_EQ(g_calls.sends, 1) << "empty text makes no send call";
    EXPECT_TRUE(Finish(port).received == bytes) << "what the server got differs";
    EXPECT_TRUE(rec_.Received() == bytes) << "what came back differs";
}

// --- lifetimes: owner, window, library -----------------------------------------------------

TEST_F(WinsockTest, DestroyedOwnerEndsItsConnectionAndGivesTheWindowBack) {
    // The server answers only once the connect is reported (the client's "go"), and later.
    const uint16_t port = Listen(
        R"([[{"op":"recv","until":"go"},{"op":"pause","seconds":0.3},{"op":"send","text":"late"},)"
        R"({"op":"close"}]])");
    ASSERT_NE(port, 0);
    // Another user of the library on this thread (a host, or a second control) keeps it
    // running, so notifications could still arrive after the object has gone.
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    Connect(port);
    ASSERT_TRUE(PumpUntilCount('C'));
    socket_->SOCKET_SEND("go");
    // The connection state is the object's own: it goes with it, and nothing of it is left on
    // the window.
    socket_.reset();
    EXPECT_TRUE(window_.HasOwnProcedure());
    EXPECT_TRUE(g_calls.open.empty());
    EXPECT_EQ(WindowOwner(window_.get()), nullptr);
    PumpFor(500);
    EXPECT_EQ(rec_.Kinds(), "C") << "events reached a destroyed object";
    EXPECT_EQ(Finish(port).end, "reset");
    WSACleanup();
}

TEST_F(WinsockTest, ObjectsOnOneThreadRunTheirConnectionsIndependently) {
    // Two objects (two controls on one form), each with its own window: each gets the events
    // of its own connection only, whichever was created last, and either may go first.
    const uint16_t first =
        Listen(R"([[{"op":"pause","seconds":0.3},{"op":"send","text":"older"},{"op":"close"}]])");
    const uint16_t second = Listen(R"([[{"op":"send","text":"newer"},{"op":"close"}]])");
    ASSERT_NE(first, 0);
    ASSERT_NE(second, 0);
    Recorder newerEvents;
    TestWindow newerWindow;
    auto newer = std::make_unique<Winsock>();
    newer->SetEvents(&newerEvents);
    newerEvents.socket = newer.get();

    Connect(first);
    newer->SOCKET_CONNECT(newerWindow.get(), "127.0.0.1", static_cast<int16_t>(second));
    ASSERT_TRUE(PumpUntil([&] { return newerEvents.Has('D') && rec_.Has('D'); }));
    EXPECT_EQ(newerEvents.Course(), "CRD");
    EXPECT_EQ(newerEvents.Received(), "newer");
    EXPECT_EQ(rec_.Course(), "CRD");
    EXPECT_EQ(rec_.Received(), "older");
    EXPECT_TRUE(newerWindow.HasOwnProcedure());

    // One object cannot take another's window while it is borrowed.
    const uint16_t silent = Listen(kSilent);
    ASSERT_NE(silent, 0);
    Connect(silent);
    ASSERT_TRUE(PumpUntilCount('C', 2));
    newerEvents.events.clear();
    newer->SOCKET_CONNECT(window_.get(), "127.0.0.1", static_cast<int16_t>(silent));
    EXPECT_EQ(newerEvents.Kinds(), "E");
    EXPECT_EQ(socket_->Slot().IsConnected, 1) << "the other object's connection stands";
    newer->SOCKET_DISCONNECT(window_.get());
    EXPECT_EQ(WindowOwner(window_.get()), socket_.get());
    newer.reset();
    EXPECT_EQ(socket_->Slot().IsConnected, 1);
}

TEST_F(WinsockTest, DestroyedWindowEndsTheConnectionAndIsNeverRestoredLater) {
    const uint16_t silent = Listen(kSilent);
    const uint16_t normal = Listen(R"([[{"op":"send","text":"ok"},{"op":"close"}]])");
    ASSERT_NE(silent, 0);
    ASSERT_NE(normal, 0);
    Connect(silent);
    ASSERT_TRUE(PumpUntilCount('C'));
    const HWND gone = window_.get();
    window_.Destroy();

    EXPECT_EQ(Finish(silent).end, "reset");
    EXPECT_EQ(socket_->Slot().CurrentSocket, 0u);
    EXPECT_EQ(socket_->Slot().IsConnected, 0);
    EXPECT_EQ(socket_->Slot().BorrowedWindow, nullptr);
    EXPECT_EQ(WindowOwner(gone), nullptr);
    ASSERT_FALSE(g_hostMessages.empty());
    EXPECT_EQ(g_hostMessages.back().message, static_cast<UINT>(WM_NCDESTROY))
        << "the window's own procedure still gets WM_NCDESTROY";
    PumpFor(200);
    EXPECT_EQ(rec_.Kinds(), "C");

    // The stale procedure is applied neither to the dead handle nor to another window.
    TestWindow other;
    socket_->SOCKET_DISCONNECT(gone);
    socket_->SOCKET_DISCONNECT(other.get());
    EXPECT_TRUE(other.HasOwnProcedure());

    Connect(normal, other.get());
    ASSERT_TRUE(PumpUntilCount('D'));
    EXPECT_EQ(rec_.Course(), "CCRD");
    EXPECT_TRUE(other.HasOwnProcedure());
}

LRESULT CALLBACK OtherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(WinsockTest, DisconnectWithAnotherWindowLeavesThatWindowAlone) {
    const uint16_t port = Listen(kSilent);
    ASSERT_NE(port, 0);
    TestWindow other;
    SetWindowLongPtrA(other.get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(OtherWindowProc));
    Connect(port);
    ASSERT_TRUE(PumpUntilCount('C'));
    socket_->SOCKET_DISCONNECT(other.get());
    EXPECT_EQ(other.Procedure(), OtherWindowProc) << "another window got our saved procedure";
    EXPECT_EQ(socket_->Slot().CurrentSocket, 0u);
    EXPECT_FALSE(window_.HasOwnProcedure()) << "the borrowed window is still ours";
    socket_->SOCKET_DISCONNECT(window_.get());
    EXPECT_TRUE(window_.HasOwnProcedure());
}

WNDPROC g_chainNext = nullptr;
LRESULT CALLBACK ChainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return CallWindowProcA(g_chainNext, window, message, wParam, lParam);
}

TEST_F(WinsockTest, WindowSubclassedOnTopOfUsKeepsItsChain) {
    const uint16_t port = Listen(kSilent);
    ASSERT_NE(port, 0);
    Connect(port);
    ASSERT_TRUE(PumpUntilCount('C'));
    g_chainNext = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(window_.get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ChainProc)));
    ASSERT_EQ(g_chainNext, SocketWindowProc);

    socket_->SOCKET_DISCONNECT(window_.get());
    EXPECT_EQ(window_.Procedure(), ChainProc) << "unhooking would have cut the chain";
    EXPECT_EQ(SendMessageA(window_.get(), kProbeMessage, 1, 2), 1 * 3 + 2 + 7);

    // Once the other subclass is gone, the window is given back.
    SetWindowLongPtrA(window_.get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_chainNext));
    socket_->SOCKET_DISCONNECT(window_.get());
    EXPECT_TRUE(window_.HasOwnProcedure());
}

TEST_F(WinsockTest, StaleNotificationsOfAClosedSocketNeverReachTheNextOne) {
    ASSERT_TRUE(server_.Available()) << server_.Error();
    const uint16_t closing = server_.Listen(R"([[{"op":"close","drain":0}]])");
    const uint16_t refused = server_.Refused();
    const uint16_t silent = server_.Listen(kSilent);
    ASSERT_NE(closing, 0);
    ASSERT_NE(refused, 0);
    ASSERT_NE(silent, 0);
    // An attempt ended by the owner (say, a cancel) while its outcome is still queued: a
    // connect and a close notification, or a refused connect.
    for (uint16_t port : {closing, refused}) {
        SCOPED_TRACE(port == closing ? "server closed" : "connection refused");
        rec_.events.clear();
        Connect(port);
        const SOCKET old = socket_->Slot().CurrentSocket;
        if (port == closing) {
            EXPECT_EQ(Finish(closing).end, "closed");
        }
        Sleep(300);  // the notifications are queued now; nothing is pumped
        MSG queued;
        ASSERT_TRUE(
            PeekMessageA(&queued, window_.get(), kSocketMessage, kSocketMessage, PM_NOREMOVE));

        socket_->SOCKET_DISCONNECT(window_.get());
        Connect(silent);
        // The library hands out the lowest free handle, so the new socket has the old one's
        // number; that is what makes leftover notifications dangerous.
        EXPECT_EQ(socket_->Slot().CurrentSocket, old);
        PumpFor(500);
        EXPECT_EQ(rec_.Kinds(), "C") << "a notification of the closed socket was taken as new";
        EXPECT_EQ(socket_->Slot().IsConnected, 1);
        socket_->SOCKET_DISCONNECT(window_.get());
    }
}

TEST_F(WinsockTest, WindowThatCannotBeBorrowedIsASetupFailure) {
    socket_->SOCKET_CONNECT(nullptr, "127.0.0.1", 80);
    EXPECT_EQ(rec_.Kinds(), "E");
    EXPECT_EQ(socket_->Slot().CurrentSocket, INVALID_SOCKET);

    // A window of another thread: its messages would run where this slot does not exist.
    HWND foreign = nullptr;
    HANDLE created = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        TestWindow w;
        foreign = w.get();
        SetEvent(created);
        WaitForSingleObject(release, 10000);
    });
    ASSERT_EQ(WaitForSingleObject(created, 10000), WAIT_OBJECT_0);
    socket_->SOCKET_CONNECT(foreign, "127.0.0.1", 80);
    EXPECT_EQ(rec_.Kinds(), "EE");
    EXPECT_EQ(GetWindowLongPtrA(foreign, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(HostWindowProc));
    SetEvent(release);
    owner.join();
    CloseHandle(created);
    CloseHandle(release);
    EXPECT_TRUE(g_calls.opened.empty());
}

// Every start-up of the library is ended exactly once, so a host that uses sockets itself
// keeps them after our objects are gone.
TEST(WinsockLibraryTest, EachStartupIsEndedExactlyOnce) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);  // the host's own use
    {
        Winsock terminated;  // as the control ends it: CleanupSockets, then destruction
        Winsock dropped;     // only destroyed
        EXPECT_TRUE(terminated.HoldsLibrary());
        terminated.CleanupSockets();
        terminated.CleanupSockets();
        EXPECT_FALSE(terminated.HoldsLibrary());
        EXPECT_TRUE(dropped.HoldsLibrary());
    }
    EXPECT_NE(gethostbyname("localhost"), nullptr) << "the host's use of the library was ended";
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

}  // namespace
}  // namespace orv::net::test
