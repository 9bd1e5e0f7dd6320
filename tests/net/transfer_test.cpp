// The transfer object on its own, through fakes of its socket seam and of its owner: the order
// of its reports, its single end, what a handler that cancels from inside a report leaves, and
// what an end the seam does not confirm means. Its TLS layer likewise, up to the point where a
// server would have to answer the handshake (the rest is in tests/e2e/https_test.cpp).
// (Failures, cut bodies and whole downloads are shown end to end in tests/e2e.)
// Files are real (a scratch folder of the test); no socket is opened.
#include "control/transfer/transfer.h"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/updateinfo/updateinfo.h"
#include "control/transfer/tls_layer.h"
#include "control/trust/trust.h"
#include "tests/support/files.h"

namespace orv::transfer {
namespace {

class FakeSocket : public ISocketSeam, public ITransferThread {
   public:
    void Connect(const std::string& host, int16_t port) override {
        calls.push_back("connect " + host + ":" + std::to_string(port));
        if (onConnect) onConnect();
    }
    void Send(const std::string& text) override { calls.push_back("send " + text); }
    void Disconnect() override { calls.push_back("disconnect"); }
    void SetTimer(int, uint32_t) override {}
    void KillTimer(int) override {}
    Mailbox WorkerMailbox() override { return {}; }
    bool EndConfirmed() const override { return confirmed; }
    std::vector<std::string> calls;
    bool confirmed = true;
    std::function<void()> onConnect;
};

class FakeOwner : public ITransferReport {
   public:
    void ReportHttpStatus(int32_t status) override { Note("status " + std::to_string(status)); }
    void ReportProgress(int32_t bytes, int32_t total, int32_t, int32_t) override {
        Note("progress " + std::to_string(bytes) + "/" + std::to_string(total));
    }
    void ReportUpdateReceived() override { Note("received"); }
    void ReportInfo(const UpdateInfo& fields, const PackageDigest& d, bool,
                    const ReleasePolicy&) override {
        digest = d;
        Note("info " + fields.PackageFile);
    }
    PackageDigest digest;
    void ReportEnded(Transfer&) override { Note("ended"); }
    void ReportInfoReceived() override { Note("inforeceived"); }
    void ReportConnectionError(int32_t code, const std::string& text) override {
        errorText = text;
        Note("error " + std::to_string(code));
    }
    std::string errorText;
    std::vector<std::string> notes;
    // Runs inside the report whose note starts with `at`.
    std::string at;
    std::function<void()> inside;

