// The control's reading of an unscrambled body: fields 1-5 as text, field 6 as a number,
// missing fields and a size that is no number leave the members as they were.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/updateinfo/updateinfo.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view plain(reinterpret_cast<const char*>(data), size);
    orv::UpdateInfo before;
    before.Name = "n";
    before.Version = "v";
    before.ReleaseDate = "d";
    before.Description = "c";
    before.PackageFile = "p";
    before.PackageSize = -7;
    before.Reserved1 = "r1";
    before.Reserved2 = "r2";
    orv::UpdateInfo info = before;
    orv::SplitControlFields(plain, info);

    FUZZ_CHECK(info.Reserved1 == "r1" && info.Reserved2 == "r2");
    const std::vector<std::string> fields =
        plain.empty() ? std::vector<std::string>{} : orv::SplitAll(plain, '|');
    const std::string* members[] = {&info.Name, &info.Version, &info.ReleaseDate, &info.Description,
                                    &info.PackageFile};
    const std::string* old[] = {&before.Name, &before.Version, &before.ReleaseDate,
                                &before.Description, &before.PackageFile};
    for (std::size_t i = 0; i < 5; ++i) {
        FUZZ_CHECK(*members[i] == (i < fields.size() ? fields[i] : *old[i]));
        FUZZ_CHECK(members[i]->find('|') == std::string::npos || i >= fields.size());
    }
    const std::optional<int32_t> size6 =
        fields.size() >= 6 ? orv::ParseInt32(fields[5]) : std::nullopt;
    FUZZ_CHECK(info.PackageSize == size6.value_or(before.PackageSize));

    // The codec gives the body back whatever bytes it holds.
    if (size <= orv::kMaxInfoTextLength) {
        const std::string once = orv::ScrambleText(plain, orv::kInformationKey);
        FUZZ_CHECK(once.size() == size);
        FUZZ_CHECK(orv::ScrambleText(once, orv::kInformationKey) == plain);
    }
    return 0;
}
