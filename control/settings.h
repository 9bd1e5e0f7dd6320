// Settings of the control library that are fixed at build time.
#pragma once

namespace orv {

// The web site the About box's link opens.
inline constexpr const char* kWebSiteAddress = "https://quillfen.example/";

}  // namespace orv
