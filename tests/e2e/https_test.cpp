// The update cycle over HTTPS end to end under Wine: an Orvane control in a C++ host checks
// and downloads from nginx with TLS (directly, with Basic authorization, through tinyproxy's
// CONNECT tunnel), refuses servers whose certificates fail, and never completes a download
// whose secure stream was cut. Servers and certificates come from
// tests/tools/with_servers.py --tls; the test authority is trusted for the program's run only.
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

#include "control/net/socket_error_text.h"
#include "control/net/tls_error_text.h"
#include "tests/e2e/e2e_util.h"
#include "tests/support/message_pump.h"
#include "tests/support/samples.h"
#include "tests/support/test_root_environment.h"

namespace orv::test {
namespace {

constexpr long kMaxPiece = 16384;
constexpr int kMiB = 1 << 20;

// A modal message box, closed from another thread after 2 s; how long it was up.
DWORD ShowBox() {
    const DWORD start = GetTickCount();
    std::thread closer([] {
        Sleep(2000);
        HWND box = nullptr;
        for (int i = 0; i < 200 && !(box = FindWindowA("#32770", "Busy")); ++i) Sleep(25);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    });
    MessageBoxA(nullptr, "Please wait", "Busy", MB_OK);
    closer.join();
    return GetTickCount() - start;
}

// ConnectionError as the sink names it.
std::wstring ConnectionError(int32_t code) {
    const char* text = net::TlsErrorText(code);
    if (text == nullptr) text = SocketErrorText(code);
    const std::string t(text);
    return L"ConnectionError(" + std::to_wstring(code) + L"," + std::wstring(t.begin(), t.end()) +
           L")";
}

[[maybe_unused]] const auto* const kTestRoot = TrustTestRootForTheProgram();

class Https : public E2E {
   protected:
    void SetUp() override {
        E2E::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        tlsPort_ = EnvPort("ORV_TLS_PORT");
        if (tlsPort_ == 0) GTEST_SKIP() << "no TLS servers: run with_servers.py --tls";
    }

    void Secure(int port, const std::string& path, const std::string& host = "https://localhost") {
        SetText(&_Orvane::put_RemoteHost, host);
        EXPECT_EQ(S_OK, ctl_->put_RemotePort(port));
        SetText(&_Orvane::put_RemotePath, path);
    }
    void Authorize(const std::string& password = "s3cret:pass") {
        SetText(&_Orvane::put_AuthUsername, "orvane");
        SetText(&_Orvane::put_AuthPassword, password);
        EXPECT_EQ(S_OK, ctl_->put_Authorization(VARIANT_TRUE));
    }

    // Puts update.orv naming `packageName` (and the package, if any) into web root folder `sub`.
    void Publish(const std::string& sub, const std::string& packageName, const std::string& package,
                 int32_t size = -1) {
        std::string folder = servers_.webRoot;
        for (const std::string& part : SplitAll(sub, '/')) {
            folder += "\\" + part;
            CreateDirectoryA(folder.c_str(), nullptr);
        }
        const int32_t declared = size >= 0 ? size : static_cast<int32_t>(package.size());
        ASSERT_TRUE(
            WriteAll(folder + "\\update.orv", OrvFile("Secure", "4.0.0.1", packageName, declared)));
        if (!package.empty()) {
            ASSERT_TRUE(WriteAll(folder + "\\" + packageName, package));
        }
    }

    // One HttpStatus(200) first, progress in pieces of at most 16,384 bytes adding up to the
    // whole package, UpdateReceived last.
    void ExpectDownloadEvents(std::size_t size) {
        const std::vector<Event>& events = sink_.events;
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events.front().id, DISPID_ORV_HTTPSTATUS);
        EXPECT_EQ(events.front().args, (std::vector<std::wstring>{L"200", L"OK"}));
        EXPECT_EQ(events.back().id, DISPID_ORV_UPDATERECEIVED);
        int64_t sum = 0;
        for (std::size_t i = 1; i + 1 < events.size(); ++i) {
            const Event& e = events[i];
            ASSERT_EQ(e.id, DISPID_ORV_RECEIVINGUPDATE) << "event " << i;
            const long bytes = std::stol(e.args[0]);
            EXPECT_GT(bytes, 0) << "event " << i;
            EXPECT_LE(bytes, kMaxPiece) << "event " << i;
            sum += bytes;
            EXPECT_EQ(std::stol(e.args[1]), sum) << "event " << i;
        }
        EXPECT_EQ(sum, static_cast<int64_t>(size));
        EXPECT_EQ(events[events.size() - 2].args[2], L"100");
    }

