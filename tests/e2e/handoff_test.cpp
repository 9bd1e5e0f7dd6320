// HandOffUpdate end to end: a test host of its own (handoff_host.cpp, which is also the test
// installer it hands off), in a folder of its own with a copy of OrvaneCtl.ocx, downloads a
// package with a digest from nginx and hands it off. Every process logs its steps into one
// file, which orders and times them. Time-outs are short: the program runs in about 30 s.
#include <windows.h>

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/updateinfo/signed_fields.h"
#include "control/trust/trust.h"
#include "tests/e2e/e2e_util.h"

namespace orv::test {
namespace {

class HandOff : public ::testing::Test {
   protected:
    void SetUp() override {
        std::string why;
        if (!LoadServers(&servers_, &why)) GTEST_SKIP() << why;
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        root_ = FreshFolder(servers_, "handoff_" + name);
        const std::string app = EmptyFolder(root_ + "\\app");
        for (const char* file : {"handoff_host.exe", "OrvaneCtl.ocx"})
            ASSERT_TRUE(CopyFileA(BinFile(file).c_str(), (app + "\\" + file).c_str(), FALSE));
        EmptyFolder(root_ + "\\downloads");  // beside app, as the host expects
        SetEnvironmentVariableA("ORV_HANDOFF_LOG", (root_ + "\\log.txt").c_str());
        // The package (the host program, as the installer) and its information with its digest.
        path_ = "/handoff/" + name + "/";
        const std::string web = EmptyFolder(servers_.webRoot + "\\handoff\\" + name);
        const std::string package = ReadAll(BinFile("handoff_host.exe"));
        const std::string plain = ScrambleText(OrvFile("App", "2.0.0.0", "setup.exe",
                                                       static_cast<int32_t>(package.size())),
                                               kInformationKey) +
                                  "|" + DigestField(*trust::Sha256Of(package));
        ASSERT_TRUE(WriteAll(web + "\\setup.exe", package));
        ASSERT_TRUE(WriteAll(web + "\\update.orv", ScrambleText(plain, kInformationKey)));
    }

    // Runs the host (inside `job` when given) and waits for it to end.
    void RunHost(const std::string& mode, int timeout = 20, HANDLE job = nullptr) {
        // Named relative to its start folder, as a launcher with a working folder may name it.
        std::string command = "app\\handoff_host.exe " + mode + " " +
                              std::to_string(servers_.nginxPort) + " " + path_ + " " +
                              std::to_string(timeout) + " \"kept argument\"";
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(CreateProcessA((root_ + "\\app\\handoff_host.exe").c_str(), command.data(),
                                   nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                   root_.c_str(), &si, &pi));
        if (job) AssignProcessToJobObject(job, pi.hProcess);
        ResumeThread(pi.hThread);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 60000));
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }

    // The log's lines starting with `prefix`, without their times, once there are `count` of
    // them or 20 s have passed. (The times order and measure the steps when read by hand.)
    std::vector<std::string> Lines(const std::string& prefix, std::size_t count = 0) const {
        for (const DWORD start = GetTickCount();; Sleep(100)) {
            std::vector<std::string> out;
            for (const std::string& line : SplitAll(ReadAll(root_ + "\\log.txt"), '\n')) {
                const std::string text = line.substr(line.find(' ') + 1);
                if (text.starts_with(prefix)) out.push_back(text);
            }
            if (out.size() >= count || GetTickCount() - start > 20000) return out;
        }
    }

    // No hand-off folder or program is left in the temporary folder (after a bounded wait).
    static bool NothingLeft() {
        char temp[MAX_PATH + 1] = {};
        GetTempPathA(MAX_PATH + 1, temp);
        for (int i = 0; i < 30 && !FolderEntries(temp, "OrvaneHandOff-*").empty(); ++i) Sleep(100);
        return FolderEntries(temp, "OrvaneHandOff-*").empty();
    }

