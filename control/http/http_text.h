// The text side of the control's HTTP/1.0 client: request composition, Base64, response
// splitting, status numbers and texts, header detection while a download arrives, and the
// progress arithmetic. Portable: no <windows.h>. Texts are byte strings.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orv::http {

// Everything the request depends on, gathered by the control when it connects.
struct RequestInputs {
    std::string prefix;       // the target before the file name: "/path/" or "http://host:80/path/"
    std::string fileName;     // sent as it is, no percent-encoding
    std::string hostName;     // lower case, scheme removed
    std::string versionText;  // e.g. v.1.00.0062
    bool authorization = false;
    std::string userName;
    std::string password;
    // A request to a proxy (not one inside a tunnel) with the proxy's credentials.
    bool proxyAuthorization = false;
    std::string proxyUserName;
    std::string proxyPassword;
    // A download that continues a kept part: asks for the bytes from rangeFrom on (none when
    // 0), on condition that the file still has this entity tag (none when empty).
    int64_t rangeFrom = 0;
    std::string ifRange;
};

// The complete GET request: request line, Host, User-Agent, Accept, optional
// Authorization, optional Proxy-Authorization, optional Range and If-Range, empty line; every
// line ends in CR LF.
std::string ComposeRequest(const RequestInputs& in);

// "Proxy-Authorization: Basic <user:password in Base64>" and its CR LF: the line a request
// to a proxy, or the CONNECT of a tunnel, carries when the proxy's user name is set.
std::string ProxyAuthorizationLine(std::string_view userName, std::string_view password);

// The standard Base64 alphabet (not the URL-safe one), entry i = character of value i.
std::array<char, 64> BuildBase64Table();

// Standard Base64 with padding and without line breaks, however long the input.
std::string Base64Encode(std::string_view bytes);

// A response cut at the first CR LF CR LF. Without one, the whole text is the header and
// there is no body.
struct ResponseParts {
    std::string_view header;
    std::optional<std::string_view> body;
};
ResponseParts SplitResponse(std::string_view response);

// The second piece of the header split at every single space, converted as a whole to a
// 32-bit signed number; nothing when there is no such piece or it is not a number.
std::optional<int32_t> StatusNumber(std::string_view header);

// The body length a header declares in its Content-Length line (name in any letter case,
// decimal digits); nothing when it declares none or the value is not a plain number.
// Used only to tell a body the server cut short from a complete one.
std::optional<int64_t> ContentLength(std::string_view header);

// The value of the first header line named `name` (any letter case), spaces and tabs around
// it removed; nothing when no line has that name, or when the first such value holds a control
// character (0x00-0x1F, 0x7F: a bare CR or LF, a tab inside it).
std::optional<std::string_view> HeaderValue(std::string_view header, std::string_view name);

// Whether text holds a control character (0x00-0x1F, 0x7F): such a text never goes into a
// request line, a header or a file name.
bool HasControlCharacter(std::string_view text);

// A Content-Range line "bytes first-last/total" ("*" for an unknown total).
struct ContentRange {
    int64_t first = 0;
    int64_t last = 0;
    std::optional<int64_t> total;
};
// Nothing when the header has no such line or it is not of that form.
std::optional<ContentRange> ContentRangeOf(std::string_view header);

// English text of a status number; "Unknown HTTP status" for numbers not in the table.
const char* HttpStatusText(int32_t status);

// Header detection during a download. Appends `data` to `responseText`; once the first
// CR LF CR LF has arrived, reports it with the status number (if the header has one) and the
// text after it, and empties `responseText`. Only the newly possible positions are searched,
// so a header arriving in many pieces is not rescanned.
struct HeaderDetection {
    bool found = false;
    std::optional<int32_t> status;
    std::optional<int64_t> contentLength;
    std::optional<ContentRange> contentRange;
    std::string etag;      // empty when the header has none
    std::string location;  // likewise
    std::string firstBody;
};
HeaderDetection DetectHeader(std::string& responseText, std::string_view data);

// Whole percentage of `packageSize` received: total / size * 100 in double precision,
// truncated toward zero. Nothing when the size is 0 or the result leaves the 32-bit range.
std::optional<int32_t> PercentDone(int32_t totalReceived, int32_t packageSize);

// Bytes per second over the last piece: (length * 1000) / (current - last), the product and
// difference in 32-bit signed arithmetic, the quotient rounded half to even. Nothing when the
// ticks are equal or a step overflows, so the caller keeps its previous rate.
std::optional<int32_t> TransferRate(int32_t pieceLength, int32_t currentTick, int32_t lastTick);

// 32-bit signed addition that reports overflow instead of wrapping.
std::optional<int32_t> CheckedAdd(int32_t a, int32_t b);

}  // namespace orv::http
