// Header detection fed in pieces of random sizes must find what splitting the whole
// response finds: the same header end, status number and body.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "control/http/http_text.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    std::vector<std::size_t> sizes(provider.ConsumeIntegralInRange<std::size_t>(1, 16));
    for (std::size_t& s : sizes) s = provider.ConsumeIntegralInRange<std::size_t>(0, 64);
    sizes[0] = std::max<std::size_t>(sizes[0], 1);  // some piece always makes progress
    const std::string response = provider.ConsumeRemainingBytesAsString();

    std::string responseText;
    bool found = false;
    std::optional<int32_t> status;
    std::string body;
    std::size_t pos = 0;
    for (std::size_t i = 0; pos < response.size() || i == 0; ++i) {
        const std::string piece = response.substr(pos, sizes[i % sizes.size()]);
        pos += piece.size();
        if (found) {
            body += piece;
            continue;
        }
        const orv::http::HeaderDetection d = orv::http::DetectHeader(responseText, piece);
        if (d.found) {
            FUZZ_CHECK(responseText.empty());
            found = true;
            status = d.status;
            body = d.firstBody;
        }
    }

    const orv::http::ResponseParts whole = orv::http::SplitResponse(response);
    FUZZ_CHECK(found == whole.body.has_value());
    if (found) {
        FUZZ_CHECK(body == *whole.body);
        FUZZ_CHECK(status == orv::http::StatusNumber(whole.header));
    } else {
        FUZZ_CHECK(responseText == response);
    }
    return 0;
}
