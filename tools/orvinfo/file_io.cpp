#include "tools/orvinfo/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace orv::files {

namespace fs = std::filesystem;

namespace {

std::string Reason(int error) {
    return std::strerror(error);
}

std::FILE* OpenForReading(const fs::path& path) {
#ifdef _WIN32
    return _wfopen(path.c_str(), L"rb");
#else
    return std::fopen(path.c_str(), "rb");
#endif
}

// Creates a new file that must not exist yet; -1 with errno set on failure.
int CreateExclusive(const fs::path& path, bool ownerOnly) {
#ifdef _WIN32
    (void)ownerOnly;
    return _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, ownerOnly ? 0600 : 0666);
#endif
}

std::FILE* StreamFromDescriptor(int fd) {
#ifdef _WIN32
    return _fdopen(fd, "wb");
#else
    return fdopen(fd, "wb");
#endif
}

void CloseDescriptor(int fd) {
#ifdef _WIN32
    _close(fd);
#else
    close(fd);
#endif
}

bool WriteAll(std::FILE* f, std::string_view bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
}

}  // namespace

fs::path PathFromUtf8(const std::string& utf8) {
#ifdef _WIN32
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
#else
    return fs::path(utf8);
#endif
}

std::string BareNameUtf8(const fs::path& path) {
    const std::u8string name = path.filename().u8string();
    return std::string(name.begin(), name.end());
}

std::optional<std::string> ReadFileBytes(const fs::path& path, std::size_t limit,
                                         std::string& bytes, bool& more) {
    bytes.clear();
    more = false;
    std::FILE* f = OpenForReading(path);
    if (!f) return Reason(errno);
    std::string buffer(limit + 1, '\0');
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), f);
    const int error = std::ferror(f) ? (errno ? errno : EIO) : 0;
    std::fclose(f);
    if (error) return Reason(error);
    more = got > limit;
    buffer.resize(more ? limit : got);
    bytes = std::move(buffer);
    return std::nullopt;
}

std::optional<std::string> ReadInPieces(const fs::path& path, std::size_t pieceSize,
                                        const std::function<bool(std::string_view)>& take) {
    std::FILE* f = OpenForReading(path);
    if (!f) return Reason(errno);
    std::string buffer(pieceSize, '\0');
    int error = 0;
    for (;;) {
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), f);
        if (got > 0 && !take(std::string_view(buffer.data(), got))) break;
        if (got < buffer.size()) {
            if (std::ferror(f)) error = errno ? errno : EIO;
            break;
        }
    }
    std::fclose(f);
    if (error) return Reason(error);
    return std::nullopt;
}

std::optional<std::string> FileLength(const fs::path& path, uint64_t& length) {
#ifdef _WIN32
    struct _stat64 st;
    if (_wstat64(path.c_str(), &st) != 0) return Reason(errno);
#else
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return Reason(errno);
#endif
    if ((st.st_mode & S_IFMT) == S_IFDIR) return Reason(EISDIR);
    length = static_cast<uint64_t>(st.st_size);
    return std::nullopt;
}

std::optional<std::string> ReplaceFile(const fs::path& target, std::string_view bytes,
                                       const Writer& writer, bool ownerOnly) {
    // The temporary file sits beside the target, so the final move stays within one file
    // system and replaces the target in one step.
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const std::string stem = "." + BareNameUtf8(target) + ".orvinfo-";
    const auto seed =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    fs::path temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = folder / PathFromUtf8(stem + std::to_string((seed + attempt) % 1000000007) + ".tmp");
        fd = CreateExclusive(temp, ownerOnly);
        if (fd < 0 && errno != EEXIST) return Reason(errno);
    }
    if (fd < 0) return Reason(EEXIST);

    std::FILE* f = StreamFromDescriptor(fd);
    if (!f) {
        const int error = errno;
        CloseDescriptor(fd);
        std::error_code ignored;
        fs::remove(temp, ignored);
        return Reason(error);
    }
    errno = 0;
    bool written = writer ? writer(f, bytes) : WriteAll(f, bytes);
    int error = written ? 0 : (errno ? errno : EIO);
    if (written && std::fflush(f) != 0) written = false, error = errno ? errno : EIO;
    if (std::fclose(f) != 0 && written) written = false, error = errno ? errno : EIO;

    std::error_code ec;
    if (written) {
        fs::rename(temp, target, ec);
        if (!ec) return std::nullopt;
    }
    std::error_code ignored;
    fs::remove(temp, ignored);
    if (ec) return ec.default_error_condition().message();
    return Reason(error);
}

}  // namespace orv::files
