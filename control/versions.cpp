// GetFileVersion and CompareVersion: an installed file's version resource against the
// version of the update information received last.
#include "control/misc.h"
#include "control/orvane_control.h"

namespace orv {
namespace {

// Whether a directory search for `name` finds an ordinary file (read-only and archived count;
// hidden, system and directories don't). Wildcards match as in any search. Fails with the
// platform's error for a name the search can't evaluate.
HRESULT OrdinaryFileExists(const std::string& name, bool& exists) {
    exists = false;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(name.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ||
            err == ERROR_NO_MORE_FILES)
            return S_OK;
        return FileError(err);
    }
    constexpr DWORD kExcluded =
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;
    do {
        if (!(data.dwFileAttributes & kExcluded)) exists = true;
    } while (!exists && FindNextFileA(find, &data));
    FindClose(find);
    return S_OK;
}

// The version text of a file, or the failure code.
HRESULT ReadVersionText(const std::string& name, std::string& text, ORVANEERROR& result) {
    bool exists = false;
    RETURN_IF_FAILED(OrdinaryFileExists(name, exists));
    if (!exists) {
        result = ORV_ERROR_FILENOTFOUND;
        return S_OK;
    }
    const FixedFileInfo info = ReadFixedFileInfo(name);
    text = VersionWordToText(info.FileVersionMS) + "." + VersionWordToText(info.FileVersionLS);
    result = text == "0.0.0.0" ? ORV_ERROR_NOFILEVERSION : ORV_ERROR_SUCCESS;
    return S_OK;
}

}  // namespace

STDMETHODIMP OrvaneControl::GetFileVersion(BSTR fileName, BSTR* fileVersion, ORVANEERROR* result) {
    RETURN_HR_IF_NULL(E_POINTER, fileVersion);
    RETURN_HR_IF_NULL(E_POINTER, result);
    return ComMethod([&] {
        std::string text;
        ORVANEERROR r = ORV_ERROR_SUCCESS;
        RETURN_IF_FAILED(ReadVersionText(ToAnsi(fileName), text, r));
        if (r == ORV_ERROR_SUCCESS) {
            BSTR b = ToBstr(text);
            SysFreeString(*fileVersion);
            *fileVersion = b;
        }
        *result = r;
        return S_OK;
    });
}

STDMETHODIMP OrvaneControl::CompareVersion(BSTR fileName, LONG* result) {
    RETURN_HR_IF_NULL(E_POINTER, result);
    return ComMethod([&] {
        std::string local;
        *result = CompareWith(ToAnsi(fileName), local);
        return S_OK;
    });
}

LONG OrvaneControl::CompareWith(const std::string& fileName, std::string& local) {
    ORVANEERROR r = ORV_ERROR_SUCCESS;
    if (FAILED(ReadVersionText(fileName, local, r))) {
        // A name the search can't evaluate ends the comparison as "equal".
        SetErrorInfo(0, nullptr);
        return VER_UPDATEISEQUAL;
    }
    if (r != ORV_ERROR_SUCCESS) return r;
    const std::vector<std::string> mine = SplitAll(local, '.');
    const std::vector<std::string> update =
        SplitAll(session_->CurrentInfo().ToUpdateInfo().Version, '.');
    // Major, minor and release decide, numerically; the fourth part never counts. A
    // missing or non-numeric part ends the comparison as "equal".
    for (std::size_t i = 0; i < 3; ++i) {
        if (i >= mine.size() || i >= update.size()) break;
        const auto u = ParseInt32(update[i]);
        const auto m = ParseInt32(mine[i]);
        if (!u || !m) break;
        if (*u > *m) return VER_UPDATEISGREATER;
        if (*u < *m) return VER_UPDATEISLESS;
    }
    return VER_UPDATEISEQUAL;
}

}  // namespace orv
