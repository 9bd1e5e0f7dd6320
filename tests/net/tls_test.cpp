// The TLS client and the certificate check on Wine's real Schannel and chain engine, driven
// over a plain blocking socket against nginx with TLS and our TLS fault server, which
// tests/tools/with_servers.py --tls starts on 127.0.0.1. The test authority is trusted for
// the program's run only.
#include <winsock.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "control/http/http_text.h"
#include "control/net/tls_cert.h"
#include "control/net/tls_client.h"
#include "tests/support/samples.h"
#include "tests/support/test_root_environment.h"

namespace orv::net {
// Outcomes print as their numbers in failure messages.
void PrintTo(TlsError error, std::ostream* out) {
    *out << static_cast<int32_t>(error);
}
}  // namespace orv::net

namespace orv::net::test {
namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

std::string WinPath(const std::string& unixPath) {
    std::string s = "Z:" + unixPath;
    std::replace(s.begin(), s.end(), '/', '\\');
    return s;
}

uint16_t Port(const char* name) {
    return static_cast<uint16_t>(std::atoi(Env(name).c_str()));
}
void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

// The test authority is trusted from before the first chain is built to the end.
[[maybe_unused]] const auto* const kTestRoot = orv::test::TrustTestRootForTheProgram(true);

// A blocking connection to 127.0.0.1 with bounded waits.
class Connection {
   public:
    explicit Connection(uint16_t port) {
        WSADATA wsa;
        started_ = WSAStartup(MAKEWORD(1, 1), &wsa) == 0;
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET) return;
        const int timeout = 20000;
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof(timeout));
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        connected_ =
            connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~Connection() {
        if (socket_ != INVALID_SOCKET) closesocket(socket_);
        if (started_) WSACleanup();
    }
    bool Connected() const { return connected_; }
    bool Send(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const int n =
                send(socket_, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Up to `size` bytes; 0 at the end of the stream, -1 on an error or time-out.
    int Receive(char* buffer, int size) { return recv(socket_, buffer, size, 0); }

   private:
    bool started_ = false;
    SOCKET socket_ = INVALID_SOCKET;
    bool connected_ = false;
};

// What one request over TLS brought back.
struct Fetched {
    bool connected = false;
    TlsError error = TlsError::kNone;
    TlsClient::State state = TlsClient::State::kIdle;
    bool requestSent = false;
    std::string plaintext;  // everything decrypted, in order
    bool endOfStream = false;
    DWORD protocol = 0;
    ALG_ID cipher = 0;
    TlsClient::Credentials credentials = TlsClient::Credentials::kNone;
    SECURITY_STATUS lastStatus = 0;
    std::optional<int32_t> proxyStatus;  // the proxy's answer to CONNECT
};

// How FetchTls reaches the server and reads.
struct FetchOptions {
    std::vector<int> pieces = {65536};  // read sizes, in turn
    std::size_t expected = 0;           // plaintext to make room for
    uint16_t proxyPort = 0;             // through this proxy's CONNECT tunnel when not 0
    uint16_t serverPort = 0;            // the server's port, for the tunnel
};

// Connects (directly, or through the proxy's tunnel), runs the handshake as `host`, sends
// `request` once the connection is open and collects the plaintext until the server ends
// the stream.
Fetched FetchTls(uint16_t port, const std::string& host, const std::string& request,
                 const FetchOptions& options = {}) {
    Fetched f;
    f.plaintext.reserve(options.expected);
    Connection c(options.proxyPort != 0 ? options.proxyPort : port);
    f.connected = c.Connected();
    if (!f.connected) return f;
    std::vector<char> buffer(65536);
    std::string early;  // bytes after the proxy's answer: already the server's
    if (options.proxyPort != 0) {
        const std::string target = host + ":" + std::to_string(options.serverPort);
        if (!c.Send("CONNECT " + target + " HTTP/1.0\r\nHost: " + target + "\r\n\r\n")) return f;
        while (early.find("\r\n\r\n") == std::string::npos && early.size() < 65536) {
            const int n = c.Receive(buffer.data(), static_cast<int>(buffer.size()));
            if (n <= 0) break;
            early.append(buffer.data(), n);
        }
        const http::ResponseParts answer = http::SplitResponse(early);
        f.proxyStatus = http::StatusNumber(answer.header);
        if (!answer.body || f.proxyStatus != 200) return f;
        early = std::string(*answer.body);
    }

    TlsClient tls;
    std::string out;
    f.error = tls.Start(host, &out);
    if (f.error == TlsError::kNone && !early.empty()) {
        f.error = tls.Receive(early, &out, &f.plaintext);
    }
    for (std::size_t i = 0; f.error == TlsError::kNone; ++i) {
        if (!out.empty() && !c.Send(out)) break;
        out.clear();
        if (tls.Open() && !f.requestSent) {
            f.error = tls.Encrypt(request, &out);
            f.requestSent = true;
            continue;
        }
        if (tls.CloseNotified()) break;
        const int piece = options.pieces[i % options.pieces.size()];
        const int n = c.Receive(buffer.data(), std::min<int>(piece, 65536));
        if (n <= 0) {
            f.endOfStream = n == 0;
            break;
        }
        f.error = tls.Receive(std::string_view(buffer.data(), n), &out, &f.plaintext);
    }
    f.state = tls.state();
    f.protocol = tls.protocol();
    f.cipher = tls.cipher();
    f.credentials = tls.credentials();
    f.lastStatus = tls.lastStatus();
    return f;
}

std::string Get(const std::string& path, const std::string& extra = "") {
    return "GET " + path + " HTTP/1.0\r\nHost: localhost\r\nUser-Agent: tls_test\r\n" + extra +
           "\r\n";
}

struct Response {
    std::optional<int32_t> status;
    std::optional<int64_t> contentLength;
    std::string body;
    bool whole = false;  // a header end was found
};
Response Parse(const std::string& plaintext) {
    Response r;
    const http::ResponseParts parts = http::SplitResponse(plaintext);
    r.status = http::StatusNumber(parts.header);
    r.contentLength = http::ContentLength(parts.header);
    r.whole = parts.body.has_value();
    if (parts.body) r.body = std::string(*parts.body);
    return r;
}

class TlsTest : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_FALSE(Env("ORV_WEBROOT").empty()) << "run through tests/tools/with_servers.py --tls";
        webRoot_ = WinPath(Env("ORV_WEBROOT"));
    }
    std::string webRoot_;
};

