// The update cycle end to end under Wine: an Orvane control in a C++ host checks and downloads
// from nginx (directly, with Basic authorization, through tinyproxy), compares versions of
// real version resources, runs the downloaded package and opens a product page.
#include <gtest/gtest.h>

#include "tests/e2e/e2e_util.h"
#include "tests/support/checked.h"
#include "tests/support/message_pump.h"

namespace orv::test {
namespace {

constexpr int32_t kPackageSize = 5 << 20;

class Cycle : public E2E {
   protected:
    // Puts update.orv (and optionally the package) into the web root folder `sub`.
    void Publish(const std::string& sub, const std::string& orv,
                 const std::string& packageName = "", const std::string& package = "") {
        const std::string folder = servers_.webRoot + (sub.empty() ? "" : "\\" + sub);
        CreateDirectoryA(folder.c_str(), nullptr);
        ASSERT_TRUE(WriteAll(folder + "\\update.orv", orv));
        if (!packageName.empty()) {
            ASSERT_TRUE(WriteAll(folder + "\\" + packageName, package));
        }
    }

    // Checks the events of a download of `expected`: one HttpStatus(200) first, progress
    // adding up to the whole package, UpdateReceived last.
    void ExpectDownloadEvents(const std::vector<Event>& events, std::size_t size) {
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(Nth(events, 0).id, DISPID_ORV_HTTPSTATUS);
        EXPECT_EQ(Nth(events, 0).args, (std::vector<std::wstring>{L"200", L"OK"}));
        EXPECT_EQ(Last(events).id, DISPID_ORV_UPDATERECEIVED);
        int64_t sum = 0;
        long lastPercent = 0;
        for (std::size_t i = 1; i + 1 < events.size(); ++i) {
            const Event& e = events[i];
            ASSERT_EQ(e.id, DISPID_ORV_RECEIVINGUPDATE) << "event " << i;
            const long bytes = std::stol(Nth(e.args, 0));
            const long total = std::stol(Nth(e.args, 1));
            const long percent = std::stol(Nth(e.args, 2));
            EXPECT_GT(bytes, 0);
            sum += bytes;
            EXPECT_EQ(total, sum) << "event " << i;
            EXPECT_GE(percent, lastPercent);
            EXPECT_EQ(percent, static_cast<long>(static_cast<double>(total) / size * 100.0));
            lastPercent = percent;
        }
        EXPECT_EQ(sum, static_cast<int64_t>(size));
        EXPECT_EQ(lastPercent, 100);
    }
};

// --- nginx ---------------------------------------------------------------------------------

TEST_F(Cycle, CheckAndDownloadFromNginx) {
    const std::string package = Pattern(kPackageSize);
    Publish("", OrvFile("Orvane Demo", "2.0.1.5", "demo-2.0.1.bin", kPackageSize), "demo-2.0.1.bin",
            package);
    UseNginx();

    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));
    ASSERT_EQ(sink_.events.size(), 2u);
    EXPECT_EQ(Nth(Nth(sink_.events, 1).args, 0),
              L"Orvane Demo|2.0.1.5|07/04/2003|Test release of Orvane Demo|demo-2.0.1.bin|" +
                  std::to_wstring(kPackageSize));
    ExpectSettled("");

    const std::string folder = FreshFolder(servers_, "nginx");
    ReceiveAndWait(folder);
    ExpectDownloadEvents(sink_.events, package.size());
    EXPECT_TRUE(ReadAll(folder + "\\demo-2.0.1.bin") == package) << "the file differs";
    ExpectSettled(folder);
}

TEST_F(Cycle, MissingFilesGiveNotFoundAndNothingElse) {
    UseNginx("/nowhere/");
    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(404,Not found)"}));

    // A package that is gone: the older local file of that name stays as it was.
    Publish("gone", OrvFile("Gone", "1.0.0.0", "gone.bin", 10));
    UseNginx("/gone/");
    CheckAndWait();
    const std::string folder = FreshFolder(servers_, "gone");
    ASSERT_TRUE(WriteAll(folder + "\\gone.bin", "older file"));
    EXPECT_EQ(ReceiveAndWait(folder), (std::vector<std::wstring>{L"HttpStatus(404,Not found)"}));
    EXPECT_EQ(ReadAll(folder + "\\gone.bin"), "older file");
    ExpectSettled(folder);
}

