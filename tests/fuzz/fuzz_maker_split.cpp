// The maker's reading of an unscrambled file: version on ".", date on "/", size as a number;
// whatever is filled stays within the lists' ranges.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/updateinfo/updateinfo.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view plain(reinterpret_cast<const char*>(data), size);
    const orv::MakerLoad load = orv::SplitMakerFields(plain);
    const std::vector<std::string> fields = orv::SplitAll(plain, '|');

    FUZZ_CHECK(load.Name == fields[0]);
    for (const std::string& part : load.VersionParts) {
        FUZZ_CHECK(part.find_first_of(".|") == std::string::npos);
    }
    if (load.Month) FUZZ_CHECK(*load.Month >= 1 && *load.Month <= 12);
    if (load.Day) FUZZ_CHECK(*load.Day >= 1 && *load.Day <= 31);
    if (load.Year) FUZZ_CHECK(*load.Year >= 2000 && *load.Year <= 2100);
    if (fields.size() < 6) FUZZ_CHECK(!load.Complete);
    if (load.Complete) {
        FUZZ_CHECK(load.Month && load.Day && load.Year);
        FUZZ_CHECK(load.SizeText == fields[5]);
        FUZZ_CHECK(orv::ParseInt32(load.SizeText) == load.PackageSize);
        // What the maker would save again splits to the same values.
        orv::MakerFields again;
        again.Name = load.Name;
        again.VersionParts = load.VersionParts;
        again.Month = std::to_string(*load.Month);
        again.Day = std::to_string(*load.Day);
        again.Year = std::to_string(*load.Year);
        again.Comments = load.Comments;
        again.PackageFile = load.PackageFile;
        again.PackageSize = load.PackageSize;
        const orv::MakerLoad reloaded = orv::SplitMakerFields(orv::BuildPlainText(again));
        FUZZ_CHECK(reloaded.Complete);
        FUZZ_CHECK(reloaded.Name == load.Name && reloaded.VersionParts == load.VersionParts);
        FUZZ_CHECK(reloaded.Month == load.Month && reloaded.Day == load.Day &&
                   reloaded.Year == load.Year);
        FUZZ_CHECK(reloaded.Comments == load.Comments && reloaded.PackageSize == load.PackageSize);
    }
    return 0;
}
