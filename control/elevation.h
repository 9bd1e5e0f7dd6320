// Whether the package is started with the elevation verb ("runas"), for ElevateUpdate's
// setting: 0 leaves it to the shell, 1 always asks, 2 asks when the folder of the installed
// program (`installedFile`, or the host's program when empty) is not writable by the user.
#pragma once

#include <cstdint>
#include <string>

namespace orv {

bool ElevationWanted(int32_t setting, const std::string& installedFile);

// Whether the current user can create a file in `folder`: found by creating one there (a new
// file of a name no one else uses, gone again when closed), which answers for the user's
// token, the folder's rights, a read-only volume and a missing folder alike.
bool FolderWritable(const std::string& folder);

}  // namespace orv
