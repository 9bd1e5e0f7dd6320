// Packages that must carry the publisher's Authenticode signature (PackageSigner), end to end
// through COM against nginx. signer_files.py makes the certificates with openssl and signs the
// packages with osslsigncode; its authority is trusted in the current user's Root store for
// this program's run, and removed again (committed) at its end.
#include <gtest/gtest.h>

#include "tests/e2e/e2e_util.h"
#include "tests/support/test_root_environment.h"

namespace orv::test {
namespace {

[[maybe_unused]] const auto* const kSignerRoot = TrustTestRootForTheProgram(false, "ORV_SIGNER_CA");

// Trimmed and compared without letter case: the second name is the publisher's.
const std::string kSigners = " Someone Else ;orvane test PUBLISHER ";
const std::wstring kRefused =
    L"ConnectionError(24005,Package not signed by the expected signer: Someone Else; orvane "
    L"test PUBLISHER.)";
const std::wstring kOldTarget = L"the old target";

class Signer : public E2E {
   protected:
    void SetUp() override {
        E2E::SetUp();
        if (!std::getenv("ORV_SIGNER_CA")) GTEST_SKIP() << "run through tests/e2e/signer_files.py";
        SetText(&_Orvane3::put_PackageSigner, kSigners);
    }
    // A fresh download folder for `web`'s package whose target holds the old target.
    std::string Prepared(const std::string& web) {
        UseNginx("/" + web + "/");
        EXPECT_EQ(CheckAndWait(),
                  (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));
        const std::string folder = FreshFolder(servers_, web);
        EXPECT_TRUE(WriteAll(folder + "\\pkg.exe", "the old target"));
        return folder;
    }
    std::string Package(const std::string& web) {
        return ReadAll(servers_.webRoot + "\\" + web + "\\pkg.exe");
    }
    // Free, no temporary file, no kept part.
    void ExpectNothingLeft(const std::string& folder) {
        ExpectSettled(folder);
        EXPECT_EQ(FolderEntries(folder, "*.orvpart*"), std::vector<std::string>{});
    }
    static std::vector<std::wstring> Outcome(const std::vector<std::wstring>& names) {
        std::vector<std::wstring> r;
        for (const auto& n : names)
            if (n != L"ReceivingUpdate") r.push_back(n);
        return r;
    }
};

TEST_F(Signer, OnlyAPackageOfAnExpectedSignerReplacesTheTarget) {
    const struct {
        const char* web;
        bool accepted;
    } cases[] = {
        {"good", true},        // the publisher, on a chain to the trusted authority
        {"other", false},      // another signer of the same authority
        {"unsigned", false},   // no signature
        {"untrusted", false},  // the publisher's name, from an authority nobody trusts
        {"tampered", false},   // changed after signing
        {"large", true},       // past 1 MiB: checked on a worker while the host pumps
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.web);
        const std::string folder = Prepared(c.web);
        const std::vector<std::wstring> outcome = Outcome(ReceiveAndWait(folder, "", 60000));
        if (c.accepted) {
            EXPECT_EQ(outcome,
                      (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"UpdateReceived"}));
            EXPECT_TRUE(ReadAll(folder + "\\pkg.exe") == Package(c.web));
        } else {
            EXPECT_EQ(outcome, (std::vector<std::wstring>{L"HttpStatus(200,OK)", kRefused}));
            EXPECT_EQ(W(ReadAll(folder + "\\pkg.exe")), kOldTarget);
        }
        ExpectNothingLeft(folder);
    }
}

TEST_F(Signer, CancelDuringTheCheckEndsTheDownloadAtOnce) {
    const std::string folder = Prepared("large");
    const auto size = static_cast<LONG>(Package("large").size());
    bool whole = false;  // the last piece has arrived: the check follows the end of the body
    sink_.onEvent = [&](const Event& e, DISPPARAMS*) {
        if (e.id == DISPID_ORV_RECEIVINGUPDATE && e.args.size() > 1 &&
            e.args[1] == std::to_wstring(size))
            whole = true;
    };
    sink_.events.clear();
    ASSERT_EQ(Receive(folder), ORV_ERROR_SUCCESS);
    ASSERT_TRUE(PumpUntil([&] { return whole; }, 60000));
    PumpFor(20);  // the connection's end starts the check
    ASSERT_EQ(State(), CTRL_STATE_RECEIVING);
    Cancel();
    EXPECT_EQ(State(), CTRL_STATE_FREE);
    // The worker still holds the body file; it removes it once it is done, and the outcome
    // it posts is ignored.
    EXPECT_FALSE(FolderEntries(folder, "*.orvpart").empty()) << "the check was over already";
    EXPECT_TRUE(PumpUntil([&] { return FolderEntries(folder, "*.orvpart*").empty(); }, 30000));
    PumpFor(100);
    EXPECT_EQ(Outcome(Names()), std::vector<std::wstring>{L"HttpStatus(200,OK)"});
    EXPECT_EQ(W(ReadAll(folder + "\\pkg.exe")), kOldTarget);
    ExpectNothingLeft(folder);
}

}  // namespace
}  // namespace orv::test