TEST_F(Cycle, ProtectedLocationNeedsAuthorization) {
    const std::string package = Pattern(70000);
    Publish("protected", OrvFile("Secret", "3.0.0.0", "secret.bin", 70000), "secret.bin", package);
    UseNginx("/protected/");
    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(401,Unauthorized)"}));

    SetText(&_Orvane::put_AuthUsername, "orvane");
    SetText(&_Orvane::put_AuthPassword, "s3cret:pass");
    EXPECT_EQ(S_OK, ctl_->put_Authorization(VARIANT_TRUE));
    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));
    const std::string folder = FreshFolder(servers_, "protected");
    ReceiveAndWait(folder);
    ExpectDownloadEvents(sink_.events, package.size());
    EXPECT_TRUE(ReadAll(folder + "\\secret.bin") == package);

    // A wrong password is the server's to refuse.
    SetText(&_Orvane::put_AuthPassword, "wrong");
    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(401,Unauthorized)"}));
}

TEST_F(Cycle, ProxyModeFetchesTheSameFiles) {
    const std::string package = Pattern(300000);
    Publish("viaproxy", OrvFile("Proxied", "1.2.3.4", "proxied.bin", 300000), "proxied.bin",
            package);
    UseNginx("/viaproxy/");
    EXPECT_EQ(S_OK, ctl_->put_Proxy(VARIANT_TRUE));
    SetText(&_Orvane::put_ProxyHost, "127.0.0.1");
    EXPECT_EQ(S_OK, ctl_->put_ProxyPort(servers_.proxyPort));

    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"InfoReceived"}));
    EXPECT_EQ(Nth(Nth(sink_.events, 1).args, 0),
              L"Proxied|1.2.3.4|07/04/2003|Test release of Proxied|proxied.bin|300000");
    const std::string folder = FreshFolder(servers_, "proxy");
    ReceiveAndWait(folder);
    ExpectDownloadEvents(sink_.events, package.size());
    EXPECT_TRUE(ReadAll(folder + "\\proxied.bin") == package);
    ExpectSettled(folder);

    // nginx saw the proxy's requests for the path the control named.
    const std::string log =
        ReadAll(servers_.webRoot.substr(0, servers_.webRoot.rfind('\\')) + "\\nginx\\access.log");
    EXPECT_NE(log.find("GET /viaproxy/update.orv"), std::string::npos) << log;
    EXPECT_NE(log.find("GET /viaproxy/proxied.bin"), std::string::npos) << log;
}

// --- the host's handler and the record ------------------------------------------------------

TEST_F(Cycle, InfoReceivedHandlerChangesWhatTheControlKeeps) {
    Publish("handler", OrvFile("Handler", "1.0.0.0", "wrong.bin", 5), "right.bin", "right");
    UseNginx("/handler/");
    sink_.onEvent = [](const Event& e, DISPPARAMS* p) {
        if (e.id != DISPID_ORV_INFORECEIVED) return;
        UPDATEINFO* info = InfoOf(p);
        ASSERT_NE(info, nullptr);
        SetMember(&info->PackageFile, "right.bin");
    };
    CheckAndWait();
    sink_.onEvent = nullptr;
    const std::string folder = FreshFolder(servers_, "handler");
    EXPECT_EQ(
        ReceiveAndWait(folder),
        (std::vector<std::wstring>{L"HttpStatus(200,OK)", L"ReceivingUpdate", L"UpdateReceived"}));
    EXPECT_EQ(ReadAll(folder + "\\right.bin"), "right");
    EXPECT_FALSE(Exists(folder + "\\wrong.bin"));
}

