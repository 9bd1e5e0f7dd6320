#include "maker/win_support.h"

#include <oleauto.h>

#include <vector>

#include "maker/handles.h"

namespace orv::maker {

std::string SystemErrorText(DWORD error) {
    char* buffer = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text = n && buffer ? std::string(buffer, n) : std::string();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    if (text.empty()) text = "Error " + std::to_string(error) + ".";
    return text;
}

std::string ProgramPath() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD n =
            GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n < buffer.size()) return std::string(buffer.data(), n);
        if (buffer.size() >= 32768) return std::string(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

std::string ProgramFolder() {
    const std::string path = ProgramPath();
    const std::size_t at = path.rfind('\\');
    return at == std::string::npos ? std::string() : path.substr(0, at);
}

NumberOutcome ConvertToInt32(std::string_view text) {
    std::wstring wide;
    if (!text.empty()) {
        const int n =
            MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        wide.resize(n);
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    }
    LONG value = 0;
    const HRESULT hr = VarI4FromStr(wide.data(), LOCALE_USER_DEFAULT, 0, &value);
    if (SUCCEEDED(hr)) return NumberOutcome::Number;
    if (hr == DISP_E_TYPEMISMATCH) return NumberOutcome::NotANumber;
    if (hr == DISP_E_OVERFLOW) return NumberOutcome::OutOfRange;
    return NumberOutcome::OtherFailure;
}

std::optional<FileVersion> ReadFileVersion(const std::string& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) return std::nullopt;
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data())) return std::nullopt;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return std::nullopt;
    }
    return FileVersion{HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                       HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
}

FileRead ReadWholeFile(const std::string& path, std::size_t limit) {
    FileRead result;
    UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
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

DWORD WriteFileReplacing(const std::string& path, std::string_view bytes) {
    // A file marked read-only is not replaced (renaming over it is refused on some systems
    // and allowed on others; the mark decides here).
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_ACCESS_DENIED;
        if (attributes & FILE_ATTRIBUTE_READONLY) return ERROR_ACCESS_DENIED;
    }
    const std::size_t slash = path.rfind('\\');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    char temp[MAX_PATH + 16] = {};
    if (!GetTempFileNameA(folder.c_str(), "orv", 0, temp)) return GetLastError();

    DWORD error = ERROR_SUCCESS;
    {
        UniqueFile file(CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            error = GetLastError();
        } else {
            std::size_t done = 0;
            while (error == ERROR_SUCCESS && done < bytes.size()) {
                DWORD wrote = 0;
                if (!WriteFile(file.get(), bytes.data() + done,
                               static_cast<DWORD>(bytes.size() - done), &wrote, nullptr)) {
                    error = GetLastError();
                } else if (wrote == 0) {
                    error = ERROR_WRITE_FAULT;
                }
                done += wrote;
            }
            if (error == ERROR_SUCCESS && !FlushFileBuffers(file.get())) error = GetLastError();
        }
    }
    if (error == ERROR_SUCCESS &&
        !MoveFileExA(temp, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
    }
    if (error != ERROR_SUCCESS) DeleteFileA(temp);
    return error;
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
