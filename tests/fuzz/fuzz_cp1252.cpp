// make's conversion of command-line text: what converts to Windows-1252 converts back to
// the same UTF-8, and any bytes read as Windows-1252 give valid UTF-8.
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/fuzz/fuzz_check.h"
#include "tools/orvinfo/cp1252.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string utf8 = orv::text::Cp1252ToUtf8(bytes);
    FUZZ_CHECK(orv::text::IsValidUtf8(utf8));

    orv::text::ConversionError error;
    const std::optional<std::string> converted = orv::text::Utf8ToCp1252(bytes, &error);
    if (converted) {
        FUZZ_CHECK(orv::text::IsValidUtf8(bytes));
        FUZZ_CHECK(orv::text::Cp1252ToUtf8(*converted) == bytes);
    } else {
        // The first problem is reported: malformed UTF-8, or a character without a byte.
        if (error.invalidUtf8) FUZZ_CHECK(!orv::text::IsValidUtf8(bytes));
        if (!error.invalidUtf8) FUZZ_CHECK(!orv::text::CodePointToCp1252(error.codePoint));
    }
    return 0;
}
