// One update check or package download: its connection target and request, the response it
// collects, the package file it streams into, its rate counters, and a single end. The
// transfer knows the socket only through ISocketSeam, takes the socket's events itself, and
// reports through two interfaces: its owner (the update session) hears of the record and the
// end, the control hears of everything that becomes a COM event.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/updateinfo/release_policy.h"
#include "common/updateinfo/signed_fields.h"
#include "common/updateinfo/updateinfo.h"
#include "common/win/handles.h"
#include "control/http/http_text.h"
#include "control/log/diag_log.h"
#include "control/net/socket_error_text.h"
#include "control/net/winsock.h"
#include "control/transfer/package_hasher.h"
#include "control/transfer/signer_check.h"

namespace orv::transfer {

class Transfer;

// Field 7 of the information a check received: absent, or present and then of its exact form
// (with the digest) or malformed (no package can match it).
struct PackageDigest {
    FieldState state = FieldState::Absent;
    Sha256Digest bytes{};
};

// What a transfer needs of the socket layer. Outcomes come back through the transfer's On*
// methods; an Error may arrive before Connect returns.
class ISocketSeam {
   public:
    virtual void Connect(const std::string& host, int16_t port) = 0;
    virtual void Send(const std::string& text) = 0;
    // Ends the connection at once; no outcome follows.
    virtual void Disconnect() = 0;
    // Whether the end the socket reported is the server's own end of the stream rather than a
    // cut. A plain connection's orderly close is all there is to go by; a layer that can tell
    // a cut from an end (a secure one) says so here.
    virtual bool EndConfirmed() const { return true; }
    // The text that goes with an outcome number of this seam in ConnectionError.
    virtual const char* ErrorText(int32_t code) const { return SocketErrorText(code); }

   protected:
    ~ISocketSeam() = default;
};

// What a transfer needs of the thread it runs on, apart from its connection: its clock and
// the mailbox of its workers. The owner of that thread gives it to the transfer directly, past
// any layer of the connection, and nothing here has a default: no layer can drop one.
class ITransferThread {
   public:
    // A timer of the transfer's: OnTimer(id) every `ms` until killed; setting it again
    // restarts it.
    virtual void SetTimer(int id, uint32_t ms) = 0;
    virtual void KillTimer(int id) = 0;
    // Where a worker thread of the transfer posts that it is done: a window and the message
    // (wParam: the worker's cookie) that the owner hands to the transfer's OnSignerChecked on
    // the window's thread. Without a window (a test's fake) such work is done inline.
    struct Mailbox {
        HWND window = nullptr;
        UINT message = 0;
    };
    virtual Mailbox WorkerMailbox() = 0;

   protected:
    ~ITransferThread() = default;
};

// The socket's events for one connection, in the order the socket layer raises them: a
// transfer takes them, or a layer between the transfer and the socket. The socket object
// raises them straight to whichever of the two stands next to it.
using ISocketEvents = net::IWinsockEvents;

// What a transfer tells the host as it happens; each report becomes an event of the control.
// Every report may re-enter the control and, through it, end this transfer or start another;
// the transfer checks that it still runs after each.
class ITransferEvents {
   public:
    virtual void ReportHttpStatus(int32_t status) = 0;
    virtual void ReportProgress(int32_t bytes, int32_t total, int32_t percent, int32_t rate) = 0;
    virtual void ReportUpdateReceived() = 0;
    // Last reports, after the owner heard of the end.
    virtual void ReportInfoReceived() = 0;
    virtual void ReportConnectionError(int32_t code, const std::string& text) = 0;

