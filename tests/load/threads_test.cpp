// Eight apartments at once, each a thread with its own window and control, each checking 50
// times against nginx: every check is answered with InfoReceived, on the control that asked
// and with the record that control asked for, and no connection fails.
#include <windows.h>

#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <cstdio>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/com/host.h"
#include "tests/load/load_util.h"

namespace orv::test {
namespace {

constexpr int kApartments = 8;
constexpr int kChecks = 50;
constexpr DWORD kCheckTimeoutMs = 15000;

// Each apartment asks for its own file, whose record names the apartment.
MakerFields FieldsOf(int apartment) {
    MakerFields f;
    f.Name = "Load apartment " + std::to_string(apartment);
    f.VersionParts = {"1", "2", "3", std::to_string(apartment)};
    f.Month = "01";
    f.Day = "02";
    f.Year = "2024";
    f.Comments = "Thread " + std::to_string(apartment);
    f.PackageFile = "pkg_" + std::to_string(apartment) + ".bin";
    f.PackageSize = 1000 + apartment;
    return f;
}

std::string RemoteFileOf(int apartment) {
    return "update_" + std::to_string(apartment) + ".orv";
}

// A count that threads bring down to zero, with an event set at zero so that the main
// thread's wait has a time limit (std::latch has no timed wait).
class Countdown {
   public:
    explicit Countdown(int n) : left_(n), zero_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Countdown() { CloseHandle(zero_); }
    void CountDown() {
        if (--left_ == 0) SetEvent(zero_);
    }
    bool Reached() const { return left_ <= 0; }
    bool Wait(DWORD ms) const { return WaitForSingleObject(zero_, ms) == WAIT_OBJECT_0; }

   private:
    std::atomic<int> left_;
    HANDLE zero_;
};

struct ApartmentResult {
    std::string failure;  // set up failed: why
    int accepted = 0;     // CheckUpdate calls answered ORV_ERROR_SUCCESS
    int answered = 0;     // checks that ended (InfoReceived or ConnectionError) in time
    int ownRecords = 0;   // InfoReceived carrying this apartment's record
    int status200 = 0;
    int connectionErrors = 0;
    std::vector<std::wstring> unexpected;  // any other event or record, as text
    bool freeAtEnd = false;
};

// One apartment: its window with the control in place, 50 checks one after the other, then
// it waits (pumping messages) until the main thread has taken the screenshot.
// The apartments set up one after another (`setup`) and check all at once: Wine's X11 driver,
// when several threads open their first windows at the same moment, now and then hangs in
// CreateWindowExW or corrupts its own heap.
void RunApartment(int index, const std::string& port, std::mutex& setup, Countdown& ready,
                  Countdown& finished, HANDLE release, ApartmentResult& r) {
    std::unique_lock<std::mutex> settingUp(setup);
    if (FAILED(OleInitialize(nullptr))) {
        r.failure = "OleInitialize";
        ready.CountDown();
        finished.CountDown();
        return;
    }
    const std::wstring title = L"Apartment " + std::to_wstring(index);
    HWND host = CreateHostWindow(title.c_str(), 300, 160);
    SetWindowPos(host, nullptr, 10 + (index % 4) * 310, 10 + (index / 4) * 180, 300, 160,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    Site site(host);
    _Orvane* ctl = nullptr;
    EventSink sink;
    IOleObject* ole = nullptr;
    if (FAILED(CreateControl(&ctl))) {
        r.failure = "CreateControl";
    } else if (Connect(ctl, DIID___Orvane, &sink) == 0) {
        r.failure = "Advise";
    } else if (FAILED(ctl->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole))) ||
               FAILED(ole->SetClientSite(&site))) {
        r.failure = "SetClientSite";
    } else {
        RECT rc = {10, 10, 42, 42};
        if (FAILED(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, host, &rc)))
            r.failure = "DoVerb";
        else if (FAILED(Configure(ctl, port, RemoteFileOf(index))))
            r.failure = "Configure";
    }
    // All apartments start checking together. Windows of different threads send each other
    // messages (activation, painting), so waiting threads keep pumping theirs.
    settingUp.unlock();
    ready.CountDown();
    while (!ready.Reached()) PumpFor(5);

