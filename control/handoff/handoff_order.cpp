#include "control/handoff/handoff_order.h"

#include <charconv>
#include <vector>

namespace orv::handoff {
namespace {

constexpr std::string_view kTag = "OrvaneHandOff/1\n";
constexpr std::size_t kFields = 18;

void Put(std::string& out, std::string_view field) {
    out += std::to_string(field.size());
    out += ':';
    out += field;
}

template <class N>
bool Number(std::string_view text, N& value) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string EncodeOrder(const Order& o) {
    std::string out(kTag);
    for (const uint64_t n : {o.hostProcess, o.package, o.self}) Put(out, std::to_string(n));
    Put(out, std::to_string(o.timeoutSeconds));
    Put(out, o.elevate ? "1" : "0");
    Put(out, o.restart ? "1" : "0");
    Put(out, std::to_string(o.packageSize));
    Put(out, DigestField(o.digest));
    for (const std::string* s :
         {&o.sourceHost, &o.sourcePath, &o.sourceFile, &o.version, &o.packagePath, &o.parameters,
          &o.packageFolder, &o.restartProgram, &o.restartCommand, &o.restartFolder})
        Put(out, *s);
    return out;
}

std::optional<Order> DecodeOrder(std::string_view bytes) {
    if (!bytes.starts_with(kTag)) return std::nullopt;
    bytes.remove_prefix(kTag.size());
    std::vector<std::string_view> f;
    while (!bytes.empty() && f.size() < kFields) {
        const std::size_t colon = bytes.find(':');
        std::size_t length = 0;
        if (colon == std::string_view::npos || colon > 9 ||
            !Number(bytes.substr(0, colon), length) || length > bytes.size() - colon - 1)
            return std::nullopt;
        f.push_back(bytes.substr(colon + 1, length));
        bytes.remove_prefix(colon + 1 + length);
    }
    if (f.size() != kFields || !bytes.empty()) return std::nullopt;
    Order o;
    const auto flag = [](std::string_view t, bool& v) {
        v = t == "1";
        return t == "0" || t == "1";
    };
    const std::optional<Sha256Digest> digest = ParseDigestField(f[7]);
    if (!Number(f[0], o.hostProcess) || !Number(f[1], o.package) || !Number(f[2], o.self) ||
        !Number(f[3], o.timeoutSeconds) || o.timeoutSeconds < 0 || !flag(f[4], o.elevate) ||
        !flag(f[5], o.restart) || !Number(f[6], o.packageSize) || !digest)
        return std::nullopt;
    o.digest = *digest;
    std::string* texts[] = {&o.sourceHost,     &o.sourcePath,   &o.sourceFile,    &o.version,
                            &o.packagePath,    &o.parameters,   &o.packageFolder, &o.restartProgram,
                            &o.restartCommand, &o.restartFolder};
    for (std::size_t i = 0; i < std::size(texts); ++i) texts[i]->assign(f[8 + i]);
    return o;
}

}  // namespace orv::handoff
