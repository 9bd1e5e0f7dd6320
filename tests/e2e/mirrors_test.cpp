// More places of the package (signed "urls") under Wine, against fault-server listeners of the
// test's own; orvinfo's code makes the key and signs, the control checks with that key.
#include <gtest/gtest.h>

#include "tests/e2e/e2e_util.h"
#include "tests/support/test_root_environment.h"
#include "tools/orvinfo/orvinfo.h"

namespace orv::test {
namespace {

[[maybe_unused]] const auto* const kTestRoot = TrustTestRootForTheProgram();
constexpr int kSize = 200000;
const std::wstring k200 = L"HttpStatus(200,OK)", kRcv = L"ReceivingUpdate", kOk = L"UpdateReceived";
std::string Status(const char* line) {
    return AnswerScript(HttpResponse(line, ""));
}
// The package, Range answered, with entity tag `tag`, cut after `upto` bytes.
std::string Package(const std::string& tag = "T", int upto = kSize) {
    return R"([{"op":"recv","until":"\r\n\r\n"},{"op":"package","range":"honour","size":)" +
           std::to_string(kSize) + R"(,"upto":)" + std::to_string(upto) + R"(,"etag":)" +
           JsonText("\"" + tag + "\"") + "}]";
}
// A file of the package's size that is not the package.
const std::string kWrong = R"([{"op":"recv","until":"\r\n\r\n"},{"op":"send","text":"HTTP/1.0 )"
                           R"(200 OK\r\n\r\nX"},{"op":"send","pattern":199999}])";

class Mirrors : public E2E {
   protected:
    // Points the control at a listener that answers a check with information naming pkg.bin
    // and `mirrors`, signed by a new key, then runs `home` (scripts); its port.
    uint16_t Checked(const std::vector<std::string>& mirrors, const std::string& home) {
        const std::string k = FreshFolder(servers_, "mirror-keys");
        EXPECT_TRUE(WriteAll(k + "\\pkg.bin", Pattern(kSize)));
        for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                 {"keygen", "-o", k + "\\k"},
                 {"make", "--name", "M", "--version", "3.0.0.1", "--package", k + "\\pkg.bin",
                  "--sign", k + "\\k.key", "--expires", "3650d", "--urls", Urls(mirrors), "-o",
                  k + "\\u.orv"}})
            EXPECT_EQ(orvinfo::Run(args, orvinfo::Today()).status, 0) << args[0];
        SetText(&_Orvane2::put_PublisherKey, SplitAll(ReadAll(k + "\\k.pub"), '\n')[0]);
        info_ = ReadAll(k + "\\u.orv");
        const uint16_t port =
            Serve("[" + AnswerScript(HttpResponse("HTTP/1.0 200 OK", info_)) + home + "]");
        Direct(port);
        return port;
    }
    static std::string Urls(const std::vector<std::string>& places) {
        std::string urls;
        for (const std::string& p : places) urls += (urls.empty() ? "" : " ") + p + "/p";
        return urls;
    }
    // A listener of `scripts` ("tls:" first: over TLS, as localhost; "tls-ip:": the same
    // certificate at 127.0.0.1, which does not name it; "": refuses connections), its port
    // and its URL.
    std::pair<uint16_t, std::string> Place(const std::string& scripts) {
        const bool tls = scripts.starts_with("tls"), ip = scripts.starts_with("tls-ip:");
        const uint16_t port = scripts.empty() ? fault_.RefusedLow()
                              : tls ? fault_.ListenTls("[" + scripts.substr(ip ? 7 : 4) + "]")
                                    : Serve("[" + scripts + "]");
        return {port,
                (tls ? ip ? "https://127.0.0.1:" : "https://localhost:" : "http://127.0.0.1:") +
                    std::to_string(port)};
    }
    std::string info_;
};

