#include "control/transfer/transfer.h"

#include <climits>

#include "common/win/system.h"
#include "control/http/http_text.h"
#include "control/net/socket_error_text.h"
#include "control/trust/trust.h"
#include "control/trust/trust_error_text.h"

namespace orv::transfer {
namespace {

int32_t Ticks() {
    return static_cast<int32_t>(GetTickCount());
}

// The folder part of a full path, with its trailing backslash.
std::string FolderOf(const std::string& path) {
    const std::size_t cut = path.find_last_of('\\');
    return cut == std::string::npos ? std::string(".\\") : path.substr(0, cut + 1);
}

}  // namespace

Transfer::Transfer(Plan plan, ISocketSeam& socket, ITransferOwner& owner, ITransferEvents& events)
    : plan_(std::move(plan)), socket_(socket), owner_(owner), events_(events) {}

Transfer::~Transfer() {
    DiscardTemp();
}

DWORD Transfer::PrepareFiles() {
    unique_file probe(CreateFileA(plan_.target.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!probe) return GetLastError();
    probe.reset();
    char temp[MAX_PATH] = {};
    if (!GetTempFileNameA(FolderOf(plan_.target).c_str(), "orv", 0, temp)) return GetLastError();
    // GetTempFileNameA has just created the file empty. Opening it again without truncating
    // matters on Linux file systems that allocate late (ext4): a file truncated at open is
    // flushed whole when it is closed, which would add a synchronous write of the package to
    // the end of every download.
    unique_file file(
        CreateFileA(temp, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD err = GetLastError();
        DeleteFileA(temp);
        return err;
    }
    temp_ = std::move(file);
    tempPath_ = temp;
    if (plan_.digest.state != FieldState::Absent) {
        try {
            hasher_ = std::make_unique<PackageHasher>();
        } catch (const std::exception&) {
            DiscardTemp();
            return ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    return 0;
}

void Transfer::Start() {
    // The first piece's rate includes setting up the connection.
    lastTick_ = Ticks();
    connected_ = true;
    socket_.Connect(plan_.connectHost, plan_.connectPort);
}

void Transfer::Cancel() {
    End(Outcome::Cancelled);
}

void Transfer::End(Outcome) {
    if (ended_) return;
    ended_ = true;
    if (connected_) {
        connected_ = false;
        socket_.Disconnect();
    }
    DiscardTemp();
    owner_.ReportEnded(*this);
}

void Transfer::Fail(int32_t code, const std::string& text) {
    End(Outcome::Failed);
    events_.ReportConnectionError(code, text);
}

void Transfer::FailSocket(int32_t code) {
    Fail(code, socket_.ErrorText(code));
}

void Transfer::DiscardTemp() {
    hasher_.reset();
    temp_.reset();
    if (!tempPath_.empty()) {
        DeleteFileA(tempPath_.c_str());
        tempPath_.clear();
    }
}

void Transfer::OnConnect() {
    if (ended_) return;
    response_.clear();
    socket_.Send(plan_.request);
}

void Transfer::OnReceive(const std::string& data) {
    if (ended_) return;
    if (plan_.kind == Kind::Download) {
        ReceivePackageData(data);
        return;
    }
    if (response_.size() + data.size() > kMaxCheckResponse) {
        FailSocket(kMessageTooLong);
        return;
    }
    response_ += data;
}

void Transfer::OnDisconnect() {
    if (ended_) return;
    // The socket layer has closed the connection already.
    connected_ = false;
    if (plan_.kind == Kind::Check) {
        FinishCheck();
    } else {
        FinishDownload();
    }
}

void Transfer::OnError(int32_t code) {
    if (ended_) return;
    FailSocket(code);
}

bool Transfer::Cut(std::optional<int64_t> declared, int64_t received) const {
    // A declared length tells; without one, only a seam that confirms the server's own end
    // of the stream does (a plain connection's close is taken as the end, as it must be).
    if (declared) return received < *declared;
    return !socket_.EndConfirmed();
}

void Transfer::FinishCheck() {
    const http::ResponseParts parts = http::SplitResponse(response_);
    const std::optional<int32_t> status = http::StatusNumber(parts.header);
    const std::optional<int64_t> declared = http::ContentLength(parts.header);
    if (status && *status == 200 &&
        Cut(declared, parts.body ? static_cast<int64_t>(parts.body->size()) : 0)) {
        // A cut response is a failed connection, not a record made of what arrived.
        FailSocket(kConnectionReset);
        return;
    }
    if (status) {
        events_.ReportHttpStatus(*status);
        if (ended_) return;  // a handler cancelled, and may have started another transfer
        if (*status == 200) {
            // A body longer than the format allows is not decoded: its fields stay empty.
            std::string plain;
            if (parts.body && parts.body->size() <= kMaxInfoTextLength)
                plain = ScrambleText(*parts.body, kInformationKey);
            if (const int32_t refusal = SignatureRefusal(plain)) {
                // Information the publisher did not sign is not handed out at all.
                Fail(refusal, trust::TrustErrorText(refusal));
                return;
            }
            UpdateInfo fields;
            SplitControlFields(plain, fields);
            const SignedFields signedFields = ReadSignedFields(plain);
            PackageDigest digest;
            digest.state = signedFields.Digest;
            digest.bytes = signedFields.DigestBytes;
            owner_.ReportInfo(fields, digest);
            if (ended_) return;
            End(Outcome::Completed);
            events_.ReportInfoReceived();
            return;
        }
    }
    End(Outcome::Completed);
}

int32_t Transfer::SignatureRefusal(std::string_view plain) const {
    if (plan_.publisherKey.empty()) return 0;
    constexpr auto kNotSigned = static_cast<int32_t>(trust::TrustError::kNotSigned);
    // A key list loaded from a saved form is taken as it was saved; one that is unusable can
    // accept no signature.
    const trust::KeyListResult keys = trust::ParseKeyList(plan_.publisherKey);
    if (!keys.Ok || keys.Keys.empty()) return kNotSigned;
    switch (trust::VerifyInfo(keys.Keys, plain).verdict) {
        case trust::Verdict::Valid: return 0;
        case trust::Verdict::CannotVerify:
            return static_cast<int32_t>(trust::TrustError::kCannotVerify);
        case trust::Verdict::NotSigned:
        case trust::Verdict::BadSignature: break;
    }
    return kNotSigned;
}

bool Transfer::PackageMatchesDigest(int32_t& refusal) {
    refusal = static_cast<int32_t>(trust::TrustError::kDigestMismatch);
    const std::optional<Sha256Digest> actual = hasher_ ? hasher_->Finish() : std::nullopt;
    hasher_.reset();
    if (!actual) {
        refusal = static_cast<int32_t>(trust::TrustError::kCannotVerify);
        return false;
    }
    return plan_.digest.state == FieldState::Valid &&
           trust::DigestMatches(plan_.digest.bytes, *actual);
}

void Transfer::ReceivePackageData(std::string_view piece) {
    std::string firstBody;
    if (!headerSeen_) {
        // The cap counts the header itself, whatever the pieces it arrives in: the text
        // before CR LF CR LF, of which the last three characters may still be waiting for
        // the rest of the header end.
        const std::size_t held = response_.size() + piece.size();
        http::HeaderDetection d = http::DetectHeader(response_, piece);
        if (!d.found) {
            if (response_.size() > kMaxPackageHeader + 3) FailSocket(kMessageTooLong);
            return;
        }
        if (held - d.firstBody.size() - 4 > kMaxPackageHeader) {
            FailSocket(kMessageTooLong);
            return;
        }
        headerSeen_ = true;
        if (d.status) packageStatus_ = *d.status;
        declaredLength_ = d.contentLength;
        events_.ReportHttpStatus(packageStatus_);
        if (ended_) return;  // the handler cancelled
        firstBody = std::move(d.firstBody);
        piece = firstBody;
    }
    if (packageStatus_ != 200 || piece.empty()) return;

    const int32_t length =
        piece.size() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(piece.size());
    bodyReceived_ += static_cast<int64_t>(piece.size());
    if (auto total = http::CheckedAdd(totalReceived_, length)) totalReceived_ = *total;
    if (auto percent = http::PercentDone(totalReceived_, plan_.packageSize))
        percentDone_ = *percent;
    if (!fileStarted_) {
        // The old file goes at the first package data; the new one appears complete at the end.
        // A package with a digest leaves the old file until the verified one replaces it.
        if (plan_.digest.state == FieldState::Absent) DeleteFileA(plan_.target.c_str());
        fileStarted_ = true;
    }
    DWORD written = 0;
    if (!WriteFile(temp_.get(), piece.data(), static_cast<DWORD>(piece.size()), &written,
                   nullptr) ||
        written != piece.size()) {
        const DWORD err = GetLastError() ? GetLastError() : ERROR_DISK_FULL;
        Fail(static_cast<int32_t>(err), win::SystemErrorText(err));
        return;
    }
    if (hasher_) hasher_->Add(std::string(piece));
    const int32_t now = Ticks();
    if (auto rate = http::TransferRate(length, now, lastTick_)) lastRate_ = *rate;
    lastTick_ = now;
    events_.ReportProgress(length, totalReceived_, percentDone_, lastRate_);
}

void Transfer::FinishDownload() {
    bool received = fileStarted_;
    temp_.reset();
    if (packageStatus_ == 200 && Cut(declaredLength_, bodyReceived_)) {
        // The connection was cut: a short package is never passed off as complete.
        FailSocket(kConnectionReset);
        return;
    }
    if (packageStatus_ == 200 && plan_.digest.state != FieldState::Absent) {
        // Only the package the record names may replace the target: compared before the move.
        int32_t refusal = 0;
        if (!PackageMatchesDigest(refusal)) {
            Fail(refusal, trust::TrustErrorText(refusal));
            return;
        }
        received = true;  // an empty package that matches replaces the target as well
    }
    if (received) {
        // The complete body replaces the target in one step.
        if (!MoveFileExA(tempPath_.c_str(), plan_.target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
            const DWORD err = GetLastError();
            Fail(static_cast<int32_t>(err), win::SystemErrorText(err));
            return;
        }
        tempPath_.clear();
    }
    DiscardTemp();
    if (packageStatus_ == 200) {
        // The control is still receiving while the host hears of it; a handler that cancels
        // and starts the next transfer ends this one, and the new one stands.
        events_.ReportUpdateReceived();
        if (ended_) return;
    }
    End(Outcome::Completed);
}

}  // namespace orv::transfer
