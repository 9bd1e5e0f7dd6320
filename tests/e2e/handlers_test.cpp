// What hosts do inside the control's event handlers, under Wine against our fault server:
// releasing the control, closing it, cancelling and starting the next transfer from any
// event, editing the record InfoReceived hands out, two controls on one thread. Also the texts
// that may not reach a request and the local names that may not leave the chosen folder.
#include <algorithm>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_util.h"
#include "tests/support/checked.h"
#include "tests/support/message_pump.h"

namespace orv::test {
namespace {

const std::wstring kInfo = L"InfoReceived";
const std::wstring k200 = L"HttpStatus(200,OK)";
const std::wstring k404 = L"HttpStatus(404,Not found)";
constexpr HRESULT kInvalidCall = static_cast<HRESULT>(0x800A0005);

// A label longer than the 63 bytes a DNS name can carry: the resolver gives up before asking
// anyone, so this unknown host sends no query off the machine.
const std::string kUnknownHost = "http://" + std::string(64, 'x') + ".invalid";

class Handlers : public E2E {
   protected:
    // A listener that answers one request with `response`, `count` times over.
    uint16_t Answering(const std::string& response, int count = 1) {
        std::string scripts = "[";
        for (int i = 0; i < count; ++i) {
            if (i) scripts += ",";
            scripts += Answer(response).substr(1, Answer(response).size() - 2);
        }
        return Serve(scripts + "]");
    }
    uint16_t Package(const std::string& body) {
        return Answering(HttpResponse("HTTP/1.0 200 OK", body));
    }
    uint16_t Info(const std::string& packageFile, int32_t size) {
        return Answering(
            HttpResponse("HTTP/1.0 200 OK", OrvFile("Host", "2.0.0.0", packageFile, size)));
    }
    void HoldRecord(const std::string& packageFile, int32_t size) {
        Direct(Info(packageFile, size));
        ASSERT_EQ(CheckAndWait(), (std::vector<std::wstring>{k200, kInfo}));
    }
    // A fresh control in place of a released one, with the same sinks.
    void Renew() {
        ASSERT_EQ(ctl_, nullptr);
        ASSERT_EQ(S_OK, CreateControl(&ctl_));
        ASSERT_NE(0u, Connect(ctl_, DIID___Orvane, static_cast<IDispatch*>(&sink_)));
        ASSERT_NE(0u,
                  Connect(ctl_, IID_IPropertyNotifySink, static_cast<IPropertyNotifySink*>(site_)));
    }
};

// --- lifetime -----------------------------------------------------------------------------------

TEST_F(Handlers, ReleasedOrClosedInsideAnEventTheControlEndsQuietly) {
    const std::string folder = FreshFolder(servers_, "released");
    struct Case {
        const char* name;
        DISPID at;  // the event whose handler lets go
        bool download;
        std::string response;
    };
    const std::string body = Pattern(300000);
    const Case cases[] = {
        {"HttpStatus of a check", DISPID_ORV_HTTPSTATUS, false,
         HttpResponse("HTTP/1.0 200 OK", OrvFile("Released", "1.0.0.0", "r.bin", 3))},
        {"InfoReceived", DISPID_ORV_INFORECEIVED, false,
         HttpResponse("HTTP/1.0 200 OK", OrvFile("Released", "1.0.0.0", "r.bin", 3))},
        {"HttpStatus of a download", DISPID_ORV_HTTPSTATUS, true,
         HttpResponse("HTTP/1.0 200 OK", body)},
        {"ReceivingUpdate", DISPID_ORV_RECEIVINGUPDATE, true,
         HttpResponse("HTTP/1.0 200 OK", body)},
        {"UpdateReceived", DISPID_ORV_UPDATERECEIVED, true, HttpResponse("HTTP/1.0 200 OK", "abc")},
        // Raised inside CheckUpdate, which goes on after the handler.
        {"ConnectionError inside CheckUpdate", DISPID_ORV_CONNECTIONERROR, false, ""},
    };
    for (const Case& c : cases) {
        for (const bool close : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (close ? ", closed" : ", released"));
            if (ctl_ == nullptr) Renew();
            if (c.download) HoldRecord("r.bin", static_cast<int32_t>(body.size()));
            if (c.response.empty()) {
                SetText(&_Orvane::put_RemoteHost, kUnknownHost);
            } else {
                Direct(Answering(c.response));
            }
            sink_.events.clear();
            std::size_t seen = 0;
            _Orvane* held = ctl_;
            sink_.onEvent = [&](const Event& e, DISPPARAMS*) {
                if (e.id != c.at || seen != 0) return;
                seen = sink_.events.size();
                if (close) {
                    IOleObject* ole = nullptr;
                    ASSERT_EQ(S_OK,
                              held->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)));
                    ole->Close(OLECLOSE_NOSAVE);
                    ole->Release();
                } else {
                    held->Release();  // the form closes: the host's last reference goes
                }
            };
            ORVANEERROR r = static_cast<ORVANEERROR>(1);
            if (c.download) {
                ASSERT_EQ(S_OK, ReceiveHr(folder, "", &r));
            } else {
                ASSERT_EQ(S_OK, CheckHr(&r));
            }
            EXPECT_EQ(r, ORV_ERROR_SUCCESS);
            if (!close) ctl_ = nullptr;
            PumpUntil([&] { return seen != 0; }, 10000);
            PumpFor(300);
            sink_.onEvent = nullptr;
            ASSERT_NE(seen, 0u) << "the handler never ran";
            EXPECT_EQ(sink_.events.size(), seen) << "events after the host let go";
            EXPECT_EQ(TempFiles(folder), std::vector<std::string>{});
            if (close) {
                EXPECT_EQ(State(), CTRL_STATE_FREE);
                EXPECT_EQ(0u, ctl_->Release());
                ctl_ = nullptr;
            }
        }
    }
    Renew();
}

