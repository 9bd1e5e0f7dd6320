// The Authenticode check of a downloaded package with the platform's WinVerifyTrust: the file
// must carry a valid signature whose signer, on a chain to a trusted root, has one of the
// names the host expects. Knows nothing of COM or of the control; the header needs no
// <windows.h>.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orv::trust {

// The names of a signer list: pieces separated by ";", each without the blanks around it,
// empty pieces left out.
std::vector<std::string> SignerNames(std::string_view list);

struct SignerCheck {
    bool accepted = false;
    long status = 0;           // WinVerifyTrust's result (an HRESULT)
    uint32_t chainStatus = 0;  // the signer chain's TrustStatus.dwErrorStatus
    std::string signer;        // the signer's simple display name, when there is a signer
};

// Checks the open file `file` (a HANDLE with read access; read from its start, its file
// pointer is left at the start) named `path`: accepted when WinVerifyTrust finds a valid
// signature, the signer's chain has no error status at all, and the signer's simple display
// name equals one of `names` (letter case ignored). Safe on any thread.
SignerCheck CheckPackageSigner(void* file, const std::string& path,
                               const std::vector<std::string>& names);

}  // namespace orv::trust
