// The maker's publishing fields: what a save does with them, the tags it keeps, and the
// signature state shown for a file signed with real keys.
#include <gtest/gtest.h>

#include "maker/publishing.h"
#include "tools/orvinfo/crypto.h"

namespace orv::maker {
namespace {

constexpr char kSix[] = "Editor|2.1.0.|07/04/2003|Fixes.|edsetup.exe|524288";
constexpr int64_t kNow = 1800000000;  // 2027-01-15

// kSix signed by a fresh key with an expiry and these tags; the key's public line in `line`.
std::string SignedWith(const orvinfo::TagList& tags, std::string* line = nullptr) {
    std::string pem, publicLine, plain = kSix;
    EXPECT_FALSE(orvinfo::crypto::GenerateKey(pem, publicLine));
    EXPECT_FALSE(orvinfo::AppendSignedFields(plain, Sha256Digest{}, &pem, 4102444800, tags));
    if (line) *line = publicLine;
    return plain;
}

TEST(Publishing, SaveKindFollowsTheKeyTheOpenedFileAndWhatChanged) {
    const OpenedExtras six = ReadExtras(kSix), junk = ReadExtras(std::string(kSix) + "|x|y");
    const OpenedExtras digest = ReadExtras(std::string(kSix) + "|sha256:" + std::string(64, 'a'));
    PublishFields digestOnly, expiry;
    digestOnly.Digest = std::string(64, 'a');
    expiry.Expires = "30d";
    const std::string edited = "Editor|2.1.0.|07/04/2003|More.|edsetup.exe|524288";
    struct {
        std::string six;
        PublishFields fields;
        bool key;
        const OpenedExtras* opened;
        SaveKind kind;
    } cases[] = {
        {kSix, {}, false, nullptr, SaveKind::SixFields},
        {kSix, {}, false, &six, SaveKind::SixFields},
        {kSix, {}, false, &junk, SaveKind::SixFields},  // pieces that are no digest
        {kSix, digestOnly, false, nullptr, SaveKind::DigestOnly},
        {kSix, expiry, false, &six, SaveKind::NeedsKey},
        {kSix, {}, true, &six, SaveKind::Signed},
        {kSix, digest.Fields, false, &digest, SaveKind::Unchanged},
        {edited, digest.Fields, false, &digest, SaveKind::AskThenSixFields},
        {kSix, {}, false, &digest, SaveKind::AskThenSixFields},  // digest cleared
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecideSave(c.six, c.fields, c.key, c.opened), c.kind) << c.six << c.key;
    }
}

TEST(Publishing, TagsKeepWhatTheDialogDoesNotShowInTheirOrder) {
    const OpenedExtras e = ReadExtras(SignedWith(
        {{"beta", "yes"}, {"rollout", "10"}, {"notes", "SGk="}, {"args", "LS1xdWlldA=="}}));
    EXPECT_EQ(e.Fields.Rollout, "10");
    EXPECT_EQ(e.Fields.Arguments, "--quiet");
    PublishFields f = e.Fields;
    f.Rollout.clear();
    f.Urls = "https://m.example/";
    f.Critical = true;
    EXPECT_EQ(TagsToWrite(f, e.Tags), (orvinfo::TagList{{"beta", "yes"},
                                                        {"notes", "SGk="},
                                                        {"args", "LS1xdWlldA=="},
                                                        {"urls", "https://m.example/"},
                                                        {"critical", ""}}));
}

TEST(Publishing, SignatureStateNamesTheKeyAndTellsABrokenFile) {
    std::string line, otherLine;
    const std::string plain = SignedWith({{"rollout", "50"}}, &line);
    SignedWith({}, &otherLine);
    const PublicKey mine{"pub.pub", line}, theirs{"other.pub", otherLine};
    EXPECT_EQ(SignatureState(plain, {theirs, mine}, kNow),
              "Signed, valid: key pub.pub (fingerprint " + *orvinfo::KeyFingerprint(line) +
                  "). It expires at 2100-01-01T00:00:00Z.");
    const auto changed = [&](const char* from, const char* to) {
        std::string s = plain;
        return s.replace(s.find(from), std::string_view(from).size(), to);
    };
    EXPECT_TRUE(SignatureState(changed("Fixes.", "Fixed."), {mine}, kNow)
                    .starts_with("Broken: the signature does not verify with pub.pub"));
    EXPECT_TRUE(SignatureState(changed("rollout:50", "rollout:90"), {mine}, kNow)
                    .starts_with("Broken: the signature of the release policy"));
    EXPECT_TRUE(SignatureState(plain, {}, kNow).starts_with("Signed; not checked"));
    EXPECT_EQ(PublicKeyPathFor("C:\\keys.d\\pub.key"), "C:\\keys.d\\pub.pub");
}

}  // namespace
}  // namespace orv::maker
