// Every way a transfer can end, generated from one table: server behaviours (the rows below)
// x check and download x HTTP, HTTPS, a plain proxy and a proxy's CONNECT x a host whose
// handlers do nothing, pump messages, cancel or release the control. Each case holds the
// control to its contract: exactly one last event and nothing of the transfer after it, the
// state inside that event and once its handler has returned, the target old or new, no file
// beside it but a kept part, and the WM_QUIT and WM_APP messages the handlers posted reaching
// the host's own loop. The default run takes a subset; ORV_ENDINGS_FULL=1 runs every case.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_util.h"
#include "tests/support/checked.h"
#include "tests/support/test_root_environment.h"

namespace orv::test {
namespace {

[[maybe_unused]] const auto* const kTestRoot = TrustTestRootForTheProgram();

constexpr int32_t kSize = 40000;  // the package; the record names it with this size
enum class Kind { Check, Download };
enum class Via { Http, Https, HttpProxy, HttpsConnect };
enum class Host { Quiet, Pumps, Cancels, Releases };
const char* const kKindNames[] = {"Check", "Download"};
const char* const kViaNames[] = {"Http", "Https", "HttpProxy", "HttpsConnect"};
const char* const kHostNames[] = {"Quiet", "Pumps", "Cancels", "Releases"};

// How a transfer ends: its last event, with the status or error number (either of two where
// the platform decides), and whether the target then holds the package.
struct End {
    DISPID last = 0;
    int code = 0;
    int alt = 0;
    bool fresh = false;
    bool part = false;  // a download keeps what arrived for a later one
};
constexpr End kInfo{DISPID_ORV_INFORECEIVED}, kNone{};
constexpr End kUpdate{DISPID_ORV_UPDATERECEIVED, 0, 0, true};
constexpr End kNothingNew{DISPID_ORV_UPDATERECEIVED};  // UpdateReceived, the target as it was
constexpr End Status(int code) {
    return {DISPID_ORV_HTTPSTATUS, code};
}
constexpr End Error(int code, int alt = 0) {
    return {DISPID_ORV_CONNECTIONERROR, code, alt};
}
constexpr End Kept(End e) {
    e.part = true;
    return e;
}

constexpr int kReset = 10054, kTooLong = 10040, kTimedOut = 10060, kRefused = 10061;
constexpr int kHandshake = 24010, kNameMismatch = 24012;

// What the server does with a connection, after reading the request: JSON actions, with the
// body (the record for a check, the package for a download) at hand.
using Actions = std::function<std::string(const std::string& body)>;
enum class Port { Scripted, Refused, OtherHost };

struct Row {
    const char* name;
    Actions actions;  // per connection, joined by "],[" for several
    End check, download;
    End https;    // over TLS, when it differs (for both kinds); kNone: as over HTTP
    End connect;  // a proxy answering CONNECT this way (both kinds); kNone: not a proxy row
    Port port = Port::Scripted;
};

std::string Send(const std::string& text) {
    return R"({"op":"send","text":)" + JsonText(text) + "}";
}
std::string Head(const std::string& status, std::size_t length) {
    return "HTTP/1.0 " + status + "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}
const std::string kClose = R"({"op":"close"})";
const std::string kResetOp = R"({"op":"reset"})";
const std::string kStall = R"({"op":"silent","seconds":8})";
const std::string kEndless = R"({"op":"send","pattern":3145728,"piece":16384})";
const std::string kRequest = R"({"op":"recv","until":"\r\n\r\n"},)";

// The table. Rows a proxy answers name what the control makes of that answer to its CONNECT:
// before a tunnel stands nothing but a status or a failed handshake can come of it.
const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = {
        {"refused", {}, Error(kRefused), Error(kRefused), kNone, Error(kRefused), Port::Refused},
        {"closed at accept", [](auto&) { return kClose; }, Error(kReset), Error(kReset),
         Error(kHandshake, kReset), Error(kHandshake, kReset)},
        {"reset at accept", [](auto&) { return kResetOp; }, Error(kReset), Error(kReset),
         Error(kHandshake, kReset), Error(kHandshake, kReset)},
        {"closed without a byte", [](auto&) { return kRequest + kClose; }, Error(kReset),
         Error(kReset), kNone, Error(kHandshake)},
        {"reset without a byte", [](auto&) { return kRequest + kResetOp; }, Error(kReset),
         Error(kReset), kNone, Error(kHandshake, kReset)},
        {"closed mid-header",
         [](auto&) { return kRequest + Send("HTTP/1.0 200 OK\r\nContent-Le") + "," + kClose; },
         Error(kReset), Error(kReset), kNone, Error(kHandshake)},
        {"reset mid-header",
         [](auto&) { return kRequest + Send("HTTP/1.0 200 OK\r\nContent-Le") + "," + kResetOp; },
         Error(kReset), Error(kReset), kNone, Error(kHandshake, kReset)},
        {"header without end",
         [](auto&) {
             return kRequest + Send("HTTP/1.0 200 OK\r\nServer: fault\r\n") + "," + kClose;
         },
         Error(kReset), Error(kReset), kNone, Error(kHandshake)},
        {"header that never ends",
         [](auto&) { return kRequest + Send("HTTP/1.0 200 OK\r\nX: ") + "," + kEndless; },
         Error(kTooLong), Error(kTooLong), kNone, Error(kTooLong)},
        {"200 with body", [](auto& b) { return kRequest + Send(Head("200 OK", b.size()) + b); },
         kInfo, kUpdate, kNone, Error(kHandshake)},
        {"200 without body", [](auto&) { return kRequest + Send(Head("200 OK", 0)); }, kInfo,
         kNothingNew, kNone, Error(kHandshake)},
        {"206 with body",
         [](auto& b) { return kRequest + Send(Head("206 Partial Content", b.size()) + b); },
         Status(206), Status(206), kNone, Status(206)},
        {"302 with body", [](auto& b) { return kRequest + Send(Head("302 Found", b.size()) + b); },
         Status(302), Status(302), kNone, Status(302)},
        {"302 without body", [](auto&) { return kRequest + Send(Head("302 Found", 0)); },
         Status(302), Status(302), kNone, Status(302)},
        {"404 with body",
         [](auto& b) { return kRequest + Send(Head("404 Not Found", b.size()) + b); }, Status(404),
         Status(404), kNone, Status(404)},
        {"404 without body", [](auto&) { return kRequest + Send(Head("404 Not Found", 0)); },
         Status(404), Status(404), kNone, Status(404)},
        {"503 with body", [](auto& b) { return kRequest + Send(Head("503 Busy", b.size()) + b); },
         Status(503), Status(503), kNone, Status(503)},
        {"503 without body", [](auto&) { return kRequest + Send(Head("503 Busy", 0)); },
         Status(503), Status(503), kNone, Status(503)},
        {"header without status",
         [](auto& b) { return kRequest + Send("HTTP/1.0  200\r\n\r\n" + b); }, Status(0), Status(0),
         kNone, Error(kHandshake)},
        {"short body",
         [](auto& b) {
             return kRequest + Send(Head("200 OK", b.size()) + b.substr(0, b.size() / 2)) + "," +
                    kClose;
         },
         Error(kReset), Error(kReset), kNone, kNone},
        {"long body",
         [](auto& b) {
             const std::string more = b + "|" + std::string(kSize, 'x');
             return kRequest + Send(Head("200 OK", more.size()) + more);
         },
         kInfo, kUpdate, kNone, kNone},
        // No length: a plain close ends the body, over TLS only the close notice does.
        {"body without length, no close notice",
         [](auto& b) {
             return kRequest + Send("HTTP/1.0 200 OK\r\n\r\n" + b) + R"(,{"op":"cut"})";
         },
         kInfo, kUpdate, Error(kReset), kNone},
        {"endless body",
         [](auto&) { return kRequest + Send("HTTP/1.0 200 OK\r\n\r\n") + "," + kEndless; },
         Error(kTooLong), Error(kTooLong), kNone, kNone},
        {"404 with an endless body",
         [](auto&) { return kRequest + Send("HTTP/1.0 404 Not Found\r\n\r\n") + "," + kEndless; },
         Error(kTooLong), Status(404), kNone, Status(404)},
        {"stall before the header", [](auto&) { return kRequest + kStall; }, Error(kTimedOut),
         Error(kTimedOut), kNone, Error(kTimedOut)},
        {"stall after the header",
         [](auto& b) {
             return kRequest + Send(Head("200 OK", b.size()) + b.substr(0, 1000)) + "," + kStall;
         },
         Error(kTimedOut), Error(kTimedOut), kNone, kNone},
        // A status that ends the download ends it at once, whatever follows; a proxy's refusal
        // of its tunnel is only a status, for the check as well.
        {"404, then a stall",
         [](auto&) { return kRequest + Send("HTTP/1.0 404 Not Found\r\n\r\nnot") + "," + kStall; },
         Error(kTimedOut), Status(404), kNone, Status(404)},
        // The server's ETag makes what arrived worth keeping.
        {"reset mid-body, tagged",
         [](auto& b) {
             return kRequest +
                    Send("HTTP/1.0 200 OK\r\nETag: \"e1\"\r\nContent-Length: " +
                         std::to_string(b.size()) + "\r\n\r\n" + b.substr(0, b.size() / 2)) +
                    "," + kResetOp;
         },
         Error(kReset), Kept(Error(kReset)), kNone, kNone},
        {"redirect chain",
         [](auto& b) {
             return kRequest + Send("HTTP/1.0 302 Found\r\nLocation: /one/\r\n\r\n") + "],[" +
                    kRequest + Send("HTTP/1.0 301 Moved\r\nLocation: /two/\r\n\r\n") + "],[" +
                    kRequest + Send(Head("200 OK", b.size()) + b);
         },
         kInfo, kUpdate, kNone, kNone},
        {"redirects without end",
         [](auto&) { return kRequest + Send("HTTP/1.0 302 Found\r\nLocation: /again/\r\n\r\n"); },
         Status(302), Status(302), kNone, kNone},
        {"certificate of another host",
         {},
         kNone,
         kNone,
         Error(kNameMismatch),
         kNone,
         Port::OtherHost},
    };
    return rows;
}

struct Case {
    std::size_t row;
    Kind kind;
    Via via;
    Host host;
    DISPID at = 0;  // the event whose handler cancels or releases
};

// The expected end of a case, before what a cancelling or releasing handler changes.
End Expected(const Row& r, Kind kind, Via via) {
    if (via == Via::HttpsConnect) return r.connect;
    if (via == Via::Https && r.https.last != 0) return r.https;
    return kind == Kind::Check ? r.check : r.download;
}

bool Full() {
    return Env("ORV_ENDINGS_FULL") == "1";
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    const auto& rows = Rows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (const Kind kind : {Kind::Check, Kind::Download}) {
            for (const Via via : {Via::Http, Via::Https, Via::HttpProxy, Via::HttpsConnect}) {
                const End end = Expected(rows[i], kind, via);
                if (end.last == 0) continue;
                if (rows[i].port == Port::OtherHost && via != Via::Https) continue;
                for (const Host host : {Host::Quiet, Host::Pumps}) {
                    // The default run: every row over HTTP and HTTPS with a quiet host, the
                    // CONNECT rows, and downloads over HTTP with a pumping host (whose handlers
                    // run between the pieces); the rest with the full run.
                    const bool fast = host == Host::Quiet
                                          ? via != Via::HttpProxy
                                          : via == Via::Http && kind == Kind::Download;
                    if (fast || Full()) cases.push_back({i, kind, via, host});
                }
            }
        }
    }
    // A cancelling and a releasing handler in each phase: the connection (the refusal's
    // ConnectionError), the header (HttpStatus), the body (ReceivingUpdate) and the end.
    const auto row = [&](const char* name) {
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (std::string(rows[i].name) == name) return i;
        return std::size_t{0};
    };
    const struct {
        const char* row;
        Kind kind;
        DISPID at;
    } phases[] = {
        {"refused", Kind::Check, DISPID_ORV_CONNECTIONERROR},
        {"refused", Kind::Download, DISPID_ORV_CONNECTIONERROR},
        {"200 with body", Kind::Check, DISPID_ORV_HTTPSTATUS},
        {"200 with body", Kind::Download, DISPID_ORV_HTTPSTATUS},
        {"200 with body", Kind::Download, DISPID_ORV_RECEIVINGUPDATE},
        {"200 with body", Kind::Check, DISPID_ORV_INFORECEIVED},
        {"200 with body", Kind::Download, DISPID_ORV_UPDATERECEIVED},
    };
    for (const auto& p : phases)
        for (const Via via : {Via::Http, Via::Https})
            for (const Host host : {Host::Cancels, Host::Releases})
                cases.push_back({row(p.row), p.kind, via, host, p.at});
    return cases;
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    const Case& c = info.param;
    std::string name = Rows()[c.row].name;
    for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
    name += std::string("_") + kKindNames[static_cast<int>(c.kind)] + "_" +
            kViaNames[static_cast<int>(c.via)] + "_" + kHostNames[static_cast<int>(c.host)];
    if (c.at != 0) name += "_at" + std::to_string(c.at);
    return name;
}

// One event as the host saw it: the state inside its handler, and the state the host's loop
// found when it met the WM_APP the handler posted (-1: not met).
struct Seen {
    DISPID id;
    std::wstring code;
    LONG inside = -1;
    LONG after = -1;
};

class Endings : public E2E, public ::testing::WithParamInterface<Case> {
   protected:
    // The host's message loop: WM_QUIT and the thread's WM_APP are the host's own and are
    // taken here, every other message is dispatched. Until `done` or `ms` pass.
    bool OwnLoop(const std::function<bool()>& done, DWORD ms) {
        const DWORD start = GetTickCount();
        for (;;) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) {
                    quits_.push_back(static_cast<int>(msg.wParam));
                } else if (msg.hwnd == nullptr && msg.message == WM_APP) {
                    apps_.push_back(static_cast<int>(msg.wParam));
                    Seen& s = seen_.at(static_cast<std::size_t>(msg.wParam));
                    s.after = released_ ? -2 : State();
                } else {
                    TranslateMessage(&msg);
                    DispatchMessageW(&msg);
                }
                if (done()) return true;
            }
            if (done()) return true;
            if (GetTickCount() - start >= ms) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        }
    }

    // The handler of every event: what the case's host does, then the two messages.
    void OnEvent(const Event& e) {
        seen_.push_back({e.id, e.args.empty() ? L"" : e.args[0], released_ ? -2 : State()});
        if (e.id == DISPID_ORV_RECEIVINGUPDATE && seen_.size() > 2 &&
            seen_[seen_.size() - 2].id == DISPID_ORV_RECEIVINGUPDATE && !Acts(e))
            return;  // one pair of messages per run of progress
        const Case& c = GetParam();
        if (c.host == Host::Pumps) OwnLoop([] { return false; }, 20);
        if (Acts(e)) {
            acted_ = true;
            if (c.host == Host::Cancels) {
                Cancel();
            } else {
                // The form closes: the host's last reference goes (the control holds itself
                // until the event is over).
                released_ = true;
                CloseAndRelease(ctl_);
                ctl_ = nullptr;
            }
        }
        const int index = static_cast<int>(seen_.size() - 1);
        PostThreadMessageW(GetCurrentThreadId(), WM_APP, static_cast<WPARAM>(index), 0);
        PostQuitMessage(1000 + index);
        posted_.push_back(index);
    }
    bool Acts(const Event& e) const {
        const Case& c = GetParam();
        return c.at == e.id && !acted_ && (c.host == Host::Cancels || c.host == Host::Releases);
    }

    // The servers of the case; false when a server is missing.
    bool Point(const Row& row, Via via, const std::string& body) {
        const bool secure = via == Via::Https || via == Via::HttpsConnect;
        uint16_t port = 0;
        if (row.port == Port::Refused) {
            port = fault_.Available() ? fault_.RefusedLow() : 0;
        } else if (row.port == Port::OtherHost) {
            port = static_cast<uint16_t>(EnvPort("ORV_TLS_OTHERHOST_PORT"));
        } else if (fault_.Available()) {
            const std::string scripts = "[[" + row.actions(body) + "]]";
            port = via == Via::Https ? fault_.ListenTls(scripts) : fault_.ListenLow(scripts);
        }
        if (port == 0) return false;
        SetText(&_Orvane::put_RemoteHost, secure ? "https://localhost" : "http://127.0.0.1");
        SetText(&_Orvane::put_RemotePath, "/");
        const bool proxied = via == Via::HttpProxy || via == Via::HttpsConnect;
        EXPECT_EQ(S_OK, ctl_->put_RemotePort(proxied ? 443 : static_cast<short>(port)));
        if (proxied) ThroughProxy(port);
        return true;
    }

    std::vector<Seen> seen_;
    std::vector<int> apps_, quits_, posted_;
    bool acted_ = false;
    bool released_ = false;
};

