// Downloads and checks against servers that misbehave on the wire: silence, cuts, a trickle,
// answers to Range requests that do not continue the part, endless bodies, a port whose
// connects never complete, and a host killed mid-download whose successor finishes it.
#include <gtest/gtest.h>
#include <map>

#include "tests/e2e/e2e_util.h"
#include "tests/support/checked.h"

namespace orv::test {
namespace {

constexpr int kSize = 100000;
const std::string kTag = "\"v1\"";
const std::wstring kTimedOut = L"ConnectionError(10060,Connection timed out.)";

std::string Request() {
    return R"({"op":"recv","until":"\r\n\r\n"})";
}
// The fault server's package action: the pattern of `size` bytes with an entity tag.
std::string Package(const std::string& more, int size = kSize) {
    return R"({"op":"package","size":)" + std::to_string(size) + R"(,"etag":)" + JsonText(kTag) +
           more + "}";
}
std::string Script(const std::string& actions) {
    return "[" + Request() + "," + actions + "]";
}

struct Row {
    const char* name;
    std::vector<std::string> scripts;  // per connection; none: a port whose connects hang
    std::map<std::wstring, int> settings;
    std::vector<std::wstring> events;  // runs of ReceivingUpdate as one
    int body;                          // bytes of the package that replaces the target; 0: none
    int64_t part;                      // bytes of the kept part afterwards; -1: none
    std::vector<std::string> ranges;   // the Range line each connection asked, "" none
    std::vector<int64_t> sent;         // the body bytes the server sent per connection
};

class Resilience : public E2E {
   protected:
    // The settings by name, as a late-bound host sets them.
    void Settings(const std::map<std::wstring, int>& settings) {
        for (const auto& [name, value] : settings) {
            VARIANT v;
            V_VT(&v) = VT_I4;
            V_I4(&v) = value;
            EXPECT_EQ(S_OK, PutByName(ctl_, name.c_str(), v)) << "no property " << W(name);
        }
    }
    static std::string W(const std::wstring& s) { return std::string(s.begin(), s.end()); }

    std::vector<std::wstring> Collapsed() const { return ProgressAsOne(Names()); }

