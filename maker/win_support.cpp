#include "maker/win_support.h"

#include <oleauto.h>

#include <vector>

#include "common/win/handles.h"
#include "common/win/system.h"

namespace orv::maker {

NumberOutcome ConvertToInt32(std::string_view text) {
    std::wstring wide = win::AnsiToWide(text);
    LONG value = 0;
    const HRESULT hr = VarI4FromStr(wide.data(), LOCALE_USER_DEFAULT, 0, &value);
    if (SUCCEEDED(hr)) return NumberOutcome::Number;
    if (hr == DISP_E_TYPEMISMATCH) return NumberOutcome::NotANumber;
    if (hr == DISP_E_OVERFLOW) return NumberOutcome::OutOfRange;
    return NumberOutcome::OtherFailure;
}

FileRead ReadWholeFile(const std::string& path, std::size_t limit) {
    FileRead result;
    unique_file file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        result.Error = GetLastError();
        return result;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        result.Error = GetLastError();
        return result;
    }
    if (static_cast<uint64_t>(size.QuadPart) > limit) {
        result.TooLarge = true;
        return result;
    }
    result.Bytes.resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < result.Bytes.size()) {
        DWORD got = 0;
        if (!ReadFile(file.get(), result.Bytes.data() + done,
                      static_cast<DWORD>(result.Bytes.size() - done), &got, nullptr)) {
            result.Error = GetLastError();
            result.Bytes.clear();
            return result;
        }
        if (got == 0) break;  // the file became shorter while being read
        done += got;
    }
    result.Bytes.resize(done);
    return result;
}

FileSize QueryFileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        return {0, GetLastError()};
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return {0, ERROR_ACCESS_DENIED};
    return {(uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow, ERROR_SUCCESS};
}

std::string WindowText(HWND window) {
    const int length = GetWindowTextLengthA(window);
    if (length <= 0) return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const int n = GetWindowTextA(window, text.data(), length + 1);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

}  // namespace orv::maker
