// Whether the package is started with the elevation verb ("runas"), for ElevateUpdate's
// setting: 0 leaves it to the shell, 1 always asks, 2 asks when the folder of the installed
// program (`installedFile`, or the host's program when empty) is not writable by the user.
#pragma once

#include <cstdint>
#include <string>

namespace orv {

bool ElevationWanted(int32_t setting, const std::string& installedFile);

}  // namespace orv