    int tlsPort_ = 0;
};

TEST_F(Https, CheckAndDownloadEveryByte) {
    const std::string package = NoiseBytes((3 << 20) + 5, 1);
    Publish("secure", "secure.bin", package);
    // The scheme in any case selects TLS; the name is checked in lower case.
    Secure(tlsPort_, "/secure/", "HTTPS://LocalHost");

    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));
    ASSERT_EQ(sink_.events.size(), 2u);
    EXPECT_EQ(sink_.events[1].args[0],
              L"Secure|4.0.0.1|07/04/2003|Test release of Secure|secure.bin|" +
                  std::to_wstring(package.size()));
    ExpectSettled("");

    const std::string folder = FreshFolder(servers_, "secure");
    ReceiveAndWait(folder);
    ExpectDownloadEvents(package.size());
    EXPECT_TRUE(ReadAll(folder + "\\secure.bin") == package) << "the file differs";
    ExpectSettled(folder);

    // A second download in the same control, on a fresh connection, gives the same bytes.
    ReceiveAndWait(folder);
    ExpectDownloadEvents(package.size());
    EXPECT_TRUE(ReadAll(folder + "\\secure.bin") == package) << "the file differs";
}

TEST_F(Https, AHandlerThatPumpsMessagesKeepsThePiecesInOrder) {
    // Hosts show progress and let their windows repaint from inside ReceivingUpdate; the
    // socket's next notifications then arrive while earlier data is still being handed on.
    const std::string package = NoiseBytes((1 << 20) + 3, 5);
    Publish("pumping", "pumping.bin", package);
    Secure(tlsPort_, "/pumping/");
    ASSERT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));
    sink_.onEvent = [](const Event& e, DISPPARAMS*) {
        if (e.id == DISPID_ORV_RECEIVINGUPDATE) PumpFor(3);
    };
    const std::string folder = FreshFolder(servers_, "pumping");
    ReceiveAndWait(folder, "", 60000);
    sink_.onEvent = nullptr;
    ExpectDownloadEvents(package.size());
    EXPECT_TRUE(ReadAll(folder + "\\pumping.bin") == package) << "the file differs";
    ExpectSettled(folder);
}

TEST_F(Https, HandlersThatPumpMessagesGetOnePieceAtATime) {
    // Hosts repaint inside every handler (DoEvents: the queue emptied) or show a modal box in
    // one; the socket's notifications then arrive while a handler runs. The next piece comes
    // only after the handler returns: nothing nests and no data piles up meanwhile (peak
    // working set as without pumping). The files are compared at the end, as a second copy
    // in memory would raise the peak.
    const std::string package = NoiseBytes(64 * kMiB, 9);
    Publish("big", "big.bin", package);
    enum Handler { kQuiet, kPump, kBox };
    const std::pair<bool, Handler> cases[] = {{false, kQuiet}, {false, kPump}, {false, kBox},
                                              {true, kQuiet},  {true, kPump},  {true, kBox}};
    SIZE_T quietPeak = 0;
    for (int i = 0; i < 6; ++i) {
        const auto [secure, handler] = cases[i];
        SCOPED_TRACE((secure ? "https, handler " : "http, handler ") + std::to_string(handler));
        secure ? Secure(tlsPort_, "/big/") : Direct(servers_.nginxPort, "/big/");
        int depth = 0, deepest = 0, pieces = 0;
        DWORD boxMs = 0;
        sink_.onEvent = [&](const Event& e, DISPPARAMS*) {
            deepest = std::max(deepest, ++depth);
            if (e.id == DISPID_ORV_RECEIVINGUPDATE && ++pieces == 10 && handler == kBox)
                boxMs = ShowBox();
            if (handler == kPump) PumpFor(0);
            --depth;
        };
        ASSERT_EQ(CheckAndWait(),
                  (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));
        const DWORD start = GetTickCount();
        ReceiveAndWait(FreshFolder(servers_, "big" + std::to_string(i)), "", 60000);
        const SIZE_T peak = PeakWorkingSet();
        sink_.onEvent = nullptr;
        std::printf("64 MiB over %s, handler %d: %lu ms, peak working set %.1f MiB\n",
                    secure ? "HTTPS" : "HTTP", handler, GetTickCount() - start,
                    peak / double(kMiB));
        if (handler == kQuiet) quietPeak = peak;
        ExpectDownloadEvents(package.size());
        EXPECT_EQ(deepest, 1) << "an event arrived while a handler ran";
        EXPECT_TRUE(handler != kBox || boxMs >= 1900) << "the box closed early";
        EXPECT_LE(peak, quietPeak + SIZE_T{8} * kMiB) << "data piled up while the handlers ran";
    }
    for (int i = 0; i < 6; ++i) {
        const std::string folder = servers_.work + "\\big" + std::to_string(i);
        EXPECT_TRUE(ReadAll(folder + "\\big.bin") == package) << "the file differs: " << i;
        ExpectSettled(folder);
        RemoveTree(folder);
    }
    DeleteFileA((servers_.webRoot + "\\big\\big.bin").c_str());
}

