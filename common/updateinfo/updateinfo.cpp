#include "common/updateinfo/updateinfo.h"

#include <bit>
#include <cstdio>

namespace orv {

namespace {
constexpr uint32_t kMask24 = 0xFFFFFF;
constexpr uint32_t kMultiplier = 0x43FD43FD;
constexpr uint32_t kIncrement = 0xC39EC3;
}  // namespace

void RuntimeRandom::Advance() {
    state_ = (state_ * kMultiplier + kIncrement) & kMask24;
}

float RuntimeRandom::Reseed(float seed) {
    const uint32_t bits = std::bit_cast<uint32_t>(seed);
    state_ = (bits + (bits >> 24)) & kMask24;
    return Next();
}

float RuntimeRandom::Next() {
    Advance();
    return static_cast<float>(state_) / 16777216.0f;
}

uint8_t RuntimeRandom::NextMaskByte() {
    Advance();
    // floor(state / 2^24 * 256) is exact: the top 8 of the 24 state bits.
    return static_cast<uint8_t>(state_ >> 16);
}

std::string ScrambleText(std::string_view text, int16_t key) {
    RuntimeRandom rnd;  // state local to each call
    rnd.Reseed(static_cast<float>(static_cast<int16_t>(-key)));
    std::string out(text);
    for (char& c : out) c = static_cast<char>(static_cast<uint8_t>(c) ^ rnd.NextMaskByte());
    return out;
}

std::string BuildPlainText(const MakerFields& f) {
    std::string s;
    s.reserve(64 + f.Name.size() + f.Comments.size() + f.PackageFile.size());
    s += f.Name;
    s += '|';
    for (std::size_t i = 0; i < f.VersionParts.size(); ++i) {
        if (i) s += '.';
        s += f.VersionParts[i];
    }
    s += '|';
    s += f.Month + '/' + f.Day + '/' + f.Year;
    s += '|';
    s += f.Comments;
    s += '|';
    s += f.PackageFile;
    s += '|';
    s += std::to_string(f.PackageSize);
    return s;
}

std::vector<std::string> SplitAll(std::string_view text, char sep) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(sep, start);
        if (at == std::string_view::npos) {
            parts.emplace_back(text.substr(start));
            return parts;
        }
        parts.emplace_back(text.substr(start, at - start));
        start = at + 1;
    }
}

std::optional<int32_t> ParseInt32(std::string_view text) {
    auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    if (text.empty()) return std::nullopt;
    int64_t value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    const bool negative = *first == '-';
    if (negative || *first == '+') ++first;  // one sign at most
    if (first == last) return std::nullopt;
    for (const char* p = first; p != last; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        value = value * 10 + (*p - '0');
        if (value > 2147483648LL) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
    return static_cast<int32_t>(value);
}

void SplitControlFields(std::string_view plain, UpdateInfo& info) {
    if (plain.empty()) return;  // a response without a body fills nothing
    const std::vector<std::string> f = SplitAll(plain, '|');
    std::string* const members[] = {&info.Name, &info.Version, &info.ReleaseDate, &info.Description,
                                    &info.PackageFile};
    for (std::size_t i = 0; i < 5 && i < f.size(); ++i) *members[i] = f[i];
    if (f.size() >= 6) {
        if (const auto size = ParseInt32(f[5])) info.PackageSize = *size;
    }
}

MakerLoad SplitMakerFields(std::string_view plain) {
    MakerLoad load;
    const std::vector<std::string> f = SplitAll(plain, '|');
    if (f.size() < 6) load.Complete = false;
    auto field = [&](std::size_t i) -> std::string { return i < f.size() ? f[i] : std::string(); };

    load.Name = field(0);

    const std::vector<std::string> version = SplitAll(field(1), '.');
    if (version.size() < 4) load.Complete = false;
    for (std::size_t i = 0; i < 4 && i < version.size(); ++i) load.VersionParts[i] = version[i];

    const std::vector<std::string> date = SplitAll(field(2), '/');
    if (date.size() < 3) load.Complete = false;
    auto datePart = [&](std::size_t i, int lo, int hi) -> std::optional<int> {
        if (i >= date.size()) return std::nullopt;
        const auto n = ParseInt32(date[i]);
        if (!n || *n < lo || *n > hi) {
            load.Complete = false;
            return std::nullopt;
        }
        return *n;
    };
    load.Month = datePart(0, 1, 12);
    load.Day = datePart(1, 1, 31);
    load.Year = datePart(2, 2000, 2100);

    load.Comments = field(3);
    load.PackageFile = field(4);
    load.SizeText = field(5);
    if (const auto size = ParseInt32(load.SizeText)) {
        load.PackageSize = *size;
    } else {
        load.Complete = false;
    }
    return load;
}

std::string FormatVersionLabel(unsigned major, unsigned minor, unsigned revision) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "v.%u.%02u.%04u", major, minor, revision);
    return buf;
}

}  // namespace orv