// --- a new transfer from inside a handler -------------------------------------------------------

TEST_F(Handlers, CheckFromAConnectionErrorRaisedInsideCheckUpdateRunsToItsEnd) {
    const uint16_t port = Info("next.bin", 4);
    SetText(&_Orvane::put_RemoteHost, kUnknownHost);
    ORVANEERROR nested = static_cast<ORVANEERROR>(1);
    sink_.onEvent = [&](const Event& e, DISPPARAMS*) {
        if (e.id != DISPID_ORV_CONNECTIONERROR || sink_.events.size() != 1) return;
        Direct(port);
        nested = Check();
    };
    EXPECT_EQ(Check(), ORV_ERROR_SUCCESS);
    EXPECT_EQ(nested, ORV_ERROR_SUCCESS);
    EXPECT_EQ(State(), CTRL_STATE_CHECKING) << "the nested check was undone";
    EXPECT_TRUE(WaitFree());
    EXPECT_EQ(Names(), (std::vector<std::wstring>{L"ConnectionError(10065,No route to host.)", k200,
                                                  kInfo}));
    EXPECT_EQ(fault_.Accepted(port), 1);
}

TEST_F(Handlers, CancelAndTheNextTransferFromAnyEventStand) {
    const std::string folder = FreshFolder(servers_, "next");
    // Check: a 404, and from its HttpStatus the right file.
    Direct(Answering(HttpResponse("HTTP/1.0 404 Not Found", "gone")));
    // No size: the packages served without a length below are of any size.
    const uint16_t good = Info("next.bin", 0);
    sink_.onEvent = [&](const Event& e, DISPPARAMS*) {
        if (e.id != DISPID_ORV_HTTPSTATUS || e.args[0] != L"404") return;
        Cancel();
        Direct(good);
        EXPECT_EQ(Check(), ORV_ERROR_SUCCESS);
    };
    EXPECT_EQ(Check(), ORV_ERROR_SUCCESS);
    ASSERT_TRUE(PumpUntil([&] { return !sink_.Of(DISPID_ORV_INFORECEIVED).empty(); }, 10000))
        << "the new check never ended";
    EXPECT_EQ(Names(), (std::vector<std::wstring>{k404, k200, kInfo}));
    EXPECT_TRUE(WaitFree(2000));

    // Download: from HttpStatus, ReceivingUpdate and UpdateReceived, another file.
    for (const DISPID at :
         {DISPID_ORV_HTTPSTATUS, DISPID_ORV_RECEIVINGUPDATE, DISPID_ORV_UPDATERECEIVED}) {
        SCOPED_TRACE(at);
        const std::string first = Pattern(100000);
        Direct(Package(first));
        const uint16_t second = Package("second package");
        bool started = false;
        sink_.events.clear();
        sink_.onEvent = [&](const Event& e, DISPPARAMS*) {
            if (e.id != at || started) return;
            started = true;
            Cancel();
            Direct(second);
            EXPECT_EQ(Receive(folder, "second.bin"), ORV_ERROR_SUCCESS);
            EXPECT_EQ(State(), CTRL_STATE_RECEIVING);
        };
        EXPECT_EQ(Receive(folder, "first.bin"), ORV_ERROR_SUCCESS);
        ASSERT_TRUE(PumpUntil([&] { return started && State() == CTRL_STATE_FREE; }, 10000));
        sink_.onEvent = nullptr;
        EXPECT_EQ(Last(Names()), L"UpdateReceived");
        EXPECT_EQ(ReadAll(folder + "\\second.bin"), "second package") << "the new download stopped";
        if (at == DISPID_ORV_UPDATERECEIVED) {
            EXPECT_EQ(ReadAll(folder + "\\first.bin"), first);
        }
        ExpectSettled(folder);
    }
}

