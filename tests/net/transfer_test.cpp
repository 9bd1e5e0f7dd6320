// The transfer object on its own, through fakes of its socket seam and of its owner: the order
// of its reports, its single end, and what a handler that cancels from inside a report leaves.
// (Failures, cut bodies and whole downloads are shown end to end in tests/e2e.)
// Files are real (a scratch folder of the test); no socket is opened.
#include "control/transfer/transfer.h"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/updateinfo/updateinfo.h"

namespace orv::transfer {
namespace {

class FakeSocket : public ISocketSeam {
   public:
    void Connect(const std::string& host, int16_t port) override {
        calls.push_back("connect " + host + ":" + std::to_string(port));
        if (onConnect) onConnect();
    }
    void Send(const std::string& text) override { calls.push_back("send " + text); }
    void Disconnect() override { calls.push_back("disconnect"); }
    std::vector<std::string> calls;
    std::function<void()> onConnect;
};

class FakeOwner : public ITransferReport {
   public:
    void ReportHttpStatus(int32_t status) override { Note("status " + std::to_string(status)); }
    void ReportProgress(int32_t bytes, int32_t total, int32_t, int32_t) override {
        Note("progress " + std::to_string(bytes) + "/" + std::to_string(total));
    }
    void ReportUpdateReceived() override { Note("received"); }
    void ReportInfo(const UpdateInfo& fields, const PackageDigest& d) override {
        digest = d;
        Note("info " + fields.PackageFile);
    }
    PackageDigest digest;
    void ReportEnded(Transfer&) override { Note("ended"); }
    void ReportInfoReceived() override { Note("inforeceived"); }
    void ReportConnectionError(int32_t code, const std::string&) override {
        Note("error " + std::to_string(code));
    }
    std::vector<std::string> notes;
    // Runs inside the report whose note starts with `at`.
    std::string at;
    std::function<void()> inside;

   private:
    void Note(const std::string& n) {
        notes.push_back(n);
        if (inside && !at.empty() && n.rfind(at, 0) == 0) inside();
    }
};

std::string Scratch() {
    char base[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, base);
    const std::string folder = std::string(base) + "orv_transfer_test";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

std::string ReadAll(const std::string& path) {
    std::string bytes;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) return "(absent)";
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n > 0) bytes.append(buffer, n);
    CloseHandle(f);
    return bytes;
}

int TempFiles(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((folder + "\\orv*.tmp").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int n = 0;
    do ++n;
    while (FindNextFileA(h, &found));
    FindClose(h);
    return n;
}

Plan CheckPlan() {
    Plan p;
    p.kind = Kind::Check;
    p.connectHost = "127.0.0.1";
    p.connectPort = 8080;
    p.request = "GET /u.orv HTTP/1.0\r\n\r\n";
    return p;
}

Plan DownloadPlan(const std::string& target) {
    Plan p = CheckPlan();
    p.kind = Kind::Download;
    p.target = target;
    p.packageSize = 10;
    return p;
}

std::string InfoResponse() {
    MakerFields f;
    f.Name = "T";
    f.PackageFile = "p.bin";
    f.PackageSize = 10;
    return "HTTP/1.0 200 OK\r\n\r\n" + ScrambleText(BuildPlainText(f), kInformationKey);
}

TEST(Transfer, CheckReportsInOrderEndsOnceAndIgnoresWhatComesAfter) {
    FakeSocket socket;
    FakeOwner owner;
    Transfer t(CheckPlan(), socket, owner);
    t.Start();
    t.OnConnect();
    const std::string response = InfoResponse();
    t.OnReceive(response.substr(0, 5));
    t.OnReceive(response.substr(5));
    t.OnDisconnect();
    EXPECT_EQ(owner.notes,
              (std::vector<std::string>{"status 200", "info p.bin", "ended", "inforeceived"}));
    // The socket layer closed the connection itself: nothing to disconnect.
    EXPECT_EQ(socket.calls, (std::vector<std::string>{"connect 127.0.0.1:8080",
                                                      "send GET /u.orv HTTP/1.0\r\n\r\n"}));
    t.OnError(10054);
    t.OnDisconnect();
    t.Cancel();
    EXPECT_EQ(owner.notes.size(), 4u);
    EXPECT_TRUE(t.Ended());
}

TEST(Transfer, CancelInsideAReportStopsTheTransferWhereItStands) {
    const std::string folder = Scratch();
    const std::string target = folder + "\\cancelled.bin";
    DeleteFileA(target.c_str());
    for (const char* at : {"status", "progress", "received"}) {
        SCOPED_TRACE(at);
        FakeSocket socket;
        FakeOwner owner;
        Transfer t(DownloadPlan(target), socket, owner);
        ASSERT_EQ(t.PrepareFiles(), 0u);
        owner.at = at;
        owner.inside = [&] { t.Cancel(); };
        t.Start();
        t.OnConnect();
        t.OnReceive("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n01234");
        t.OnReceive("56789");
        t.OnDisconnect();
        EXPECT_EQ(owner.notes.back(), "ended");
        EXPECT_EQ(std::count(owner.notes.begin(), owner.notes.end(), "ended"), 1);
        EXPECT_EQ(TempFiles(folder), 0);
        // The target is made empty when the download is prepared and goes at the first
        // package data; cancelled before the end, nothing is written; at UpdateReceived the
        // file stands.
        const std::string expected = std::string(at) == "status"     ? ""
                                     : std::string(at) == "progress" ? "(absent)"
                                                                     : "0123456789";
        EXPECT_EQ(ReadAll(target), expected);
        DeleteFileA(target.c_str());
    }
}

}  // namespace
}  // namespace orv::transfer
