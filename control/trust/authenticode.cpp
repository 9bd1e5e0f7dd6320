#include "control/trust/authenticode.h"

#include <windows.h>

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>

#include "common/win/system.h"

namespace orv::trust {
namespace {

std::wstring SimpleName(PCCERT_CONTEXT cert) {
    const DWORD n = CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (n <= 1) return {};
    std::wstring name(n, L'\0');
    CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), n);
    name.resize(n - 1);
    return name;
}

// What the verification found out about the signer, read while its state is still open.
void ReadSigner(HANDLE state, SignerCheck& check, std::wstring& signer) {
    // WinVerifyTrust alone accepts an untrusted root, a leaf without its chain and an
    // expired signer: the chain's own status must be clean as well.
    check.chainStatus = CERT_TRUST_IS_PARTIAL_CHAIN;
    CRYPT_PROVIDER_DATA* data = WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR* sgnr = data ? WTHelperGetProvSignerFromChain(data, 0, FALSE, 0) : nullptr;
    if (!sgnr) return;
    if (sgnr->pChainContext) check.chainStatus = sgnr->pChainContext->TrustStatus.dwErrorStatus;
    CRYPT_PROVIDER_CERT* leaf = WTHelperGetProvCertFromChain(sgnr, 0);
    if (leaf && leaf->pCert) signer = SimpleName(leaf->pCert);
}

}  // namespace

std::vector<std::string> SignerNames(std::string_view list) {
    std::vector<std::string> names;
    while (!list.empty()) {
        const std::size_t end = std::min(list.find(';'), list.size());
        std::string_view name = list.substr(0, end);
        list.remove_prefix(std::min(end + 1, list.size()));
        const std::size_t first = name.find_first_not_of(" \t");
        if (first == std::string_view::npos) continue;
        name = name.substr(first, name.find_last_not_of(" \t") + 1 - first);
        names.emplace_back(name);
    }
    return names;
}

SignerCheck CheckPackageSigner(void* file, const std::string& path,
                               const std::vector<std::string>& names) {
    SignerCheck check;
    const std::wstring widePath = win::AnsiToWide(path);
    // The file is the one the download holds open for itself: wintrust reads it through this
    // handle, from the start, rather than opening the path again.
    LARGE_INTEGER zero = {};
    SetFilePointerEx(file, zero, nullptr, FILE_BEGIN);
    WINTRUST_FILE_INFO info = {};
    info.cbStruct = sizeof info;
    info.pcwszFilePath = widePath.c_str();
    info.hFile = file;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    check.status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    std::wstring signer;
    if (data.hWVTStateData) ReadSigner(data.hWVTStateData, check, signer);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    SetFilePointerEx(file, zero, nullptr, FILE_BEGIN);
    check.signer = win::WideToAnsi(signer);
    if (check.status != S_OK || check.chainStatus != 0 || signer.empty()) return check;
    for (const std::string& name : names) {
        const std::wstring expected = win::AnsiToWide(name);
        if (CompareStringOrdinal(expected.data(), static_cast<int>(expected.size()), signer.data(),
                                 static_cast<int>(signer.size()), TRUE) == CSTR_EQUAL) {
            check.accepted = true;
            break;
        }
    }
    return check;
}

}  // namespace orv::trust
