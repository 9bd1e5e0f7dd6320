#include "control/module.h"

namespace orv {

std::span<const ClassEntry> Classes() {
    return {};
}

}  // namespace orv
