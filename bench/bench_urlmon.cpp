// The one-call download of the platform: URLDownloadToFileA.
//
//   bench_urlmon URL OUTFILE
//
// Prints one JSON line.
#include <windows.h>

#include <urlmon.h>

#include <string>

#include "bench/bench_util.h"

namespace orv::bench {
namespace {

int Run(int argc, char** argv) {
    if (argc < 3) return Fail("usage: bench_urlmon URL OUTFILE");
    const std::string url = argv[1];
    const std::string out = argv[2];
    const Memory idle = ProcessMemory();
    const double start = Now();
    const HRESULT hr = URLDownloadToFileA(nullptr, url.c_str(), out.c_str(), 0, nullptr);
    const double seconds = Now() - start;
    const Memory end = ProcessMemory();
    if (FAILED(hr)) return Fail("URLDownloadToFileA failed: " + std::to_string(hr));
    const int64_t size = FileSize(out);
    Report report;
    report.Add("contender", "urlmon").Add("mode", "download").Add("ok", true);
    report.Add("seconds", seconds).Add("bytes", size).Add("file_bytes", size);
    report.AddMemory("idle_", idle).AddMemory("", end).Print();
    return 0;
}

}  // namespace
}  // namespace orv::bench

int main(int argc, char** argv) {
    if (FAILED(CoInitialize(nullptr))) return orv::bench::Fail("CoInitialize failed");
    const int rc = orv::bench::Run(argc, argv);
    CoUninitialize();
    return rc;
}