TEST_F(Handlers, InfoReceivedHandsOutTheControlsOwnRecord) {
    const std::string folder = FreshFolder(servers_, "record");
    const uint16_t info = Info("wrong.bin", 5);
    const uint16_t package = Package("right");
    Direct(info);
    // Written in the handler, read by the methods called inside it.
    LONG compared = 12345;
    ORVANEERROR started = static_cast<ORVANEERROR>(1);
    sink_.onEvent = [&](const Event& e, DISPPARAMS* p) {
        if (e.id != DISPID_ORV_INFORECEIVED) return;
        UPDATEINFO* rec = InfoOf(p);
        ASSERT_NE(rec, nullptr);
        SetMember(&rec->PackageFile, "right.bin");
        SetMember(&rec->Version, "9.0.0.0");
        compared = Compare(BinFile("ver_2_1_0_7.dll"));
        Direct(package);
        started = Receive(folder);
    };
    EXPECT_EQ(Check(), ORV_ERROR_SUCCESS);
    ASSERT_TRUE(PumpUntil([&] { return !sink_.Of(DISPID_ORV_UPDATERECEIVED).empty(); }, 10000));
    EXPECT_EQ(started, ORV_ERROR_SUCCESS);
    EXPECT_EQ(compared, VER_UPDATEISGREATER) << "CompareVersion did not see the handler's version";
    EXPECT_EQ(ReadAll(folder + "\\right.bin"), "right");
    EXPECT_EQ(Finish(package).received.substr(0, 20), "GET /right.bin HTTP/");
    EXPECT_FALSE(Exists(folder + "\\wrong.bin"));
    EXPECT_TRUE(WaitFree(2000));

    // A check started inside the handler clears the record, and it stays cleared.
    const uint16_t again = Info("a.bin", 1);
    const uint16_t silent = Serve(R"([[{"op":"silent","seconds":5}]])");
    Direct(again);
    std::string inside = "unset";
    sink_.onEvent = [&](const Event& e, DISPPARAMS* p) {
        if (e.id != DISPID_ORV_INFORECEIVED) return;
        Direct(silent);
        EXPECT_EQ(Check(), ORV_ERROR_SUCCESS);
        UPDATEINFO* rec = InfoOf(p);
        inside =
            rec && rec->PackageFile
                ? std::string(rec->PackageFile, rec->PackageFile + SysStringLen(rec->PackageFile))
                : "";
    };
    sink_.events.clear();
    EXPECT_EQ(Check(), ORV_ERROR_SUCCESS);
    ASSERT_TRUE(PumpUntil([&] { return !sink_.Of(DISPID_ORV_INFORECEIVED).empty(); }, 10000));
    sink_.onEvent = nullptr;
    EXPECT_EQ(inside, "");
    EXPECT_EQ(State(), CTRL_STATE_CHECKING);
    Cancel();
    EXPECT_EQ(Receive(folder), ORV_ERROR_NOUPDATEDATA) << "the handler's copy came back";
}

