// orvinfo show on any file: the text for people is valid UTF-8 of six lines or more, and
// the JSON is one line of valid UTF-8 with every control character escaped.
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/fuzz/fuzz_check.h"
#include "tools/orvinfo/cp1252.h"
#include "tools/orvinfo/orvinfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view file(reinterpret_cast<const char*>(data), size);

    const std::string text = orv::orvinfo::ShowText(file, false);
    FUZZ_CHECK(orv::text::IsValidUtf8(text));
    FUZZ_CHECK(text.starts_with("Name: "));
    FUZZ_CHECK(text.find("\nPackageSize: ") != std::string::npos);
    FUZZ_CHECK(text.ends_with("\n"));

    const std::string json = orv::orvinfo::ShowText(file, true);
    FUZZ_CHECK(orv::text::IsValidUtf8(json));
    FUZZ_CHECK(json.starts_with("{\"Name\":\""));
    FUZZ_CHECK(json.ends_with("}\n"));
    for (std::size_t i = 0; i + 1 < json.size(); ++i) {
        FUZZ_CHECK(static_cast<unsigned char>(json[i]) >= 0x20 && json[i] != 0x7F);
    }
    return 0;
}
