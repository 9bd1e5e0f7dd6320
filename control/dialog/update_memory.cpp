#include "control/dialog/update_memory.h"

#include <windows.h>

#include <cstdio>
#include <vector>

#include "common/win/system.h"

namespace orv::dialog {
namespace {

constexpr wchar_t kSkipped[] = L"SkippedVersion";
constexpr wchar_t kRemindVersion[] = L"RemindVersion";
constexpr wchar_t kRemindTime[] = L"RemindTime";
constexpr wchar_t kLastAutoCheck[] = L"LastAutoCheck";
constexpr wchar_t kSignedExpiry[] = L"SignedExpiry";
constexpr wchar_t kInstalledVersion[] = L"InstalledVersion";
constexpr wchar_t kInstalledExitCode[] = L"InstalledExitCode";

// FNV-1a, 64 bits: a stable name for a source, whatever characters its texts hold.
uint64_t Hash(const std::string& text) {
    uint64_t h = 14695981039346656037ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

}  // namespace

FileTime Now() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<FileTime>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

UpdateMemory::UpdateMemory(const std::string& host, const std::string& path,
                           const std::string& file) {
    // The separator can't occur in any of the three texts a request is made of.
    char name[17];
    std::snprintf(name, sizeof name, "%016llx",
                  static_cast<unsigned long long>(Hash(host + '\n' + path + '\n' + file)));
    key_ = L"Software\\Orvane\\Updates\\" + win::AnsiToWide(name);
}

std::string UpdateMemory::Text(const wchar_t* name) const {
    DWORD size = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, key_.c_str(), name, RRF_RT_REG_SZ, nullptr, nullptr,
                     &size) != ERROR_SUCCESS ||
        size < sizeof(wchar_t))
        return {};
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1);
    if (RegGetValueW(HKEY_CURRENT_USER, key_.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer.data(),
                     &size) != ERROR_SUCCESS)
        return {};
    return win::WideToAnsi(buffer.data());
}

void UpdateMemory::SetText(const wchar_t* name, const std::string& value) {
    const std::wstring w = win::AnsiToWide(value);
    RegSetKeyValueW(HKEY_CURRENT_USER, key_.c_str(), name, REG_SZ, w.c_str(),
                    static_cast<DWORD>((w.size() + 1) * sizeof(wchar_t)));
}

FileTime UpdateMemory::Time(const wchar_t* name) const {
    FileTime value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, key_.c_str(), name, RRF_RT_REG_QWORD, nullptr, &value,
                     &size) != ERROR_SUCCESS)
        return 0;
    return value;
}

void UpdateMemory::SetTime(const wchar_t* name, FileTime value) {
    RegSetKeyValueW(HKEY_CURRENT_USER, key_.c_str(), name, REG_QWORD, &value, sizeof value);
}

std::string UpdateMemory::SkippedVersion() const {
    return Text(kSkipped);
}

void UpdateMemory::Skip(const std::string& version) {
    SetText(kSkipped, version);
}

bool UpdateMemory::RemindPending(const std::string& version, FileTime now) const {
    if (Text(kRemindVersion) != version) return false;
    const FileTime asked = Time(kRemindTime);
    // A time ahead of the clock (the clock was set back) counts as asked just now.
    return now < asked + 24 * kHour;
}

void UpdateMemory::RemindLater(const std::string& version, FileTime now) {
    SetText(kRemindVersion, version);
    SetTime(kRemindTime, now);
}

FileTime UpdateMemory::LastAutoCheck() const {
    return Time(kLastAutoCheck);
}

void UpdateMemory::SetLastAutoCheck(FileTime when) {
    SetTime(kLastAutoCheck, when);
}

bool UpdateMemory::SignedExpirySeen() const {
    DWORD seen = 0;
    DWORD size = sizeof seen;
    return RegGetValueW(HKEY_CURRENT_USER, key_.c_str(), kSignedExpiry, RRF_RT_REG_DWORD, nullptr,
                        &seen, &size) == ERROR_SUCCESS &&
           seen != 0;
}

void UpdateMemory::RecordSignedExpiry() {
    const DWORD seen = 1;
    RegSetKeyValueW(HKEY_CURRENT_USER, key_.c_str(), kSignedExpiry, REG_DWORD, &seen, sizeof seen);
}

void UpdateMemory::RecordInstalled(const Installed& outcome) {
    // The version first: a reader looks for the code, which comes last.
    SetText(kInstalledVersion, outcome.version);
    const DWORD code = static_cast<DWORD>(outcome.exitCode);
    RegSetKeyValueW(HKEY_CURRENT_USER, key_.c_str(), kInstalledExitCode, REG_DWORD, &code,
                    sizeof code);
}

std::optional<UpdateMemory::Installed> UpdateMemory::TakeInstalled() {
    DWORD code = 0;
    DWORD size = sizeof code;
    if (RegGetValueW(HKEY_CURRENT_USER, key_.c_str(), kInstalledExitCode, RRF_RT_REG_DWORD, nullptr,
                     &code, &size) != ERROR_SUCCESS)
        return std::nullopt;
    Installed outcome{Text(kInstalledVersion), static_cast<int32_t>(code)};
    // Whoever deletes the code reports it: two controls of the source never both do.
    if (RegDeleteKeyValueW(HKEY_CURRENT_USER, key_.c_str(), kInstalledExitCode) != ERROR_SUCCESS)
        return std::nullopt;
    RegDeleteKeyValueW(HKEY_CURRENT_USER, key_.c_str(), kInstalledVersion);
    return outcome;
}

}  // namespace orv::dialog