   protected:
    ~ITransferEvents() = default;
};

// What the owner made of a redirect: the next hop runs in place of the transfer (which has
// ended), the redirect is refused (an insecure one), or it is not followed and the transfer
// reports the status as it would without following redirects.
enum class RedirectVerdict { Followed, Refused, Declined };

// What a transfer tells the owner of the update cycle.
class ITransferOwner {
   public:
    // A reply redirected the transfer to `location` while it has hops left: the owner either
    // ends it and starts the next hop, refuses, or declines.
    virtual RedirectVerdict FollowRedirect(Transfer& from, std::string_view location) {
        (void)from;
        (void)location;
        return RedirectVerdict::Declined;
    }
    // The record a check received, its package digest and the release policy of its tagged
    // fields: the owner keeps them (just before the check ends). `verifiedExpiry`: the
    // information carried a signed expiry that was checked against the publisher key.
    virtual void ReportInfo(const UpdateInfo& fields, const PackageDigest& digest,
                            bool verifiedExpiry, const ReleasePolicy& policy) = 0;
    // A download whose plan may move on to another place of the package failed at this one
    // with a failure another place may not meet (`mendable`: one another attempt at this
    // place may mend as well). True: the owner ended the transfer (its kept part stays) and
    // tries the next place; false: the transfer reports the failure as it would with no other
    // place.
    virtual bool MoveOn(Transfer& from, bool mendable) {
        (void)from;
        (void)mendable;
        return false;
    }
    // The transfer has ended (exactly once, before its last report): the owner becomes free
    // if `ended` is still its running transfer.
    virtual void ReportEnded(Transfer& ended) = 0;
    // A download has replaced `target` with the package it received and verified, just before
    // UpdateReceived. `held` keeps that file open so that others may read and start it but not
    // write, rename or delete it; the owner keeps it as long as the package may be started.
    virtual void ReportDelivered(const std::string& target, unique_file held) {
        (void)target;
        (void)held;
    }

   protected:
    ~ITransferOwner() = default;
};

// Both, for an owner that takes every report itself.
class ITransferReport : public ITransferEvents, public ITransferOwner {
   protected:
    ~ITransferReport() = default;
};

enum class Kind { Check, Download };

// The server a request goes to and what it asks of it: the request target is prefix + file.
struct ServerTarget {
    bool secure = false;
    std::string host;  // lower case, no scheme
    int32_t port = 80;
    std::string origin;  // the scheme and host as a plain request to a proxy names them
    std::string prefix;
    std::string file;
};

// Statuses a transfer that follows redirects follows, when they carry a Location.
inline bool IsRedirectStatus(int32_t status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}
// Hops a transfer follows at most; the reply after the last one is reported as it is.
inline constexpr int32_t kMaxRedirects = 5;

// Everything a transfer needs, fixed when it starts.
struct Plan {
    Kind kind = Kind::Check;
    std::string connectHost;
    int16_t connectPort = 0;
    std::string request;  // the whole request text, sent once the connection stands
    // Seconds the connection may take to stand, and the server may stay silent after that;
    // 0 waits for ever.
    int32_t connectTimeout = 30;
    // The tick count when the first connection's time began (a proxy chosen by the system's
    // settings may take its time before the transfer starts); 0: when it starts.
    uint32_t connectSince = 0;
    // A download's server may stay silent this long between bytes; a check's whole reply must
    // arrive within it once the connection stands. 0 waits for ever.
    int32_t idleTimeout = 60;
    // Check only: the publisher key list; when set, the information must be signed by one.
    std::string publisherKey;
    // Check only, with a publisher key: information without a signed expiry is refused
    // (RequireExpiry, or the source gave one before).
    bool requireExpiry = false;
    // Download only.
    int32_t packageSize = 0;  // for the percentage
    std::string target;       // full path of the package file
    // The digest of the record the download started from: when present, the package must
    // match it before it replaces the target, and the old target stays until then.
    PackageDigest digest;
    // The signer names (";"-separated) one of whom must have signed the package with
    // Authenticode before it replaces the target; empty: no such check.
    std::string packageSigner;
    // Further attempts after a failed connection, a time-out, a cut body or a server error.
    int32_t retryCount = 0;
    // Download only: other places of the package follow this one, and the owner's MoveOn
    // decides where a failure here leads (the owner then counts the retries, not the transfer).
    bool morePlaces = false;
    // Milliseconds to wait before the first connection (a new round over the places).
    uint32_t startDelay = 0;
    // What `request` was made of: a retry that continues a kept part asks for its rest.
    http::RequestInputs requestInputs;
    // Where the package comes from: with the package name, size and digest it identifies a
    // kept part. Both stay those of the first request across redirects.
    std::string source;
    std::string packageName;  // empty: the request's file name
    // The server this hop's request goes to, and the redirects it may still follow.
    ServerTarget server;
    int32_t redirectsLeft = 0;
    // Where the transfer's steps are logged (owned by the session); none when null.
    log::Sink* log = nullptr;
};

// A download that failed keeps what it received beside the target, under this name, when
// the package can be known again (by its digest or the server's entity tag); what identifies
// it is kept in a small file of the same name with ".id" added.
std::string PartPath(const std::string& target);
// Removes the kept part of `target` and what identifies it.
void DiscardPart(const std::string& target);

// Memory stays bounded whatever a server sends: an update information response and a
// package header are small; past these caps the transfer ends with "Message too long.".
inline constexpr std::size_t kMaxCheckResponse = 1u << 20;
inline constexpr std::size_t kMaxPackageHeader = 64u << 10;
inline constexpr int32_t kMessageTooLong = 10040;
inline constexpr int32_t kConnectionReset = 10054;
inline constexpr int32_t kTimedOut = 10060;
inline constexpr int32_t kConnectionRefused = 10061;
// The transfer's timers: the connect or idle deadline, and the wait before a retry.
inline constexpr int kDeadlineTimer = 1;
inline constexpr int kRetryTimer = 2;
// The wait before retry `n` (from 0): 1 s, 2 s, 4 s ... at most 30 s.
uint32_t BackOff(int n);
// Packages up to this size have their signer checked inline; larger ones on a worker thread.
inline constexpr int64_t kInlineSignerCheck = 1 << 20;

class Transfer final : public ISocketEvents {
   public:
    Transfer(Plan plan, ISocketSeam& socket, ITransferThread& thread, ITransferOwner& owner,
             ITransferEvents& events);
    Transfer(Plan plan, ISocketSeam& socket, ITransferThread& thread, ITransferReport& report)
        : Transfer(std::move(plan), socket, thread, report, report) {}
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // A download's files: the target is created when absent (an existing one stays as it is
    // for now) and an empty temporary file next to it takes the body. 0, or the system error.
    DWORD PrepareFiles();
    // Connects; the outcome arrives through the On* methods.
    void Start();
    // Ends without any report but ReportEnded: socket closed, temporary file removed; a kept
    // part stays only with `keepPart`.
    void Cancel(bool keepPart = false);
    bool Ended() const { return ended_; }
    Kind GetKind() const { return plan_.kind; }
    // The plan of the hop a redirect leads to, before its request is composed: one redirect
    // and the retries spent so far fewer.
    Plan NextHop() const;
    // The plan of the next place of the package, before its server and request are set: what
    // identifies the package (and so its kept part) stays.
    Plan NextPlace() const;

