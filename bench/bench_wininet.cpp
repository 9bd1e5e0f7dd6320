// What a Windows developer would write instead: WinInet, InternetOpenUrlA and
// InternetReadFile with 64 KiB reads, no cache; over HTTP or HTTPS, as the URL says.
//
//   bench_wininet download URL OUTFILE
//   bench_wininet check URL COUNT
//
// check fetches the update information file COUNT times in one process and decodes it as the
// control does. Prints one JSON line.
#include <windows.h>

#include <wininet.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "common/updateinfo/updateinfo.h"

namespace orv::bench {
namespace {

constexpr DWORD kReadSize = 64 * 1024;
constexpr DWORD kFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                         INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_UI;

struct Handle {
    explicit Handle(HINTERNET h) : h(h) {}
    ~Handle() {
        if (h) InternetCloseHandle(h);
    }
    HINTERNET h;
};

DWORD StatusOf(HINTERNET request) {
    DWORD status = 0, size = sizeof status;
    HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                   nullptr);
    return status;
}

int Download(HINTERNET session, const std::string& url, const std::string& out) {
    static std::vector<char> buffer(kReadSize);
    const Memory idle = ProcessMemory();
    const double start = Now();
    Handle request(InternetOpenUrlA(session, url.c_str(), nullptr, 0, kFlags, 0));
    if (!request.h) return Fail("InternetOpenUrlA failed: " + std::to_string(GetLastError()));
    if (StatusOf(request.h) != 200) return Fail("status " + std::to_string(StatusOf(request.h)));
    HANDLE file = CreateNewFile(out);
    if (file == INVALID_HANDLE_VALUE) return Fail("cannot create " + out);
    int64_t bytes = 0, reads = 0;
    bool ok = true;
    for (;;) {
        DWORD n = 0;
        if (!InternetReadFile(request.h, buffer.data(), kReadSize, &n)) {
            ok = false;
            break;
        }
        if (n == 0) break;
        ++reads;
        DWORD written = 0;
        if (!WriteFile(file, buffer.data(), n, &written, nullptr) || written != n) {
            ok = false;
            break;
        }
        bytes += n;
    }
    CloseHandle(file);
    const double seconds = Now() - start;
    const Memory end = ProcessMemory();
    if (!ok) return Fail("the transfer failed");
    Report report;
    report.Add("contender", "wininet").Add("mode", "download").Add("ok", true);
    report.Add("seconds", seconds).Add("bytes", bytes).Add("file_bytes", FileSize(out));
    report.Add("pieces", reads).AddMemory("idle_", idle).AddMemory("", end);
    report.Print();
    return 0;
}

int Check(HINTERNET session, const std::string& url, int count) {
    std::vector<double> times;
    std::vector<char> buffer(kReadSize);
    const Memory idle = ProcessMemory();
    const double start = Now();
    for (int i = 0; i < count; ++i) {
        const double t0 = Now();
        Handle request(InternetOpenUrlA(session, url.c_str(), nullptr, 0, kFlags, 0));
        if (!request.h || StatusOf(request.h) != 200)
            return Fail("check " + std::to_string(i + 1) + " failed");
        std::string body;
        DWORD n = 0;
        while (InternetReadFile(request.h, buffer.data(), kReadSize, &n) && n > 0)
            body.append(buffer.data(), n);
        UpdateInfo info;
        SplitControlFields(ScrambleText(body, kInformationKey), info);
        if (info.PackageFile.empty()) return Fail("check " + std::to_string(i + 1) + ": no record");
        times.push_back(Now() - t0);
    }
    const double total = Now() - start;
    Report report;
    report.Add("contender", "wininet").Add("mode", "check").Add("ok", true).Add("count", count);
    report.Add("seconds", total).Add("per_check_ms", total * 1000 / count);
    report.Add("check_seconds", times).AddMemory("idle_", idle).AddMemory("", ProcessMemory());
    report.Print();
    return 0;
}

int Run(int argc, char** argv) {
    if (argc < 4) return Fail("usage: bench_wininet download URL OUTFILE | check URL COUNT");
    const std::string mode = argv[1];
    Handle session(
        InternetOpenA("Orvane benchmark", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!session.h) return Fail("InternetOpenA failed");
    if (mode == "download") return Download(session.h, argv[2], argv[3]);
    if (mode == "check") return Check(session.h, argv[2], std::atoi(argv[3]));
    return Fail("unknown mode " + mode);
}

}  // namespace
}  // namespace orv::bench

int main(int argc, char** argv) {
    return orv::bench::RunTrusting(argc, argv, orv::bench::Run);
}
