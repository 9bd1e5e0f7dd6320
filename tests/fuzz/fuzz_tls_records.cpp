// The TLS-record-to-HTTP seam: a response carried in records cut at random places, the
// record stream cut again at random places on its way from the socket. The records that
// come out whole, with the identity as cipher, must carry exactly the response, and header
// detection over their bodies must find what splitting the whole response finds. The same
// bytes taken as a raw record stream must never yield a record the framing should refuse.
#include <algorithm>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <string_view>
#include <vector>

#include "control/http/http_text.h"
#include "control/net/tls_records.h"
#include "tests/fuzz/fuzz_check.h"

namespace tls = orv::net::tls;

namespace {

// Feeds `stream` to a buffer in pieces of the given sizes, taking every whole record after
// each piece as the TLS client does; returns the records' bodies (or stops at a malformed
// header, reported through *malformed).
std::vector<std::string> Reassemble(std::string_view stream, const std::vector<std::size_t>& sizes,
                                    bool* malformed) {
    tls::RecordBuffer buffer(2 * tls::kMaxRecordSize);
    std::vector<std::string> bodies;
    *malformed = false;
    std::size_t pos = 0;
    for (std::size_t i = 0; pos < stream.size(); ++i) {
        const std::size_t want = std::max<std::size_t>(sizes[i % sizes.size()], 1);
        const std::size_t piece = std::min({want, stream.size() - pos, buffer.Room()});
        FUZZ_CHECK(piece > 0);  // whole records are always taken, so room never runs out
        FUZZ_CHECK(buffer.Append(stream.substr(pos, piece)));
        pos += piece;
        for (;;) {
            const tls::Front front = buffer.Inspect();
            if (front.state == tls::FrontState::kMalformed) {
                *malformed = true;
                return bodies;
            }
            if (front.state == tls::FrontState::kNeedMore) {
                FUZZ_CHECK(buffer.size() < tls::kMaxRecordSize);
                break;
            }
            FUZZ_CHECK(front.size >= tls::kRecordHeaderSize && front.size <= tls::kMaxRecordSize);
            FUZZ_CHECK(front.size <= buffer.size());
            const auto type = static_cast<uint8_t>(buffer.data()[0]);
            FUZZ_CHECK(type >= 20 && type <= 23);
            bodies.emplace_back(buffer.data() + tls::kRecordHeaderSize,
                                front.size - tls::kRecordHeaderSize);
            buffer.Consume(front.size);
        }
    }
    return bodies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    std::vector<std::size_t> records(provider.ConsumeIntegralInRange<std::size_t>(1, 8));
    for (std::size_t& r : records) r = provider.ConsumeIntegralInRange<std::size_t>(0, 20000);
    std::vector<std::size_t> pieces(provider.ConsumeIntegralInRange<std::size_t>(1, 8));
    for (std::size_t& p : pieces) p = provider.ConsumeIntegralInRange<std::size_t>(1, 70000);
    const std::string response = provider.ConsumeRemainingBytesAsString();

    // The response in records of the chosen sizes (at most the plaintext bound; empty
    // records are legal), framed with the identity as cipher.
    std::string stream;
    std::size_t pos = 0;
    for (std::size_t i = 0; pos < response.size() || i == 0; ++i) {
        // Every third record is full, so chosen sizes of 0 still make progress.
        const std::size_t chosen = i % 3 == 2 ? tls::kMaxPlaintext : records[i % records.size()];
        const std::size_t body = std::min({chosen, tls::kMaxPlaintext, response.size() - pos});
        char header[tls::kRecordHeaderSize];
        tls::WriteRecordHeader(header, tls::ContentType::kApplicationData, body);
        stream.append(header, sizeof(header));
        stream.append(response, pos, body);
        pos += body;
    }

    bool malformed = false;
    const std::vector<std::string> bodies = Reassemble(stream, pieces, &malformed);
    FUZZ_CHECK(!malformed);

    // The plaintext side: header detection over the record bodies as they come.
    std::string plaintext;
    std::string responseText;
    bool found = false;
    std::string body;
    std::optional<int32_t> status;
    for (const std::string& b : bodies) {
        plaintext += b;
        if (found) {
            body += b;
            continue;
        }
        const orv::http::HeaderDetection d = orv::http::DetectHeader(responseText, b);
        if (d.found) {
            found = true;
            status = d.status;
            body = d.firstBody;
        }
    }
    FUZZ_CHECK(plaintext == response);
    const orv::http::ResponseParts whole = orv::http::SplitResponse(response);
    FUZZ_CHECK(found == whole.body.has_value());
    if (found) {
        FUZZ_CHECK(body == *whole.body);
        FUZZ_CHECK(status == orv::http::StatusNumber(whole.header));
    }

    // The raw bytes as a record stream from a hostile peer: whatever comes out is framed
    // correctly (checked inside), and nothing is taken past a malformed header.
    Reassemble(response, pieces, &malformed);
    return 0;
}