TEST_F(Mirrors, PlacesAreTriedInOrderAndTheHostHearsOneEnd) {
    struct Row {
        int retryCount;
        std::string home;                  // the default location's scripts after the check
        std::vector<std::string> mirrors;  // one script each; "": refuses connections
        std::vector<std::wstring> events;  // progress runs as one
        int resumed;                       // the last place continued a part (-1: either)
    };
    const std::vector<std::wstring> kTwo = {k200, kRcv, k200, kRcv, kOk};
    const std::string s404 = Status("HTTP/1.0 404 Not Found"), s503 = Status("HTTP/1.0 503 No");
    // clang-format off
    const Row rows[] = {
        {0, "," + s404, {"", s503, kWrong, Package()}, kTwo, 0},  // the 4th mirror delivers
        {0, "," + s404, {s503, ""}, {L"ConnectionError(10061,Connection refused.)"}, -1},
        {3, "," + Status("HTTP/1.0 403 Forbidden"), {Package()}, {L"HttpStatus(403,Forbidden)"}, -1},
        {1, "," + s503 + "," + Package(), {s404}, {k200, kRcv, kOk}, -1},  // a second round
        {3, "," + s404 + "," + Package(), {s404}, {L"HttpStatus(404,Not found)"}, -1},  // none
        {0, "," + Package("A", kSize / 2), {Package("A")}, kTwo, 1},  // the same package goes on
        {0, "," + Package("A", kSize / 2), {Package("B")}, kTwo, 0},  // another starts anew
        {0, "," + s404, {"tls-ip:" + kWrong, "tls:" + Package()}, {k200, kRcv, kOk}, -1},  // TLS checked
    };
    // clang-format on
    SetText(&_Orvane::put_AuthUsername, "orvane");
    SetText(&_Orvane::put_AuthPassword, "secret");
    EXPECT_EQ(S_OK, ctl_->put_Authorization(VARIANT_TRUE));
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        Set(&_Orvane3::put_RetryCount, row.retryCount);
        std::vector<uint16_t> ports;
        std::vector<std::string> urls;
        for (const std::string& m : row.mirrors) {
            const auto [port, url] = Place(m);
            ports.push_back(port);
            urls.push_back(url);
        }
        const uint16_t home = Checked(urls, row.home);
        ASSERT_EQ(CheckAndWait(), (std::vector<std::wstring>{k200, L"InfoReceived"}));
        const std::string folder = FreshFolder(servers_, "mirrored"), target = folder + "\\pkg.bin";
        ASSERT_TRUE(WriteAll(target, "old"));
        EXPECT_EQ(ProgressAsOne(ReceiveAndWait(folder, "", 30000)), row.events);
        EXPECT_TRUE(ReadAll(target) == (row.events.back() == kOk ? Pattern(kSize) : "old"));
        ExpectSettled(folder);
        // The server credentials go to the default location only.
        EXPECT_NE(Finish(home, 1).received.find("Authorization: Basic "), std::string::npos);
        for (std::size_t i = 0; i < ports.size(); ++i) {
            if (!row.mirrors[i].empty() && fault_.Accepted(ports[i]) > 0) {
                EXPECT_EQ(Finish(ports[i]).received.find("Authorization"), std::string::npos);
            }
        }
        if (row.resumed >= 0) {
            EXPECT_EQ(Finish(ports.back()).sent < kSize, row.resumed == 1);
        }
        Cancel();  // what a row kept goes
    }
}

TEST_F(Mirrors, AListChangedAfterSigningIsRefused) {
    const std::string other = Place("").second;
    Checked({other}, "");
    std::string plain = ScrambleText(info_, kInformationKey);
    plain.replace(plain.find(other), other.size(), Place(Package()).second);
    Direct(Serve(Answer(HttpResponse("HTTP/1.0 200 OK", ScrambleText(plain, kInformationKey)))));
    EXPECT_EQ(CheckAndWait(),
              (std::vector<std::wstring>{k200,
                                         L"ConnectionError(24002,Update "
                                         L"information not signed by the expected publisher.)"}));
    EXPECT_EQ(Receive(servers_.work), ORV_ERROR_NOUPDATEDATA);
}

}  // namespace
}  // namespace orv::test