    // The socket's events for this transfer's connection.
    void OnConnect() override;
    void OnReceive(const std::string& data) override;
    void OnDisconnect() override;
    void OnError(int32_t code) override;
    // The proxy answered the tunnel's CONNECT with `status` instead of opening it: that status
    // is all the transfer hears of the answer. A download retries the statuses it retries from
    // a server; otherwise the host hears the status and the transfer ends.
    void OnTunnelRefused(int32_t status);
    // A timer the transfer set through its thread.
    void OnTimer(int id);
    // The worker that checks the package's signer has posted its outcome (`cookie` from the
    // mailbox message); an outcome of another transfer or of an abandoned check is ignored.
    void OnSignerChecked(WPARAM cookie);

   private:
    enum class Outcome { Cancelled, Completed, Failed };
    // The one way out: runs once; closes the connection, removes the temporary file and
    // tells the owner, which frees itself if this is still its transfer.
    void End(Outcome outcome);
    void Fail(int32_t code, const std::string& text);
    void FailSocket(int32_t code);
    // With other places of the package, a failure of this one moves on to the next when the
    // owner has one; whether it did (the transfer has ended then).
    bool MovedOn(bool mendable);
    // A download's failure that ends this place: it moves on, or fails with `code`.
    void FailPlace(int32_t code, const std::string& text, bool mendable = false);
    // Connects for one attempt: per-connection state reset, connect deadline armed.
    void BeginAttempt();
    // Arms the deadline for `seconds` (0: none) from now.
    // Arms the deadline `seconds` after `since` (a tick count; 0: now).
    void ArmDeadline(int32_t seconds, uint32_t since = 0);
    // A host report: time inside it is not the server's silence.
    template <class F>
    void Reporting(F&& report);
    // A failure of this connection: retried while retries are left and the failure is one
    // that another attempt may mend, otherwise the end.
    void AttemptFailed(int32_t code);
    // Closes the connection and tries again after the back-off delay (`delayed`) or at once;
    // `keep` keeps what the body file holds when it can be continued. `why` goes to the log.
    void Retry(std::string_view why, bool keep, bool delayed = true);
    // A step of this transfer for the log: "check" or "download" as its area.
    void Log(std::string_view text) const;
    // The request of this attempt: the plan's, or one asking for the rest of the kept part.
    std::string RequestText() const;
    // Continues a kept part or starts from zero, by the reply's header; false when the
    // attempt was given up for a new one.
    bool AcceptReply(const http::HeaderDetection& d);
    // With a digest in the record, the whole size an accepted reply declares (its length, or
    // its range's total) when it differs from the record's; nothing otherwise.
    std::optional<int64_t> DeclaredSizeRefused() const;
    // The text of a size that differs from the record's: "...: <what> bytes, ...".
    std::string SizeMismatchText(const std::string& what) const;
    // Empties the body file: the package starts from zero.
    void TruncateBody();
    // Whether what the body file holds can be continued by a later attempt.
    bool Resumable() const { return partMode_ && !dropPart_; }
    DWORD OpenPart();
    void WriteIdentity() const;
    // A new hasher that reads the kept part first: a continued package is hashed whole.
    bool HashKeptPart();
    // Whether a body of `received` bytes is a cut one, by its declared length if any.
    bool Cut(std::optional<int64_t> declared, int64_t received) const;
    void FinishCheck();
    // Whether a redirect ended this transfer (followed or refused) rather than being reported.
    bool Redirected(int32_t status, std::string_view location);
    // 0 when the information is signed by one of the plan's publisher keys and has not
    // expired (nor lacks an expiry the plan requires), otherwise the trust outcome to end the
    // check with.
    int32_t SignatureRefusal(std::string_view plain) const;
    // Whether the package received matches the plan's digest; false with the outcome.
    bool PackageMatchesDigest(int32_t& refusal);
    // A piece of the package response, header first; copied only for a digest's hasher.
    void ReceivePackageData(std::string_view piece);
    void FinishDownload();
    // Checks the package's signer: inline for a small package or a seam without a mailbox,
    // otherwise on a worker whose outcome arrives through OnSignerChecked.
    void CheckSigner();
    // The end of a signer check: the package goes on to replace the target, or is refused.
    void SignerChecked(const trust::SignerCheck& check);
    // The checked body replaces the target (when anything was received) and the host hears
    // of it.
    void Deliver(bool received);
    // Puts the verified body file in the target's place and trades its handle for `held`.
    // 0, or the system error.
    DWORD MoveIntoPlace(unique_file& held);
    void DiscardTemp();

