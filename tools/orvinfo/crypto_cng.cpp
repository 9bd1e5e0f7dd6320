// orvinfo's cryptography in the Windows build: the system's CNG and crypt32 through the
// control's own checks (control/trust), so orvinfo.exe verifies exactly as the control does.
// Keys and signatures are made with the Linux build.
#include "control/trust/trust.h"
#include "tools/orvinfo/crypto.h"
#include "tools/orvinfo/file_io.h"

namespace orv::orvinfo::crypto {

namespace {
const std::string kNoSigning = "the Windows build of orvinfo does not make keys or signatures";
}  // namespace

bool CanSign() {
    return false;
}

std::optional<std::string> Sha256OfFile(const std::filesystem::path& path, Sha256Digest& digest) {
    trust::Sha256 hash;
    if (!hash.ok()) return std::string("SHA-256 is not available here");
    if (auto reason = files::ReadInPieces(
            path, 1 << 20, [&](std::string_view piece) { return hash.Update(piece); })) {
        return reason;
    }
    const std::optional<Sha256Digest> result = hash.Finish();
    if (!result) return std::string("SHA-256 failed");
    digest = *result;
    return std::nullopt;
}

std::optional<std::string> GenerateKey(std::string&, std::string&) {
    return kNoSigning;
}

std::optional<std::string> Sign(std::string_view, std::string_view, P256Signature&) {
    return kNoSigning;
}

std::optional<std::string> PublicKeyOf(std::string_view, std::string&) {
    return kNoSigning;
}

Verification Verify(std::string_view keyList, std::string_view message,
                    const P256Signature& signature) {
    Verification v;
    trust::KeyListResult keys = trust::ParseKeyList(keyList);
    if (!keys.Ok || keys.Keys.empty()) {
        v.verdict = Verdict::BadKey;
        v.reason = keys.Ok ? "the key text holds no key" : keys.Error;
        return v;
    }
    const trust::Verification t = trust::VerifySignature(keys.Keys, message, signature);
    switch (t.verdict) {
        case trust::Verdict::Valid: v.verdict = Verdict::Valid; break;
        case trust::Verdict::CannotVerify: v.verdict = Verdict::CannotVerify; break;
        default: v.verdict = Verdict::BadSignature; break;
    }
    v.keyIndex = t.keyIndex;
    v.reason = t.reason;
    return v;
}

}  // namespace orv::orvinfo::crypto