    // The record that names pkg.bin, from its own listener.
    void HoldRecord() {
        At(Serve(
            Answer(HttpResponse("HTTP/1.0 200 OK", OrvFile("R", "1.0.0.0", "pkg.bin", kSize)))));
        ASSERT_EQ(CheckAndWait(),
                  (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));
    }
    void At(uint16_t port) { Direct(port); }
};

std::string RangeOf(const std::string& request) {
    const std::size_t at = request.find("Range: bytes=");
    return at == std::string::npos ? "" : request.substr(at, request.find("\r\n", at) - at);
}

TEST_F(Resilience, MisbehavingServers) {
    const std::wstring k200 = L"HttpStatus(200,OK)", kRcv = L"ReceivingUpdate";
    const std::wstring kDone = L"UpdateReceived";
    const std::vector<std::wstring> kResumed = {k200, kRcv, k200, kRcv, kDone};
    const std::string silent = R"({"op":"silent","seconds":10})";
    const std::string cut60 = Script(Package(R"(,"upto":60000)") + R"(,{"op":"close"})");
    const std::string endless = R"({"op":"send","text":"HTTP/1.0 200 OK\r\n\r\n"},)"
                                R"({"op":"send","pattern":300000,"piece":16384})";
    // clang-format off
    const std::vector<Row> rows = {
        {"silent after accept", {"[" + silent + "]"}, {{L"IdleTimeout", 1}, {L"RetryCount", 0}},
         {kTimedOut}, 0, -1, {""}, {0}},
        {"silent after the header", {Script(Package(R"(,"upto":40000)") + "," + silent)},
         {{L"IdleTimeout", 1}, {L"RetryCount", 0}}, {k200, kRcv, kTimedOut}, 0, 40000, {""}, {40000}},
        {"reset at 60 %, resumed", {Script(Package(R"(,"upto":60000)") + R"(,{"op":"reset"})"),
         Script(Package(""))}, {}, kResumed, kSize, -1, {"", "?"}, {60000, -1}},
        {"closed at 60 %, resumed", {cut60, Script(Package(""))}, {}, kResumed, kSize, -1,
         {"", "Range: bytes=60000-"}, {60000, 40000}},
        {"trickle of 1 KiB/s", {Script(Package(R"(,"piece":256,"pause":0.25)", 3072))},
         {{L"IdleTimeout", 1}}, {k200, kRcv, kDone}, 3072, -1, {""}, {3072}},
        {"Range ignored", {cut60, Script(Package(R"(,"range":"ignore")"))}, {}, kResumed, kSize, -1,
         {"", "Range: bytes=60000-"}, {60000, kSize}},
        // The 206 that does not continue the part is dropped unreported; the next asks from zero.
        {"206 at the wrong offset", {cut60, Script(Package(R"(,"range":"shift")")), Script(Package(""))},
         {}, kResumed, kSize, -1, {"", "Range: bytes=60000-", ""}, {60000, -1, kSize}},
        {"server error, then the package", {Script(R"({"op":"send","text":"HTTP/1.0 503 Busy\r\n\r\n"})"),
         Script(Package(""))}, {}, {L"HttpStatus(503,Service unavailable)", k200, kRcv, kDone},
         kSize, -1, {"", ""}, {0, kSize}},
        {"endless body", {Script(endless)}, {},
         {k200, kRcv, L"ConnectionError(10040,Message too long.)"}, 0, -1, {""}, {-1}},
        {"connect never completes", {}, {{L"ConnectTimeout", 1}, {L"RetryCount", 0}}, {kTimedOut},
         0, -1, {}, {}},
        // Last: a check leaves no record for a download.
        {"silent after accept, check", {"[" + silent + "]"}, {{L"IdleTimeout", 1}}, {kTimedOut},
         0, -1, {""}, {0}},
    };
    // clang-format on
    HoldRecord();
    const std::string folder = FreshFolder(servers_, "resilience");
    const std::string target = folder + "\\pkg.bin";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool check = std::string(row.name).find("check") != std::string::npos;
        ASSERT_TRUE(WriteAll(target, "old"));
        std::string scripts;
        for (const std::string& s : row.scripts) scripts += (scripts.empty() ? "[" : ",") + s;
        const uint16_t port = row.scripts.empty() ? fault_.FullLow() : Serve(scripts + "]");
        ASSERT_NE(port, 0) << fault_.Error();
        At(port);
        Settings(row.settings);
        const DWORD start = GetTickCount();
        sink_.events.clear();
        EXPECT_EQ(check ? Check() : Receive(folder), ORV_ERROR_SUCCESS);
        EXPECT_TRUE(WaitFree(30000));
        EXPECT_EQ(Collapsed(), row.events);
        EXPECT_TRUE(ReadAll(target) == (row.body ? Pattern(row.body) : "old"));
        EXPECT_EQ(FileSize(target + ".orvpart"), row.part);
        EXPECT_EQ(Exists(target + ".orvpart.id"), row.part >= 0);
        for (std::size_t i = 0; i < row.sent.size(); ++i) {
            const FaultServer::Finished f = Finish(port, static_cast<int>(i));
            if (row.ranges[i] != "?") {
                EXPECT_EQ(RangeOf(f.received), row.ranges[i]) << i;
            }
            if (!row.ranges[i].empty()) {
                EXPECT_NE(f.received.find("If-Range: " + kTag), std::string::npos) << i;
            }
            if (row.sent[i] >= 0) {
                EXPECT_GE(f.sent, row.sent[i]) << i;
                EXPECT_LT(f.sent, row.sent[i] + 200) << i;
            }
        }
        std::printf("  %-32s %5lu ms\n", row.name, GetTickCount() - start);
        ExpectSettled(folder);
        Cancel();  // what a row kept goes
        std::map<std::wstring, int> defaults = {
            {L"ConnectTimeout", 30}, {L"IdleTimeout", 60}, {L"RetryCount", 3}};
        std::erase_if(defaults, [&](const auto& d) { return !row.settings.count(d.first); });
        Settings(defaults);
    }
}

// A host killed mid-download leaves the part; the next host's download asks for the rest.
TEST_F(Resilience, KilledHostIsFinishedByTheNext) {
    const std::string record =
        Answer(HttpResponse("HTTP/1.0 200 OK", OrvFile("R", "1.0.0.0", "pkg.bin", kSize)));
    const std::string checkScript = record.substr(1, record.size() - 2);
    const uint16_t port =
        Serve("[" + checkScript + "," + Script(Package(R"(,"piece":2000,"pause":0.1)")) + "," +
              checkScript + "," + Script(Package("")) + "]");
    const std::string folder = FreshFolder(servers_, "killed");
    const std::string target = folder + "\\pkg.bin";
    ASSERT_TRUE(WriteAll(target, "old"));
    SetEnvironmentVariableA("ORV_KILLED_PORT", std::to_string(port).c_str());
    SetEnvironmentVariableA("ORV_KILLED_FOLDER", folder.c_str());
    std::string line =
        "\"" + BinFile("e2e_resilience.exe") + "\" --gtest_filter=Resilience.HostThatIsKilled";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &si, &pi));
    SetEnvironmentVariableA("ORV_KILLED_PORT", nullptr);
    EXPECT_TRUE(PumpUntil([&] { return FileSize(target + ".orvpart") >= 20000; }, 30000));
    TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    const int64_t kept = FileSize(target + ".orvpart");
    ASSERT_GT(kept, 0);
    EXPECT_EQ(ReadAll(target), "old");

    At(port);
    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));
    ReceiveAndWait(folder);
    EXPECT_EQ(Collapsed(), (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"ReceivingUpdate",
                                                      L"UpdateReceived"}));
    const FaultServer::Finished f = Finish(port, 3);
    EXPECT_EQ(RangeOf(f.received), "Range: bytes=" + std::to_string(kept) + "-");
    EXPECT_NE(f.received.find("If-Range: " + kTag), std::string::npos);
    EXPECT_LT(f.sent, kSize - kept + 200);
    EXPECT_TRUE(ReadAll(target) == Pattern(kSize));
    EXPECT_FALSE(Exists(target + ".orvpart"));
    ExpectSettled(folder);
}

// The host the test above kills: it downloads until it is killed.
TEST_F(Resilience, HostThatIsKilled) {
    const std::string port = Env("ORV_KILLED_PORT");
    if (port.empty()) GTEST_SKIP() << "started by KilledHostIsFinishedByTheNext";
    At(static_cast<uint16_t>(std::stoi(port)));
    CheckAndWait();
    EXPECT_EQ(Receive(Env("ORV_KILLED_FOLDER")), ORV_ERROR_SUCCESS);
    PumpFor(60000);
}

}  // namespace
}  // namespace orv::test