TEST_F(Handlers, TwoControlsOnOneThreadKeepToThemselves) {
    // The sink outlives the other control, which the fixture releases after the test.
    static EventSink otherSink;
    otherSink.events.clear();
    _Orvane* other = AnotherControl();
    ASSERT_NE(other, nullptr);
    ASSERT_NE(0u, Connect(other, DIID___Orvane, static_cast<IDispatch*>(&otherSink)));
    // The older control's server answers late; the newer one is refused at once.
    const uint16_t slow =
        Serve(R"([[{"op":"recv","until":"\r\n\r\n"},{"op":"pause","seconds":0.5},)"
              R"({"op":"send","text":)" +
              JsonText(HttpResponse("HTTP/1.0 200 OK", OrvFile("Older", "1.0.0.0", "o.bin", 1))) +
              R"(},{"op":"close"}]])");
    Direct(slow);
    EXPECT_EQ(Check(), ORV_ERROR_SUCCESS);
    const uint16_t refused = fault_.RefusedLow();
    ASSERT_NE(refused, 0) << fault_.Error();
    BSTR host = SysAllocString(L"http://127.0.0.1");
    EXPECT_EQ(S_OK, other->put_RemoteHost(host));
    SysFreeString(host);
    EXPECT_EQ(S_OK, other->put_RemotePort(refused));
    ORVANEERROR r;
    EXPECT_EQ(S_OK, other->CheckUpdate(&r));
    EXPECT_EQ(r, ORV_ERROR_SUCCESS);
    ASSERT_TRUE(PumpUntil([&] { return !otherSink.events.empty(); }, 10000));
    EXPECT_TRUE(WaitFree());
    EXPECT_EQ(Names(), (std::vector<std::wstring>{k200, kInfo})) << "the older control's check";
    EXPECT_EQ(otherSink.Names(),
              (std::vector<std::wstring>{L"ConnectionError(10061,Connection refused.)"}));
}

// --- the host's messages ------------------------------------------------------------------------

TEST_F(Handlers, AQuitAndAMessageAHandlerPostsReachTheHostsOwnLoop) {
    const std::string folder = FreshFolder(servers_, "quit");
    const std::string info = HttpResponse("HTTP/1.0 200 OK", OrvFile("Q", "2.0.0.0", "q.bin", 3));
    const std::string gone = HttpResponse("HTTP/1.0 404 Not Found", "gone");
    // The call: a check, a download, or the quiet dialog check, whose own loop runs the handler
    // (a message to the thread has no window procedure there). No response: a refusing port.
    const std::tuple<DISPID, char, std::string> cases[] = {
        {DISPID_ORV_HTTPSTATUS, 'c', gone},
        {DISPID_ORV_INFORECEIVED, 'c', info},
        {DISPID_ORV_CONNECTIONERROR, 'c', ""},
        {DISPID_ORV_HTTPSTATUS, 'd', gone},
        {DISPID_ORV_UPDATERECEIVED, 'd', HttpResponse("HTTP/1.0 200 OK", "abc")},
        {DISPID_ORV_HTTPSTATUS, 'q', gone},
    };
    int code = 40;
    for (const auto& [at, call, response] : cases) {
        SCOPED_TRACE(std::to_string(at) + call);
        ++code;
        if (call == 'd') HoldRecord("q.bin", 3);
        Direct(response.empty() ? fault_.RefusedLow() : Answering(response));
        bool posted = false;
        sink_.onEvent = [&](const Event& e, DISPPARAMS*) {
            if (e.id != at || posted) return;
            posted = true;
            PostQuitMessage(code);
            PostMessageW(nullptr, WM_APP, static_cast<WPARAM>(code), 0);
        };
        if (call == 'q') {
            _Orvane3* ctl3 = nullptr;
            ASSERT_EQ(S_OK, ctl_->QueryInterface(IID__Orvane3, reinterpret_cast<void**>(&ctl3)));
            LONG result = -100;
            EXPECT_EQ(S_OK, ctl3->CheckUpdateWithDialog(VARIANT_TRUE, &result));
            EXPECT_EQ(result, UPD_DIALOG_NOUPDATE);
            ctl3->Release();
        } else {
            EXPECT_EQ(call == 'c' ? Check() : Receive(folder), ORV_ERROR_SUCCESS);
        }
        const HostLoop seen = RunHostLoop(10000);
        sink_.onEvent = nullptr;
        EXPECT_TRUE(posted) << "the handler never ran";
        EXPECT_TRUE(seen.quit) << "the host's loop never met its WM_QUIT";
        EXPECT_EQ(seen.exitCode, code);
        const bool app =
            std::any_of(seen.threadMessages.begin(), seen.threadMessages.end(), [&](const MSG& m) {
                return m.message == WM_APP && m.wParam == static_cast<WPARAM>(code);
            });
        EXPECT_TRUE(app) << "the host's loop never met its WM_APP";
        EXPECT_TRUE(WaitFree(5000));
    }
}

// --- what may not reach a request or leave the folder -----------------------------------------