TEST_F(Cycle, DownloadStartedFromInsideInfoReceivedRuns) {
    const std::string package = Pattern(200000);
    Publish("inside", OrvFile("Inside", "1.0.0.0", "inside.bin", 200000), "inside.bin", package);
    UseNginx("/inside/");
    const std::string folder = FreshFolder(servers_, "inside");
    ORVANEERROR started = static_cast<ORVANEERROR>(12345);
    LONG stateAfter = -1;
    sink_.onEvent = [&](const Event& e, DISPPARAMS*) {
        if (e.id != DISPID_ORV_INFORECEIVED) return;
        started = Receive(folder);
        stateAfter = State();
    };
    EXPECT_EQ(ORV_ERROR_SUCCESS, Check());
    ASSERT_TRUE(PumpUntil([&] { return !sink_.Of(DISPID_ORV_UPDATERECEIVED).empty(); }, 20000));
    EXPECT_EQ(started, ORV_ERROR_SUCCESS);
    EXPECT_EQ(stateAfter, CTRL_STATE_RECEIVING);
    EXPECT_TRUE(WaitFree(2000));
    EXPECT_TRUE(ReadAll(folder + "\\inside.bin") == package);
    ExpectSettled(folder);
}

// --- versions --------------------------------------------------------------------------------

