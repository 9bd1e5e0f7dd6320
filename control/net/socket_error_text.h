// English texts of Windows Sockets error numbers, as carried by ConnectionError.
// Portable: no <windows.h>.
#pragma once

#include <cstdint>

namespace orv {

// The text of a socket error number; "Unknown error." for every number not in the table.
const char* SocketErrorText(int32_t code);

// Whether `code` says that the server was not reached at all: its name did not resolve, or no
// connection to it came about (refused, no route, timed out, the network or the host down).
bool ServerUnreachable(int32_t code);

}  // namespace orv
