// What the control remembers of one update source under HKCU\Software\Orvane\Updates\<key>:
// for the update dialog, the version the user skipped, the version and time of the last
// "remind me later", and the time of the last automatic check; for every check, whether the
// source once gave verified information with a signed expiry; for the hand-off, how the last
// handed-off package ended, until a control of the source has reported it. The key is the hex
// form of a hash of RemoteHost, RemotePath and RemoteFile, so sources never share state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orv::dialog {

// Times are FILETIME values (100 ns since 1601, UTC).
using FileTime = uint64_t;
inline constexpr FileTime kHour = 36'000'000'000ULL;
FileTime Now();

class UpdateMemory {
   public:
    UpdateMemory(const std::string& host, const std::string& path, const std::string& file);

    std::string SkippedVersion() const;
    void Skip(const std::string& version);
    // Whether the user asked to be reminded later of `version` less than 24 hours before `now`.
    bool RemindPending(const std::string& version, FileTime now) const;
    void RemindLater(const std::string& version, FileTime now);
    FileTime LastAutoCheck() const;
    void SetLastAutoCheck(FileTime when);
    // Whether a check accepted verified information with a signed expiry from this source:
    // from then on its information must carry one (a file with the expiry cut off is refused).
    bool SignedExpirySeen() const;
    void RecordSignedExpiry();

    // How a handed-off package ended: its version and exit code, or the HANDOFFERROR code of
    // a hand-off that gave up. Taken once: the record is gone afterwards.
    struct Installed {
        std::string version;
        int32_t exitCode = 0;
    };
    void RecordInstalled(const Installed& outcome);
    std::optional<Installed> TakeInstalled();

    const std::wstring& KeyPath() const { return key_; }

   private:
    std::string Text(const wchar_t* name) const;
    void SetText(const wchar_t* name, const std::string& value);
    FileTime Time(const wchar_t* name) const;
    void SetTime(const wchar_t* name, FileTime value);

    std::wstring key_;
};

}  // namespace orv::dialog
