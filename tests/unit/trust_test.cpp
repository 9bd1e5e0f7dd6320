// The CNG and crypt32 checks under Wine, against keys and signatures the openssl command line
// made (the signature converted from DER to r||s).
#include "control/trust/trust.h"

#include <gtest/gtest.h>

#include <thread>

#include "common/updateinfo/signed_fields.h"

namespace orv::trust {
namespace {

const std::string kKeyA =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEGi8p3vWF2KijVsGdwf2aLmxLgtVDHK9N9V+UBQ9y0ZOfe/geonHLFGUy"
    "W1uMnK4XXhOipldJyIK4y+pMf1/ODg==";
const std::string kKeyB =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEJLEvsSowSjJ/uK8QfrgHlxXhnIr2pRbpCJjLeCIMCH/mCRPk26m351uG"
    "hiFXOAGuQPRwJuCEByk9vc56haIWUA==";
const std::string kKeyP384 =
    "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEMNq7pDqK+0sibfMswb68f9LX+XxY7mx24ZyCeOvW16FioI47dDb3dh9KIYZz"
    "0bS0S2xNzGuKcY/Y9LmUJUnbewQC95yu1CVGnT/EsjtKvzgJu7w/yb8LkPZ1IK7xdbxk";
const std::string kKeyEd25519 = "MCowBQYDK2VwAyEAAFFtmxwK4Nge32jMfPXvBtGNnrYXUoXKgmlbUWKYmWw=";
const std::string kKeyRsa =
    "MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQDbd1Wtiff6k6mVkWcmMbRtvfw2TBdePlnPz2Xq5LjaQHmlS7WYfarx"
    "DHAQWUb0pJy3guXVhspKRtLA9j1He9rAVhl14oXNRAR36aIRPfdigzhO7F4Q3hAhk8Vdo8g9pXZxrYBmJ2ecJvP4Ifz7"
    "aP7sM9+zhL4C0jyWdW0PsBJoAQIDAQAB";
const std::string kKeyCompressed =
    "MDkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDIgACRPO7T0uIX83LvOy59Fmng+2KPcxbWg2U5PcEWsZOEJE=";

// Fields 1-7, and key A's signature of them.
const std::string kSigned =
    "Editor|2.1.0.|07/04/2003|Fixes the print preview.|edsetup.exe|524288|sha256:"
    "7d2ff4b3b3f4e6c0f0ad8e5a6a5e2b1b7b7c0b0a2d4d2c8f9f1e0d3c2b1a0918";
const std::string kSignatureA =
    "hD74MqDvpSn3rIyt1PxzAsaWqG85vhNOuGlbutl9Y6NxucTT2D9I787Tc3TJ8KxxR2Gk02RHMuihXxYuot/pEA==";

P256Signature SignatureA() {
    return *ParseSignatureField(std::string(kSignaturePrefix) + kSignatureA);
}

PublisherKeys Keys(const std::string& text) {
    KeyListResult r = ParseKeyList(text);
    EXPECT_TRUE(r.Ok) << text << ": " << r.Error;
    return std::move(r.Keys);
}

std::string Hex(const Sha256Digest& d) {
    return HexLower(d.data(), d.size());
}

TEST(KeyList, ParsesOneOrSeveralKeysAndNoKey) {
    KeyListResult none = ParseKeyList("");
    EXPECT_TRUE(none.Ok);
    EXPECT_TRUE(none.Keys.empty());
    EXPECT_EQ(Keys(kKeyA).size(), 1u);
    EXPECT_EQ(Keys(kKeyA + ";" + kKeyB).size(), 2u);
    EXPECT_EQ(Keys(" " + kKeyA + " ;\r\n" + kKeyB + ";").size(), 2u);
}

TEST(KeyList, UnusableTextsAreErrorsNamingTheKey) {
    const std::pair<std::string, std::string> bad[] = {
        {";", "holds no key"},
        {" ", "holds no key"},
        {"not a key", "key 1 of 1"},
        {"AAAA", "key 1 of 1"},
        {kKeyA + ";" + kKeyP384, "key 2 of 2 is not on the P-256 curve"},
        {kKeyEd25519, "not an elliptic-curve key"},
        {kKeyRsa, "not an elliptic-curve key"},
        {kKeyCompressed, "not an uncompressed P-256 point"},
        {kKeyA.substr(0, 60), "key 1 of 1"},
        {std::string(10000, 'A'), "too long"},
    };
    for (const auto& [text, why] : bad) {
        const KeyListResult r = ParseKeyList(text);
        EXPECT_FALSE(r.Ok) << text;
        EXPECT_NE(r.Error.find(why), std::string::npos) << text << ": " << r.Error;
    }
}

TEST(Verify, SignatureOfTheOpensslCommandLineIsValid) {
    const Verification v = VerifySignature(Keys(kKeyA), kSigned, SignatureA());
    EXPECT_EQ(v.verdict, Verdict::Valid) << v.reason << " " << std::hex << v.status;
    EXPECT_EQ(v.keyIndex, 0u);
    // Key rotation: the second key of the list signed.
    const Verification second = VerifySignature(Keys(kKeyB + ";" + kKeyA), kSigned, SignatureA());
    EXPECT_EQ(second.verdict, Verdict::Valid) << second.reason;
    EXPECT_EQ(second.keyIndex, 1u);
}

TEST(Verify, AnotherKeyAChangedByteOrAChangedSignatureIsBad) {
    EXPECT_EQ(VerifySignature(Keys(kKeyB), kSigned, SignatureA()).verdict, Verdict::BadSignature);
    for (std::size_t at : {std::size_t{0}, kSigned.size() / 2, kSigned.size() - 1}) {
        std::string changed = kSigned;
        changed[at] ^= 1;
        const Verification v = VerifySignature(Keys(kKeyA), changed, SignatureA());
        EXPECT_EQ(v.verdict, Verdict::BadSignature) << at << " " << v.reason;
        EXPECT_FALSE(v.reason.empty());
    }
    EXPECT_EQ(VerifySignature(Keys(kKeyA), kSigned + "x", SignatureA()).verdict,
              Verdict::BadSignature);
    for (std::size_t at : {std::size_t{0}, std::size_t{31}, std::size_t{32}, std::size_t{63}}) {
        P256Signature changed = SignatureA();
        changed[at] ^= 0x80;
        EXPECT_EQ(VerifySignature(Keys(kKeyA), kSigned, changed).verdict, Verdict::BadSignature)
            << at;
    }
    // r and s of zero, and of all ones (above the group order): never valid.
    for (uint8_t fill : {uint8_t{0}, uint8_t{0xFF}}) {
        P256Signature extreme;
        extreme.fill(fill);
        EXPECT_NE(VerifySignature(Keys(kKeyA), kSigned, extreme).verdict, Verdict::Valid);
    }
    EXPECT_EQ(VerifySignature(PublisherKeys(), kSigned, SignatureA()).verdict,
              Verdict::BadSignature);
}

TEST(Verify, InfoNeedsBothFieldsOfTheirExactForm) {
    const PublisherKeys keys = Keys(kKeyA);
    const std::string field8 = "|" + std::string(kSignaturePrefix) + kSignatureA;
    EXPECT_EQ(VerifyInfo(keys, kSigned + field8).verdict, Verdict::Valid);
    EXPECT_EQ(VerifyInfo(keys, kSigned + field8 + "|ignored").verdict, Verdict::Valid);
    EXPECT_EQ(VerifyInfo(keys, kSigned).verdict, Verdict::NotSigned);
    EXPECT_EQ(VerifyInfo(keys, *FirstSixFields(kSigned)).verdict, Verdict::NotSigned);

    std::string badBase64 = kSigned + field8;
    badBase64[badBase64.size() - 3] = '!';
    const Verification b = VerifyInfo(keys, badBase64);
    EXPECT_EQ(b.verdict, Verdict::BadSignature);
    EXPECT_NE(b.reason.find("field 8"), std::string::npos) << b.reason;

    // The digest's hex in upper case is the same digest, but other bytes than were signed.
    std::string upper = kSigned;
    for (std::size_t i = upper.rfind(':') + 1; i < upper.size(); ++i) {
        upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
    }
    EXPECT_EQ(VerifyInfo(keys, upper + field8).verdict, Verdict::BadSignature);
    const Verification d =
        VerifyInfo(keys, std::string(*FirstSixFields(kSigned)) + "|sha256:12" + field8);
    EXPECT_EQ(d.verdict, Verdict::BadSignature);
    EXPECT_NE(d.reason.find("field 7"), std::string::npos) << d.reason;
}

TEST(Sha256, KnownDigestsWholeAndInPieces) {
    EXPECT_EQ(Hex(*Sha256Of("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Hex(*Sha256Of("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string million(1000000, 'a');
    const std::string expected = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
    EXPECT_EQ(Hex(*Sha256Of(million)), expected);
    Sha256 pieces;
    ASSERT_TRUE(pieces.ok()) << std::hex << pieces.status();
    std::size_t at = 0;
    for (std::size_t size = 1; at < million.size(); size = size * 3 + 1) {
        const std::size_t n = std::min(size, million.size() - at);
        ASSERT_TRUE(pieces.Update(million.data() + at, n));
        at += n;
    }
    EXPECT_TRUE(pieces.Update(nullptr, 0));
    EXPECT_EQ(Hex(*pieces.Finish()), expected);
    EXPECT_FALSE(pieces.ok());  // spent
    EXPECT_FALSE(pieces.Update("a"));
    EXPECT_EQ(pieces.Finish(), std::nullopt);
}

TEST(Sha256, MadeOnOneThreadFedAndFinishedOnAnother) {
    Sha256 hash;
    Sha256 moved = std::move(hash);
    EXPECT_FALSE(hash.ok());
    std::optional<Sha256Digest> digest;
    std::thread worker([&] {
        for (int i = 0; i < 1000; ++i) moved.Update(std::string(1000, 'a'));
        digest = moved.Finish();
    });
    worker.join();
    ASSERT_TRUE(digest);
    EXPECT_EQ(Hex(*digest), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, DigestMatchesComparesEveryByte) {
    const Sha256Digest a = *Sha256Of("abc");
    EXPECT_TRUE(DigestMatches(a, a));
    for (std::size_t i : {std::size_t{0}, std::size_t{17}, std::size_t{31}}) {
        Sha256Digest b = a;
        b[i] ^= 1;
        EXPECT_FALSE(DigestMatches(a, b)) << i;
    }
    // Field 7 as written by another tool, in upper case, names the same digest.
    std::string field = DigestField(a);
    for (char& c : field) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    field.replace(0, kDigestPrefix.size(), kDigestPrefix);
    EXPECT_TRUE(DigestMatches(*ParseDigestField(field), a));
    EXPECT_TRUE(DigestMatches(field, a));
    EXPECT_TRUE(DigestMatches(DigestField(a), a));
    EXPECT_FALSE(DigestMatches(DigestField(*Sha256Of("abd")), a));
    EXPECT_FALSE(DigestMatches(field.substr(1), a));
    EXPECT_FALSE(DigestMatches(std::string_view(), a));
}

}  // namespace
}  // namespace orv::trust