TEST_P(Endings, EndsWithOneLastEvent) {
    const Case& c = GetParam();
    const Row& row = Rows()[c.row];
    End end = Expected(row, c.kind, c.via);
    if (c.via != Via::Http && c.via != Via::HttpProxy && EnvPort("ORV_TLS_PORT") == 0)
        GTEST_SKIP() << "no TLS servers: run with_servers.py --tls";
    const std::string folder = FreshFolder(servers_, "endings");
    const std::string target = folder + "\\pkg.bin";
    const std::string package = Pattern(kSize);
    const std::string record = OrvFile("Endings", "2.0.0.0", "pkg.bin", kSize);
    Set(&_Orvane3::put_RetryCount, 0);
    Set(&_Orvane3::put_IdleTimeout, 1);
    Set(&_Orvane3::put_ConnectTimeout, 1);
    Set(&_Orvane3::put_FollowRedirects, VARIANT_TRUE);
    if (c.kind == Kind::Download) {
        Direct(Serve(Answer(HttpResponse("HTTP/1.0 200 OK", record))));
        ASSERT_EQ(CheckAndWait(),
                  (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));
        ASSERT_TRUE(WriteAll(target, "old"));
    }
    ASSERT_TRUE(Point(row, c.via, c.kind == Kind::Check ? record : package)) << fault_.Error();
    if (c.at != 0) {
        // A handler that cancels or releases ends the transfer in its own event.
        end.last = c.at;
        end.code = end.alt = 0;
        end.fresh = c.at == DISPID_ORV_UPDATERECEIVED;
        end.part = false;
    }

    sink_.events.clear();
    sink_.onEvent = [&](const Event& e, DISPPARAMS*) { OnEvent(e); };
    const auto start = std::chrono::steady_clock::now();
    ORVANEERROR r = static_cast<ORVANEERROR>(1);
    ASSERT_EQ(S_OK, c.kind == Kind::Check ? CheckHr(&r) : ReceiveHr(folder, "", &r));
    EXPECT_EQ(r, ORV_ERROR_SUCCESS);
    const bool ended = OwnLoop([&] { return released_ || State() == CTRL_STATE_FREE; }, 15000);
    // Whatever is still due comes now: nothing of this transfer may.
    const std::size_t atEnd = seen_.size();
    OwnLoop([] { return false; }, 150);
    sink_.onEvent = nullptr;
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(ended) << "the transfer did not end";
    EXPECT_EQ(seen_.size(), atEnd) << "events after the end: " << ::testing::PrintToString(Names());
    if (ms > 3000) std::printf("%s: %.0f ms\n", CaseName({c, 0}).c_str(), ms);

    // Exactly one last event, of the kind and number the row says; before it only the
    // reply's 200 and its progress.
    ASSERT_FALSE(seen_.empty()) << "no event at all";
    const Seen& last = seen_.back();
    EXPECT_EQ(last.id, end.last) << ::testing::PrintToString(Names());
    if (end.code != 0) {
        const std::wstring code = last.code;
        EXPECT_TRUE(code == std::to_wstring(end.code) ||
                    (end.alt && code == std::to_wstring(end.alt)))
            << ::testing::PrintToString(Names());
    }
    int statuses = 0;
    for (std::size_t i = 0; i + 1 < seen_.size(); ++i) {
        const Seen& s = seen_[i];
        const bool before =
            (s.id == DISPID_ORV_HTTPSTATUS && s.code == L"200" && ++statuses == 1) ||
            s.id == DISPID_ORV_RECEIVINGUPDATE;
        EXPECT_TRUE(before) << "event " << i
                            << " before the last: " << ::testing::PrintToString(Names());
    }

    // Busy inside HttpStatus and UpdateReceived, free inside InfoReceived and ConnectionError
    // (unless the host had cancelled or let go); free once the last handler has returned.
    if (!released_) {
        const bool busyInside = last.id == DISPID_ORV_HTTPSTATUS ||
                                last.id == DISPID_ORV_RECEIVINGUPDATE ||
                                last.id == DISPID_ORV_UPDATERECEIVED;
        EXPECT_EQ(last.inside != CTRL_STATE_FREE, busyInside) << "state inside the last event";
        EXPECT_EQ(last.after, CTRL_STATE_FREE) << "state when the host's loop met the last WM_APP";
        EXPECT_EQ(State(), CTRL_STATE_FREE);
    }

    // The host's own messages reach its loop: every WM_APP once, in order, and the last quit.
    EXPECT_EQ(apps_, posted_) << "WM_APP lost";
    ASSERT_FALSE(quits_.empty()) << "WM_QUIT lost";
    EXPECT_EQ(quits_.back(), 1000 + posted_.back()) << "the last WM_QUIT lost";

    // The target: new only when the package replaced it; beside it at most a kept part.
    if (c.kind == Kind::Download) {
        if (end.fresh) {
            // The package, and what a longer body than the record's size brought.
            EXPECT_EQ(ReadAll(target).compare(0, package.size(), package), 0)
                << "the target is not the package";
        } else {
            EXPECT_EQ(ReadAll(target), "old");
        }
        std::vector<std::string> files = {"pkg.bin"};
        if (end.part) files.insert(files.end(), {"pkg.bin.orvpart", "pkg.bin.orvpart.id"});
        std::vector<std::string> left = FolderEntries(folder);
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, files);
        if (end.part) {
            EXPECT_TRUE(ReadAll(target + ".orvpart") == package.substr(0, kSize / 2));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Endings, ::testing::ValuesIn(Cases()), CaseName);

}  // namespace
}  // namespace orv::test
