#include "control/log/log_file.h"

#include <atomic>
#include <vector>

namespace orv::log {
namespace {

// The longest a line waits for another writer of the same file; past it the line is
// appended anyway (an append is one write) but the file is not rotated.
constexpr DWORD kLockWaitMs = 200;

std::atomic<uint32_t> lastNumber{0};

std::string FullPath(const std::string& path) {
    char full[MAX_PATH * 2];
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return n == 0 || n >= sizeof full ? path : std::string(full, n);
}

// One mutex per file, for every process of the session: named after the full path in any
// letter case (FNV-1a).
std::string MutexName(const std::string& full) {
    uint64_t h = 14695981039346656037ull;
    for (char c : full) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    char name[48];
    wsprintfA(name, "Local\\OrvaneLog.%08lx%08lx", static_cast<unsigned long>(h >> 32),
              static_cast<unsigned long>(h));
    return name;
}

HANDLE OpenForAppend(const std::string& path) {
    return CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

LogFile::LogFile() : number_(++lastNumber) {}

std::string LogFile::UserSetting() {
    // RRF_RT_REG_SZ takes a REG_EXPAND_SZ value too, expanded (naming RRF_RT_REG_EXPAND_SZ
    // without RRF_NOEXPAND is refused as an invalid parameter).
    std::vector<char> value(MAX_PATH);
    for (int tries = 0; tries < 2; ++tries) {
        auto size = static_cast<DWORD>(value.size());
        const LSTATUS r = RegGetValueA(HKEY_CURRENT_USER, kUserKey, kUserValue, RRF_RT_REG_SZ,
                                       nullptr, value.data(), &size);
        if (r == ERROR_SUCCESS) return value.data();
        if (r != ERROR_MORE_DATA) break;
        value.resize(size + 1);
    }
    return {};
}

void LogFile::Begin(const std::string& property, Redactor secrets) {
    secrets_ = std::move(secrets);
    const std::string chosen = property.empty() ? UserSetting() : property;
    const std::string full = chosen.empty() ? std::string() : FullPath(chosen);
    if (full == path_) return;
    path_ = full;
    mutex_.reset(path_.empty() ? nullptr : CreateMutexA(nullptr, FALSE, MutexName(path_).c_str()));
}

void LogFile::Step(std::string_view area, std::string_view text) {
    if (path_.empty()) return;
    // Whatever the caller reads of the last error next is its own, not the log's.
    const DWORD lastError = GetLastError();
    SYSTEMTIME t = {};
    GetLocalTime(&t);
    const Stamp stamp{
        t.wYear,   t.wMonth,  t.wDay,          t.wHour,
        t.wMinute, t.wSecond, t.wMilliseconds, static_cast<uint32_t>(GetCurrentProcessId()),
        number_};
    const std::string line = FormatLine(stamp, area, secrets_.Scrub(text));
    const DWORD wait = mutex_ ? WaitForSingleObject(mutex_.get(), kLockWaitMs) : WAIT_FAILED;
    const bool locked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    Append(line, locked);
    if (locked) ReleaseMutex(mutex_.get());
    SetLastError(lastError);
}

void LogFile::Append(const std::string& line, bool locked) const {
    unique_file file(OpenForAppend(path_));
    if (!file) return;
    LARGE_INTEGER size = {};
    // Only the holder of the lock moves the file: no other writer is between its size and its
    // move.
    if (locked && GetFileSizeEx(file.get(), &size) &&
        NeedsRotation(static_cast<uint64_t>(size.QuadPart), line.size())) {
        file.reset();
        MoveFileExA(path_.c_str(), RotatedPath(path_).c_str(), MOVEFILE_REPLACE_EXISTING);
        file.reset(OpenForAppend(path_));
        if (!file) return;
    }
    // At the end of the file, whoever wrote last.
    OVERLAPPED end = {};
    end.Offset = 0xFFFFFFFF;
    end.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, &end);
}

}  // namespace orv::log
