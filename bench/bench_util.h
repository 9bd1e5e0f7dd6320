// Shared pieces of the benchmark programs: a clock, the process's memory figures, a bounded
// message pump and one line of JSON with the results.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace orv::bench {

// Seconds since an arbitrary start, from the performance counter.
double Now();

// The process's memory as GetProcessMemoryInfo reports it. Under Wine the working set is the
// Linux process's resident size and its peak is VmHWM of /proc/PID/status.
struct Memory {
    uint64_t workingSet = 0;      // bytes
    uint64_t peakWorkingSet = 0;  // bytes
    uint64_t pagefileUsage = 0;   // bytes
};
Memory ProcessMemory();

// Runs the thread's message loop until `done` returns true or `seconds` pass; true when done.
bool PumpUntil(const std::function<bool()>& done, double seconds);

// Creates `path` as a new, empty file for writing (an old one is deleted first). Not
// CREATE_ALWAYS: Wine truncates such a file after opening it, and ext4 then writes the whole
// file synchronously when it is closed, which would be timed as part of the download.
HANDLE CreateNewFile(const std::string& path);

// The size of a file in bytes, or -1.
int64_t FileSize(const std::string& path);

// One JSON object on one line of standard output, built field by field.
class Report {
   public:
    Report& Add(const char* key, const std::string& text);
    Report& Add(const char* key, const char* text) { return Add(key, std::string(text)); }
    Report& Add(const char* key, double number);
    Report& Add(const char* key, uint64_t number);
    Report& Add(const char* key, int64_t number);
    Report& Add(const char* key, int number) { return Add(key, static_cast<int64_t>(number)); }
    Report& Add(const char* key, long number) { return Add(key, static_cast<int64_t>(number)); }
    Report& Add(const char* key, bool value);
    Report& Add(const char* key, const std::vector<double>& numbers);
    Report& AddMemory(const char* prefix, const Memory& m);
    void Print() const;

   private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

// Prints `message` as {"ok": false, "error": message} and returns the exit code for failure.
int Fail(const std::string& message);

// Runs a benchmark program's `run` with the certificate authority named by
// ORV_BENCH_TRUST_CA (a Windows path), when set, trusted in the current user's Root store
// until it returns: the benchmark's HTTPS server has a certificate of its own authority. A
// failure to trust it fails the program.
int RunTrusting(int argc, char** argv, int (*run)(int, char**));

}  // namespace orv::bench
