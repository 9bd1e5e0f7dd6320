// One control used for a long session: 20 rounds of 50 update checks and one package
// download, 1,000 checks and 20 downloads in a row against nginx. Every check and download
// succeeds, the process's handle count and memory stay flat after the first round, and the
// control is free at the end.
#include <windows.h>

#include <ocidl.h>
#include <olectl.h>

#include <cstdio>
#include <gtest/gtest.h>
#include <random>
#include <string>

#include "tests/com/host.h"
#include "tests/load/load_util.h"

namespace orv::test {
namespace {

constexpr int kRounds = 20;
constexpr int kChecksPerRound = 50;
constexpr int kPackageBytes = 4 << 20;
constexpr DWORD kTimeoutMs = 30000;

// What may grow between the end of the first round and the end of the last: a few handles
// of Wine's own caches, and heap that settles after the first rounds.
constexpr DWORD kHandleSlack = 4;
constexpr uint64_t kMemorySlack = 2u << 20;

MakerFields SoakFields() {
    MakerFields f;
    f.Name = "Soak";
    f.VersionParts = {"3", "1", "4", "1"};
    f.Month = "03";
    f.Day = "14";
    f.Year = "2024";
    f.Comments = "A long session";
    f.PackageFile = "soak_package.bin";
    f.PackageSize = kPackageBytes;
    return f;
}

class Soak : public ::testing::Test {
   protected:
    void SetUp() override {
        port_ = NginxPort();
        ASSERT_FALSE(port_.empty()) << "run under tests/tools/with_servers.py";
        const std::string root = WebRoot();
        std::mt19937 random(4729);
        package_.resize(kPackageBytes);
        for (char& c : package_) c = static_cast<char>(random());
        ASSERT_TRUE(WriteAll(root + "\\soak_package.bin", package_));
        ASSERT_TRUE(WriteAll(root + "\\soak.orv", InfoFile(SoakFields())));
        out_ = ScratchFolder("soak");

        ASSERT_EQ(S_OK, OleInitialize(nullptr));
        host_ = CreateHostWindow(L"Soak", 320, 200);
        ShowWindow(host_, SW_SHOW);
        site_ = new Site(host_);
        ASSERT_EQ(S_OK, CreateControl(&ctl_));
        ASSERT_NE(0u, Connect(ctl_, DIID___Orvane, &sink_));
        ASSERT_EQ(S_OK, ctl_->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole_)));
        ASSERT_EQ(S_OK, ole_->SetClientSite(site_));
        RECT rc = {10, 10, 42, 42};
        ASSERT_EQ(S_OK, ole_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_, 0, host_, &rc));
        ASSERT_EQ(S_OK, Configure(ctl_, port_, "soak.orv"));
    }
    void TearDown() override {
        if (ole_) {
            ole_->Close(OLECLOSE_NOSAVE);
            ole_->SetClientSite(nullptr);
            ole_->Release();
        }
        if (ctl_) {
            EXPECT_EQ(0u, ctl_->Release());
        }
        delete site_;
        if (host_) DestroyWindow(host_);
        OleUninitialize();
    }

    // Pumps until an event of `id` or ConnectionError arrives; true for `id`.
    bool WaitFor(DISPID id) {
        const bool ended = PumpUntil(
            [&] {
                for (const Event& e : sink_.events)
                    if (e.id == id || e.id == DISPID_ORV_CONNECTIONERROR) return true;
                return false;
            },
            kTimeoutMs);
        if (!ended) return false;
        for (const Event& e : sink_.events)
            if (e.id == DISPID_ORV_CONNECTIONERROR) return false;
        return true;
    }

    // One check; the events are dropped afterwards so the sink does not grow.
    bool Check() {
        sink_.events.clear();
        ORVANEERROR r = ORV_ERROR_SUCCESS;
        if (FAILED(ctl_->CheckUpdate(&r)) || r != ORV_ERROR_SUCCESS) return false;
        if (!WaitFor(DISPID_ORV_INFORECEIVED)) return false;
        for (const Event& e : sink_.events)
            if (e.id == DISPID_ORV_INFORECEIVED) return e.args.size() == 1 && e.args[0] == record_;
        return false;
    }

    bool Download(int round) {
        sink_.events.clear();
        const std::string name = "round_" + std::to_string(round) + ".bin";
        const std::wstring folder(out_.begin(), out_.end()), file(name.begin(), name.end());
        BSTR f = SysAllocString(folder.c_str()), n = SysAllocString(file.c_str());
        ORVANEERROR r = ORV_ERROR_SUCCESS;
        const HRESULT hr = ctl_->ReceiveUpdate(f, n, &r);
        SysFreeString(f);
        SysFreeString(n);
        if (FAILED(hr) || r != ORV_ERROR_SUCCESS || !WaitFor(DISPID_ORV_UPDATERECEIVED))
            return false;
        const std::string path = out_ + "\\" + name;
        const bool same = ReadAll(path) == package_;
        DeleteFileA(path.c_str());
        return same;
    }

    static void Print(const char* when, const ProcessCounters& c) {
        std::printf("soak: %-16s handles %4lu, working set %7.2f MiB, private %7.2f MiB\n", when,
                    c.handles, c.workingSet / 1048576.0, c.pagefileUsage / 1048576.0);
    }

    std::string port_;
    std::string out_;
    std::string package_;
    const std::wstring record_ = RecordText(SoakFields());
    HWND host_ = nullptr;
    Site* site_ = nullptr;
    _Orvane* ctl_ = nullptr;
    IOleObject* ole_ = nullptr;
    EventSink sink_;
};