TEST_F(TlsTest, DownloadsEveryByteAndSeesTheCloseNotice) {
    const std::string file = orv::test::NoiseBytes(1536 * 1024 + 7, 1);
    WriteFile(webRoot_ + "\\tls_file.bin", file);
    const Fetched f = FetchTls(Port("ORV_TLS_PORT"), "localhost", Get("/tls_file.bin"));
    ASSERT_TRUE(f.connected);
    ASSERT_EQ(f.error, TlsError::kNone) << "status " << std::hex << f.lastStatus;
    const Response r = Parse(f.plaintext);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.contentLength, static_cast<int64_t>(file.size()));
    EXPECT_EQ(r.body.size(), file.size());
    EXPECT_TRUE(r.body == file) << "the body differs from the file";

    // TLS 1.2 or 1.3, whichever the platform negotiated (Wine: 1.2, offered through the
    // older credentials form).
    EXPECT_NE(f.protocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT), 0u) << f.protocol;
    EXPECT_NE(f.credentials, TlsClient::Credentials::kNone);
    std::printf("[ info ] protocol %#lx, cipher %#x, credentials form %d\n", f.protocol, f.cipher,
                static_cast<int>(f.credentials));
    // nginx ends the stream with its close notice, and the client recognises it.
    EXPECT_EQ(f.state, TlsClient::State::kClosed);
}

TEST_F(TlsTest, CiphertextCutIntoAnyPiecesGivesTheSameBytes) {
    const std::string file = orv::test::NoiseBytes(200 * 1024 + 3, 2);
    WriteFile(webRoot_ + "\\tls_pieces.bin", file);
    FetchOptions options;
    options.pieces = {1, 4, 5, 6, 333, 4096, 17000, 2};
    const Fetched f = FetchTls(Port("ORV_TLS_PORT"), "localhost", Get("/tls_pieces.bin"), options);
    ASSERT_EQ(f.error, TlsError::kNone) << "status " << std::hex << f.lastStatus;
    const Response r = Parse(f.plaintext);
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.body == file) << "the body differs from the file (" << r.body.size() << " of "
                                << file.size() << " bytes)";
}