   private:
    void Note(const std::string& n) {
        notes.push_back(n);
        if (inside && !at.empty() && n.rfind(at, 0) == 0) inside();
    }
};

std::string Scratch() {
    char base[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, base);
    const std::string folder = std::string(base) + "orv_transfer_test";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

// The file's bytes, or "(absent)".
std::string Contents(const std::string& path) {
    return test::Exists(path) ? test::ReadAll(path) : "(absent)";
}

Plan CheckPlan() {
    Plan p;
    p.kind = Kind::Check;
    p.connectHost = "127.0.0.1";
    p.connectPort = 8080;
    p.request = "GET /u.orv HTTP/1.0\r\n\r\n";
    return p;
}

Plan DownloadPlan(const std::string& target) {
    Plan p = CheckPlan();
    p.kind = Kind::Download;
    p.target = target;
    p.packageSize = 10;
    return p;
}

std::string InfoResponse() {
    MakerFields f;
    f.Name = "T";
    f.PackageFile = "p.bin";
    f.PackageSize = 10;
    return "HTTP/1.0 200 OK\r\n\r\n" + ScrambleText(BuildPlainText(f), kInformationKey);
}

TEST(Transfer, CheckReportsInOrderEndsOnceAndIgnoresWhatComesAfter) {
    FakeSocket socket;
    FakeOwner owner;
    Transfer t(CheckPlan(), socket, socket, owner);
    t.Start();
    t.OnConnect();
    const std::string response = InfoResponse();
    t.OnReceive(response.substr(0, 5));
    t.OnReceive(response.substr(5));
    t.OnDisconnect();
    EXPECT_EQ(owner.notes,
              (std::vector<std::string>{"status 200", "info p.bin", "ended", "inforeceived"}));
    // The socket layer closed the connection itself: nothing to disconnect.
    EXPECT_EQ(socket.calls, (std::vector<std::string>{"connect 127.0.0.1:8080",
                                                      "send GET /u.orv HTTP/1.0\r\n\r\n"}));
    t.OnError(10054);
    t.OnDisconnect();
    t.Cancel();
    EXPECT_EQ(owner.notes.size(), 4u);
    EXPECT_TRUE(t.Ended());
}

TEST(Transfer, CancelInsideAReportStopsTheTransferWhereItStands) {
    const std::string folder = Scratch();
    const std::string target = folder + "\\cancelled.bin";
    DeleteFileA(target.c_str());
    for (const char* at : {"status", "progress", "received"}) {
        SCOPED_TRACE(at);
        FakeSocket socket;
        FakeOwner owner;
        Transfer t(DownloadPlan(target), socket, socket, owner);
        ASSERT_EQ(t.PrepareFiles(), 0u);
        owner.at = at;
        owner.inside = [&] { t.Cancel(); };
        t.Start();
        t.OnConnect();
        t.OnReceive("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n01234");
        t.OnReceive("56789");
        t.OnDisconnect();
        EXPECT_EQ(owner.notes.back(), "ended");
        EXPECT_EQ(std::count(owner.notes.begin(), owner.notes.end(), "ended"), 1);
        EXPECT_EQ(test::TempFiles(folder), std::vector<std::string>{});
        // The target is made empty when the download is prepared and stays until the whole
        // package replaces it; cancelled before the end, nothing is written; at
        // UpdateReceived the file stands.
        const std::string expected = std::string(at) == "received" ? "0123456789" : "";
        EXPECT_EQ(Contents(target), expected);
        DeleteFileA(target.c_str());
    }
}

TEST(Transfer, WithoutADeclaredLengthOnlyAConfirmedEndCompletes) {
    const std::string folder = Scratch();
    const std::string target = folder + "\\unconfirmed.bin";
    const struct {
        bool confirmed;
        const char* header;
        bool cut;
    } cases[] = {
        {false, "HTTP/1.0 200 OK\r\n\r\n", true},
        {false, "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n", false},
        {true, "HTTP/1.0 200 OK\r\n\r\n", false},
        // Only a package or a record counts: a refusal is heard whatever its end.
        {false, "HTTP/1.0 404 Not Found\r\n\r\n", false},
    };
    for (const auto& c : cases) {
        for (const Kind kind : {Kind::Check, Kind::Download}) {
            SCOPED_TRACE(std::string(c.header) + (kind == Kind::Check ? " check" : " download"));
            DeleteFileA(target.c_str());
            FakeSocket socket;
            socket.confirmed = c.confirmed;
            FakeOwner owner;
            Transfer t(kind == Kind::Check ? CheckPlan() : DownloadPlan(target), socket, socket,
                       owner);
            if (kind == Kind::Download) {
                ASSERT_EQ(t.PrepareFiles(), 0u);
            }
            t.Start();
            t.OnConnect();
            t.OnReceive(std::string(c.header) + "0123456789");
            t.OnDisconnect();
            const bool ok = std::string(c.header).find(" 200 ") != std::string::npos;
            const std::string last = c.cut                       ? "error 10054"
                                     : kind == Kind::Check && ok ? "inforeceived"
                                                                 : "ended";
            EXPECT_EQ(owner.notes.back(), last);
            if (c.cut) {
                EXPECT_EQ(owner.errorText, "Connection reset by peer.");
                EXPECT_EQ(std::count(owner.notes.begin(), owner.notes.end(), "received"), 0);
                if (kind == Kind::Download) {
                    EXPECT_EQ(Contents(target), "");
                }
            }
            EXPECT_EQ(test::TempFiles(folder), std::vector<std::string>{});
        }
    }
    DeleteFileA(target.c_str());
}

// A TLS layer with a transfer of its own, over fakes of the socket and the owner.
struct Layered {
    explicit Layered(bool tunnel) {
        TlsTarget target;
        target.host = "localhost";
        target.port = 443;
        target.tunnel = tunnel;
        connection = MakeConnection(CheckPlan(), target, socket, socket, owner);
        connection.transfer->Start();
    }
    FakeSocket socket;
    FakeOwner owner;
    Connection connection;
    ISocketEvents& events() { return *connection.events; }
};

TEST(TlsLayer, AProxyRefusingTheTunnelIsHeardAsItsStatusAndNoRequestLeaves) {
    Layered l(true);
    l.events().OnConnect();
    ASSERT_EQ(l.socket.calls,
              (std::vector<std::string>{
                  "connect 127.0.0.1:8080",
                  "send CONNECT localhost:443 HTTP/1.0\r\nHost: localhost:443\r\n\r\n"}));
    l.events().OnReceive("HTTP/1.0 407 Proxy Authentication Required\r\n");
    EXPECT_TRUE(l.owner.notes.empty()) << "the header is not complete yet";
    l.events().OnReceive("\r\nno tunnel for you");
    l.events().OnDisconnect();
    EXPECT_EQ(l.owner.notes, (std::vector<std::string>{"status 407", "ended"}));
    EXPECT_EQ(l.socket.calls.size(), 3u) << "the transfer's request went nowhere";
    EXPECT_EQ(l.socket.calls.back(), "disconnect") << "the refusal ends the connection at once";
}

TEST(TlsLayer, AConnectionThatFailsBeforeTheSecureStreamStandsEndsTheTransfer) {
    const std::string tooLong(kMaxPackageHeader + 1, 'x');
    const struct {
        const char* name;
        bool tunnel;
        std::vector<std::string> received;  // "" stands for the socket's Disconnect
        int32_t code;
        const char* text;
    } cases[] = {
        {"proxy hangs up", true, {"HTTP/1.0 200"}, 24010, nullptr},
        {"proxy answers no HTTP", true, {"SSH-2.0-x\r\n\r\n"}, 24010, nullptr},
        {"proxy header too long", true, {tooLong}, 10040, "Message too long."},
        {"tunnel stands, then no TLS",
         true,
         {"HTTP/1.0 200 Connection established\r\n\r\nHTTP/1.1 400 Bad Request\r\n\r\n"},
         24010,
         nullptr},
        {"server answers no TLS", false, {"HTTP/1.1 400 Bad Request\r\n\r\n"}, 24010, nullptr},
        {"server hangs up in the handshake",
         false,
         {std::string("\x16\x03\x03\x00\x10", 5)},
         24010,
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Layered l(c.tunnel);
        l.events().OnConnect();
        if (!c.tunnel) {
            // The hello went out at once: a handshake record.
            ASSERT_EQ(l.socket.calls.size(), 2u);
            EXPECT_EQ(l.socket.calls[1].substr(0, 6), "send \x16");
        }
        for (const std::string& piece : c.received) l.events().OnReceive(piece);
        // What did not fail by itself fails when the socket reports the server's hang-up.
        const bool hungUp = l.owner.notes.empty();
        if (hungUp) l.events().OnDisconnect();
        EXPECT_EQ(l.owner.notes,
                  (std::vector<std::string>{"ended", "error " + std::to_string(c.code)}));
        EXPECT_EQ(l.owner.errorText,
                  c.text ? c.text : "Secure connection failed: TLS handshake failed.");
        // The transfer closed the connection unless the socket had closed it already.
        EXPECT_EQ(std::count(l.socket.calls.begin(), l.socket.calls.end(), "disconnect"),
                  hungUp ? 0 : 1);
        // Nothing reaches either side any more.
        const std::size_t calls = l.socket.calls.size();
        l.events().OnReceive("more");
        l.events().OnDisconnect();
        EXPECT_EQ(l.socket.calls.size(), calls);
        EXPECT_EQ(l.owner.notes.size(), 2u);
    }
}

TEST(TlsLayer, SocketErrorsKeepTheirOwnNumbersAndTexts) {
    Layered l(false);
    l.events().OnError(10061);
    EXPECT_EQ(l.owner.notes, (std::vector<std::string>{"ended", "error 10061"}));
    EXPECT_EQ(l.owner.errorText, "Connection refused.");
    EXPECT_EQ(l.socket.calls.back(), "disconnect");
}

}  // namespace
}  // namespace orv::transfer

namespace orv::transfer {
namespace {

// The package hasher gives the digest of everything added, in order, whatever the pieces:
// many small ones, and one beyond the queue's cap (which must not wait for ever).
TEST(PackageHasher, DigestOfAllPiecesAndAHasherLeftUnfinishedStops) {
    std::string whole;
    PackageHasher hasher;
    for (int i = 0; i < 2000; ++i) {
        std::string piece(static_cast<std::size_t>(1 + i % 4096), static_cast<char>(i));
        whole += piece;
        hasher.Add(std::move(piece));
    }
    std::string big(PackageHasher::kMaxQueued + 12345, 'x');
    whole += big;
    hasher.Add(std::move(big));
    const auto digest = hasher.Finish();
    ASSERT_TRUE(digest);
    EXPECT_EQ(*digest, *trust::Sha256Of(whole));
    EXPECT_FALSE(hasher.Finish());  // once only

    // Destroyed with pieces still queued: the worker is stopped and joined.
    auto unfinished = std::make_unique<PackageHasher>();
    for (int i = 0; i < 4; ++i) unfinished->Add(std::string(4u << 20, 'y'));
    unfinished.reset();
}

// A download whose record carried field 7: the old target stays until the verified package
// replaces it; a package that differs ends with 24001, leaving the old target and no
// temporary file. A malformed field 7 matches no package.
TEST(Transfer, DigestDecidesWhetherThePackageReplacesTheTarget) {
    const std::string folder = Scratch();
    const std::string target = folder + "\\digest.bin";
    struct Case {
        std::string body;
        FieldState state;
        std::vector<std::string> notes;
    } cases[] = {
        {"0123456789", FieldState::Valid, {"status 200", "progress 10/10", "received", "ended"}},
        {"0123456780", FieldState::Valid, {"status 200", "progress 10/10", "ended", "error 24001"}},
        {"0123456789",
         FieldState::Malformed,
         {"status 200", "progress 10/10", "ended", "error 24001"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        HANDLE f =
            CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD n = 0;
        WriteFile(f, "old", 3, &n, nullptr);
        CloseHandle(f);
        FakeSocket socket;
        FakeOwner owner;
        Plan plan = DownloadPlan(target);
        plan.digest.state = c.state;
        plan.digest.bytes = *trust::Sha256Of("0123456789");
        Transfer t(plan, socket, socket, owner);
        ASSERT_EQ(t.PrepareFiles(), 0u);
        t.Start();
        t.OnConnect();
        t.OnReceive("HTTP/1.0 200 OK\r\n\r\n" + c.body);
        EXPECT_EQ(Contents(target), "old");  // not yet: only the verified move replaces it
        t.OnDisconnect();
        EXPECT_EQ(owner.notes, c.notes);
        EXPECT_EQ(Contents(target), owner.notes[2] == "received" ? c.body : "old");
        EXPECT_EQ(test::TempFiles(folder), std::vector<std::string>{});
    }
}

// Field 7 of the information goes to the owner with the record: valid, malformed or absent.
TEST(Transfer, CheckHandsTheDigestFieldToTheOwner) {
    const std::string six = "T|1.0.0.0|01/01/2020|c|p.bin|10";
    const std::string digest = DigestField(*trust::Sha256Of("0123456789"));
    for (const auto& [fields, state] : {std::pair{six, FieldState::Absent},
                                        {six + "|" + digest, FieldState::Valid},
                                        {six + "|sha256:12", FieldState::Malformed}}) {
        FakeSocket socket;
        FakeOwner owner;
        Transfer t(CheckPlan(), socket, socket, owner);
        t.Start();
        t.OnConnect();
        t.OnReceive("HTTP/1.0 200 OK\r\n\r\n" + ScrambleText(fields, kInformationKey));
        t.OnDisconnect();
        EXPECT_EQ(owner.notes.at(1), "info p.bin");
        EXPECT_EQ(owner.digest.state, state) << fields;
        if (state == FieldState::Valid) {
            EXPECT_EQ(owner.digest.bytes, *trust::Sha256Of("0123456789"));
        }
    }
}

}  // namespace
}  // namespace orv::transfer
