// Redirects end to end under Wine with FollowRedirects set: a fault server answers with
// redirects to itself, another port, nginx over HTTPS and round in a loop; nginx over HTTPS
// redirects to plain HTTP. Servers: tests/tools/with_servers.py --tls.
#include <gtest/gtest.h>
#include <memory>

#include "tests/e2e/e2e_util.h"
#include "tests/support/files.h"
#include "tests/support/test_root.h"

namespace orv::test {
namespace {

// One script of a fault server's list: read the request, send `response`, close.
std::string Script(const std::string& response) {
    const std::string list = Answer(response);
    return list.substr(1, list.size() - 2);
}

std::string Redirect(const std::string& location) {
    return Script("HTTP/1.0 302 Found\r\nLocation: " + location + "\r\n\r\n");
}

bool Holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class Redirects : public E2E {};

TEST_F(Redirects, FollowedRefusedAndBounded) {
    const std::string ca = Env("ORV_TLS_CA"), tls = Env("ORV_TLS_PORT");
    if (ca.empty() || tls.empty()) GTEST_SKIP() << "no TLS servers: run with_servers.py --tls";
    TrustedTestRoot root(WinPath(ca));
    ASSERT_TRUE(root.Added()) << root.Error();
    const std::string nginx = std::to_string(servers_.nginxPort), folder = servers_.webRoot + "\\r";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string orv = OrvFile("Moved", "2.0.0.0", "pkg.bin", 70000);
    ASSERT_TRUE(WriteAll(folder + "\\update.orv", orv));
    const std::string served = Script(HttpResponse("HTTP/1.0 200 OK", orv));
    const std::vector<std::wstring> found = {L"HttpStatus(200,OK)", L"InfoReceived"};
    Set(&_Orvane3::put_FollowRedirects, VARIANT_TRUE);
    SetText(&_Orvane::put_AuthUsername, "orvane");
    SetText(&_Orvane::put_AuthPassword, "s3cret:pass");
    EXPECT_EQ(S_OK, ctl_->put_Authorization(VARIANT_TRUE));

    // "$B" stands for a second fault server's port, which answers with the record.
    const struct {
        const char* name;
        std::string location;  // every first-server answer but the second one, if `back`
        bool back;             // the first server's second connection gets the record
        std::vector<std::wstring> events;
        int firstConnections;
    } rows[] = {
        {"same server", "/r/update.orv", true, found, 2},
        {"another port", "http://127.0.0.1:" + nginx + "/r/update.orv", false, found, 1},
        {"another host, no credentials", "http://127.0.0.1:$B/update.orv", false, found, 1},
        {"to https", "https://LOCALHOST:" + tls + "/r/update.orv", false, found, 1},
        {"loop of 6", "/loop/update.orv", false, {L"HttpStatus(302,Moved temporarily)"}, 6},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const uint16_t second = Serve("[" + served + "]");
        std::string location = row.location;
        if (const auto at = location.find("$B"); at != std::string::npos)
            location.replace(at, 2, std::to_string(second));
        const uint16_t first =
            Serve("[" + Redirect(location) + (row.back ? "," + served : "") + "]");
        Direct(first);
        sink_.events.clear();
        EXPECT_EQ(CheckAndWait(), row.events);
        EXPECT_EQ(fault_.Accepted(first), row.firstConnections);
        for (int i = 0; i < row.firstConnections; ++i)
            EXPECT_TRUE(Holds(Finish(first, i).received, "Authorization: Basic")) << i;
        if (location != row.location) {
            const std::string sent = Finish(second).received;
            EXPECT_TRUE(Holds(sent, "GET /update.orv ")) << sent;
            EXPECT_FALSE(Holds(sent, "Authorization")) << sent;
        }
    }

    // A secure server that redirects to plain HTTP is refused.
    SetText(&_Orvane::put_RemoteHost, "https://localhost");
    EXPECT_EQ(S_OK, ctl_->put_RemotePort(std::stoi(tls)));
    SetText(&_Orvane::put_RemotePath, "/to-plain/");
    sink_.events.clear();
    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{
                                  L"ConnectionError(24015,Insecure redirect refused: a secure "
                                  L"connection was redirected to plain HTTP.)"}));

    // A download redirected to another server continues its kept part there after a cut.
    UseNginx("/r/");
    EXPECT_EQ(CheckAndWait(), found);
    const uint16_t store = Serve(
        R"([[{"op":"recv","until":"\r\n\r\n"},{"op":"package","size":70000,"etag":"\"e1\"","range":"honour","upto":30000}],)"
        R"([{"op":"recv","until":"\r\n\r\n"},{"op":"package","size":70000,"etag":"\"e1\"","range":"honour"}]])");
    Direct(Serve("[" + Redirect("http://127.0.0.1:" + std::to_string(store) + "/pkg.bin") + "]"));
    const std::string into = FreshFolder(servers_, "redirected");
    ReceiveAndWait(into, "", 30000);
    EXPECT_EQ(sink_.events.back().id, DISPID_ORV_UPDATERECEIVED);
    EXPECT_EQ(ReadAll(into + "\\pkg.bin"), Pattern(70000));
    EXPECT_TRUE(Holds(Finish(store, 1).received, "Range: bytes=30000-"));
    ExpectSettled(into);
}

}  // namespace
}  // namespace orv::test
