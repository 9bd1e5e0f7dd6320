// The diagnostic log's text: one line per step of a check, a download or the update dialog,
// with the time and what tells controls and processes apart, and nothing secret in it.
// Portable: no <windows.h>. The file itself is written by log_file.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/http/http_text.h"

namespace orv::log {

// Where the steps of one control go. The control's layers call Step where a step happens;
// nothing is written while the log is off.
class Sink {
   public:
    virtual bool On() const = 0;
    // One line: `area` names the part (check, download, plan, tls, trust, file, dialog,
    // handoff), `text` what happened and why.
    virtual void Step(std::string_view area, std::string_view text) = 0;

   protected:
    ~Sink() = default;
};

// Writes a step to `sink` when there is one and it is on.
inline void Step(Sink* sink, std::string_view area, std::string_view text) {
    if (sink && sink->On()) sink->Step(area, text);
}

// When a line was written and by whom: local time, the process id, and the number of the
// control within its process.
struct Stamp {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
    uint32_t process = 0;
    uint32_t control = 0;
};

// A line's text is cut after this many characters.
inline constexpr std::size_t kMaxLineText = 2000;

// "2026-12-08 13:20:01.123 [4711:2] check: text" and CR LF. Control characters of `text`
// are written as \r, \n, \t or \xNN, so a step is always one line; a longer text is cut.
std::string FormatLine(const Stamp& stamp, std::string_view area, std::string_view text);

// The secrets of a control's settings: every form in which they could reach a line (as
// typed, and as the Base64 of "user:password" a Basic header carries) is replaced by "***".
// Secrets shorter than kMinSecret characters are too common to search for; the structured
// texts below never carry them anyway.
class Redactor {
   public:
    static constexpr std::size_t kMinSecret = 3;
    void AddPassword(std::string_view user, std::string_view password);
    std::string Scrub(std::string_view text) const;

   private:
    std::vector<std::string> secrets_;
};

// A URL without the user name and password it may carry ("http://u:p@host/" -> "http://host/").
std::string WithoutUserInfo(std::string_view url);

// The request a transfer sends, for the log: the request line and the headers that matter
// ("; "-separated, Accept left out). Authorization and Proxy-Authorization keep their name and
// scheme only; URLs lose their user-info.
std::string RequestForLog(std::string_view request);

// The reply's status and the headers that matter (length, range, ETag, location).
std::string ReplyForLog(const http::HeaderDetection& reply);
// The same from a whole header (the check's reply).
std::string ReplyForLog(std::string_view header);

// A setting as the log shows it: passwords only as set or empty, a publisher key list as its
// keys shortened, a host without user-info, any other value as it is.
std::string SettingForLog(std::string_view name, std::string_view value);

// A publisher key list shortened: each key's first 8 and last 4 characters.
std::string ShortKeys(std::string_view list);

// An Authenticode check of a package in words: accepted, or why not (not signed, changed after
// signing, a chain that is not trusted or has expired, another signer), with the system's
// numbers.
std::string SignerVerdict(bool accepted, long status, uint32_t chainStatus, std::string_view signer,
                          std::string_view expected);

// The size rule: a line that would take the file past kMaxFileBytes first moves the file to
// RotatedPath (replacing an older one), and a new file begins.
inline constexpr uint64_t kMaxFileBytes = 1u << 20;
inline bool NeedsRotation(uint64_t fileBytes, std::size_t lineBytes) {
    return fileBytes > 0 && fileBytes + lineBytes > kMaxFileBytes;
}
inline std::string RotatedPath(std::string_view path) {
    return std::string(path) + ".1";
}

// Whether the body reaching `now` bytes (from `before`) passes a tenth of `size`, or, with no
// size known, another 10 MiB: a download writes about ten progress lines, whatever its size.
bool ProgressDue(int64_t before, int64_t now, int64_t size);

}  // namespace orv::log
