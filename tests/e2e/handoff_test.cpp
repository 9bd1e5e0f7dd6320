// HandOffUpdate end to end: a test host of its own (tests/e2e/handoff_host.cpp), in a folder
// of its own with a copy of OrvaneCtl.ocx, downloads a package with a digest from nginx and
// hands it off; the package is a test installer (handoff_installer.cpp) that replaces the
// host's files. Every process writes its steps into one log (tests/support/line_log.h), which
// orders and times them. Time-outs are short: the whole program runs in well under a minute.
#include <windows.h>

#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#include "common/updateinfo/signed_fields.h"
#include "control/trust/trust.h"
#include "tests/e2e/e2e_util.h"
#include "tests/support/line_log.h"

namespace orv::test {
namespace {

constexpr char kVersion[] = "2.0.0.0";

class HandOff : public ::testing::Test {
   protected:
    void SetUp() override {
        std::string why;
        if (!LoadServers(&servers_, &why)) GTEST_SKIP() << why;
        name_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        root_ = FreshFolder(servers_, "handoff_" + name_);
        app_ = EmptyFolder(root_ + "\\app");
        for (const char* file : {"handoff_host.exe", "OrvaneCtl.ocx"})
            ASSERT_TRUE(CopyFileA(BinFile(file).c_str(), (app_ + "\\" + file).c_str(), FALSE));
        log_ = root_ + "\\log.txt";
        SetEnvironmentVariableA("ORV_HANDOFF_LOG", log_.c_str());
        SetEnvironmentVariableA("ORV_HANDOFF_APP", app_.c_str());
        SetEnvironmentVariableA("ORV_HANDOFF_SOURCE",
                                BinFile("").substr(0, BinFile("").size() - 1).c_str());
        SetEnvironmentVariableA("ORV_HANDOFF_DOWNLOADS",
                                EmptyFolder(root_ + "\\downloads").c_str());
        // The package and its information, with the package's digest (field 7).
        path_ = "/handoff/" + name_ + "/";
        const std::string web = EmptyFolder(servers_.webRoot + "\\handoff\\" + name_);
        const std::string package = ReadAll(BinFile("handoff_installer.exe"));
        ASSERT_FALSE(package.empty());
        ASSERT_TRUE(WriteAll(web + "\\setup.exe", package));
        const std::string six = ScrambleText(
            OrvFile("HandOff App", kVersion, "setup.exe", static_cast<int32_t>(package.size())),
            kInformationKey);
        ASSERT_TRUE(WriteAll(
            web + "\\update.orv",
            ScrambleText(six + "|" + DigestField(*trust::Sha256Of(package)), kInformationKey)));
    }

    // Runs the host with `mode` and the hand-off's time-out, inside `job` when given, and
    // waits for it to end.
    void RunHost(const std::string& mode, int timeout = 20, HANDLE job = nullptr) {
        std::string command = "\"" + app_ + "\\handoff_host.exe\" " + mode + " " +
                              std::to_string(servers_.nginxPort) + " " + path_ + " " +
                              std::to_string(timeout) + " \"kept argument\"";
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE,
                                   CREATE_SUSPENDED, nullptr, root_.c_str(), &si, &pi));
        if (job) {
            ASSERT_TRUE(AssignProcessToJobObject(job, pi.hProcess));
        }
        ResumeThread(pi.hThread);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 60000));
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }

    // The log's lines whose text starts with `prefix`, each as (time, text).
    std::vector<std::pair<int64_t, std::string>> Lines(const std::string& prefix) const {
        std::vector<std::pair<int64_t, std::string>> out;
        for (const std::string& line : SplitAll(ReadAll(log_), '\n')) {
            const std::size_t space = line.find(' ');
            if (space != std::string::npos && line.compare(space + 1, prefix.size(), prefix) == 0)
                out.emplace_back(std::stoll(line.substr(0, space)), line.substr(space + 1));
        }
        return out;
    }
    // Waits (bounded) until the log holds `count` lines starting with `prefix`.
    bool WaitLines(const std::string& prefix, std::size_t count, DWORD ms = 30000) const {
        for (const DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(100))
            if (Lines(prefix).size() >= count) return true;
        return false;
    }
    // Folders of hand-offs in the temporary folder, waited for (bounded) to go.
    static std::vector<std::string> HandOffFolders(DWORD ms = 5000) {
        char temp[MAX_PATH + 1] = {};
        GetTempPathA(MAX_PATH + 1, temp);
        std::vector<std::string> left;
        for (const DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(100)) {
            left = FolderEntries(temp, "OrvaneHandOff-*");
            if (left.empty()) break;
        }
        return left;
    }
    // A job whose last handle kills its processes; `breakaway` lets children leave it.
    static HANDLE KillOnCloseJob(bool breakaway) {
        const HANDLE job = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags =
            JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | (breakaway ? JOB_OBJECT_LIMIT_BREAKAWAY_OK : 0);
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        return job;
    }

    Servers servers_;
    std::string name_, root_, app_, log_, path_;
};

