// PackageSigner through COM against nginx, with packages signer_files.py signs at test time.
#include "tests/e2e/e2e_util.h"
#include "tests/support/test_root_environment.h"

namespace orv::test {
namespace {

[[maybe_unused]] const auto* const kRoot = TrustTestRootForTheProgram(false, "ORV_SIGNER_CA");

class Signer : public E2E {
   protected:
    void SetUp() override {
        E2E::SetUp();
        if (!std::getenv("ORV_SIGNER_CA")) GTEST_SKIP() << "run through signer_files.py";
        SetText(&_Orvane3::put_PackageSigner, " Someone Else ;orvane test PUBLISHER ");
    }
    std::string Prepared(const std::string& web) {
        UseNginx("/" + web + "/");
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

}  // namespace
}  // namespace orv::test
