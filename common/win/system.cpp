#include "common/win/system.h"

#include <vector>

#include "common/win/handles.h"

namespace orv::win {

namespace {

std::wstring ToWide(std::string_view text, UINT codePage) {
    if (text.empty()) return {};
    const int n =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            n);
    return wide;
}

std::string FromWide(std::wstring_view text, UINT codePage) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}

}  // namespace

std::wstring AnsiToWide(std::string_view text) {
    return ToWide(text, CP_ACP);
}

std::string WideToAnsi(std::wstring_view text) {
    return FromWide(text, CP_ACP);
}

std::wstring Utf8ToWide(std::string_view text) {
    return ToWide(text, CP_UTF8);
}

std::string WideToUtf8(std::wstring_view text) {
    return FromWide(text, CP_UTF8);
}

std::wstring ModulePathW(HMODULE module) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n =
            GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        // A full buffer means the name may have been cut: ask again with more room.
        if (n < buffer.size() || buffer.size() >= 32768) return std::wstring(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

std::string ModulePath(HMODULE module) {
    return WideToAnsi(ModulePathW(module));
}

std::string ModuleFolder(HMODULE module) {
    const std::string path = ModulePath(module);
    const std::size_t at = path.rfind('\\');
    return at == std::string::npos ? std::string() : path.substr(0, at);
}

std::wstring ModuleFolderW(HMODULE module) {
    const std::wstring path = ModulePathW(module);
    const std::size_t at = path.rfind(L'\\');
    return at == std::wstring::npos ? std::wstring() : path.substr(0, at);
}

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

std::optional<VS_FIXEDFILEINFO> ReadFixedVersionInfo(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return std::nullopt;
    std::vector<char> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return std::nullopt;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return std::nullopt;
    }
    return *fixed;
}

std::optional<VS_FIXEDFILEINFO> ReadFixedVersionInfo(const std::string& path) {
    return ReadFixedVersionInfo(AnsiToWide(path));
}

std::optional<FileVersion> ReadFileVersion(const std::string& path) {
    const auto fixed = ReadFixedVersionInfo(path);
    if (!fixed) return std::nullopt;
    return FileVersion{HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                       HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
}

DWORD ReplaceFileContents(const std::string& path, std::string_view bytes) {
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
        unique_file file(CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
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
    // The new file takes the place of the old one with its marks.
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if (error == ERROR_SUCCESS && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & kKept) != 0 && !SetFileAttributesA(temp, attributes & kKept)) {
        error = GetLastError();
    }
    if (error == ERROR_SUCCESS &&
        !MoveFileExA(temp, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
    }
    if (error != ERROR_SUCCESS) DeleteFileA(temp);
    return error;
}

}  // namespace orv::win
