// orvinfo, the publisher's command line for update information files:
//   orvinfo show FILE [--json]
//   orvinfo make --name TEXT --version MAJOR.MINOR.RELEASE[.FOURTH] [--date MM/DD/YYYY]
//                [--comments TEXT | --comments-file FILE] --package PATH
//                [--digest | --sign KEYFILE [--expires WHEN]] -o FILE
//   orvinfo keygen -o NAME
//   orvinfo sign --key KEYFILE --package PATH [--expires WHEN] FILE
//   orvinfo verify --key PUBFILE FILE [--package PATH]
// Everything but the program's entry point lives here, so tests call it directly. Portable:
// no <windows.h>. Command-line texts are UTF-8; the file holds Windows-1252.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/orvinfo/file_io.h"

namespace orv::orvinfo {

// Exit statuses.
inline constexpr int kSuccess = 0;
inline constexpr int kRefused = 1;  // a check failed, or a file could not be read or written
inline constexpr int kUsage = 2;    // the command line itself is wrong

// What one run prints and returns.
struct Result {
    int status = kSuccess;
    std::string out;  // standard output, UTF-8
    std::string err;  // standard error, UTF-8, one line per message
};

struct Date {
    int year = 2000;
    int month = 1;
    int day = 1;
};

// Today's date from the local clock.
Date Today();

// The system's clock in seconds since 1970 UTC.
int64_t NowUtc();

// Runs one command line: `args` are the arguments after the program name, as UTF-8.
// `today` is the default release date of `make`; `now` (seconds since 1970 UTC, the system's
// clock when not given) is what `--expires Nd` counts from and what `verify` compares an
// expiry with. Never throws.
Result Run(const std::vector<std::string>& args, const Date& today,
           const files::Writer& writer = {}, std::optional<int64_t> now = std::nullopt);

// What `show` prints for the bytes of an update information file: the six fields as the
// control splits them, one "Key: value" line each, or one JSON object.
std::string ShowText(std::string_view fileBytes, bool json);

// JSON string literal (with quotes, in UTF-8) of a Windows-1252 text; control characters,
// DEL and the C1 controls are escaped.
std::string JsonStringFromCp1252(std::string_view bytes);

// The one-line usage summary and the full help text.
extern const char* const kUsageLine;
std::string HelpText();

}  // namespace orv::orvinfo