TEST_F(TlsTest, BasicAuthorizationTravelsInsideTheConnection) {
    WriteFile(webRoot_ + "\\protected\\tls_secret.txt", "behind the password");
    const std::string auth =
        "Authorization: Basic " + http::Base64Encode("orvane:s3cret:pass") + "\r\n";
    const Fetched with =
        FetchTls(Port("ORV_TLS_PORT"), "localhost", Get("/protected/tls_secret.txt", auth));
    ASSERT_EQ(with.error, TlsError::kNone);
    EXPECT_EQ(Parse(with.plaintext).status, 200);
    EXPECT_EQ(Parse(with.plaintext).body, "behind the password");

    const Fetched without =
        FetchTls(Port("ORV_TLS_PORT"), "localhost", Get("/protected/tls_secret.txt"));
    ASSERT_EQ(without.error, TlsError::kNone);
    EXPECT_EQ(Parse(without.plaintext).status, 401);
}

TEST_F(TlsTest, ThroughTheProxysConnectTunnel) {
    // tinyproxy opens a tunnel to the server; the handshake, the certificate check (for the
    // server's name, not the proxy's) and Basic authorization all run inside it.
    const std::string file = orv::test::NoiseBytes(300 * 1024 + 1, 4);
    WriteFile(webRoot_ + "\\protected\\tls_tunnel.bin", file);
    FetchOptions options;
    options.proxyPort = Port("ORV_PROXY_PORT");
    options.serverPort = Port("ORV_TLS_PORT");
    const std::string auth =
        "Authorization: Basic " + http::Base64Encode("orvane:s3cret:pass") + "\r\n";
    const Fetched f = FetchTls(0, "localhost", Get("/protected/tls_tunnel.bin", auth), options);
    ASSERT_EQ(f.proxyStatus, 200);
    ASSERT_EQ(f.error, TlsError::kNone) << "status " << std::hex << f.lastStatus;
    const Response r = Parse(f.plaintext);
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.body == file) << r.body.size() << " of " << file.size() << " bytes";

    // A server with a certificate for another name is refused through the tunnel too.
    options.serverPort = Port("ORV_TLS_OTHERHOST_PORT");
    const Fetched other = FetchTls(0, "localhost", Get("/"), options);
    ASSERT_EQ(other.proxyStatus, 200);
    EXPECT_EQ(other.error, TlsError::kNameMismatch);
}

TEST_F(TlsTest, CertificatesThatFailAreRefusedBeforeAnyData) {
    WriteFile(webRoot_ + "\\tls_small.txt", "small");
    const struct {
        const char* portVariable;
        const char* host;
        TlsError expected;
    } cases[] = {
        {"ORV_TLS_UNTRUSTED_PORT", "localhost", TlsError::kCertificateNotTrusted},
        {"ORV_TLS_OTHERHOST_PORT", "localhost", TlsError::kNameMismatch},
        {"ORV_TLS_EXPIRED_PORT", "localhost", TlsError::kCertificateExpired},
        // The server leaves out the intermediate its certificate was issued by: the chain
        // stops short of the trusted root (Wine's SSL policy alone would accept it).
        {"ORV_TLS_PARTIAL_PORT", "localhost", TlsError::kCertificateNotTrusted},
        // The localhost certificate names no address: the platform matches DNS names only.
        {"ORV_TLS_PORT", "127.0.0.1", TlsError::kNameMismatch},
        // A certificate for localhost does not serve a similar name.
        {"ORV_TLS_PORT", "localhost.localdomain", TlsError::kNameMismatch},
    };
    for (const auto& c : cases) {
        const Fetched f = FetchTls(Port(c.portVariable), c.host, Get("/tls_small.txt"));
        ASSERT_TRUE(f.connected) << c.portVariable;
        EXPECT_EQ(f.error, c.expected) << c.portVariable << " as " << c.host;
        EXPECT_EQ(f.state, TlsClient::State::kFailed) << c.portVariable;
        EXPECT_FALSE(f.requestSent) << c.portVariable;
        EXPECT_TRUE(f.plaintext.empty()) << c.portVariable;
    }
    // The trusted one passes for its own name, and so does a chain through an intermediate
    // the server sends along.
    for (const char* port : {"ORV_TLS_PORT", "ORV_TLS_CHAINED_PORT"}) {
        const Fetched f = FetchTls(Port(port), "localhost", Get("/tls_small.txt"));
        EXPECT_EQ(f.error, TlsError::kNone) << port;
        EXPECT_EQ(Parse(f.plaintext).body, "small") << port;
    }
}