    const std::wstring own = RecordText(FieldsOf(index));
    for (int i = 0; r.failure.empty() && i < kChecks; ++i) {
        const std::size_t before = sink.events.size();
        ORVANEERROR result = ORV_ERROR_SUCCESS;
        if (FAILED(ctl->CheckUpdate(&result)) || result != ORV_ERROR_SUCCESS) continue;
        ++r.accepted;
        const bool ended = PumpUntil(
            [&] {
                for (std::size_t e = before; e < sink.events.size(); ++e)
                    if (sink.events[e].id == DISPID_ORV_INFORECEIVED ||
                        sink.events[e].id == DISPID_ORV_CONNECTIONERROR)
                        return true;
                return false;
            },
            kCheckTimeoutMs);
        if (ended) ++r.answered;
    }
    for (const Event& e : sink.events) {
        if (e.id == DISPID_ORV_INFORECEIVED && e.args.size() == 1 && e.args[0] == own) {
            ++r.ownRecords;
        } else if (e.id == DISPID_ORV_HTTPSTATUS && !e.args.empty() && e.args[0] == L"200") {
            ++r.status200;
        } else {
            if (e.id == DISPID_ORV_CONNECTIONERROR) ++r.connectionErrors;
            std::wstring text = std::to_wstring(e.id);
            for (const std::wstring& a : e.args) text += L" " + a;
            r.unexpected.push_back(text);
        }
    }
    if (ctl) {
        CONTROLSTATE state = CTRL_STATE_RECEIVING;
        r.freeAtEnd = SUCCEEDED(ctl->get_UpdateState(&state)) && state == CTRL_STATE_FREE;
    }
    const std::wstring done = title + L": " + std::to_wstring(r.ownRecords) + L" of " +
                              std::to_wstring(kChecks) + L" records";
    SetWindowTextW(host, done.c_str());
    CreateWindowExW(0, L"STATIC", done.c_str(), WS_CHILD | WS_VISIBLE, 50, 14, 240, 40, host,
                    nullptr, GetModuleHandleW(nullptr), nullptr);
    finished.CountDown();
    while (MsgWaitForMultipleObjects(1, &release, FALSE, 30000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
        PumpFor(0);

    if (ole) {
        ole->Close(OLECLOSE_NOSAVE);
        ole->SetClientSite(nullptr);
        ole->Release();
    }
    if (ctl) ctl->Release();
    DestroyWindow(host);
    OleUninitialize();
}

// A worker apartment that checks once, lets COM go and ends. With the control's library
// released by the last apartment, the thread must still end (and the process go on).
DWORD WINAPI CheckOnceAndEnd(void* param) {
    auto* ok = static_cast<bool*>(param);
    if (FAILED(OleInitialize(nullptr))) return 1;
    _Orvane* ctl = nullptr;
    EventSink sink;
    if (SUCCEEDED(CreateControl(&ctl)) && Connect(ctl, DIID___Orvane, &sink) != 0 &&
        SUCCEEDED(Configure(ctl, NginxPort(), RemoteFileOf(0)))) {
        ORVANEERROR result = ORV_ERROR_SUCCESS;
        *ok = SUCCEEDED(ctl->CheckUpdate(&result)) && result == ORV_ERROR_SUCCESS &&
              PumpUntil([&] { return !sink.Of(DISPID_ORV_INFORECEIVED).empty(); }, kCheckTimeoutMs);
    }
    if (ctl) ctl->Release();
    OleUninitialize();
    return 0;
}

TEST(Load, AnApartmentEndsAfterItsLastControl) {
    ASSERT_FALSE(NginxPort().empty()) << "run under tests/tools/with_servers.py";
    ASSERT_TRUE(WriteAll(WebRoot() + "\\" + RemoteFileOf(0), InfoFile(FieldsOf(0))));
    bool checked = false;
    HANDLE thread = CreateThread(nullptr, 0, CheckOnceAndEnd, &checked, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    const bool ended = WaitForSingleObject(thread, 30000) == WAIT_OBJECT_0;
    CloseHandle(thread);
    EXPECT_TRUE(checked);
    if (!ended) {
        // The stuck thread would keep the process from ending: report and stop here.
        ADD_FAILURE() << "the apartment's thread did not end after OleUninitialize";
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 1);
    }
}

TEST(Load, EightApartmentsCheckConcurrently) {
    const std::string port = NginxPort();
    const std::string root = WebRoot();
    ASSERT_FALSE(port.empty()) << "run under tests/tools/with_servers.py";
    for (int i = 0; i < kApartments; ++i)
        ASSERT_TRUE(WriteAll(root + "\\" + RemoteFileOf(i), InfoFile(FieldsOf(i))));
    // The host window class is registered once, before the threads need it.
    DestroyWindow(CreateHostWindow(L"", 10, 10));

    std::vector<ApartmentResult> results(kApartments);
    Countdown ready(kApartments), finished(kApartments);
    std::mutex setup;
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const DWORD start = GetTickCount();
    std::vector<std::thread> threads;
    for (int i = 0; i < kApartments; ++i)
        threads.emplace_back(RunApartment, i, std::cref(port), std::ref(setup), std::ref(ready),
                             std::ref(finished), release, std::ref(results[i]));
    const bool allFinished = finished.Wait(240000);
    const DWORD elapsed = GetTickCount() - start;
    Sleep(300);  // the apartments paint their final texts meanwhile
    SaveWindowBitmap(GetDesktopWindow(), ScreenshotFolder() + L"\\load_apartments.bmp");
    SetEvent(release);
    for (std::thread& t : threads) t.join();
    CloseHandle(release);
    ASSERT_TRUE(allFinished) << "the apartments did not finish in 240 s";

    int records = 0;
    for (int i = 0; i < kApartments; ++i) {
        const ApartmentResult& r = results[i];
        SCOPED_TRACE("apartment " + std::to_string(i));
        EXPECT_EQ(r.failure, "");
        EXPECT_EQ(r.accepted, kChecks);
        EXPECT_EQ(r.answered, kChecks);
        EXPECT_EQ(r.ownRecords, kChecks);
        EXPECT_EQ(r.status200, kChecks);
        EXPECT_EQ(r.connectionErrors, 0);
        EXPECT_TRUE(r.unexpected.empty())
            << "first unexpected event: "
            << (r.unexpected.empty() ? ""
                                     : std::string(r.unexpected[0].begin(), r.unexpected[0].end()));
        EXPECT_TRUE(r.freeAtEnd);
        records += r.ownRecords;
    }
    std::printf(
        "load: %d apartments x %d checks: %d records in %lu ms (%.2f ms per check "
        "overall)\n",
        kApartments, kChecks, records, elapsed,
        records ? static_cast<double>(elapsed) / records : 0.0);
}

}  // namespace
}  // namespace orv::test
