// The maker's publishing fields: what a save does with them, the tags it writes, the
// dialog's checks and the signature state shown for a file (signed with real keys).
#include <gtest/gtest.h>

#include "common/updateinfo/updateinfo.h"
#include "maker/publishing.h"
#include "tools/orvinfo/crypto.h"

namespace orv::maker {
namespace {

constexpr char kSix[] = "Editor|2.1.0.|07/04/2003|Fixes.|edsetup.exe|524288";
constexpr int64_t kNow = 1800000000;  // 2027-01-15

PublishFields WithDigest() {
    PublishFields f;
    f.Digest = std::string(64, 'a');
    return f;
}

// One field set: `member` of a PublishFields to `value`.
PublishFields With(std::string PublishFields::*member, std::string value) {
    PublishFields f;
    f.*member = std::move(value);
    return f;
}

// A file signed by a fresh key with these tags and an expiry.
std::string SignedWith(const orvinfo::TagList& tags) {
    std::string pem, line;
    EXPECT_FALSE(orvinfo::crypto::GenerateKey(pem, line));
    std::string plain = kSix;
    EXPECT_FALSE(orvinfo::AppendSignedFields(plain, Sha256Digest{}, &pem, 4102444800, tags));
    return plain;
}

TEST(Publishing, SaveKindFollowsTheKeyTheOpenedFileAndWhatChanged) {
    const OpenedExtras plain = ReadExtras(kSix);
    const OpenedExtras tagged = ReadExtras(std::string(kSix) + "|sha256:" + std::string(64, 'a'));
    PublishFields expiry;
    expiry.Expires = "30d";
    struct Case {
        const char* what;
        std::string six;
        PublishFields fields;
        bool key;
        const OpenedExtras* opened;
        SaveKind kind;
    } cases[] = {
        {"new, nothing", kSix, {}, false, nullptr, SaveKind::SixFields},
        {"six-field file", kSix, {}, false, &plain, SaveKind::SixFields},
        {"a digest alone", kSix, WithDigest(), false, nullptr, SaveKind::DigestOnly},
        {"an expiry without a key", kSix, expiry, false, &plain, SaveKind::NeedsKey},
        {"any key signs", kSix, {}, true, &plain, SaveKind::Signed},
        {"opened, unchanged", kSix, tagged.Fields, false, &tagged, SaveKind::Unchanged},
        {"opened, comments edited", "Editor|2.1.0.|07/04/2003|More.|edsetup.exe|524288",
         tagged.Fields, false, &tagged, SaveKind::AskThenSixFields},
        {"opened, digest cleared", kSix, {}, false, &tagged, SaveKind::AskThenSixFields},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DecideSave(c.six, c.fields, c.key, c.opened), c.kind) << c.what;
    }
}

TEST(Publishing, TagsKeepWhatTheDialogDoesNotShowInTheirOrder) {
    const OpenedExtras e = ReadExtras(SignedWith(
        {{"beta", "yes"}, {"rollout", "10"}, {"notes", "SGk="}, {"args", "LS1xdWlldA=="}}));
    EXPECT_EQ(e.Fields.Rollout, "10");
    EXPECT_EQ(e.Fields.Arguments, "--quiet");
    PublishFields f = e.Fields;
    f.Rollout.clear();              // removed
    f.Urls = "https://m.example/";  // added at the end
    f.Critical = true;
    const orvinfo::TagList tags = TagsToWrite(f, e.Tags);
    EXPECT_EQ(tags, (orvinfo::TagList{{"beta", "yes"},
                                      {"notes", "SGk="},
                                      {"args", "LS1xdWlldA=="},
                                      {"urls", "https://m.example/"},
                                      {"critical", ""}}));
}

TEST(Publishing, DialogRefusesWhatReadersWouldNotTake) {
    const std::pair<PublishFields, int> refused[] = {
        {With(&PublishFields::Digest, "abc"), 0},
        {With(&PublishFields::Expires, "tomorrow"), 1},
        {With(&PublishFields::Expires, "2020-01-01"), 1},
        {With(&PublishFields::Urls, "ftp://m.example/"), 2},
        {With(&PublishFields::MinVersion, "2.x"), 2},
        {With(&PublishFields::Rollout, "0"), 2},
    };
    for (const auto& [fields, field] : refused) {
        const auto refusal = CheckPublishFields(fields, kNow);
        ASSERT_TRUE(refusal);
        EXPECT_EQ(refusal->Field, field) << refusal->Message;
    }
    PublishFields good = With(&PublishFields::Digest, "sha256:" + std::string(64, 'F'));
    good.Expires = "2099-01-31";
    good.Rollout = "100";
    EXPECT_FALSE(CheckPublishFields(good, kNow));
}

TEST(Publishing, SignatureStateNamesTheKeyAndTellsABrokenFile) {
    std::string pem, line, other, otherLine;
    ASSERT_FALSE(orvinfo::crypto::GenerateKey(pem, line));
    ASSERT_FALSE(orvinfo::crypto::GenerateKey(other, otherLine));
    PublishFields f;
    f.Expires = "2099-01-31";
    f.Rollout = "50";
    std::string plain;
    ASSERT_FALSE(SignedText(kSix, f, Sha256Digest{}, pem, {}, kNow, plain));
    const std::string fingerprint = *orvinfo::KeyFingerprint(line);
    EXPECT_EQ(fingerprint.size(), 19u);
    const PublicKey mine{"pub.pub", line}, theirs{"other.pub", otherLine};
    EXPECT_EQ(SignatureState(plain, {theirs, mine}, kNow),
              "Signed, valid: key pub.pub (fingerprint " + fingerprint +
                  "). It expires at 2099-01-31T00:00:00Z.");
    std::string edited = plain;
    edited.replace(edited.find("Fixes."), 6, "Fixed.");
    EXPECT_TRUE(SignatureState(edited, {mine}, kNow)
                    .starts_with("Broken: the signature does not "
                                 "verify with pub.pub"));
    std::string policy = plain;
    policy.replace(policy.find("rollout:50"), 10, "rollout:90");
    EXPECT_TRUE(SignatureState(policy, {mine}, kNow)
                    .starts_with("Broken: the signature of the "
                                 "release policy"));
    EXPECT_TRUE(SignatureState(plain, {}, kNow).starts_with("Signed; not checked"));
    EXPECT_EQ(SignatureState(kSix, {mine}, kNow), "Not signed.");
    // The key is wiped after use.
    Wipe(pem);
    EXPECT_TRUE(pem.empty());
}

TEST(Publishing, PublicKeyBesideThePrivateKey) {
    EXPECT_EQ(PublicKeyPathFor("C:\\keys\\pub.key"), "C:\\keys\\pub.pub");
    EXPECT_EQ(PublicKeyPathFor("C:\\keys.d\\signing.pem"), "C:\\keys.d\\signing.pem.pub");
    EXPECT_EQ(PublicKeyPathFor("C:\\keys.key\\signing"), "C:\\keys.key\\signing.pub");
}

}  // namespace
}  // namespace orv::maker
