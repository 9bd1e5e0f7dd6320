// The maker's publishing fields: what an opened file brought after its six fields, what the
// publishing dialog shows, how a save treats them (unchanged, six fields, digest, signed), the
// signed text itself (through orvinfo's writer, so both write the same bytes) and the
// signature state shown for a file. Portable: no <windows.h>. Texts are bytes of the file's
// code page (Windows-1252), as the maker's boxes hold them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/updateinfo/signed_fields.h"
#include "tools/orvinfo/publish.h"

namespace orv::maker {

// The publishing dialog's fields that the file carries, as the dialog shows them.
struct PublishFields {
    std::string Digest;   // "" or 64 hex digits (field 7)
    std::string Expires;  // "", YYYY-MM-DD, YYYY-MM-DDTHH:MM:SSZ (UTC) or Nd days from now
    std::string Urls;     // the mirrors, separated by spaces
    bool Critical = false;
    std::string CriticalBelow;  // "" = critical for every installed version
    std::string MinVersion;
    std::string Rollout;    // percent, "" = every user
    std::string Arguments;  // the installer's arguments
    bool operator==(const PublishFields&) const = default;
    bool Empty() const { return *this == PublishFields{}; }
};

// What an opened file holds beyond its six fields.
struct OpenedExtras {
    std::string Plain;         // the whole plain text as opened
    std::string Six;           // fields 1-6 as opened
    bool HasOptional = false;  // a package digest (field 7) and whatever follows it
    PublishFields Fields;      // the publishing fields as the file holds them
    orvinfo::TagList Tags;     // every tagged field, unknown ones and the notes too, in order
};

OpenedExtras ReadExtras(std::string_view plain);

// The publishing dialog's checks: a digest of 64 hex digits, an expiry of its form in the
// future, and the tagged fields as readers read them. The first refusal, or nothing.
struct FieldRefusal {
    std::string Message;
    int Field;  // 0 digest, 1 expiry, 2 policy
};
std::optional<FieldRefusal> CheckPublishFields(const PublishFields& fields, int64_t now);

// How a save writes the file.
enum class SaveKind {
    SixFields,         // a file without optional fields, as the maker always wrote it
    Unchanged,         // the opened text as it stands: nothing signed was changed
    DigestOnly,        // six fields and the package digest, no signature
    Signed,            // signed with the chosen key
    AskThenSixFields,  // signed fields changed without a key: ask, then six fields
    NeedsKey,          // an expiry or a release policy without a key: refused
};

// `six` is the form's plain text; `hasKey` whether a private key file is chosen; `opened` the
// extras of the opened file (none for a new file).
SaveKind DecideSave(std::string_view six, const PublishFields& fields, bool hasKey,
                    const OpenedExtras* opened);

inline constexpr std::string_view kNeedsKeyMessage =
    "The expiry and the release policy are signed: choose a private key file under "
    "File > Publishing, or leave them empty.";
inline constexpr std::string_view kDropSignatureQuestion =
    "The signed fields of this update file were changed and no private key is chosen, so its "
    "signature would no longer verify.\r\n\r\nSave the six fields without the digest, the "
    "signature, the expiry and the release policy?";
inline constexpr std::string_view kSignedFileNotice =
    "This update file carries fields after the six (a package digest, a signature, an expiry "
    "or a release policy). Saving keeps them while nothing signed changes; choose a private "
    "key under Publishing to sign it again.";
inline constexpr std::string_view kNeedsDigestMessage =
    "Signing needs the package digest: choose the package with \"...\" or under "
    "File > Publishing.";

// The tagged fields a signed save writes: the opened file's, with the dialog's values in
// place of the known ones it shows (an empty value removes its field); new ones in orvinfo's
// order. `arguments` is converted to UTF-8 and Base64 as orvinfo writes it.
orvinfo::TagList TagsToWrite(const PublishFields& fields, const orvinfo::TagList& kept);

// The signed plain text: `six` with the digest, the signature, the expiry and the tags, signed
// with `privatePem`; or the signer's reason.
std::optional<std::string> SignedText(std::string_view six, const PublishFields& fields,
                                      const Sha256Digest& digest, const std::string& privatePem,
                                      const orvinfo::TagList& kept, int64_t now,
                                      std::string& plain);

// A digest typed as 64 hex digits (either case, with or without "sha256:").
std::optional<Sha256Digest> ParseDigestText(std::string_view text);

// The public key files a file may be checked with: a name for people and the key line.
struct PublicKey {
    std::string Name;
    std::string Line;
};

// The signature state of a plain text for people: not signed, valid (by which key, with its
// fingerprint; the expiry), broken (which signature does not verify or is malformed), or not
// checked (no public key at hand).
std::string SignatureState(std::string_view plain, const std::vector<PublicKey>& keys, int64_t now);

// The public key file beside a private key file: NAME.pub for NAME.key (or NAME.key.pub).
std::string PublicKeyPathFor(std::string_view privateKeyPath);

// Overwrites a text before it is freed (a private key read for one save).
void Wipe(std::string& secret);

}  // namespace orv::maker
