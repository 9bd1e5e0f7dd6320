// Whole-file reading and replacing for the publisher tools, through the C runtime so that
// both builds report the system's own reasons. Portable: no <windows.h>.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace orv::files {

// A path from UTF-8 text (command-line arguments are UTF-8 in both builds). On Linux the
// bytes are taken as they are, since file names there need not be UTF-8.
std::filesystem::path PathFromUtf8(const std::string& utf8);

// The UTF-8 text of a path's last component; empty for a path ending in a separator.
std::string BareNameUtf8(const std::filesystem::path& path);

// Reads at most `limit` bytes from the start of a file into `bytes`; `more` tells whether the
// file is longer. Returns the system's reason when the file cannot be read.
std::optional<std::string> ReadFileBytes(const std::filesystem::path& path, std::size_t limit,
                                         std::string& bytes, bool& more);

// Reads a whole file in pieces of at most `pieceSize` bytes, handing each to `take` (which
// returns false to stop). Returns the system's reason when the file cannot be read.
std::optional<std::string> ReadInPieces(const std::filesystem::path& path, std::size_t pieceSize,
                                        const std::function<bool(std::string_view)>& take);

// The length of a file in bytes, or the system's reason why it cannot be had (a folder gives
// the reason of EISDIR).
std::optional<std::string> FileLength(const std::filesystem::path& path, uint64_t& length);

// Writes all of `bytes` to an open file; false with errno set on failure.
using Writer = std::function<bool(std::FILE*, std::string_view)>;

// Replaces `target` whole with `bytes`: writes a temporary file in the target's folder and
// moves it over the target only when the write succeeded, so the old file survives any
// failure. The temporary file is removed on failure. `writer` replaces the plain write in
// tests that need a failing disk. `ownerOnly` makes the file readable and writable by its
// owner only (private keys). Returns the system's reason on failure.
std::optional<std::string> ReplaceFile(const std::filesystem::path& target, std::string_view bytes,
                                       const Writer& writer = {}, bool ownerOnly = false);

}  // namespace orv::files