TEST_F(TlsTest, APlainHttpServerFailsTheHandshake) {
    // nginx's plain port answers the hello with an HTTP error page: not a TLS record.
    const Fetched f = FetchTls(Port("ORV_NGINX_PORT"), "localhost", Get("/"));
    ASSERT_TRUE(f.connected);
    EXPECT_EQ(f.error, TlsError::kHandshakeFailed);
    EXPECT_TRUE(f.plaintext.empty());
}

TEST_F(TlsTest, ProtocolsOlderThanTls12AreRefused) {
    // A server that speaks at most TLS 1.1: whatever the platform would offer by itself
    // (Wine 8 ignores the protocol settings of the current credentials form), no request
    // goes out over it.
    const Fetched f = FetchTls(Port("ORV_TLS_OLD_PORT"), "localhost", Get("/whole/10"));
    ASSERT_TRUE(f.connected);
    EXPECT_EQ(f.error, TlsError::kHandshakeFailed) << "protocol " << std::hex << f.protocol;
    EXPECT_FALSE(f.requestSent);
    EXPECT_TRUE(f.plaintext.empty());
}

TEST_F(TlsTest, AServerAskingForANewHandshakeGetsOneOrAnEndButNeverAWait) {
    // Under TLS 1.2 the server sends its request for a new handshake and waits for the
    // client's hello. Where the platform renegotiates, the page follows; Wine's Schannel
    // cannot, and the client ends the connection at once rather than waiting for the
    // socket's time-out (20 s here).
    const auto start = std::chrono::steady_clock::now();
    const Fetched f = FetchTls(Port("ORV_TLS_RENEGOTIATE_PORT"), "localhost", Get("/reneg"));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(f.connected);
    EXPECT_TRUE(f.requestSent);
    EXPECT_LT(seconds, 10.0);
    if (f.error == TlsError::kNone) {
        EXPECT_EQ(Parse(f.plaintext).status, 200);
    } else {
        EXPECT_EQ(f.error, TlsError::kHandshakeFailed);
        EXPECT_EQ(f.lastStatus, SEC_I_RENEGOTIATE);
    }
    std::printf("[ info ] renegotiation: outcome %d after %.2f s\n", static_cast<int>(f.error),
                seconds);
}

TEST_F(TlsTest, OnlyTheCloseNoticeOrADeclaredLengthTellsAWholeBody) {
    const uint16_t port = Port("ORV_TLS_FAULT_PORT");
    auto expectPattern = [](const std::string& b, std::size_t n) {
        std::string p(n, '\0');
        for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<char>(i & 0xFF);
        return b == p;
    };

    // Declared 100000, 50000 sent, connection cut: the length tells.
    const Fetched declared = FetchTls(port, "localhost", Get("/cut-declared/100000/50000"));
    ASSERT_EQ(declared.error, TlsError::kNone);
    Response r = Parse(declared.plaintext);
    EXPECT_EQ(r.contentLength, 100000);
    EXPECT_TRUE(expectPattern(r.body, 50000));
    EXPECT_TRUE(declared.endOfStream);
    EXPECT_NE(declared.state, TlsClient::State::kClosed) << "no close notice was sent";

    // No length, cut without the close notice: the client can tell it from a whole body
    // only by the missing notice.
    const Fetched cut = FetchTls(port, "localhost", Get("/cut/50000"));
    ASSERT_EQ(cut.error, TlsError::kNone);
    EXPECT_TRUE(expectPattern(Parse(cut.plaintext).body, 50000));
    EXPECT_EQ(cut.state, TlsClient::State::kOpen);

    const Fetched whole = FetchTls(port, "localhost", Get("/whole/50000"));
    ASSERT_EQ(whole.error, TlsError::kNone);
    EXPECT_TRUE(expectPattern(Parse(whole.plaintext).body, 50000));
    EXPECT_EQ(whole.state, TlsClient::State::kClosed);
}

TEST_F(TlsTest, BytesNotFromTheServersTlsLayerEndTheStream) {
    // After a complete response, a data record the server's TLS layer did not make (it
    // fails authentication), or plain text outside any record: the data before it stands,
    // the stream fails, and nothing of the intruding bytes is delivered.
    for (const char* kind : {"forged", "plain"}) {
        const Fetched f = FetchTls(Port("ORV_TLS_FAULT_PORT"), "localhost",
                                   Get(std::string("/") + kind + "/30000"));
        EXPECT_EQ(f.error, TlsError::kStreamFailed) << kind;
        EXPECT_EQ(f.state, TlsClient::State::kFailed) << kind;
        const Response r = Parse(f.plaintext);
        EXPECT_EQ(r.contentLength, 30000) << kind;
        EXPECT_EQ(r.body.size(), 30000u) << kind;
    }
}

