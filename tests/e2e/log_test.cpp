// The diagnostic log: a check through a proxy with credentials, a resumed download, a package
// refused for its signature, no secret in any log, a log that cannot be written, the user's
// setting, the size rule, the cost of a line. Servers: with_servers.py --tls --auth-proxy.
#include <windows.h>

#include <cstdio>
#include <gtest/gtest.h>
#include <thread>
#include <wrl/client.h>

#include "control/com_util.h"
#include "control/http/http_text.h"
#include "control/log/log_file.h"
#include "tests/e2e/e2e_util.h"
#include "tests/support/checked.h"
#include "tests/support/samples.h"
#include "tests/support/test_root_environment.h"

namespace orv::test {
namespace {

[[maybe_unused]] const auto* const kTlsRoot = TrustTestRootForTheProgram(false, "ORV_TLS_CA");

constexpr int kSize = 70001;
// Every secret the tests set, as typed.
const std::string kSecrets[][2] = {{"orvproxy", "proxy-pass"}, {"orvuser", "server-pw-1"}};

class Log : public E2E {
   protected:
    void SetUp() override {
        E2E::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (!std::getenv("ORV_SIGNER_CA") || EnvPort("ORV_AUTH_PROXY_PORT") == 0)
            GTEST_SKIP() << "run through with_servers.py --tls --auth-proxy and signer_files.py";
        const std::string web = servers_.webRoot + "\\logged";
        CreateDirectoryA(web.c_str(), nullptr);
        ASSERT_TRUE(WriteAll(web + "\\update.orv", OrvFile("P", "1.0.0.1", "p.bin", kSize)) &&
                    WriteAll(web + "\\p.bin", NoiseBytes(kSize, 7)));
        logs_ = FreshFolder(servers_, "logs");
        UseNginx("/logged/");
    }
    // LogFile set to `path`, or to the file `path` names in the scratch folder.
    std::string Logged(std::string path) {
        if (path.find('\\') == std::string::npos) path = logs_ + "\\" + path;
        Microsoft::WRL::ComPtr<_Orvane4> ctl4;
        EXPECT_EQ(S_OK, ctl_->QueryInterface(IID__Orvane4, &ctl4));
        BSTR b = ToBstr(path);
        EXPECT_EQ(S_OK, ctl4->put_LogFile(b));
        SysFreeString(b);
        return path;
    }
    // The log holds each of `steps` in this order, and no secret in any form.
    static void ExpectLog(const std::string& path, const std::vector<std::string>& steps) {
        const std::string text = ReadAll(path);
        std::size_t at = 0;
        for (const std::string& step : steps) {
            at = text.find(step, at);
            ASSERT_NE(at, std::string::npos) << "missing: " << step << "\n" << text;
        }
        for (const auto& [user, password] : kSecrets)
            for (const std::string& form : {http::Base64Encode(user + (":" + password)), password})
                EXPECT_EQ(text.find(form), std::string::npos) << form;
    }
    // A check and a download of p.bin into a fresh folder: the events but progress.
    std::vector<std::wstring> Cycle() {
        std::vector<std::wstring> events = CheckAndWait();
        const std::string folder = FreshFolder(servers_, "cycle");
        for (const std::wstring& e : ReceiveAndWait(folder))
            if (e.rfind(L"ReceivingUpdate", 0) != 0) events.push_back(e);
        EXPECT_TRUE(ReadAll(folder + "\\p.bin") == NoiseBytes(kSize, 7));
        return events;
    }