    Plan plan_;
    int32_t retriesLeft_ = 0;
    int attempts_ = 0;
    bool inConnect_ = false;  // inside the socket's Connect call
    uint32_t deadlineMs_ = 0;
    int32_t lastActivity_ = 0;
    int reporting_ = 0;
    ISocketSeam& socket_;
    ITransferThread& thread_;
    ITransferOwner& owner_;
    ITransferEvents& events_;
    bool ended_ = false;
    bool connected_ = false;  // the socket may hold this transfer's connection
    bool connecting_ = false;  // the deadline is the connection's, not the server's silence

    std::string response_;  // the check's response, or the package header while it arrives

    // Download.
    bool headerSeen_ = false;
    int32_t packageStatus_ = 0;
    int32_t totalReceived_ = 0;
    int32_t percentDone_ = 0;
    std::optional<int64_t> declaredLength_;
    std::optional<int64_t> wrongSize_;  // the size a reply announced against the record's
    int64_t bodyReceived_ = 0;
    unique_file temp_;  // the body streams here and replaces the target at the end
    std::unique_ptr<PackageHasher> hasher_;  // digest-carrying downloads only
    std::unique_ptr<SignerJob> signer_;      // the running signer check; it holds the body file
    WPARAM signerCookie_ = 0;
    bool received_ = false;  // what Deliver moves once the signer check is over
    std::string tempPath_;
    bool partMode_ = false;  // the body file is the target's kept part
    bool dropPart_ = false;  // what it holds is of no use to a later attempt
    bool keepOnCancel_ = false;
    int64_t kept_ = 0;      // bytes in the body file before this connection's body
    bool resumed_ = false;  // this connection's body continues the kept part
    std::string etag_;
    std::optional<int64_t> total_;  // the whole package's length, when a reply declared it
    int32_t lastTick_ = 0;
    int32_t lastRate_ = 0;
};

}  // namespace orv::transfer
