#include "common/updateinfo/signed_fields.h"

#include <array>
#include <gtest/gtest.h>

#include "common/updateinfo/release_policy.h"
#include "common/updateinfo/updateinfo.h"

namespace orv {
namespace {

const std::string kSix = "Editor|2.1.0.|07/04/2003|Fixes the print preview.|edsetup.exe|524288";

Sha256Digest CountingDigest() {
    Sha256Digest d{};
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(0xA0 + i * 3);
    return d;
}

P256Signature CountingSignature() {
    P256Signature s{};
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint8_t>(255 - i * 7);
    return s;
}

TEST(Base64, KnownTextsAndStrictReading) {
    const std::pair<std::string, std::string> known[] = {
        {"", ""},        {"f", "Zg=="},          {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}, {std::string("\xFB\xFF\x00", 3), "+/8A"},
    };
    for (const auto& [bytes, text] : known) {
        EXPECT_EQ(EncodeBase64(bytes), text);
        EXPECT_EQ(DecodeBase64(text), bytes) << text;
    }
    // Not padded, white space, the URL-safe alphabet, padding inside, bits set below the
    // last byte (a second text for the same bytes).
    for (std::string_view bad : {"Zg", "Zg=", "Zm9v\n", " Zm9v", "-_8A", "Zg==Zm9v",
                                 "Zh==", "Zm9=", "====", "A===", "Z==="}) {
        EXPECT_EQ(DecodeBase64(bad), std::nullopt) << bad;
    }
}

TEST(SignedFields, SixFieldTextHasNeitherAndIsUnchanged) {
    const SignedFields f = ReadSignedFields(kSix);
    EXPECT_EQ(f.Digest, FieldState::Absent);
    EXPECT_EQ(f.Signature, FieldState::Absent);
    EXPECT_TRUE(f.SignedText.empty());
    EXPECT_FALSE(f.SignedAndWellFormed());
    EXPECT_EQ(FirstSixFields(kSix), kSix);
    EXPECT_EQ(ReadSignedFields("").Digest, FieldState::Absent);
    EXPECT_EQ(ReadSignedFields("a|b|c").Digest, FieldState::Absent);
}

TEST(SignedFields, WrittenFieldsReadBackAndTheSignedBytesEndBeforeField8) {
    const std::string digest = DigestField(CountingDigest());
    EXPECT_EQ(digest, "sha256:a0a3a6a9acafb2b5b8bbbec1c4c7cacdd0d3d6d9dcdfe2e5e8ebeef1f4f7fafd");
    const std::string signature = SignatureField(CountingSignature());
    ASSERT_EQ(signature.size(), 5u + 88u);
    EXPECT_TRUE(signature.ends_with("=="));

    const std::string seven = kSix + "|" + digest;
    const std::string eight = seven + "|" + signature;
    const SignedFields f = ReadSignedFields(eight);
    EXPECT_TRUE(f.SignedAndWellFormed());
    EXPECT_EQ(f.DigestBytes, CountingDigest());
    EXPECT_EQ(f.SignatureBytes, CountingSignature());
    EXPECT_EQ(f.SignedText, seven);
    EXPECT_EQ(FirstSixFields(eight), kSix);

    const SignedFields digestOnly = ReadSignedFields(seven);
    EXPECT_EQ(digestOnly.Digest, FieldState::Valid);
    EXPECT_EQ(digestOnly.Signature, FieldState::Absent);
    EXPECT_TRUE(digestOnly.SignedText.empty());

    // Pieces after the eighth are ignored and stay outside the signed bytes.
    const std::string longer = eight + "|later|fields";
    const SignedFields more = ReadSignedFields(longer);
    EXPECT_TRUE(more.SignedAndWellFormed());
    EXPECT_EQ(more.SignedText, seven);
}

TEST(SignedFields, ReadersOfTheSixFieldsSeeTheSameRecord) {
    const std::string eight =
        kSix + "|" + DigestField(CountingDigest()) + "|" + SignatureField(CountingSignature());
    UpdateInfo plain, signedInfo;
    SplitControlFields(kSix, plain);
    SplitControlFields(eight, signedInfo);
    EXPECT_EQ(plain, signedInfo);
    const MakerLoad load = SplitMakerFields(eight);
    EXPECT_TRUE(load.Complete);
    EXPECT_EQ(load.SizeText, "524288");
}

TEST(SignedFields, DigestHexOfEitherCaseAndNothingElse) {
    const std::string lower = DigestField(CountingDigest());
    std::string upper = lower;
    for (std::size_t i = kDigestPrefix.size(); i < upper.size(); ++i) {
        upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
    }
    EXPECT_EQ(ParseDigestField(upper), CountingDigest());
    const std::string hex = lower.substr(kDigestPrefix.size());
    for (const std::string& bad :
         {std::string(""), std::string("sha256:"), "SHA256:" + hex, "sha-256:" + hex,
          "sha256:" + hex.substr(1), "sha256:" + hex + "0", "sha256: " + hex.substr(1),
          "sha256:" + hex.substr(0, 63) + "g", "sha256:" + hex + "\r\n", hex}) {
        EXPECT_EQ(ParseDigestField(bad), std::nullopt) << bad;
        // Only a piece with the prefix is a digest; any other is ignored.
        EXPECT_EQ(ReadSignedFields(kSix + "|" + bad).Digest,
                  bad.starts_with(kDigestPrefix) ? FieldState::Malformed : FieldState::Absent)
            << bad;
    }
}

TEST(SignedFields, MalformedSignatureAndDigestAreToldApart) {
    const std::string digest = DigestField(CountingDigest());
    const std::string sig = SignatureField(CountingSignature());
    const std::string b64 = sig.substr(kSignaturePrefix.size());
    for (const std::string& bad :
         {std::string(""), std::string("p256:"), "P256:" + b64, "p256:" + b64.substr(4),
          "p256:" + b64.substr(0, 86), "p256:" + b64 + "AAAA",
          "p256:" + b64.substr(0, 85) + "B==", "p256:" + b64.substr(0, 10) + "-" + b64.substr(11),
          "p256: " + b64.substr(1), "p256:" + EncodeBase64(std::string(63, 'x')) + "A"}) {
        const std::string text = kSix + "|" + digest + "|" + bad;
        const SignedFields f = ReadSignedFields(text);
        const bool claimed = bad.starts_with(kSignaturePrefix);
        EXPECT_EQ(f.Digest, FieldState::Valid) << bad;
        EXPECT_EQ(f.Signature, claimed ? FieldState::Malformed : FieldState::Absent) << bad;
        EXPECT_FALSE(f.SignedAndWellFormed());
        EXPECT_EQ(f.SignedText, claimed ? kSix + "|" + digest : "");
    }
    // A signature after a broken field 7: the signature field itself is whole, the record is
    // not well formed.
    const SignedFields f = ReadSignedFields(kSix + "|sha256:00|" + sig);
    EXPECT_EQ(f.Digest, FieldState::Malformed);
    EXPECT_EQ(f.Signature, FieldState::Valid);
    EXPECT_FALSE(f.SignedAndWellFormed());
}

// An empty or other piece after the sixth (a trailing "|", a "|" typed into a field) is no
// optional field: it and everything after it are ignored, as readers of six fields do.
TEST(SignedFields, PiecesNotInTheirFormEndTheOptionalFields) {
    using enum FieldState;
    const std::string digest = DigestField(CountingDigest());
    const std::string sig = SignatureField(CountingSignature());
    const std::string expiry = ExpiryField(1801353600);
    const std::string eight = kSix + "|" + digest + "|" + sig;
    using States = std::array<FieldState, 4>;  // digest, signature, expiry, its signature
    const std::pair<std::string, States> cases[] = {
        {kSix + "|", {Absent, Absent, Absent, Absent}},
        {kSix + "|x", {Absent, Absent, Absent, Absent}},
        {kSix + "||" + sig, {Absent, Absent, Absent, Absent}},
        {kSix + "|x|" + sig + "|" + expiry + "|" + sig, {Absent, Absent, Absent, Absent}},
        {kSix + "|" + digest + "|", {Valid, Absent, Absent, Absent}},
        {kSix + "|" + digest + "|x|" + expiry + "|" + sig, {Valid, Absent, Absent, Absent}},
        {eight + "|", {Valid, Valid, Absent, Absent}},
        {eight + "|x|" + sig, {Valid, Valid, Absent, Absent}},
        {eight + "|" + expiry + "|", {Valid, Valid, Valid, Absent}},
        {eight + "|" + expiry + "|x", {Valid, Valid, Valid, Absent}},
    };
    for (const auto& [text, states] : cases) {
        const SignedFields f = ReadSignedFields(text);
        EXPECT_EQ((States{f.Digest, f.Signature, f.Expiry, f.ExpirySignature}), states) << text;
        EXPECT_EQ(f.SignedText.empty(), f.Signature == Absent) << text;
        EXPECT_TRUE(f.ExpirySignedText.empty()) << text;
        EXPECT_EQ(FirstSixFields(text), kSix);
    }
}

// Field 9: "expires:" and exactly YYYY-MM-DDTHH:MM:SSZ, a real Gregorian date and time of day.
TEST(SignedFields, ExpiryFormsAndCalendar) {
    using Valid = std::pair<std::string, int64_t>;  // leap days of 2024 and 2000 among them
    for (const auto& [text, seconds] :
         {Valid{"1969-12-31T23:59:59Z", -1}, Valid{"2024-02-29T23:59:59Z", 1709251199},
          Valid{"2000-02-29T12:00:00Z", 951825600}, Valid{"9999-12-31T23:59:59Z", 253402300799}}) {
        EXPECT_EQ(ParseExpiryField("expires:" + text), seconds) << text;
        EXPECT_EQ(ExpiryField(seconds), "expires:" + text);
    }
    for (const char* bad :
         {"2027-01-31T00:00:00", "2027-01-31 00:00:00Z", "2027-1-31T00:00:00Z",
          "2027-01-31T00:00:00.0Z", "2027-13-01T00:00:00Z", "2027-04-31T00:00:00Z",
          "2023-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2027-01-31T24:00:00Z",
          "2027-01-31T23:59:60Z", "+027-01-31T00:00:00Z", " 2027-01-31T00:00:00Z"}) {
        EXPECT_EQ(ParseExpiryField("expires:" + std::string(bad)), std::nullopt) << bad;
    }
}

TEST(SignedFields, ExpiryAndItsSignatureFollowField8) {
    using enum FieldState;
    const std::string seven = kSix + "|" + DigestField(CountingDigest());
    const std::string eight = seven + "|" + SignatureField(CountingSignature());
    const std::string nine = eight + "|" + ExpiryField(1801353600);
    const std::string badNine = eight + "|expires:2027-02-30T00:00:00Z";
    const std::tuple<std::string, FieldState, FieldState, std::string> cases[] = {
        {eight, Absent, Absent, ""},
        {nine, Valid, Absent, ""},
        {nine + "|" + SignatureField(CountingSignature()) + "|later", Valid, Valid, nine},
        {badNine + "|p256:x", Malformed, Malformed, badNine}};
    for (const auto& [text, expiry, signature, covered] : cases) {
        const SignedFields f = ReadSignedFields(text);
        EXPECT_EQ(f.SignedText, seven);  // field 8 still covers fields 1-7 only
        EXPECT_EQ(std::tuple(f.Expiry, f.ExpirySignature, std::string(f.ExpirySignedText)),
                  std::tuple(expiry, signature, covered))
            << text;
    }
    EXPECT_EQ(ReadSignedFields(nine).ExpiryTime, 1801353600);  // 2027-01-31T00:00:00Z
}

// After a well-formed field 10: tagged fields, then a signature over everything before it.
TEST(TaggedFields, NameValuePairsEndedByASignature) {
    using enum FieldState;
    const std::string sig = SignatureField(CountingSignature());
    const std::string eight = kSix + "|" + DigestField(CountingDigest()) + "|" + sig;
    const std::string ten = eight + "|" + ExpiryField(1801353600) + "|" + sig;
    const struct {
        std::string text;
        FieldState state;
        std::size_t fields;
    } cases[] = {
        {ten, Absent, 0},
        {eight + "|rollout:5|" + sig, Absent, 0},  // no fields 9 and 10: ignored as ever
        {ten + "|rollout:5|" + sig, Valid, 1},
        {ten + "|urls:https://a/p|x-1:|z:a:b|" + sig, Valid, 3},  // unknown names, empty values
        {ten + "|rollout:5", Malformed, 1},                       // no signature after them
        {ten + "|" + sig, Malformed, 0},                          // a signature of nothing
        {ten + "|rollout:5|rollout:6|" + sig, Malformed, 1},      // a name twice
        {ten + "|Rollout:5|" + sig, Malformed, 0},                // names are lowercase
        {ten + "|no colon|" + sig, Malformed, 0},
        {ten + "|rollout:5||" + sig, Malformed, 1},  // an empty piece
        {ten + "|rollout:5|p256:x", Malformed, 2},   // a malformed last signature
    };
    for (const auto& c : cases) {
        const TaggedFields t = ReadTaggedFields(c.text);
        EXPECT_EQ(std::tuple(t.State, t.Fields.size()), std::tuple(c.state, c.fields)) << c.text;
        EXPECT_EQ(t.Problem.empty(), c.state != Malformed) << c.text;
        if (c.state == Valid) {
            EXPECT_EQ(t.SignedText, c.text.substr(0, c.text.rfind('|')));
            EXPECT_EQ(t.SignatureBytes, CountingSignature());
        }
    }
    const std::string tagged = ten + "|urls:https://a/p|x-1:|z:a:b|" + sig;
    const TaggedFields t = ReadTaggedFields(tagged);
    EXPECT_EQ(t.Find("z"), "a:b");
    EXPECT_EQ(t.Find("x-1"), "");
    EXPECT_EQ(t.Find("x"), std::nullopt);
    // Fields 8 and 10 sign what they always signed.
    const std::string rollout = ten + "|rollout:5|" + sig;
    const SignedFields f = ReadSignedFields(rollout);
    EXPECT_EQ(std::tuple(f.Signature, f.ExpirySignature, f.ExpirySignedText.size()),
              std::tuple(Valid, Valid, ten.rfind('|')));
}

// Known fields read to their values; one not of its form is a problem and counts as absent.
TEST(TaggedFields, ReleasePolicyValues) {
    const struct {
        std::string_view name, value;
        bool ok;
    } cases[] = {
        {"urls", "https://a.test/p.exe http://b.test:81/x?y", true},
        {"urls", "https://a.test/p.exe  https://b.test/", false},
        {"urls", "ftp://a.test/p", false},
        {"urls", "https:///p", false},
        {"critical", "", true},
        {"critical", "2.1.0.7", true},
        {"critical", "2.x", false},
        {"minversion", "1.0", true},
        {"minversion", "1.2.3.4.5", false},
        {"minversion", "", false},
        {"rollout", "1", true},
        {"rollout", "100", true},
        {"rollout", "0", false},
        {"rollout", "101", false},
        {"rollout", "05", false},
        {"rollout", "+5", false},
        {"args", "L3F1aWV0", true},
        {"args", "/quiet", false},
        {"notes", "", true},
    };
    for (const auto& c : cases) {
        TaggedFields t;
        t.Fields.push_back({c.name, c.value});
        const ReleasePolicy p = ReadReleasePolicy(t);
        EXPECT_EQ(p.Problems.empty(), c.ok) << c.name << ":" << c.value;
    }
    TaggedFields t;
    const std::string args = EncodeBase64("/quiet");
    t.Fields = {{"urls", "https://a/1 https://b/2"},
                {"critical", "2.0"},
                {"minversion", "1.5"},
                {"rollout", "10"},
                {"args", args},
                {"future", "x"}};
    const ReleasePolicy p = ReadReleasePolicy(t);
    EXPECT_EQ(p.Urls, (std::vector<std::string>{"https://a/1", "https://b/2"}));
    EXPECT_EQ(std::tuple(p.Critical, p.CriticalBelow, p.MinVersion, p.Rollout, p.Arguments),
              std::tuple(true, "2.0", "1.5", 10, "/quiet"));
    EXPECT_EQ(ReadReleasePolicy({}).Rollout, 100);
}

TEST(SignedFields, FirstSixFieldsNeedsSixFields) {
    EXPECT_EQ(FirstSixFields("a|b|c|d|e"), std::nullopt);
    EXPECT_EQ(FirstSixFields("a|b|c|d|e|"), "a|b|c|d|e|");
    EXPECT_EQ(FirstSixFields("a|b|c|d|e|6|x|y"), "a|b|c|d|e|6");
}

}  // namespace
}  // namespace orv