TEST_F(HandOff, InstallerReplacesTheHostsFilesAndTheHostComesBackAndLearnsOnce) {
    RunHost("handoff");
    ASSERT_TRUE(WaitLines("installed ", 1)) << ReadAll(log_);
    ASSERT_TRUE(WaitLines("exit", 2)) << ReadAll(log_);
    EXPECT_EQ(Lines("handoff ").at(0).second, "handoff 0");
    EXPECT_EQ(Lines("installer ").at(0).second, "installer host-gone");
    EXPECT_EQ(Lines("copied ").at(0).second, "copied 2");
    const auto starts = Lines("start ");
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0].second, starts[1].second);  // the same command line
    EXPECT_NE(starts[1].second.find("\"kept argument\""), std::string::npos);
    EXPECT_EQ(Lines("installed ").at(0).second, std::string("installed ") + kVersion + " 3010");
    const int64_t hostEnd = Lines("exit").at(0).first, installer = Lines("installer ").at(0).first;
    EXPECT_LE(hostEnd, installer);
    std::printf("[ measured ] host end -> installer start %lld ms, -> host restarted %lld ms\n",
                static_cast<long long>(installer - hostEnd),
                static_cast<long long>(starts[1].first - hostEnd));
    EXPECT_TRUE(HandOffFolders().empty());
    RunHost("handoff");  // a third start: nothing more to learn, nothing handed off again
    EXPECT_EQ(Lines("installed ").size(), 1u);
    EXPECT_EQ(Lines("handoff ").size(), 1u);
}

TEST_F(HandOff, HostThatNeverClosesRunsNothingAndTheNextStartLearnsIt) {
    RunHost("stay", 2);
    EXPECT_EQ(Lines("handoff ").at(0).second, "handoff 0");
    // While the hand-off holds the package, it can be neither written nor replaced.
    EXPECT_EQ(Lines("write ").at(0).second, "write " + std::to_string(ERROR_SHARING_VIOLATION));
    EXPECT_NE(Lines("replace ").at(0).second, "replace 0");
    EXPECT_TRUE(HandOffFolders().empty());
    EXPECT_TRUE(Lines("installer ").empty());
    EXPECT_EQ(Lines("start ").size(), 1u);  // no restart while the host ran
    RunHost("listen");
    ASSERT_EQ(Lines("installed ").size(), 1u) << ReadAll(log_);
    EXPECT_EQ(Lines("installed ").at(0).second, std::string("installed ") + kVersion + " " +
                                                    std::to_string(HANDOFF_ERROR_HOSTSTILLRUNNING));
}

TEST_F(HandOff, PackageChangedAfterTheDownloadIsRefusedAndNothingRuns) {
    RunHost("change");
    ASSERT_EQ(Lines("changed ").at(0).second, "changed 1") << "no program outside Wine ran";
    EXPECT_EQ(Lines("handoff ").at(0).second,
              "handoff " + std::to_string(HANDOFF_ERROR_PACKAGECHANGED));
    Sleep(1000);
    EXPECT_TRUE(Lines("installer ").empty());
    EXPECT_TRUE(HandOffFolders(0).empty());
}

TEST_F(HandOff, HandOffLeavesAKillOnCloseJobOnlyWhereTheJobAllowsBreakaway) {
    const std::map<bool, std::string> expected = {
        {true, "handoff 0"}, {false, "handoff " + std::to_string(HANDOFF_ERROR_NOBREAKAWAY)}};
    for (const auto& [breakaway, line] : expected) {
        SCOPED_TRACE(breakaway ? "breakaway allowed" : "no breakaway");
        DeleteFileA(log_.c_str());
        const HANDLE job = KillOnCloseJob(breakaway);
        RunHost("once", 20, job);
        CloseHandle(job);  // kills whatever is still in the job
        EXPECT_EQ(Lines("handoff ").at(0).second, line);
        EXPECT_EQ(WaitLines("installer host-gone", 1, breakaway ? 20000 : 2000), breakaway);
        EXPECT_TRUE(HandOffFolders().empty());
    }
}

}  // namespace
}  // namespace orv::test
