// The package as a file handle sees it: its size and SHA-256, read through the handle at
// explicit offsets (the handle's position is left alone), for the control before it hands the
// package off and for the hand-off program before it starts it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

#include "common/updateinfo/signed_fields.h"

namespace orv::handoff {

struct PackageState {
    uint64_t size = 0;
    Sha256Digest digest{};
};

// Nothing when the file cannot be read or hashed.
std::optional<PackageState> ReadPackageState(HANDLE file);
// Whether the file still holds exactly `expected`.
bool PackageIntact(HANDLE file, const PackageState& expected);

}  // namespace orv::handoff