TEST_F(Handlers, ControlCharactersNeverReachARequest) {
    HoldRecord("held.bin", 1);
    const std::string folder = FreshFolder(servers_, "texts");
    using Put = HRESULT (STDMETHODCALLTYPE _Orvane::*)(BSTR);
    struct Text {
        Put put;
        std::string bad;
        std::string good;
    };
    const Text texts[] = {
        {&_Orvane::put_RemoteHost, "http://127.0.0.1\r\nX: 1", "http://127.0.0.1"},
        {&_Orvane::put_RemotePath, "/a\nb/", "/"},
        {&_Orvane::put_RemoteFile, std::string("u\0.orv", 6), "update.orv"},
        {&_Orvane::put_RemoteFile, "u\x7F.orv", "update.orv"},
        {&_Orvane::put_ProxyHost, "127.0.0.1\r", "127.0.0.1"},
    };
    EXPECT_EQ(S_OK, ctl_->put_ProxyPort(8080));
    for (const Text& t : texts) {
        SCOPED_TRACE(t.bad);
        const bool proxy = t.put == &_Orvane::put_ProxyHost;
        EXPECT_EQ(S_OK, ctl_->put_Proxy(proxy ? VARIANT_TRUE : VARIANT_FALSE));
        SetText(t.put, t.bad);
        ClearNotes();
        sink_.events.clear();
        ORVANEERROR r;
        EXPECT_EQ(CheckHr(&r), kInvalidCall);
        if (t.put != &_Orvane::put_RemoteFile) {
            EXPECT_EQ(ReceiveHr(folder, "", &r), kInvalidCall);
        }
        EXPECT_EQ(State(), CTRL_STATE_FREE);
        EXPECT_FALSE(StatePublished());
        EXPECT_TRUE(sink_.events.empty());
        EXPECT_FALSE(Exists(folder + "\\held.bin"));
        SetText(t.put, t.good);
    }
    EXPECT_EQ(S_OK, ctl_->put_Proxy(VARIANT_FALSE));
    // The record still stands: the refusals changed nothing.
    Direct(Package("x"));
    EXPECT_EQ(Last(ReceiveAndWait(folder)), L"UpdateReceived");

    // A server's package name with one is no usable name.
    for (const char* name : {"a\r\nb.bin", "sub\n/b.bin", "b\t.bin"}) {
        HoldRecord(name, 1);
        EXPECT_EQ(Receive(folder), ORV_ERROR_NOUPDATEDATA) << name;
        EXPECT_EQ(Receive(folder, "chosen.bin"), ORV_ERROR_NOUPDATEDATA) << name;
    }
    ExpectSettled(folder);
}

TEST_F(Handlers, LocalNamesStayInTheChosenFolderWhateverTheCurrentFolderDoes) {
    HoldRecord("pkg.bin", 0);  // no size: no cap on the bodies served without a length
    const std::string folder = FreshFolder(servers_, "names");
    const std::string elsewhere = FreshFolder(servers_, "elsewhere");
    // Slashes, colons and backslashes go; what is left is a name in the folder.
    for (const auto& [given, kept] : std::vector<std::pair<std::string, std::string>>{
             {"../up.bin", "..up.bin"}, {"C:drive.bin", "Cdrive.bin"}, {"a/b\\c.bin", "abc.bin"}}) {
        Direct(Package("12345"));
        EXPECT_EQ(Last(ReceiveAndWait(folder, given)), L"UpdateReceived") << given;
        EXPECT_EQ(ReadAll(folder + "\\" + kept), "12345") << given;
    }
    ORVANEERROR r;
    for (const char* name : {".", "..", "/..", ".\\"}) {
        EXPECT_EQ(ReceiveHr(folder, name, &r), kInvalidCall) << name;
    }
    EXPECT_EQ(State(), CTRL_STATE_FREE);

    // A relative folder is the current one when ReceiveUpdate is called; a file dialog that
    // changes the current folder mid-download moves nothing.
    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
    CreateDirectoryA("rel", nullptr);
    Direct(Answering(HttpResponse("HTTP/1.0 200 OK", Pattern(200000))));
    sink_.onEvent = [&](const Event& e, DISPPARAMS*) {
        if (e.id == DISPID_ORV_HTTPSTATUS) SetCurrentDirectoryA(elsewhere.c_str());
    };
    EXPECT_EQ(Last(ReceiveAndWait("rel", "")), L"UpdateReceived");
    sink_.onEvent = nullptr;
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(FileSize(folder + "\\rel\\pkg.bin"), 200000);
    EXPECT_EQ(FileSize(elsewhere + "\\rel\\pkg.bin"), -1);
    EXPECT_EQ(TempFiles(elsewhere), std::vector<std::string>{});
    ExpectSettled(folder + "\\rel");
}

}  // namespace
}  // namespace orv::test