    std::string logs_;
};

TEST_F(Log, ACheckThroughAProxyWithCredentialsSaysTheRouteAndTheReply) {
    const std::string path = Logged("proxy.log");
    ThroughProxy(EnvPort("ORV_AUTH_PROXY_PORT"));
    SetText(&_Orvane3::put_ProxyUsername, "orvproxy");
    EXPECT_EQ(S_OK, ctl_->put_Authorization(VARIANT_TRUE));
    SetText(&_Orvane::put_AuthUsername, "orvuser");
    SetText(&_Orvane::put_AuthPassword, "server-pw-1");
    // A wrong proxy password first, then the right one, over HTTP and through a tunnel.
    SetText(&_Orvane3::put_ProxyPassword, "wrong-pass");
    EXPECT_EQ(CheckAndWait().front(), L"HttpStatus(401,Unauthorized)");
    SetText(&_Orvane3::put_ProxyPassword, "proxy-pass");
    EXPECT_EQ(Last(CheckAndWait()), L"InfoReceived");
    SetText(&_Orvane::put_RemoteHost, "https://localhost");
    EXPECT_EQ(S_OK, ctl_->put_RemotePort(EnvPort("ORV_TLS_PORT")));
    EXPECT_EQ(Last(CheckAndWait()), L"InfoReceived");
    const std::string hidden = "Authorization: Basic [credentials not logged]",
                      via = "plan: through the proxy 127.0.0.1:" + Env("ORV_AUTH_PROXY_PORT");
    ExpectLog(
        path,
        {"start: CheckUpdate", "AuthPassword=(set)", "ProxyPassword=(set)",
         via + " (with the proxy credentials when set) to 127.0.0.1:",
         "the control's own settings (ProxyMode 0, Proxy on)",
         "check: connected; request: GET http://127.0.0.1:", hidden + "; Proxy-" + hidden,
         "check: reply: 401 Unauthorized", "information: P 1.0.0.1, package p.bin of 70001 bytes",
         via + " (", "TLS", "tls: tunnel through the proxy: CONNECT localhost:", "Proxy-" + hidden,
         "tls: the proxy answered the tunnel: 200",
         "tls: handshake done; the certificate is valid for localhost", "check: reply: 200 OK"});
}

TEST_F(Log, AResumedDownloadSaysWhereItContinued) {
    const std::string path = Logged("resume.log");
    const std::string check =
        Answer(HttpResponse("HTTP/1.0 200 OK", OrvFile("R", "1.0.0.2", "p.bin", kSize)));
    const std::string package = R"({"op":"recv","until":"\r\n\r\n"},{"op":"package","size":70001,)"
                                R"("etag":"\"E\"")";
    Direct(Serve("[" + check.substr(1, check.size() - 2) + ",[" + package + R"(,"upto":30000}],[)" +
                 package + "}]]"));
    Set(&_Orvane3::put_RetryCount, 1);
    ASSERT_EQ(Last(CheckAndWait()), L"InfoReceived");
    const std::string folder = FreshFolder(servers_, "resumed");
    EXPECT_EQ(Last(ReceiveAndWait(folder)), L"UpdateReceived");
    EXPECT_TRUE(ReadAll(folder + "\\p.bin") == Pattern(kSize));
    ExpectLog(path, {"start: ReceiveUpdate", "download: connect to 127.0.0.1:",
                     "download: reply: 200 OK; Content-Length: 70001; ETag: \"E\"",
                     "download: the connection ended after 30000 bytes, short of its length",
                     "download: retry in 1 s (0 left): 10054 Connection reset by peer.; "
                     "continuing from byte 30000",
                     "Range: bytes=30000-; If-Range: \"E\"",
                     "download: reply: 206 Partial content; Content-Length: 40001; Content-Range: "
                     "bytes 30000-70000/70001; ETag: \"E\"",
                     "the 206 continues the kept part from byte 30000",
                     "download: progress: 70001 of 70001 bytes",
                     "p.bin replaced by the package (70001 bytes)", "download: done"});
}

TEST_F(Log, ADownloadRefusedForItsSignatureSaysWhy) {
    const std::string path = Logged("signer.log");
    UseNginx("/tampered/");
    SetText(&_Orvane3::put_PackageSigner, "Orvane Test Publisher");
    ASSERT_EQ(Last(CheckAndWait()), L"InfoReceived");
    const std::string folder = FreshFolder(servers_, "tampered");
    EXPECT_EQ(Last(ReceiveAndWait(folder)),
              L"ConnectionError(24005,Package not signed by the expected signer: Orvane Test "
              L"Publisher.)");
    ExpectLog(path, {"PackageSigner=Orvane Test Publisher", "download: reply: 200 OK",
                     "trust: package signer: refused: the package was changed after it was "
                     "signed; expected: Orvane Test Publisher (verification 0x80096010",
                     "download: failed: 24005 Package not signed by the expected signer"});
    // The guide's example comes from here.
    std::printf("---- log of a refused download ----\n%s----\n", ReadAll(path).c_str());
}

TEST_F(Log, ALogThatCannotBeWrittenChangesNothing) {
    const std::vector<std::wstring> expected = Cycle();  // without a log
    const std::string locked = logs_ + "\\locked.log";
    ASSERT_TRUE(WriteAll(locked, "kept\r\n"));
    const HANDLE held = CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    // A read-only file cannot be shown here: run as root, Wine writes it anyway.
    for (const std::string& path : {logs_ + "\\no such folder\\orvane.log", locked, logs_})
        EXPECT_EQ(Cycle(), expected) << Logged(path);
    CloseHandle(held);
    EXPECT_EQ(ReadAll(locked), "kept\r\n");
}

TEST_F(Log, TheUsersSettingThePropertyThatWinsAndTheSizeRule) {
    // An expandable value, as a customer would set it with reg add, at a file nearly full.
    SetEnvironmentVariableA("ORV_TEST_LOGS", logs_.c_str());
    const std::string value = "%ORV_TEST_LOGS%\\user.log", user = logs_ + "\\user.log",
                      full(log::kMaxFileBytes - 100, 'x');
    ASSERT_TRUE(WriteAll(user + ".1", "older\r\n") && WriteAll(user, full));
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, log::kUserKey, log::kUserValue, REG_EXPAND_SZ,
                              value.c_str(), static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
    CheckAndWait();
    const std::string own = Logged("own.log"), before = ReadAll(user);
    CheckAndWait();
    RegDeleteKeyValueA(HKEY_CURRENT_USER, log::kUserKey, log::kUserValue);
    // The first line would have passed 1 MiB: the file went to .1, over the older one.
    EXPECT_TRUE(ReadAll(user + ".1") == full);
    EXPECT_TRUE(before.starts_with("20") && before.size() < 10000 && before.ends_with("done\r\n"));
    EXPECT_EQ(ReadAll(user), before);
    EXPECT_NE(ReadAll(own).find("check: done"), std::string::npos);
}

TEST_F(Log, LinesOfSeveralWritersStayWholeAndCheap) {
    const std::string path = logs_ + "\\shared.log";
    constexpr int kLines = 500;  // lines per writer
    auto write = [&] {
        log::LogFile file;  // a control of its own, with handles of its own
        file.Begin(path);
        for (int i = 0; i < kLines; ++i) file.Step("load", "line " + std::to_string(i));
    };
    for (const int writers : {1, 4}) {  // one, then four at once
        const DWORD start = GetTickCount();
        std::vector<std::thread> others(writers - 1);
        for (std::thread& t : others) t = std::thread(write);
        write();
        for (std::thread& t : others) t.join();
        std::printf("%d writers: %.0f us per line\n", writers,
                    (GetTickCount() - start) * 1000.0 / (writers * kLines));
    }
    // Mixed lines would break the one or the other.
    const std::string text = ReadAll(path);
    for (const std::string_view part : {"] load: line ", "\r\n"}) {
        int n = 0;
        for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += 2) ++n;
        EXPECT_EQ(n, 5 * kLines) << part;
    }
}

}  // namespace
}  // namespace orv::test
