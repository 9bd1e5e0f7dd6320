// The TLS record layer's framing, as the control's TLS client needs it: received ciphertext
// is collected until whole records stand at the front, so that every decryption call gets one
// complete record, however the network cut the stream. Portable: no <windows.h>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace orv::net::tls {

// A record: content type (1 byte), protocol version (2 bytes), body length (2 bytes, big
// endian), body.
inline constexpr std::size_t kRecordHeaderSize = 5;
// The most plaintext one record carries (2^14 bytes).
inline constexpr std::size_t kMaxPlaintext = 16384;
// The longest record body a peer may send: the plaintext bound plus the 2048 bytes TLS 1.2
// allows for padding, MAC and expansion (TLS 1.3 allows less).
inline constexpr std::size_t kMaxRecordBody = kMaxPlaintext + 2048;
inline constexpr std::size_t kMaxRecordSize = kRecordHeaderSize + kMaxRecordBody;

// Content types of the record header.
enum class ContentType : uint8_t {
    kChangeCipherSpec = 20,
    kAlert = 21,
    kHandshake = 22,
    kApplicationData = 23,
};

// What the front of a byte stream holds.
enum class FrontState {
    kNeedMore,   // not yet a whole record
    kComplete,   // a whole record of `size` bytes, header included
    kMalformed,  // a header no TLS peer sends: unknown type, not version 3.x, or too long
};
struct Front {
    FrontState state = FrontState::kNeedMore;
    std::size_t size = 0;
};

// Inspects the record at the front of `bytes`. A header is judged as soon as its five bytes
// have arrived, so a malformed stream is refused before its claimed body is awaited.
Front InspectRecord(std::string_view bytes);

// The header of one record with `bodySize` body bytes (at most kMaxRecordBody) of `type`,
// with the record version of TLS 1.2. For tests and fuzzing of the framing.
void WriteRecordHeader(char* out, ContentType type, std::size_t bodySize);

// Received ciphertext waiting to be handed on in whole records. Holds at most `capacity`
// bytes: a caller that processes the whole records after every Append never needs more than
// one incomplete record plus what it appended, so the cap bounds a misbehaving peer's
// effect on memory. Consumed bytes are dropped lazily, so records are not copied per call.
class RecordBuffer {
   public:
    static constexpr std::size_t kDefaultCapacity = 256 * 1024;

    explicit RecordBuffer(std::size_t capacity = kDefaultCapacity);

    // Appends received bytes; false (and nothing appended) when the buffer would then hold
    // more than its capacity. Room() tells how much fits.
    bool Append(std::string_view bytes);
    std::size_t Room() const { return capacity_ - size(); }

    // The unconsumed bytes. Mutable, since decryption works in place.
    char* data() { return bytes_.data() + start_; }
    const char* data() const { return bytes_.data() + start_; }
    std::size_t size() const { return bytes_.size() - start_; }
    bool empty() const { return size() == 0; }

    // The record at the front.
    Front Inspect() const { return InspectRecord(std::string_view(data(), size())); }

    // Drops `count` bytes from the front (at most size()).
    void Consume(std::size_t count);
    void Clear();

   private:
    std::vector<char> bytes_;
    std::size_t start_ = 0;
    std::size_t capacity_;
};

}  // namespace orv::net::tls