TEST_F(Https, BasicAuthorizationTravelsInsideTheSecureConnection) {
    const std::string package = NoiseBytes(70001, 2);
    Publish("protected/secure", "secret.bin", package);
    Secure(tlsPort_, "/protected/secure/");
    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(401,Unauthorized)"}));

    Authorize();
    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));
    const std::string folder = FreshFolder(servers_, "secret");
    ReceiveAndWait(folder);
    ExpectDownloadEvents(package.size());
    EXPECT_TRUE(ReadAll(folder + "\\secret.bin") == package);
    ExpectSettled(folder);

    Authorize("wrong");
    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(401,Unauthorized)"}));
}

TEST_F(Https, ThroughTheProxysConnectTunnel) {
    const std::string package = NoiseBytes(400003, 3);
    Publish("protected/tunnel", "tunnel.bin", package);
    Secure(tlsPort_, "/protected/tunnel/");
    ThroughProxy(servers_.proxyPort);
    Authorize();

    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));
    const std::string folder = FreshFolder(servers_, "tunnel");
    ReceiveAndWait(folder);
    ExpectDownloadEvents(package.size());
    EXPECT_TRUE(ReadAll(folder + "\\tunnel.bin") == package) << "the file differs";
    ExpectSettled(folder);

    // The certificate is checked for the server's name inside the tunnel, not the proxy's.
    Secure(EnvPort("ORV_TLS_OTHERHOST_PORT"), "/protected/tunnel/");
    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{ConnectionError(24012)}));
    ExpectSettled(folder);
}

TEST_F(Https, AProxyRefusingTheTunnelIsHeardAsItsStatus) {
    Publish("refused", "refused.bin", "the package");
    Secure(tlsPort_, "/refused/");
    ASSERT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));
    const std::string folder = FreshFolder(servers_, "refused");
    ASSERT_TRUE(WriteAll(folder + "\\refused.bin", "older file"));

    // Our fault server plays the proxy and refuses. The default port 80 stands for 443, and
    // the proxy sees only the tunnel's target: neither the request nor the credentials.
    Authorize();
    Secure(80, "/refused/");
    const std::string refusal = "HTTP/1.0 403 Forbidden\r\nServer: fault\r\n\r\nno tunnel";
    const std::string scripts = "[" + Answer(refusal).substr(1, Answer(refusal).size() - 2) + "," +
                                Answer(refusal).substr(1, Answer(refusal).size() - 2) + "]";
    const uint16_t proxy = Serve(scripts);
    ThroughProxy(proxy);
    EXPECT_EQ(ReceiveAndWait(folder), (std::vector<std::wstring>{L"HttpStatus(403,Forbidden)"}));
    EXPECT_EQ(ReadAll(folder + "\\refused.bin"), "older file");
    ExpectSettled(folder);
    EXPECT_EQ(Finish(proxy, 0).received,
              "CONNECT localhost:443 HTTP/1.0\r\nHost: localhost:443\r\n\r\n");

    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(403,Forbidden)"}));
    EXPECT_EQ(Finish(proxy, 1).received,
              "CONNECT localhost:443 HTTP/1.0\r\nHost: localhost:443\r\n\r\n");
    ExpectSettled(folder);
}

