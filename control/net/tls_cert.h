// The server certificate check of the control's TLS connections. The platform's TLS layer is
// asked not to judge the certificate (Wine's does not judge it at all), so every platform
// gets the same check here: the default chain engine (the roots the machine and the user
// trust) must build a complete chain to a trusted root for server use, the certificate must
// carry the host name the control connected to, and every certificate of the chain must be
// within its validity dates. Revocation is not checked.
#pragma once

#include <windows.h>

#include <wincrypt.h>

#include <string>

#include "control/net/tls_error_text.h"

namespace orv::net {

// Checks `certificate` (the server's leaf; its store holds the intermediates the server sent)
// for `host` at the current time. kNone when it passes; otherwise kCertificateNotTrusted,
// kCertificateExpired or kNameMismatch, in that order of precedence (a chain that is not
// trusted is refused as such whatever else is wrong with it).
TlsError CheckServerCertificate(PCCERT_CONTEXT certificate, const std::string& host);

}  // namespace orv::net
