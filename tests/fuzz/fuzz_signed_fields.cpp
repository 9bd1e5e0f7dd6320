// Reading fields 7 to 10 of an unscrambled body, and the strict Base64 under them: every
// field read as valid writes back to the same text, and the signed bytes end exactly before
// the "|" of field 8.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/updateinfo/release_policy.h"
#include "common/updateinfo/signed_fields.h"
#include "common/updateinfo/updateinfo.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view plain(reinterpret_cast<const char*>(data), size);
    const orv::SignedFields f = orv::ReadSignedFields(plain);
    const std::vector<std::string> pieces = orv::SplitAll(plain, '|');

    // Each optional field is read only in its own form; the first piece that is not ends them.
    const auto has = [&](std::size_t i, std::string_view prefix) {
        return pieces.size() > i && pieces[i].starts_with(prefix);
    };
    const bool seventh = has(6, orv::kDigestPrefix);
    const bool eighth = seventh && has(7, orv::kSignaturePrefix);
    const bool ninth = eighth && has(8, orv::kExpiryPrefix);
    const bool tenth = ninth && has(9, orv::kSignaturePrefix);
    FUZZ_CHECK((f.Digest != orv::FieldState::Absent) == seventh);
    FUZZ_CHECK((f.Signature != orv::FieldState::Absent) == eighth);
    FUZZ_CHECK((f.Expiry != orv::FieldState::Absent) == ninth);
    FUZZ_CHECK((f.ExpirySignature != orv::FieldState::Absent) == tenth);
    if (f.Digest == orv::FieldState::Valid) {
        std::string lower = pieces[6];
        for (char& c : lower) {
            if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        }
        FUZZ_CHECK(orv::DigestField(f.DigestBytes) == lower);
    }
    if (f.Signature == orv::FieldState::Valid) {
        FUZZ_CHECK(orv::SignatureField(f.SignatureBytes) == pieces[7]);
    }
    if (eighth) {
        std::string seven = pieces[0];
        for (std::size_t i = 1; i < 7; ++i) seven += "|" + pieces[i];
        FUZZ_CHECK(f.SignedText == seven);
        FUZZ_CHECK(f.SignedText.data() == plain.data());
    } else {
        FUZZ_CHECK(f.SignedText.empty());
    }
    if (const auto six = orv::FirstSixFields(plain)) {
        FUZZ_CHECK(pieces.size() >= 6);
        FUZZ_CHECK(orv::SplitAll(*six, '|').size() == 6);
    } else {
        FUZZ_CHECK(pieces.size() < 6);
    }

    // Tagged fields only after a well-formed field 10; a valid list is signed by its last piece,
    // over all before it, and every field it read is a piece of the text.
    const orv::TaggedFields t = orv::ReadTaggedFields(plain);
    if (f.ExpirySignature != orv::FieldState::Valid) FUZZ_CHECK(t.State == orv::FieldState::Absent);
    if (t.State == orv::FieldState::Valid) {
        FUZZ_CHECK(!t.Fields.empty() && pieces.size() == 11 + t.Fields.size());
        FUZZ_CHECK(orv::SignatureField(t.SignatureBytes) == pieces.back());
        FUZZ_CHECK(t.SignedText.size() + 1 + pieces.back().size() == plain.size());
    }
    for (const orv::TaggedField& field : t.Fields) {
        FUZZ_CHECK(orv::IsTagName(field.Name));
        FUZZ_CHECK(field.Value.find('|') == std::string_view::npos);
    }
    (void)orv::ReadReleasePolicy(t);

    // Strict Base64: what decodes is the one text of its bytes.
    if (const auto bytes = orv::DecodeBase64(plain)) {
        FUZZ_CHECK(orv::EncodeBase64(*bytes) == plain);
    }
    FUZZ_CHECK(orv::DecodeBase64(orv::EncodeBase64(plain)) == std::string(plain));
    return 0;
}
