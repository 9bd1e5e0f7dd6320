// The owner of a Windows Sockets handle, apart from handles.h so that only code that uses
// sockets includes the sockets header (<winsock.h>, the 1.1 interface the control uses).
#pragma once

#include <winsock.h>

#include "common/win/handles.h"

namespace orv {

struct socket_traits {
    using type = SOCKET;
    static SOCKET invalid() { return INVALID_SOCKET; }
    static void close(SOCKET s) { ::closesocket(s); }
};
using unique_socket = unique_resource<socket_traits>;

}  // namespace orv
