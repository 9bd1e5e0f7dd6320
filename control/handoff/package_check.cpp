#include "control/handoff/package_check.h"

#include <vector>

#include "control/trust/trust.h"

namespace orv::handoff {

std::optional<PackageState> ReadPackageState(HANDLE file) {
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size)) return std::nullopt;
    trust::Sha256 hash;
    std::vector<char> buffer(1 << 20);
    uint64_t at = 0;
    while (at < static_cast<uint64_t>(size.QuadPart)) {
        OVERLAPPED where = {};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD n = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &n, &where) || n == 0)
            return std::nullopt;
        if (!hash.Update(buffer.data(), n)) return std::nullopt;
        at += n;
    }
    const std::optional<Sha256Digest> digest = hash.Finish();
    if (!digest) return std::nullopt;
    return PackageState{at, *digest};
}

bool PackageIntact(HANDLE file, const PackageState& expected) {
    const std::optional<PackageState> now = ReadPackageState(file);
    return now && now->size == expected.size && trust::DigestMatches(expected.digest, now->digest);
}

}  // namespace orv::handoff
