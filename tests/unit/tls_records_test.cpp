// The TLS record framing and the TLS outcome texts (portable).
#include "control/net/tls_records.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "control/net/socket_error_text.h"
#include "control/net/tls_error_text.h"

namespace orv::net::tls {
namespace {

std::string Record(uint8_t type, std::size_t body, char fill = 'x', uint8_t major = 3,
                   uint8_t minor = 3) {
    std::string r = {static_cast<char>(type), static_cast<char>(major), static_cast<char>(minor),
                     static_cast<char>(body >> 8), static_cast<char>(body & 0xFF)};
    return r + std::string(body, fill);
}

TEST(TlsRecords, FrontIsJudgedFromTheHeaderAlone) {
    EXPECT_EQ(InspectRecord("").state, FrontState::kNeedMore);
    EXPECT_EQ(InspectRecord(std::string("\x17\x03\x03\x00", 4)).state, FrontState::kNeedMore);

    const std::string r = Record(23, 100);
    const Front partial = InspectRecord(std::string_view(r).substr(0, 50));
    EXPECT_EQ(partial.state, FrontState::kNeedMore);
    EXPECT_EQ(partial.size, 105u);
    const Front whole = InspectRecord(r + "next");
    EXPECT_EQ(whole.state, FrontState::kComplete);
    EXPECT_EQ(whole.size, 105u);

    // Every content type a peer sends, any 3.x record version (the first hello says 3.1),
    // an empty body, and the longest body TLS 1.2 allows.
    for (uint8_t type : {20, 21, 22, 23}) {
        EXPECT_EQ(InspectRecord(Record(type, 0)).state, FrontState::kComplete) << int(type);
    }
    EXPECT_EQ(InspectRecord(Record(22, 10, 'x', 3, 1)).state, FrontState::kComplete);
    EXPECT_EQ(InspectRecord(Record(23, kMaxRecordBody)).size, kMaxRecordSize);
}

TEST(TlsRecords, HeadersNoPeerSendsAreRefusedBeforeTheirBody) {
    // A plain HTTP answer on a TLS port, unknown types, another major version, a body over
    // the bound: refused as soon as five bytes are there, not after the claimed length.
    EXPECT_EQ(InspectRecord("HTTP/1.0 200 OK").state, FrontState::kMalformed);
    for (uint8_t type : {0, 19, 24, 255}) {
        EXPECT_EQ(InspectRecord(Record(type, 1).substr(0, 5)).state, FrontState::kMalformed)
            << int(type);
    }
    EXPECT_EQ(InspectRecord(Record(23, 1, 'x', 2, 0)).state, FrontState::kMalformed);
    EXPECT_EQ(InspectRecord(Record(23, kMaxRecordBody + 1).substr(0, 5)).state,
              FrontState::kMalformed);
    EXPECT_EQ(InspectRecord(std::string("\x17\x03\x03\xff\xff", 5)).state, FrontState::kMalformed);
}

TEST(TlsRecords, WrittenHeaderFramesItsBody) {
    char header[kRecordHeaderSize];
    WriteRecordHeader(header, ContentType::kApplicationData, 16384);
    const Front f = InspectRecord(std::string(header, 5) + std::string(16384, 'a'));
    EXPECT_EQ(f.state, FrontState::kComplete);
    EXPECT_EQ(f.size, 16389u);
}

TEST(TlsRecords, StreamCutAnywhereYieldsTheSameRecords) {
    const std::string stream = Record(22, 300, 'h') + Record(20, 1, 'c') + Record(23, 0) +
                               Record(23, kMaxRecordBody, 'd') + Record(21, 2, 'a');
    const std::vector<std::size_t> expected = {305, 6, 5, kMaxRecordSize, 7};
    for (std::size_t piece : {1u, 2u, 5u, 7u, 4096u, 18000u, 70000u}) {
        RecordBuffer buffer(2 * kMaxRecordSize);
        std::vector<std::size_t> sizes;
        std::string joined;
        for (std::size_t pos = 0; pos < stream.size(); pos += piece) {
            ASSERT_TRUE(buffer.Append(std::string_view(stream).substr(pos, piece)));
            for (Front f = buffer.Inspect(); f.state == FrontState::kComplete;
                 f = buffer.Inspect()) {
                sizes.push_back(f.size);
                joined.append(buffer.data(), f.size);
                buffer.Consume(f.size);
            }
            ASSERT_NE(buffer.Inspect().state, FrontState::kMalformed);
        }
        EXPECT_EQ(sizes, expected) << "pieces of " << piece;
        EXPECT_EQ(joined, stream) << "pieces of " << piece;
        EXPECT_TRUE(buffer.empty());
    }
}

TEST(TlsRecords, BufferHoldsNoMoreThanItsCapacity) {
    RecordBuffer buffer(100);
    EXPECT_TRUE(buffer.Append(std::string(60, 'a')));
    EXPECT_EQ(buffer.Room(), 40u);
    EXPECT_FALSE(buffer.Append(std::string(41, 'b')));
    EXPECT_EQ(buffer.size(), 60u) << "a refused append adds nothing";
    EXPECT_TRUE(buffer.Append(std::string(40, 'b')));
    EXPECT_EQ(buffer.Room(), 0u);

    // Consumed bytes make room again, and the rest keeps its content when it moves.
    buffer.Consume(90);
    EXPECT_EQ(std::string(buffer.data(), buffer.size()), std::string(10, 'b'));
    EXPECT_TRUE(buffer.Append(std::string(90, 'c')));
    EXPECT_EQ(std::string(buffer.data(), buffer.size()),
              std::string(10, 'b') + std::string(90, 'c'));
    buffer.Consume(1000);  // more than held: all of it
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(buffer.Room(), 100u);
}

TEST(TlsErrorTexts, EveryOutcomeNamesItsCauseAndOtherNumbersHaveNone) {
    const std::pair<TlsError, const char*> outcomes[] = {
        {TlsError::kHandshakeFailed, "handshake"},
        {TlsError::kCertificateNotTrusted, "not trusted"},
        {TlsError::kNameMismatch, "host name"},
        {TlsError::kCertificateExpired, "expired"},
        {TlsError::kStreamFailed, "decrypted"},
    };
    for (const auto& [error, cause] : outcomes) {
        const int32_t code = static_cast<int32_t>(error);
        ASSERT_NE(TlsErrorText(code), nullptr) << code;
        EXPECT_NE(std::string(TlsErrorText(code)).find(cause), std::string::npos) << code;
        EXPECT_EQ(std::string(orv::SocketErrorText(code)), "Unknown error.")
            << code << " must not be a socket error number";
    }
    for (int32_t code : {0, 10054, 11004, 24000, 24009, 24015, -1}) {
        EXPECT_EQ(TlsErrorText(code), nullptr) << code;
    }
}

}  // namespace
}  // namespace orv::net::tls
