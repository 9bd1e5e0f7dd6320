#include "bench/bench_util.h"

#include <psapi.h>

#include <cstdio>

#include "tests/support/test_root.h"

namespace orv::bench {

double Now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / frequency;
}

namespace {

std::string Escaped(const std::string& s) {
    std::string out;
    for (const unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

Memory ProcessMemory() {
    Memory m;
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) {
        m.workingSet = pmc.WorkingSetSize;
        m.peakWorkingSet = pmc.PeakWorkingSetSize;
        m.pagefileUsage = pmc.PagefileUsage;
    }
    return m;
}

bool PumpUntil(const std::function<bool()>& done, double seconds) {
    const double deadline = Now() + seconds;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
            if (done()) return true;
        }
        if (done()) return true;
        const double left = deadline - Now();
        if (left <= 0) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, left < 0.05 ? 1 : 50, QS_ALLINPUT);
    }
}

HANDLE CreateNewFile(const std::string& path) {
    DeleteFileA(path.c_str());
    return CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

int64_t FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &a)) return -1;
    return (static_cast<int64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
}

Report& Report::Add(const char* key, const std::string& text) {
    fields_.emplace_back(key, "\"" + Escaped(text) + "\"");
    return *this;
}

Report& Report::Add(const char* key, double number) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", number);
    fields_.emplace_back(key, text);
    return *this;
}

Report& Report::Add(const char* key, uint64_t number) {
    fields_.emplace_back(key, std::to_string(number));
    return *this;
}

Report& Report::Add(const char* key, int64_t number) {
    fields_.emplace_back(key, std::to_string(number));
    return *this;
}

Report& Report::Add(const char* key, bool value) {
    fields_.emplace_back(key, value ? "true" : "false");
    return *this;
}

Report& Report::Add(const char* key, const std::vector<double>& numbers) {
    std::string list = "[";
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        char text[64];
        std::snprintf(text, sizeof text, "%s%.6f", i ? "," : "", numbers[i]);
        list += text;
    }
    fields_.emplace_back(key, list + "]");
    return *this;
}

Report& Report::AddMemory(const char* prefix, const Memory& m) {
    const std::string p = prefix;
    fields_.emplace_back(p + "working_set", std::to_string(m.workingSet));
    fields_.emplace_back(p + "peak_working_set", std::to_string(m.peakWorkingSet));
    fields_.emplace_back(p + "pagefile_usage", std::to_string(m.pagefileUsage));
    return *this;
}

void Report::Print() const {
    std::string line = "{";
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (i) line += ", ";
        line += "\"" + fields_[i].first + "\": " + fields_[i].second;
    }
    line += "}\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

int Fail(const std::string& message) {
    Report().Add("ok", false).Add("error", message).Print();
    return 1;
}

int RunTrusting(int argc, char** argv, int (*run)(int, char**)) {
    char file[MAX_PATH] = {};
    const DWORD n = GetEnvironmentVariableA("ORV_BENCH_TRUST_CA", file, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return run(argc, argv);
    const test::TrustedTestRoot root(file);
    if (!root.Added()) return Fail("the test authority could not be trusted: " + root.Error());
    return run(argc, argv);
}

}  // namespace orv::bench