    Servers servers_;
    std::string root_, path_;
};

TEST_F(HandOff, InstallerReplacesTheHostsFilesAndTheHostComesBackAndLearnsOnce) {
    RunHost("handoff");
    EXPECT_EQ(Lines("installed ", 1), std::vector<std::string>{"installed 2.0.0.0 3010"});
    EXPECT_EQ(Lines("installer "), std::vector<std::string>{"installer host-gone copied 2"});
    const std::vector<std::string> started = Lines("start ", 2);  // the same command line
    EXPECT_TRUE(started.size() == 2 && started[0] == started[1]) << started.at(0);  // and folder
    EXPECT_TRUE(NothingLeft());
    RunHost("handoff");  // a third start: nothing more to learn, and no second hand-off
    EXPECT_EQ(Lines("installed ").size(), 1u);
    EXPECT_EQ(Lines("handoff ").size(), 1u);
}

TEST_F(HandOff, HostThatNeverClosesRunsNothingAndTheNextStartLearnsIt) {
    RunHost("stay", 2);
    EXPECT_EQ(Lines("handoff "), std::vector<std::string>{"handoff 0"});
    // While the hand-off holds the package, it can be neither written nor replaced (32: a
    // sharing violation, 5: access denied).
    EXPECT_EQ(Lines("write "), std::vector<std::string>{"write 32 replace 5"});
    EXPECT_TRUE(NothingLeft());
    EXPECT_EQ(Lines("start ").size(), 1u);  // no restart while the host ran
    RunHost("listen");
    EXPECT_EQ(Lines("installed "), std::vector<std::string>{"installed 2.0.0.0 -106"});
    EXPECT_TRUE(Lines("installer ").empty());
}

TEST_F(HandOff, PackageChangedAfterTheDownloadIsRefusedAndNothingRuns) {
    RunHost("change");
    EXPECT_EQ(Lines("handoff "), std::vector<std::string>{"handoff -104"});
    EXPECT_TRUE(NothingLeft());
    EXPECT_TRUE(Lines("installer ").empty());
}

// The dialog of an automatic check hands off with DialogHandOff: the host is asked to close,
// and one that does not close at once still gets the update when it ends (HandOffTimeout 0).
TEST_F(HandOff, DialogOfTheAutomaticCheckHandsOffAndTheUpdateRunsAtTheHostsExit) {
    // The automatic check runs once a day per source: the memory of an earlier run goes.
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orvane\\Updates");
    RunHost("dialog", 0);
    EXPECT_EQ(Lines("installed ", 1), std::vector<std::string>{"installed 2.0.0.0 3010"});
    const std::vector<std::string> order = Lines("");
    const auto at = [&](const std::string& line) {
        return std::find(order.begin(), order.end(), line) - order.begin();
    };
    EXPECT_LT(at("close-requested"), at("exit"));
    EXPECT_LT(at("exit"), at("installer host-gone copied 2"));  // only once the host ended
    EXPECT_TRUE(NothingLeft());
}

TEST_F(HandOff, InAKillOnCloseJobTheHandOffBreaksAwayOrStartsNothing) {
    for (const bool breakaway : {true, false}) {
        SCOPED_TRACE(breakaway ? "breakaway allowed" : "no breakaway");
        DeleteFileA((root_ + "\\log.txt").c_str());
        const HANDLE job = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags =
            JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | (breakaway ? JOB_OBJECT_LIMIT_BREAKAWAY_OK : 0);
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        RunHost("once", 20, job);
        CloseHandle(job);  // kills whatever is still in the job
        EXPECT_EQ(Lines("handoff "),
                  std::vector<std::string>{breakaway ? "handoff 0" : "handoff -103"});
        EXPECT_EQ(Lines("installer ", breakaway).size(), breakaway ? 1u : 0u);
        EXPECT_TRUE(NothingLeft());
    }
}

}  // namespace
}  // namespace orv::test
