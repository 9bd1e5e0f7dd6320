// English texts of Windows Sockets error numbers, as carried by ConnectionError.
// Portable: no <windows.h>.
#pragma once

#include <cstdint>

namespace orv {

// The text of a socket error number; "Unknown error." for every number not in the table.
const char* SocketErrorText(int32_t code);

}  // namespace orv