TEST_F(Cycle, VersionsOfRealVersionResources) {
    BSTR version = SysAllocString(L"unchanged");
    ORVANEERROR r;
    auto get = [&](const std::string& file) {
        BSTR f = SysAllocString(W(file).c_str());
        EXPECT_EQ(S_OK, ctl_->GetFileVersion(f, &version, &r));
        SysFreeString(f);
        return r;
    };
    EXPECT_EQ(get(BinFile("ver_1_40000_0_65535.dll")), ORV_ERROR_SUCCESS);
    EXPECT_STREQ(version, L"1.40000.0.65535");
    EXPECT_EQ(get(BinFile("ver_2_1_0_7.dll")), ORV_ERROR_SUCCESS);
    EXPECT_STREQ(version, L"2.1.0.7");

    const std::string folder = FreshFolder(servers_, "versions");
    ASSERT_TRUE(WriteAll(folder + "\\plain.txt", "no version here"));
    ASSERT_TRUE(WriteAll(folder + "\\hidden.dll", ReadAll(BinFile("ver_1_9_0_0.dll"))));
    ASSERT_TRUE(SetFileAttributesA((folder + "\\hidden.dll").c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(get(folder + "\\plain.txt"), ORV_ERROR_NOFILEVERSION);
    EXPECT_EQ(get(folder + "\\hidden.dll"), ORV_ERROR_FILENOTFOUND);
    EXPECT_EQ(get(folder + "\\missing.dll"), ORV_ERROR_FILENOTFOUND);
    EXPECT_EQ(get(BinFile("ver_0_0_0_0.dll")), ORV_ERROR_NOFILEVERSION);
    EXPECT_STREQ(version, L"2.1.0.7") << "a failed read wrote the version";
    SysFreeString(version);
    EXPECT_EQ(Compare(folder + "\\plain.txt"), ORV_ERROR_NOFILEVERSION);
    EXPECT_EQ(Compare(folder + "\\hidden.dll"), ORV_ERROR_FILENOTFOUND);

    // A served update version, as the maker writes it (empty fourth part).
    Publish("versions", OrvFile("Versions", "1.10.0", "v.bin", 1));
    UseNginx("/versions/");
    CheckAndWait();
    EXPECT_EQ(Compare(BinFile("ver_1_9_0_0.dll")), VER_UPDATEISGREATER);
    EXPECT_EQ(Compare(BinFile("ver_2_1_0_7.dll")), VER_UPDATEISLESS);

    // Versions a handler puts into the record.
    struct Case {
        const char* update;
        const char* file;
        LONG expected;
    };
    const Case cases[] = {
        {"1.10.0", "ver_1_9_0_0.dll", VER_UPDATEISGREATER},
        {"02.1.0", "ver_2_1_0_7.dll", VER_UPDATEISEQUAL},
        {"2.1.0.", "ver_2_1_0_7.dll", VER_UPDATEISEQUAL},
        {"2", "ver_1_5_0_0.dll", VER_UPDATEISGREATER},
        {"1", "ver_1_5_0_0.dll", VER_UPDATEISEQUAL},
        {"1.2.x", "ver_1_2_0_0.dll", VER_UPDATEISEQUAL},
        {"1.3.x", "ver_1_2_0_0.dll", VER_UPDATEISGREATER},
        {"1.1.9", "ver_1_2_0_0.dll", VER_UPDATEISLESS},
        {"1.40000.1", "ver_1_40000_0_65535.dll", VER_UPDATEISGREATER},
    };
    for (const Case& c : cases) {
        sink_.onEvent = [&](const Event& e, DISPPARAMS* p) {
            if (e.id == DISPID_ORV_INFORECEIVED) SetMember(&InfoOf(p)->Version, c.update);
        };
        CheckAndWait();
        EXPECT_EQ(Compare(BinFile(c.file)), c.expected) << c.update << " against " << c.file;
    }
    sink_.onEvent = nullptr;
}

// --- running the package and the product page ----------------------------------------------

TEST_F(Cycle, RunUpdateStartsOnlyTheDeliveredPackage) {
    LONG result = 12345;
    EXPECT_EQ(S_OK, ctl_->RunUpdate(nullptr, &result));
    EXPECT_EQ(result, ORV_ERROR_SHELLFNF) << "nothing downloaded yet, yet something started";

    const std::string setup = ReadAll(BinFile("OrvaneDemoSetup.exe"));
    ASSERT_FALSE(setup.empty()) << "OrvaneDemoSetup.exe is not built";
    const std::string orv =
        OrvFile("Setup", "2.0.0.0", "OrvaneDemoSetup.exe", static_cast<int32_t>(setup.size()));
    const std::string folder = FreshFolder(servers_, "setup");
    const std::string target = folder + "\\OrvaneDemoSetup.exe";
    const std::string installed = folder + "\\installed.txt";
    UseNginx("/setup/");

    // A record whose digest the package does not match: the download fails, the old target
    // (a program that would run) stays, and RunUpdate starts nothing.
    ASSERT_TRUE(WriteAll(target, setup));
    Publish("setup",
            ScrambleText(ScrambleText(orv, kInformationKey) + "|sha256:" + std::string(64, '0'),
                         kInformationKey),
            "OrvaneDemoSetup.exe", setup);
    CheckAndWait();
    EXPECT_EQ(Last(ReceiveAndWait(folder)).substr(0, 22), L"ConnectionError(24001,");
    EXPECT_EQ(S_OK, ctl_->RunUpdate(nullptr, &result));
    EXPECT_EQ(result, ORV_ERROR_SHELLFNF);
    PumpFor(1500);
    EXPECT_FALSE(Exists(installed)) << "the unverified file ran";

    // The package the record describes arrives and stays held until it runs: another process
    // can neither overwrite, delete nor rename it.
    Publish("setup", orv);
    CheckAndWait();
    EXPECT_EQ(Last(ReceiveAndWait(folder)), L"UpdateReceived");
    ASSERT_TRUE(WriteAll(folder + "\\other.exe", "not the package"));
    std::string command =
        "cmd /c copy /y /b other.exe OrvaneDemoSetup.exe & del /f OrvaneDemoSetup.exe & "
        "ren OrvaneDemoSetup.exe moved.exe";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                               nullptr, folder.c_str(), &si, &pi));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_TRUE(ReadAll(target) == setup) << "another process changed the delivered package";
    EXPECT_FALSE(Exists(folder + "\\moved.exe"));

    BSTR params = SysAllocString(L"/quiet");
    EXPECT_EQ(S_OK, ctl_->RunUpdate(params, &result));
    SysFreeString(params);
    EXPECT_GT(result, 32);
    EXPECT_TRUE(PumpUntil([&] { return FileSize(installed) > 0; }, 30000))
        << "the package did not run";
    EXPECT_EQ(ReadAll(installed), "Orvane demo package 2.0.0: installed with /quiet\r\n");
    // Started, the package is let go: there is nothing more to start.
    EXPECT_EQ(S_OK, ctl_->RunUpdate(nullptr, &result));
    EXPECT_EQ(result, ORV_ERROR_SHELLFNF);
}

TEST_F(Cycle, GoProductPageThatNothingOpensReturnsNormally) {
    const std::string folder = FreshFolder(servers_, "page");
    const std::wstring page =
        std::wstring(folder.begin(), folder.end()) + L"\\no-such-page.orvane-nothing";
    BSTR b = SysAllocString(page.c_str());
    EXPECT_EQ(S_OK, ctl_->GoProductPage(b));
    SysFreeString(b);
    EXPECT_TRUE(sink_.events.empty());
    EXPECT_EQ(State(), CTRL_STATE_FREE);
}

}  // namespace
}  // namespace orv::test
