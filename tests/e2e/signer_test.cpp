// PackageSigner through COM against nginx, with packages signer_files.py signs at test time.
#include <algorithm>
#include <cstdio>

#include "tests/e2e/e2e_util.h"
#include "tests/support/checked.h"
#include "tests/support/test_root_environment.h"

namespace orv::test {
namespace {

[[maybe_unused]] const auto* const kRoot = TrustTestRootForTheProgram(false, "ORV_SIGNER_CA");
// The authority of nginx's TLS site, for the same packages over https://.
[[maybe_unused]] const auto* const kTlsRoot = TrustTestRootForTheProgram(false, "ORV_TLS_CA");

// The ticks of a host timer: the host's message loop runs while they come.
std::vector<DWORD> ticks;
void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    ticks.push_back(GetTickCount());
}

class Signer : public E2E {
   protected:
    void SetUp() override {
        E2E::SetUp();
        if (!std::getenv("ORV_SIGNER_CA")) GTEST_SKIP() << "run through signer_files.py";
        SetText(&_Orvane3::put_PackageSigner, " Someone Else ;orvane test PUBLISHER ");
    }
    std::string Prepared(const std::string& web, bool secure = false) {
        UseNginx("/" + web + "/");
        if (secure) {
            SetText(&_Orvane::put_RemoteHost, "https://localhost");
            EXPECT_EQ(S_OK, ctl_->put_RemotePort(EnvPort("ORV_TLS_PORT")));
        }
        EXPECT_EQ(CheckAndWait().back(), L"InfoReceived");
        const std::string folder = FreshFolder(servers_, web);
        EXPECT_TRUE(WriteAll(folder + "\\pkg.exe", "old"));
        return folder;
    }
    // The events but progress; afterwards free, no temporary file and no kept part.
    std::vector<std::wstring> Settled(const std::string& folder) {
        ExpectSettled(folder);
        EXPECT_EQ(FolderEntries(folder, "*.orvpart*"), std::vector<std::string>{});
        std::vector<std::wstring> r;
        for (const auto& n : Names())
            if (n != L"ReceivingUpdate") r.push_back(n);
        return r;
    }
};

TEST_F(Signer, OnlyAPackageOfAnExpectedSignerReplacesTheTarget) {
    const std::wstring refused =
        L"ConnectionError(24005,Package not signed by the expected signer: Someone Else; "
        L"orvane test PUBLISHER.)";
    for (const std::string web : {"good", "other", "unsigned", "untrusted", "tampered", "large"}) {
        SCOPED_TRACE(web);
        const bool accepted = web == "good" || web == "large";
        const std::string folder = Prepared(web);
        ReceiveAndWait(folder, "", 60000);
        EXPECT_EQ(Settled(folder),
                  (std::vector<std::wstring>{L"HttpStatus(200,OK)",
                                             accepted ? L"UpdateReceived" : refused}));
        EXPECT_TRUE(ReadAll(folder + "\\pkg.exe") ==
                    (accepted ? ReadAll(servers_.webRoot + "\\" + web + "\\pkg.exe") : "old"));
    }
}

TEST_F(Signer, CancelDuringTheCheckEndsTheDownloadAtOnce) {
    const std::string folder = Prepared("large");
    const std::wstring size =
        std::to_wstring(ReadAll(servers_.webRoot + "\\large\\pkg.exe").size());
    bool whole = false;  // the last piece arrived; the check starts at the connection's end
    sink_.onEvent = [&](const Event& e, DISPPARAMS*) {
        whole = whole || (e.id == DISPID_ORV_RECEIVINGUPDATE && e.args.at(1) == size);
    };
    sink_.events.clear();
    ASSERT_EQ(Receive(folder), ORV_ERROR_SUCCESS);
    ASSERT_TRUE(PumpUntil([&] { return whole; }, 60000));
    PumpFor(20);
    ASSERT_EQ(State(), CTRL_STATE_RECEIVING);
    Cancel();
    EXPECT_EQ(State(), CTRL_STATE_FREE);
    // The worker still holds the file, and removes it once done; its outcome is ignored.
    EXPECT_FALSE(FolderEntries(folder, "*.orvpart").empty()) << "the check was over";
    EXPECT_TRUE(PumpUntil([&] { return FolderEntries(folder, "*.orvpart*").empty(); }, 30000));
    EXPECT_EQ(Settled(folder), std::vector<std::wstring>{L"HttpStatus(200,OK)"});
    EXPECT_EQ(ReadAll(folder + "\\pkg.exe"), "old");
}

TEST_F(Signer, TheCheckOfALargePackageOverHttpsLeavesTheHostsLoopRunning) {
    if (!std::getenv("ORV_TLS_PORT")) GTEST_SKIP() << "run with_servers.py --tls";
    const std::string folder = Prepared("large", true);
    const std::wstring size =
        std::to_wstring(ReadAll(servers_.webRoot + "\\large\\pkg.exe").size());
    DWORD whole = 0;  // when the last piece arrived: the check runs from then on
    sink_.onEvent = [&](const Event& e, DISPPARAMS*) {
        if (e.id == DISPID_ORV_RECEIVINGUPDATE && e.args.at(1) == size) whole = GetTickCount();
    };
    const UINT_PTR timer = SetTimer(nullptr, 0, 10, Tick);
    EXPECT_EQ(Last(ReceiveAndWait(folder, "", 60000)), L"UpdateReceived");
    const DWORD done = GetTickCount();
    KillTimer(nullptr, timer);
    const auto during =
        std::count_if(ticks.begin(), ticks.end(), [&](DWORD t) { return t > whole; });
    std::printf("signer check over https: %lu ms, %ld timer ticks meanwhile\n", done - whole,
                static_cast<long>(during));
    // Inline, the check holds the host's thread for all of it: not one tick.
    EXPECT_GE(during, static_cast<long>((done - whole) / 40) + 1);
}

}  // namespace
}  // namespace orv::test