TEST_F(Soak, ThousandChecksAndTwentyDownloadsInARow) {
    // The counter sees a handle come and go, so flat numbers below mean something.
    const DWORD base = Counters().handles;
    HANDLE probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(Counters().handles, base + 1);
    CloseHandle(probe);
    EXPECT_EQ(Counters().handles, base);

    const ProcessCounters before = Counters();
    Print("before", before);
    ProcessCounters first, middle;
    int checks = 0, downloads = 0;
    const DWORD start = GetTickCount();
    for (int round = 1; round <= kRounds; ++round) {
        for (int i = 0; i < kChecksPerRound; ++i) {
            ASSERT_TRUE(Check()) << "check " << checks + 1;
            ++checks;
        }
        ASSERT_TRUE(Download(round)) << "download " << round;
        ++downloads;
        if (round == 1) {
            first = Counters();
            Print("after round 1", first);
        } else if (round == kRounds / 2) {
            middle = Counters();
            Print("after round 10", middle);
        }
    }
    const DWORD elapsed = GetTickCount() - start;
    const ProcessCounters end = Counters();
    Print("after round 20", end);
    std::printf("soak: %d checks and %d downloads of %d bytes in %lu ms\n", checks, downloads,
                kPackageBytes, elapsed);

    CONTROLSTATE state = CTRL_STATE_RECEIVING;
    ASSERT_EQ(S_OK, ctl_->get_UpdateState(&state));
    EXPECT_EQ(state, CTRL_STATE_FREE);
    EXPECT_LE(end.handles, first.handles + kHandleSlack);
    EXPECT_LE(middle.handles, first.handles + kHandleSlack);
    EXPECT_LE(end.pagefileUsage, first.pagefileUsage + kMemorySlack);
    EXPECT_LE(end.workingSet, first.workingSet + kMemorySlack);
    const std::wstring summary =
        std::to_wstring(checks) + L" checks, " + std::to_wstring(downloads) +
        L" downloads; handles " + std::to_wstring(first.handles) + L" -> " +
        std::to_wstring(end.handles) + L"; state " + std::to_wstring(state);
    CreateWindowExW(0, L"STATIC", summary.c_str(), WS_CHILD | WS_VISIBLE, 50, 14, 260, 60, host_,
                    nullptr, GetModuleHandleW(nullptr), nullptr);
    PumpFor(100);
    SaveWindowBitmap(host_, ScreenshotFolder() + L"\\load_soak.bmp");
}

}  // namespace
}  // namespace orv::test
