// Settings of the control library that are fixed at build time.
#pragma once

#include "orvane_version.h"

namespace orv {

// The web site the About box's link opens (set once in cmake/Orvane.cmake).
inline constexpr const char* kWebSiteAddress = ORV_WEB_SITE;

}  // namespace orv
