// The file the diagnostic log goes to: the LogFile property, or else the user's own setting,
// the text value LogFile under HKCU\Software\Orvane, so that a log can be had from a shipped
// application without changing it. Each line is appended on its own (open, append, close)
// under a mutex named after the file, so the controls of several processes can share one file
// without mixing their lines. A file that cannot be written costs the line, nothing else.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/win/handles.h"
#include "control/log/diag_log.h"

namespace orv::log {

// The registry key and value of the user's setting.
inline constexpr char kUserKey[] = "Software\\Orvane";
inline constexpr char kUserValue[] = "LogFile";

class LogFile final : public Sink {
   public:
    // A log of the next control of the process (its number in every line), off until Begin.
    LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Where the log goes from now on: `property` when not empty, else the user's setting
    // (environment variables in it expanded); off when both are empty. The user's value is read
    // here, when a transfer or the dialog starts, never per line. `secrets` is scrubbed from
    // every line.
    void Begin(const std::string& property, Redactor secrets = {});
    bool On() const override { return !path_.empty(); }
    void Step(std::string_view area, std::string_view text) override;
    // The file's full path; empty while off.
    const std::string& Path() const { return path_; }
    uint32_t Number() const { return number_; }

    // The user's setting, "" when there is none.
    static std::string UserSetting();

   private:
    void Append(const std::string& line, bool locked) const;

    std::string path_;
    Redactor secrets_;
    unique_handle mutex_;
    uint32_t number_;
};

}  // namespace orv::log
