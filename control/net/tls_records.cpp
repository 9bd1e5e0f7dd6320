#include "control/net/tls_records.h"

#include <algorithm>
#include <cstring>

namespace orv::net::tls {

Front InspectRecord(std::string_view bytes) {
    if (bytes.size() < kRecordHeaderSize) return {};
    const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(bytes[i]); };
    const uint8_t type = byte(0);
    const bool knownType = type >= static_cast<uint8_t>(ContentType::kChangeCipherSpec) &&
                           type <= static_cast<uint8_t>(ContentType::kApplicationData);
    const std::size_t body = (static_cast<std::size_t>(byte(3)) << 8) | byte(4);
    if (!knownType || byte(1) != 3 || body > kMaxRecordBody) {
        return {FrontState::kMalformed, 0};
    }
    const std::size_t size = kRecordHeaderSize + body;
    if (bytes.size() < size) return {FrontState::kNeedMore, size};
    return {FrontState::kComplete, size};
}

void WriteRecordHeader(char* out, ContentType type, std::size_t bodySize) {
    bodySize = std::min(bodySize, kMaxRecordBody);
    out[0] = static_cast<char>(type);
    out[1] = 3;
    out[2] = 3;
    out[3] = static_cast<char>(bodySize >> 8);
    out[4] = static_cast<char>(bodySize & 0xFF);
}

RecordBuffer::RecordBuffer(std::size_t capacity) : capacity_(capacity) {}

bool RecordBuffer::Append(std::string_view bytes) {
    if (bytes.size() > Room()) return false;
    if (start_ > 0 && bytes_.size() + bytes.size() > bytes_.capacity()) {
        // Move the unconsumed rest (normally less than a record) to the front before the
        // vector would grow, so its storage stays about the size of the largest append.
        std::memmove(bytes_.data(), bytes_.data() + start_, size());
        bytes_.resize(size());
        start_ = 0;
    }
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return true;
}

void RecordBuffer::Consume(std::size_t count) {
    start_ += std::min(count, size());
    if (start_ == bytes_.size()) Clear();
}

void RecordBuffer::Clear() {
    bytes_.clear();
    start_ = 0;
}

}  // namespace orv::net::tls
