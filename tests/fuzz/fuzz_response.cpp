// A whole response cut into header and body, and the status number taken from the header.
#include <cstdint>
#include <string>
#include <string_view>

#include "control/http/http_text.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view response(reinterpret_cast<const char*>(data), size);
    const orv::http::ResponseParts parts = orv::http::SplitResponse(response);
    FUZZ_CHECK(parts.header.find("\r\n\r\n") == std::string_view::npos);
    if (parts.body) {
        FUZZ_CHECK(std::string(parts.header) + "\r\n\r\n" + std::string(*parts.body) == response);
    } else {
        FUZZ_CHECK(parts.header == response);
    }

    const std::optional<int32_t> status = orv::http::StatusNumber(parts.header);
    if (status) {
        // The number is the whole second piece of the header split at single spaces.
        const std::size_t first = parts.header.find(' ');
        FUZZ_CHECK(first != std::string_view::npos);
        const std::string_view piece =
            parts.header.substr(first + 1).substr(0, parts.header.substr(first + 1).find(' '));
        FUZZ_CHECK(!piece.empty());
        FUZZ_CHECK(piece.find_first_of("0123456789") != std::string_view::npos);
    }
    FUZZ_CHECK(orv::http::HttpStatusText(status.value_or(0)) != nullptr);
    return 0;
}