TEST_F(Https, ServersThatFailTheirCertificateOrHandshakeAreRefusedAndNothingIsWritten) {
    Publish("certs", "certs.bin", NoiseBytes(20000, 4));
    const std::string folder = FreshFolder(servers_, "certs");
    ASSERT_TRUE(WriteAll(folder + "\\certs.bin", "older file"));
    const struct {
        const char* portVariable;
        int32_t code;
    } cases[] = {
        {"ORV_TLS_UNTRUSTED_PORT", 24011},
        {"ORV_TLS_OTHERHOST_PORT", 24012},
        {"ORV_TLS_EXPIRED_PORT", 24013},
        // The server leaves out the intermediate authority: the chain stops short of the root.
        {"ORV_TLS_PARTIAL_PORT", 24011},
        // A plain HTTP server answers the hello with an error page.
        {"ORV_NGINX_PORT", 24010},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.portVariable);
        Secure(tlsPort_, "/certs/");
        ASSERT_EQ(CheckAndWait(),
                  (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));

        Secure(EnvPort(c.portVariable), "/certs/");
        EXPECT_EQ(ReceiveAndWait(folder), (std::vector<std::wstring>{ConnectionError(c.code)}));
        EXPECT_EQ(ReadAll(folder + "\\certs.bin"), "older file");
        ExpectSettled(folder);
        EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{ConnectionError(c.code)}));
        ExpectSettled(folder);
    }
    // A chain through an intermediate the server sends along passes.
    Secure(EnvPort("ORV_TLS_CHAINED_PORT"), "/certs/");
    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));
}

TEST_F(Https, ACutStreamNeverCompletesADownload) {
    // nginx publishes the update information; our TLS fault server sends the package, chosen
    // by its path: /cut-declared/100000/50000, /cut/50000, /whole/50000, /forged/30000.
    const int faultPort = EnvPort("ORV_TLS_FAULT_PORT");
    const struct {
        const char* path;
        const char* package;
        int32_t error;  // 0: complete
    } cases[] = {
        {"/cut-declared/100000/", "50000", 10054},  // shorter than declared
        {"/cut/", "50000", 10054},                  // no length, no close notice
        {"/whole/", "50000", 0},                    // no length, ended by the close notice
        {"/forged/", "30000", 24014},               // a record the server's TLS did not make
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string path = c.path;
        const std::size_t size = std::stoul(c.package);
        Publish(path.substr(1, path.size() - 2), c.package, "", static_cast<int32_t>(size));
        const std::string folder = FreshFolder(servers_, "cut");
        ASSERT_TRUE(WriteAll(folder + "\\" + c.package, "older file"));
        Secure(tlsPort_, path);
        ASSERT_EQ(CheckAndWait(),
                  (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));

        Secure(faultPort, path);
        const std::vector<std::wstring> names = ReceiveAndWait(folder);
        ASSERT_FALSE(names.empty());
        if (c.error == 0) {
            ExpectDownloadEvents(size);
            EXPECT_TRUE(ReadAll(folder + "\\" + c.package) == Pattern(size));
        } else {
            EXPECT_EQ(names.front(), L"HttpStatus(200,OK)");
            EXPECT_EQ(names.back(), ConnectionError(c.error));
            EXPECT_EQ(std::count(names.begin(), names.end(), L"UpdateReceived"), 0);
            // Nothing is written: the older file stays, as over plain HTTP, and no part of
            // the new one takes its place.
            EXPECT_EQ(ReadAll(folder + "\\" + c.package), "older file");
        }
        ExpectSettled(folder);
    }

    // A check is held to the same: a cut record is no record.
    SetText(&_Orvane::put_RemoteFile, "50000");
    Secure(faultPort, "/cut/");
    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{ConnectionError(10054)}));
    Secure(faultPort, "/whole/");
    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));
    ExpectSettled("");
}

}  // namespace
}  // namespace orv::test