TEST(TlsClientUse, CallsOutOfOrderFailWithoutTouchingTheNetwork) {
    TlsClient tls;
    std::string out;
    std::string plain;
    EXPECT_EQ(tls.Encrypt("GET", &out), TlsError::kStreamFailed) << "not open yet";
    EXPECT_EQ(tls.state(), TlsClient::State::kFailed);
    EXPECT_EQ(tls.Start("localhost", &out), TlsError::kStreamFailed) << "a failure stands";
    EXPECT_EQ(tls.Receive("\x16\x03\x03\x00\x01x", &out, &plain), TlsError::kStreamFailed);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(plain.empty());

    TlsClient noHost;
    EXPECT_EQ(noHost.Start("", &out), TlsError::kHandshakeFailed);

    TlsClient notStarted;
    EXPECT_EQ(notStarted.Receive("\x16\x03\x03\x00\x01x", &out, &plain),
              TlsError::kHandshakeFailed);
    EXPECT_TRUE(out.empty());

    // A hello goes out, and an answer that is not TLS ends the handshake.
    TlsClient started;
    ASSERT_EQ(started.Start("localhost", &out), TlsError::kNone);
    EXPECT_TRUE(started.Handshaking());
    ASSERT_GE(out.size(), 5u);
    EXPECT_EQ(out[0], 0x16) << "a handshake record";
    EXPECT_EQ(started.Start("localhost", &out), TlsError::kHandshakeFailed) << "started twice";

    TlsClient answered;
    out.clear();
    ASSERT_EQ(answered.Start("localhost", &out), TlsError::kNone);
    EXPECT_EQ(answered.Receive("HTTP/1.1 400 Bad Request\r\n", &out, &plain),
              TlsError::kHandshakeFailed);
    EXPECT_TRUE(plain.empty());
}

TEST(TlsClientUse, ANullCertificateIsNotTrusted) {
    EXPECT_EQ(CheckServerCertificate(nullptr, "localhost"), TlsError::kCertificateNotTrusted);
}

// Reads `path` over plain HTTP with the same blocking reads, for comparison.
std::string FetchPlain(uint16_t port, const std::string& request, std::size_t expected) {
    Connection c(port);
    std::string received;
    received.reserve(expected + 4096);
    if (!c.Connected() || !c.Send(request)) return received;
    std::vector<char> buffer(65536);
    for (;;) {
        const int n = c.Receive(buffer.data(), static_cast<int>(buffer.size()));
        if (n <= 0) break;
        received.append(buffer.data(), n);
    }
    return received;
}

TEST_F(TlsTest, ThroughputOf64MiBBesidePlainHttp) {
    const std::size_t size = 64u * 1024 * 1024;
    const std::string file = orv::test::NoiseBytes(size, 3);
    WriteFile(webRoot_ + "\\tls_big.bin", file);
    using Clock = std::chrono::steady_clock;

    const auto plainStart = Clock::now();
    const std::string plain = FetchPlain(Port("ORV_NGINX_PORT"), Get("/tls_big.bin"), size);
    const double plainSeconds = std::chrono::duration<double>(Clock::now() - plainStart).count();
    ASSERT_TRUE(Parse(plain).body == file);

    const auto tlsStart = Clock::now();
    FetchOptions options;
    options.expected = size + 4096;
    const Fetched f = FetchTls(Port("ORV_TLS_PORT"), "localhost", Get("/tls_big.bin"), options);
    const double tlsSeconds = std::chrono::duration<double>(Clock::now() - tlsStart).count();
    ASSERT_EQ(f.error, TlsError::kNone);
    ASSERT_TRUE(Parse(f.plaintext).body == file);

    const double mib = size / (1024.0 * 1024.0);
    std::printf(
        "[ info ] 64 MiB: plain HTTP %.2f s (%.1f MiB/s), TLS %.2f s (%.1f MiB/s), "
        "ratio %.2f\n",
        plainSeconds, mib / plainSeconds, tlsSeconds, mib / tlsSeconds, tlsSeconds / plainSeconds);
    RecordProperty("plain_seconds", std::to_string(plainSeconds));
    RecordProperty("tls_seconds", std::to_string(tlsSeconds));
}

}  // namespace
}  // namespace orv::net::test
