#include "control/elevation.h"

namespace orv {

bool ElevationWanted(int32_t setting, const std::string&) {
    return setting == 1;
}

}  // namespace orv
