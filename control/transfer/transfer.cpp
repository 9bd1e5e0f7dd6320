#include "control/transfer/transfer.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

#include "common/win/system.h"
#include "control/http/http_text.h"
#include "control/net/socket_error_text.h"
#include "control/net/tls_error_text.h"
#include "control/trust/authenticode.h"
#include "control/trust/trust.h"
#include "control/trust/trust_error_text.h"

namespace orv::transfer {
namespace {

// The body file is opened for no one else, and with the right to rename it: from its
// creation until it replaces the target nobody but the transfer can touch it.
constexpr DWORD kBodyAccess = GENERIC_READ | GENERIC_WRITE | DELETE;

int32_t Ticks() {
    return static_cast<int32_t>(GetTickCount());
}

// The folder part of a full path, with its trailing backslash.
std::string FolderOf(const std::string& path) {
    const std::size_t cut = path.find_last_of('\\');
    return cut == std::string::npos ? std::string(".\\") : path.substr(0, cut + 1);
}

// Tells the signer checks of all transfers apart: a late outcome never reaches a newer check.
WPARAM lastSignerCookie = 0;

// A package whose size differs from the record's, when the record carries a digest: the
// digest's outcome, with a text of its own.
constexpr auto kSizeMismatch = static_cast<int32_t>(trust::TrustError::kDigestMismatch);

// Server errors that another attempt may not meet.
bool PassingStatus(int32_t status) {
    return status == 500 || status == 502 || status == 503 || status == 504;
}

// Statuses after which a download moves on to the package's next place: the file is not
// there, or the server fails. Any other status is the server's answer to this client (401 and
// 403 among them) and ends the download.
bool PlaceFailedStatus(int32_t status) {
    return status == 404 || (status >= 500 && status <= 599);
}

std::string HexOf(const PackageDigest& d) {
    if (d.state != FieldState::Valid) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s;
    for (const uint8_t b : d.bytes) {
        s += kHex[b >> 4];
        s += kHex[b & 15];
    }
    return s;
}

// The lines "key value" of a part's identity file.
std::map<std::string, std::string> ReadIdentity(const std::string& path) {
    std::map<std::string, std::string> lines;
    unique_file f(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return lines;
    char buffer[8192];
    DWORD n = 0;
    if (!ReadFile(f.get(), buffer, sizeof buffer, &n, nullptr)) return lines;
    std::string_view text(buffer, n);
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        const std::size_t space = line.find(' ');
        if (space != std::string_view::npos)
            lines[std::string(line.substr(0, space))] = std::string(line.substr(space + 1));
    }
    return lines;
}

std::string IdentityPath(const std::string& target) {
    return PartPath(target) + ".id";
}

std::string Seconds(uint32_t ms) {
    return std::to_string(ms / 1000) + (ms % 1000 ? "." + std::to_string(ms % 1000 / 100) : "") +
           " s";
}

const char* VerdictText(trust::Verdict v) {
    switch (v) {
        case trust::Verdict::Valid: return "valid";
        case trust::Verdict::NotSigned: return "not signed";
        case trust::Verdict::BadSignature: return "bad signature";
        case trust::Verdict::CannotVerify: return "cannot verify";
        case trust::Verdict::Expired: return "expired";
    }
    return "?";
}

}  // namespace

uint32_t BackOff(int n) {
    return n >= 5 ? 30000u : std::min(30000u, 1000u << n);
}

std::string PartPath(const std::string& target) {
    return target + ".orvpart";
}

void DiscardPart(const std::string& target) {
    DeleteFileA(PartPath(target).c_str());
    DeleteFileA(IdentityPath(target).c_str());
}

Transfer::Transfer(Plan plan, ISocketSeam& socket, ITransferThread& thread, ITransferOwner& owner,
                   ITransferEvents& events)
    : plan_(std::move(plan)),
      retriesLeft_(plan_.kind == Kind::Download ? plan_.retryCount : 0),
      socket_(socket),
      thread_(thread),
      owner_(owner),
      events_(events) {
    if (plan_.packageName.empty()) plan_.packageName = plan_.requestInputs.fileName;
}

void Transfer::Log(std::string_view text) const {
    log::Step(plan_.log, plan_.kind == Kind::Check ? "check" : "download", text);
}

Plan Transfer::NextHop() const {
    Plan next = plan_;
    next.redirectsLeft = plan_.redirectsLeft - 1;
    next.retryCount = retriesLeft_;
    next.connectSince = 0;
    next.startDelay = 0;
    return next;
}

Plan Transfer::NextPlace() const {
    Plan next = plan_;
    next.retryCount = 0;
    next.connectSince = 0;
    next.startDelay = 0;
    return next;
}

bool Transfer::Redirected(int32_t status, std::string_view location) {
    if (plan_.redirectsLeft <= 0 || !IsRedirectStatus(status) || location.empty()) return false;
    switch (owner_.FollowRedirect(*this, location)) {
        case RedirectVerdict::Followed: return true;
        case RedirectVerdict::Refused: {
            constexpr auto kRefused = static_cast<int32_t>(trust::TrustError::kInsecureRedirect);
            Fail(kRefused, trust::TrustErrorText(kRefused));
            return true;
        }
        case RedirectVerdict::Declined: break;
    }
    return false;
}

Transfer::~Transfer() {
    DiscardTemp();
}

DWORD Transfer::PrepareFiles() {
    unique_file probe(CreateFileA(plan_.target.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!probe) return GetLastError();
    probe.reset();
    // A kept part continues only the package it came from; any other goes.
    std::map<std::string, std::string> id = ReadIdentity(IdentityPath(plan_.target));
    const bool hadPart = !id.empty();
    const bool same = !http::HasControlCharacter(id["etag"]) && id["name"] == plan_.packageName &&
                      id["size"] == std::to_string(plan_.packageSize) &&
                      id["digest"] == HexOf(plan_.digest) && id["source"] == plan_.source &&
                      (!id["digest"].empty() || !id["etag"].empty());
    if (!same) {
        if (hadPart) log::Step(plan_.log, "file", "kept part of another package removed");
        DiscardPart(plan_.target);
    } else {
        log::Step(plan_.log, "file",
                  "kept part " + PartPath(plan_.target) + " continues (ETag " +
                      (id["etag"].empty() ? "none" : id["etag"]) + ")");
        etag_ = id["etag"];
        if (!id["total"].empty()) total_ = std::strtoll(id["total"].c_str(), nullptr, 10);
    }
    if (same || plan_.digest.state == FieldState::Valid) return OpenPart();
    char temp[MAX_PATH] = {};
    if (!GetTempFileNameA(FolderOf(plan_.target).c_str(), "orv", 0, temp)) return GetLastError();
    // GetTempFileNameA has just created the file empty. Opening it again without truncating
    // matters on Linux file systems that allocate late (ext4): a file truncated at open is
    // flushed whole when it is closed, which would add a synchronous write of the package to
    // the end of every download.
    unique_file file(
        CreateFileA(temp, kBodyAccess, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD err = GetLastError();
        DeleteFileA(temp);
        return err;
    }
    temp_ = std::move(file);
    tempPath_ = temp;
    return 0;
}

DWORD Transfer::OpenPart() {
    const std::string path = PartPath(plan_.target);
    unique_file file(CreateFileA(path.c_str(), kBodyAccess, 0, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return GetLastError();
    LARGE_INTEGER size = {};
    LARGE_INTEGER end = {};
    if (!GetFileSizeEx(file.get(), &size) || !SetFilePointerEx(file.get(), end, nullptr, FILE_END))
        return GetLastError();
    DiscardTemp();
    temp_ = std::move(file);
    tempPath_ = path;
    partMode_ = true;
    kept_ = size.QuadPart;
    WriteIdentity();
    return 0;
}

void Transfer::WriteIdentity() const {
    std::string text = "name " + plan_.packageName + "\nsize " + std::to_string(plan_.packageSize) +
                       "\ndigest " + HexOf(plan_.digest) + "\netag " + etag_ + "\nsource " +
                       plan_.source + "\n";
    if (total_) text += "total " + std::to_string(*total_) + "\n";
    unique_file f(CreateFileA(IdentityPath(plan_.target).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (f) WriteFile(f.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void Transfer::TruncateBody() {
    kept_ = 0;
    bodyReceived_ = 0;
    resumed_ = false;
    hasher_.reset();
    LARGE_INTEGER zero = {};
    if (temp_) {
        SetFilePointerEx(temp_.get(), zero, nullptr, FILE_BEGIN);
        SetEndOfFile(temp_.get());
    }
}

bool Transfer::HashKeptPart() {
    // The hasher's worker reads the kept part itself, ahead of the pieces that follow it: the
    // message thread never reads it. Every read and write of the body file names its offset,
    // so the two threads never depend on the file's position.
    const HANDLE file = temp_.get();
    const int64_t length = kept_;
    auto readKept = [file, length, at = int64_t{0}](std::string& piece) mutable {
        piece.assign(static_cast<std::size_t>(std::min<int64_t>(length - at, 1 << 20)), '\0');
        if (piece.empty()) return true;
        OVERLAPPED where = {};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD n = 0;
        if (!ReadFile(file, piece.data(), static_cast<DWORD>(piece.size()), &n, &where) ||
            n != piece.size())
            return false;
        at += n;
        return true;
    };
    try {
        hasher_ = std::make_unique<PackageHasher>(std::move(readKept));
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

void Transfer::Start() {
    if (plan_.startDelay == 0) {
        BeginAttempt();
        return;
    }
    // A new round over the package's places waits first; its connect time starts after.
    plan_.connectSince = 0;
    thread_.SetTimer(kRetryTimer, plan_.startDelay);
}

void Transfer::BeginAttempt() {
    response_.clear();
    headerSeen_ = false;
    packageStatus_ = 0;
    declaredLength_.reset();
    wrongSize_.reset();
    bodyReceived_ = 0;
    resumed_ = false;
    // The first piece's rate includes setting up the connection.
    lastTick_ = Ticks();
    connected_ = true;
    connecting_ = true;
    Log("connect to " + plan_.connectHost + ":" +
        std::to_string(static_cast<uint16_t>(plan_.connectPort)) +
        (plan_.connectTimeout > 0
             ? " (ConnectTimeout " + std::to_string(plan_.connectTimeout) + " s)"
             : " (no ConnectTimeout)"));
    // The first attempt's time may have begun before it (the choice of a proxy).
    ArmDeadline(plan_.connectTimeout, std::exchange(plan_.connectSince, 0u));
    inConnect_ = true;
    socket_.Connect(plan_.connectHost, plan_.connectPort);
    inConnect_ = false;
}

void Transfer::ArmDeadline(int32_t seconds, uint32_t since) {
    lastActivity_ = since != 0 ? static_cast<int32_t>(since) : Ticks();
    deadlineMs_ = seconds > 0 ? static_cast<uint32_t>(seconds) * 1000u : 0;
    const auto spent = static_cast<uint32_t>(Ticks() - lastActivity_);
    if (deadlineMs_ == 0) {
        thread_.KillTimer(kDeadlineTimer);
    } else {
        // At least a tick: a deadline already passed fires at the next message.
        thread_.SetTimer(kDeadlineTimer, spent < deadlineMs_ ? deadlineMs_ - spent : 1);
    }
}

template <class F>
void Transfer::Reporting(F&& report) {
    ++reporting_;
    report();
    --reporting_;
    lastActivity_ = Ticks();
}

void Transfer::OnTimer(int id) {
    if (ended_) return;
    if (id == kRetryTimer) {
        thread_.KillTimer(kRetryTimer);
        if (!connected_) BeginAttempt();
        return;
    }
    if (id != kDeadlineTimer || deadlineMs_ == 0) return;
    // A handler inside a report holds the host, not the server: its time does not count.
    if (reporting_ > 0) return;
    const auto idle = static_cast<uint32_t>(Ticks() - lastActivity_);
    if (idle < deadlineMs_) {
        thread_.SetTimer(kDeadlineTimer, deadlineMs_ - idle);
        return;
    }
    thread_.KillTimer(kDeadlineTimer);
    Log("time-out: " +
        (connecting_ ? "no connection within " + Seconds(deadlineMs_) + " (ConnectTimeout)"
         : plan_.kind == Kind::Check
             ? "no whole reply within " + Seconds(deadlineMs_) + " (IdleTimeout)"
             : "the server sent nothing for " + Seconds(deadlineMs_) + " (IdleTimeout)"));
    deadlineMs_ = 0;
    AttemptFailed(kTimedOut);
}

void Transfer::Cancel(bool keepPart) {
    keepOnCancel_ = keepPart;
    End(Outcome::Cancelled);
}

void Transfer::End(Outcome outcome) {
    if (ended_) return;
    ended_ = true;
    thread_.KillTimer(kDeadlineTimer);
    thread_.KillTimer(kRetryTimer);
    if (connected_) {
        connected_ = false;
        socket_.Disconnect();
    }
    // A failed or abandoned download keeps what a later one can continue; a cancelled one
    // only when the control was let go rather than told to cancel.
    const bool keep = Resumable() && kept_ + bodyReceived_ > 0 &&
                      (outcome != Outcome::Cancelled || keepOnCancel_);
    if (outcome != Outcome::Failed) Log(outcome == Outcome::Cancelled ? "cancelled" : "done");
    if (keep) {
        log::Step(plan_.log, "file",
                  "kept part " + PartPath(plan_.target) + " holds " +
                      std::to_string(kept_ + bodyReceived_) + " bytes for a later download");
    }
    // A signer check still running is abandoned: its worker removes the file once it is done
    // with it, or the file goes here and now.
    signer_.reset();
    hasher_.reset();
    temp_.reset();
    if (partMode_ && !tempPath_.empty() && !keep) DiscardPart(plan_.target);
    DiscardTemp();
    owner_.ReportEnded(*this);
}

void Transfer::Fail(int32_t code, const std::string& text) {
    Log("failed: " + std::to_string(code) + " " + text);
    End(Outcome::Failed);
    events_.ReportConnectionError(code, text);
}

void Transfer::FailSocket(int32_t code) {
    Fail(code, socket_.ErrorText(code));
}

bool Transfer::MovedOn(bool mendable) {
    return plan_.kind == Kind::Download && plan_.morePlaces && owner_.MoveOn(*this, mendable);
}

void Transfer::FailPlace(int32_t code, const std::string& text, bool mendable) {
    if (!MovedOn(mendable)) Fail(code, text);
}

void Transfer::AttemptFailed(int32_t code) {
    // A failure inside the connect call (the name did not resolve), a refusal, a cap and a
    // secure connection's failures are final: another attempt meets them again.
    const bool mendable = !inConnect_ && code != kConnectionRefused && code != kMessageTooLong &&
                          net::TlsErrorText(code) == nullptr;
    if (mendable && retriesLeft_ > 0) {
        Retry(std::to_string(code) + " " + socket_.ErrorText(code), true);
        return;
    }
    if (MovedOn(mendable)) return;
    FailSocket(code);
}

void Transfer::Retry(std::string_view why, bool keep, bool delayed) {
    if (delayed) --retriesLeft_;
    const uint32_t wait = delayed ? BackOff(attempts_) : 1;
    if (connected_) {
        connected_ = false;
        socket_.Disconnect();
    }
    thread_.KillTimer(kDeadlineTimer);
    deadlineMs_ = 0;
    if (keep && Resumable()) {
        kept_ += bodyReceived_;
        bodyReceived_ = 0;
        hasher_.reset();
        WriteIdentity();
    } else {
        TruncateBody();
        etag_.clear();
        total_.reset();
        if (partMode_) WriteIdentity();
    }
    Log("retry in " + Seconds(wait) + " (" + std::to_string(retriesLeft_) +
        " left): " + std::string(why) + "; " +
        (kept_ > 0 ? "continuing from byte " + std::to_string(kept_) : "starting from zero"));
    if (delayed) ++attempts_;
    thread_.SetTimer(kRetryTimer, wait);
}

std::string Transfer::RequestText() const {
    if (kept_ == 0) return plan_.request;
    http::RequestInputs in = plan_.requestInputs;
    in.rangeFrom = kept_;
    in.ifRange = etag_;
    return http::ComposeRequest(in);
}

void Transfer::DiscardTemp() {
    hasher_.reset();
    temp_.reset();
    if (!tempPath_.empty()) {
        if (!partMode_) DeleteFileA(tempPath_.c_str());
        tempPath_.clear();
    }
}

void Transfer::OnConnect() {
    if (ended_) return;
    response_.clear();
    connecting_ = false;
    ArmDeadline(plan_.idleTimeout);
    const std::string request = plan_.kind == Kind::Download ? RequestText() : plan_.request;
    Log("connected; request: " + log::RequestForLog(request));
    socket_.Send(request);
}

void Transfer::OnReceive(const std::string& data) {
    if (ended_) return;
    if (plan_.kind == Kind::Download) {
        // A download may take as long as it needs while bytes keep arriving.
        lastActivity_ = Ticks();
        ReceivePackageData(data);
        return;
    }
    // A check's whole reply must arrive within the idle time after the connection stood:
    // bytes trickling in do not hold it open.
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
    thread_.KillTimer(kDeadlineTimer);
    deadlineMs_ = 0;
    if (plan_.kind == Kind::Check) {
        FinishCheck();
    } else {
        FinishDownload();
    }
}

void Transfer::OnError(int32_t code) {
    if (ended_) return;
    AttemptFailed(code);
}

void Transfer::OnTunnelRefused(int32_t status) {
    if (ended_) return;
    // With other places of the package the host hears only of the last place's failure.
    if (PlaceFailedStatus(status) && MovedOn(PassingStatus(status))) return;
    Reporting([&] { events_.ReportHttpStatus(status); });
    if (ended_) return;  // the handler cancelled
    // A proxy's gateway errors are passing ones, as a server's are; a kept part stays.
    const bool passing = PassingStatus(status) && status != 500;
    if (plan_.kind == Kind::Download && passing && retriesLeft_ > 0) {
        Retry("the proxy answered " + std::to_string(status), true);
        return;
    }
    End(Outcome::Completed);
}

bool Transfer::Cut(std::optional<int64_t> declared, int64_t received) const {
    // A declared length tells; without one, only a seam that confirms the server's own end
    // of the stream does (a plain connection's close is taken as the end, as it must be).
    if (declared) return received < *declared;
    return !socket_.EndConfirmed();
}

void Transfer::FinishCheck() {
    const http::ResponseParts parts = http::SplitResponse(response_);
    if (!parts.body) {
        // The connection ended before a whole header (or before any byte): a failed
        // connection, as a cut body is, never a reply made of what arrived.
        FailSocket(kConnectionReset);
        return;
    }
    const std::optional<int32_t> status = http::StatusNumber(parts.header);
    const std::optional<int64_t> declared = http::ContentLength(parts.header);
    Log("reply: " + log::ReplyForLog(parts.header) + "; body " +
        std::to_string(parts.body->size()) + " bytes");
    if (status && *status == 200 &&
        Cut(declared, parts.body ? static_cast<int64_t>(parts.body->size()) : 0)) {
        // A cut response is a failed connection, not a record made of what arrived.
        FailSocket(kConnectionReset);
        return;
    }
    if (status && Redirected(*status, http::HeaderValue(parts.header, "location").value_or("")))
        return;
    if (!status) {
        // A header without a status number is reported as status 0, as a download reports
        // it: the check ends with an event either way.
        events_.ReportHttpStatus(0);
        if (ended_) return;
    } else {
        events_.ReportHttpStatus(*status);
        if (ended_) return;  // a handler cancelled, and may have started another transfer
        if (*status == 200) {
            // A body longer than the format allows is not decoded: its fields stay empty.
            std::string plain;
            if (parts.body && parts.body->size() <= kMaxInfoTextLength)
                plain = ScrambleText(*parts.body, kInformationKey);
            const SignedFields signedFields = ReadSignedFields(plain);
            if (const int32_t refusal = SignatureRefusal(plain)) {
                // Information the publisher did not sign is not handed out at all. A refused
                // expiry that is not there at all is told as such.
                const bool noExpiry =
                    refusal == static_cast<int32_t>(trust::TrustError::kInfoExpired) &&
                    signedFields.Expiry == FieldState::Absent;
                Fail(refusal, noExpiry ? trust::kNoExpiryText : trust::TrustErrorText(refusal));
                return;
            }
            UpdateInfo fields;
            SplitControlFields(plain, fields);
            Log("information: " + fields.Name + " " + fields.Version + ", package " +
                fields.PackageFile + " of " + std::to_string(fields.PackageSize) + " bytes" +
                (signedFields.Digest == FieldState::Valid ? ", with a digest" : ""));
            PackageDigest digest;
            digest.state = signedFields.Digest;
            digest.bytes = signedFields.DigestBytes;
            // The tagged fields count when they are of their form: with a key they were
            // verified above, without one they are read as the unsigned record is.
            const TaggedFields tagged = ReadTaggedFields(plain);
            const ReleasePolicy policy =
                tagged.State == FieldState::Valid ? ReadReleasePolicy(tagged) : ReleasePolicy{};
            // With a key, information that passed has a verified signed expiry when it has one.
            owner_.ReportInfo(
                fields, digest,
                !plan_.publisherKey.empty() && signedFields.Expiry == FieldState::Valid, policy);
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
    // Field 8 first, as a control that knows no expiry checks it; then the expiry and its
    // signature (fields 9 and 10), against the system's clock; then the tagged fields' last
    // signature, over all before it.
    // Each check is logged with its verdict and reason; the first that fails decides.
    trust::Verdict verdict = trust::Verdict::Valid;
    const auto record = [&](const char* what, const trust::Verification& v,
                            const std::string& note) {
        log::Step(plan_.log, "trust",
                  std::string(what) + ": " + VerdictText(v.verdict) +
                      (v.reason.empty() ? std::string() : ": " + v.reason) + note);
        verdict = v.verdict;
    };
    const trust::Verification info = trust::VerifyInfo(keys.Keys, plain);
    record("signature of the information", info,
           info.verdict == trust::Verdict::Valid
               ? " (key " + std::to_string(info.keyIndex + 1) + " of " +
                     std::to_string(keys.Keys.size()) + ")"
               : std::string());
    if (verdict == trust::Verdict::Valid) {
        record("expiry",
               trust::VerifyExpiry(keys.Keys, plain, trust::NowUtc(), plan_.requireExpiry),
               plan_.requireExpiry ? " (an expiry is required)" : "");
    }
    if (verdict == trust::Verdict::Valid)
        record("tagged fields", trust::VerifyTaggedFields(keys.Keys, plain), "");
    switch (verdict) {
        case trust::Verdict::Valid: return 0;
        case trust::Verdict::CannotVerify:
            return static_cast<int32_t>(trust::TrustError::kCannotVerify);
        case trust::Verdict::Expired: return static_cast<int32_t>(trust::TrustError::kInfoExpired);
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
        log::Step(plan_.log, "trust", "package digest: cannot be computed");
        return false;
    }
    const bool matches = plan_.digest.state == FieldState::Valid &&
                         trust::DigestMatches(plan_.digest.bytes, *actual);
    log::Step(
        plan_.log, "trust",
        std::string("package digest: ") + (matches ? "matches the information's digest"
                                           : plan_.digest.state == FieldState::Valid
                                               ? "differs from the information's digest"
                                               : "the information's digest field is malformed"));
    return matches;
}

bool Transfer::AcceptReply(const http::HeaderDetection& d) {
    packageStatus_ = d.status ? *d.status : 0;
    declaredLength_ = d.contentLength;
    if (kept_ > 0) {
        const auto& range = d.contentRange;
        // Only the same package continues the part: the one of the entity tag it was kept
        // for, or, kept without one, the one whose digest will check the whole.
        const bool samePackage =
            etag_.empty() ? plan_.digest.state == FieldState::Valid : d.etag == etag_;
        if (packageStatus_ == 206 && range && range->first == kept_ && range->total &&
            (!total_ || *total_ == *range->total) && samePackage) {
            // The rest of the kept part: the host sees the whole package arrive.
            packageStatus_ = 200;
            resumed_ = true;
            Log("the 206 continues the kept part from byte " + std::to_string(kept_));
            total_ = range->total;
            if (etag_.empty()) etag_ = d.etag;
        } else if (packageStatus_ == 206 || packageStatus_ == 416) {
            // Not the rest of this part: it goes, and the package starts from zero.
            Retry("the reply does not continue the kept part", false, false);
            return false;
        }
    }
    if (packageStatus_ != 200) return true;
    // A package of another size than the record's exact one is refused once its status was
    // heard, before anything of it (or of the kept part) is touched.
    wrongSize_ = DeclaredSizeRefused();
    if (wrongSize_) return true;
    // The server sent the whole package: it replaces the part.
    if (kept_ > 0 && !resumed_) TruncateBody();
    if (!resumed_) {
        total_ = declaredLength_;
        etag_ = d.etag;
        // A package the server tags can be continued: it streams into the kept part.
        if (!partMode_ && !etag_.empty() && OpenPart() != 0) etag_.clear();
    }
    if (partMode_) WriteIdentity();
    if (plan_.digest.state != FieldState::Absent && !HashKeptPart()) {
        Fail(ERROR_NOT_ENOUGH_MEMORY, win::SystemErrorText(ERROR_NOT_ENOUGH_MEMORY));
        return false;
    }
    return true;
}

std::optional<int64_t> Transfer::DeclaredSizeRefused() const {
    // Without a digest the record's size is advisory.
    if (plan_.digest.state == FieldState::Absent) return std::nullopt;
    const int64_t exact = plan_.packageSize;
    if (resumed_) {
        if (*total_ != exact) return *total_;
        if (declaredLength_ && kept_ + *declaredLength_ != exact) return kept_ + *declaredLength_;
        return std::nullopt;
    }
    if (declaredLength_ && *declaredLength_ != exact) return *declaredLength_;
    return std::nullopt;
}

std::string Transfer::SizeMismatchText(const std::string& what) const {
    // The digest's number, with a text that says what differs.
    return "Package does not match its size: " + what + " bytes, the update information " +
           std::to_string(plan_.packageSize) + ".";
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
            if (response_.size() > kMaxPackageHeader + 3)
                FailPlace(kMessageTooLong, socket_.ErrorText(kMessageTooLong));
            return;
        }
        if (held - d.firstBody.size() - 4 > kMaxPackageHeader) {
            FailPlace(kMessageTooLong, socket_.ErrorText(kMessageTooLong));
            return;
        }
        headerSeen_ = true;
        Log("reply: " + log::ReplyForLog(d));
        if (d.status && Redirected(*d.status, d.location)) return;
        if (!AcceptReply(d)) return;
        // With other places of the package, a reply this place fails with moves on before the
        // host hears of it: the host hears the status of the place that delivers, or of the
        // last one.
        if ((PlaceFailedStatus(packageStatus_) || wrongSize_) &&
            MovedOn(PassingStatus(packageStatus_)))
            return;
        Reporting([&] { events_.ReportHttpStatus(packageStatus_); });
        if (ended_) return;  // the handler cancelled
        if (PassingStatus(packageStatus_) && retriesLeft_ > 0) {
            Retry("the server answered " + std::to_string(packageStatus_), true);
            return;
        }
        if (packageStatus_ != 200) {
            // Any other status ends the download with its report: the body behind it is
            // dropped unread, so neither a slow nor an endless one keeps the control busy.
            End(Outcome::Completed);
            return;
        }
        if (wrongSize_) {
            Fail(kSizeMismatch,
                 SizeMismatchText("the server announced " + std::to_string(*wrongSize_)));
            return;
        }
        firstBody = std::move(d.firstBody);
        piece = firstBody;
    }
    if (packageStatus_ != 200 || piece.empty()) return;

    const int64_t upTo = kept_ + bodyReceived_ + static_cast<int64_t>(piece.size());
    if (plan_.digest.state != FieldState::Absent && upTo > plan_.packageSize) {
        // With a digest the record's size is exact: no byte past it is ever written.
        dropPart_ = true;
        FailPlace(kSizeMismatch, SizeMismatchText("the server sent more than " +
                                                  std::to_string(plan_.packageSize)));
        return;
    }
    if (!declaredLength_ && plan_.packageSize > 0 && upTo > plan_.packageSize) {
        // Without a declared length the record's size bounds the body.
        dropPart_ = true;
        FailPlace(kMessageTooLong, socket_.ErrorText(kMessageTooLong));
        return;
    }
    const int32_t length =
        piece.size() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(piece.size());
    bodyReceived_ += static_cast<int64_t>(piece.size());
    const int64_t whole = kept_ + bodyReceived_;
    totalReceived_ = whole > INT32_MAX ? INT32_MAX : static_cast<int32_t>(whole);
    if (auto percent = http::PercentDone(totalReceived_, plan_.packageSize))
        percentDone_ = *percent;
    DWORD written = 0;
    // At its offset: a hasher's worker may be reading the kept part before it meanwhile.
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(whole - static_cast<int64_t>(piece.size()));
    where.OffsetHigh = static_cast<DWORD>((whole - static_cast<int64_t>(piece.size())) >> 32);
    if (!WriteFile(temp_.get(), piece.data(), static_cast<DWORD>(piece.size()), &written, &where) ||
        written != piece.size()) {
        const DWORD err = GetLastError() ? GetLastError() : ERROR_DISK_FULL;
        Fail(static_cast<int32_t>(err), win::SystemErrorText(err));
        return;
    }
    if (hasher_) hasher_->Add(std::string(piece));
    const int32_t now = Ticks();
    if (auto rate = http::TransferRate(length, now, lastTick_)) lastRate_ = *rate;
    lastTick_ = now;
    if (log::ProgressDue(whole - static_cast<int64_t>(piece.size()), whole, plan_.packageSize))
        Log("progress: " + std::to_string(whole) + " of " + std::to_string(plan_.packageSize) +
            " bytes (" + std::to_string(percentDone_) + " %), " + std::to_string(lastRate_) +
            " bytes/s");
    Reporting([&] { events_.ReportProgress(length, totalReceived_, percentDone_, lastRate_); });
}

void Transfer::FinishDownload() {
    if (!headerSeen_) {
        // The connection ended before a whole header: a failed attempt, as a cut body is.
        Log("the connection ended before a whole header");
        AttemptFailed(kConnectionReset);
        return;
    }
    if (packageStatus_ == 200 && Cut(declaredLength_, bodyReceived_)) {
        // The connection was cut: a short package is never passed off as complete.
        Log("the connection ended after " + std::to_string(kept_ + bodyReceived_) + " bytes" +
            (declaredLength_ ? ", short of its length" : " without the server's close notice"));
        AttemptFailed(kConnectionReset);
        return;
    }
    bool received = kept_ + bodyReceived_ > 0;
    if (packageStatus_ == 200 && plan_.digest.state != FieldState::Absent) {
        // Only the package the record names may replace the target: compared before the move.
        int32_t refusal = 0;
        if (!PackageMatchesDigest(refusal)) {
            if (resumed_ && retriesLeft_ > 0) {
                // The part may be what differs: one more attempt, from zero.
                Retry("a continued package that does not match may differ in its kept part", false);
                return;
            }
            dropPart_ = true;
            // Another place may have the package the record names (not when it could not be
            // checked at all).
            if (refusal == static_cast<int32_t>(trust::TrustError::kDigestMismatch))
                FailPlace(refusal, trust::TrustErrorText(refusal), resumed_);
            else
                Fail(refusal, trust::TrustErrorText(refusal));
            return;
        }
        received = true;  // an empty package that matches replaces the target as well
    }
    if (packageStatus_ == 200 && !plan_.packageSigner.empty()) {
        received_ = received;
        CheckSigner();
        return;
    }
    Deliver(received);
}

void Transfer::CheckSigner() {
    // A complete package either replaces the target or is refused: what the body file holds
    // is of no use to a later attempt either way.
    dropPart_ = true;
    std::vector<std::string> names = trust::SignerNames(plan_.packageSigner);
    const ITransferThread::Mailbox mailbox = thread_.WorkerMailbox();
    if (mailbox.window && kept_ + bodyReceived_ > kInlineSignerCheck) {
        // The worker hashes the whole file: the host keeps pumping meanwhile.
        signerCookie_ = ++lastSignerCookie;
        signer_ = SignerJob::Start(std::move(temp_), tempPath_, std::move(names), mailbox.window,
                                   mailbox.message, signerCookie_);
        return;
    }
    SignerChecked(trust::CheckPackageSigner(temp_.get(), tempPath_, names));
}

void Transfer::OnSignerChecked(WPARAM cookie) {
    if (ended_ || !signer_ || cookie != signerCookie_) return;
    std::optional<trust::SignerCheck> check = signer_->Take(temp_);
    if (!check) return;
    signer_.reset();
    SignerChecked(*check);
}

void Transfer::SignerChecked(const trust::SignerCheck& check) {
    log::Step(
        plan_.log, "trust",
        "package signer: " + log::SignerVerdict(check.accepted, check.status, check.chainStatus,
                                                check.signer, plan_.packageSigner));
    if (check.accepted) {
        Deliver(received_);
        return;
    }
    constexpr auto kRefused = static_cast<int32_t>(trust::TrustError::kPackageSigner);
    std::string text = trust::TrustErrorText(kRefused);
    // The generic text names the signers the host expects.
    std::string expected;
    for (const std::string& name : trust::SignerNames(plan_.packageSigner))
        expected += (expected.empty() ? "" : "; ") + name;
    if (!expected.empty() && text.ends_with('.')) text.insert(text.size() - 1, ": " + expected);
    Fail(kRefused, text);
}

void Transfer::Deliver(bool received) {
    if (packageStatus_ == 200 && received) {
        // The complete body replaces the target in one step; the old target stayed until now.
        // An empty target (the one ReceiveUpdate created) holds nothing to keep: it goes first,
        // since renaming over an existing file makes some file systems (ext4 under Wine) write
        // the whole new file out at once.
        WIN32_FILE_ATTRIBUTE_DATA old = {};
        if (GetFileAttributesExA(plan_.target.c_str(), GetFileExInfoStandard, &old) &&
            old.nFileSizeLow == 0 && old.nFileSizeHigh == 0 &&
            !(old.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileA(plan_.target.c_str());
        unique_file held;
        if (const DWORD err = MoveIntoPlace(held)) {
            dropPart_ = true;
            Fail(static_cast<int32_t>(err), win::SystemErrorText(err));
            return;
        }
        if (partMode_) DiscardPart(plan_.target);
        partMode_ = false;
        log::Step(plan_.log, "file",
                  plan_.target + " replaced by the package (" +
                      std::to_string(kept_ + bodyReceived_) + " bytes)");
        owner_.ReportDelivered(plan_.target, std::move(held));
    }
    temp_.reset();
    if (packageStatus_ == 200 && !received) Log("an empty package leaves the target as it is");
    if (packageStatus_ == 200) {
        // The control is still receiving while the host hears of it; a handler that cancels
        // and starts the next transfer ends this one, and the new one stands.
        events_.ReportUpdateReceived();
        if (ended_) return;
    }
    End(Outcome::Completed);
}

DWORD Transfer::MoveIntoPlace(unique_file& held) {
    // Renamed through its own handle, the file stays closed to everyone else on its way.
    const std::wstring name = win::AnsiToWide(plan_.target);
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + (name.size() + 1) * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), rename->FileName);
    BY_HANDLE_FILE_INFORMATION verified = {};
    if (!SetFileInformationByHandle(temp_.get(), FileRenameInfo, rename,
                                    static_cast<DWORD>(buffer.size())) ||
        !GetFileInformationByHandle(temp_.get(), &verified))
        return GetLastError();
    tempPath_.clear();
    // A handle that may write keeps the shell from starting the file, and no handle can stop
    // writers while one that writes is open: the body's handle closes, and one that lets
    // others only read takes its place at once. Another process that came between would have
    // to replace or write the file, which the comparison below sees.
    temp_.reset();
    held.reset(CreateFileA(plan_.target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!held) return GetLastError();
    BY_HANDLE_FILE_INFORMATION now = {};
    if (!GetFileInformationByHandle(held.get(), &now)) return GetLastError();
    const auto same = [](const FILETIME& a, const FILETIME& b) {
        return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
    };
    if (now.dwVolumeSerialNumber != verified.dwVolumeSerialNumber ||
        now.nFileIndexHigh != verified.nFileIndexHigh ||
        now.nFileIndexLow != verified.nFileIndexLow ||
        now.nFileSizeHigh != verified.nFileSizeHigh || now.nFileSizeLow != verified.nFileSizeLow ||
        !same(now.ftLastWriteTime, verified.ftLastWriteTime)) {
        held.reset();
        return ERROR_FILE_INVALID;
    }
    return 0;
}

}  // namespace orv::transfer
