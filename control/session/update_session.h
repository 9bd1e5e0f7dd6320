// The update cycle of one control: the refusals of a busy or incompletely configured control,
// the connection plan, the running transfer and the end of it, the record of the last check
// and the local package file. The session owns the socket link (the socket object and the
// hidden window whose procedure it borrows): the socket's events go straight to the running
// transfer (or its TLS layer), the transfer's events straight to the control. The session
// calls the control back only through ISessionHost.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/win/handles.h"
#include "common/win/window.h"
#include "control/OrvaneControl.h"
#include "control/dialog/update_memory.h"
#include "control/log/log_file.h"
#include "control/net/winsock.h"
#include "control/properties.h"
#include "control/session/proxy_choice.h"
#include "control/transfer/tls_layer.h"
#include "control/transfer/transfer.h"
#include "control/update_record.h"

namespace orv::session {

// What the control remembers of the update source the settings name (RemoteHost, RemotePath,
// RemoteFile): the update dialog's choices and the signed-expiry record of every check.
dialog::UpdateMemory SourceMemory(const Properties& settings);

// What the session needs of the control: the settings a transfer starts from, the events the
// transfer raises, and the two published values that follow the cycle.
class ISessionHost : public transfer::ITransferEvents {
   public:
    virtual const Properties& Settings() const = 0;
    // UpdateState follows the session's state; without `notify` it is set silently (a
    // transfer ends because the control closes or is let go).
    virtual void PublishState(int32_t state, bool notify) = 0;
    // UpdateInformation receives a copy of the record a check received.
    virtual void StoreInformation(UPDATEINFO& record) = 0;
    // The host code that runs inside socket notifications may release the control's last
    // reference: the session holds the control across each.
    virtual void HoldHost() = 0;
    virtual void ReleaseHost() = 0;
    // The wait WatchInstalled started is over: the control looks up what a hand-off recorded.
    virtual void InstalledDue() = 0;

   protected:
    ~ISessionHost() = default;
};

class UpdateSession final : private transfer::ISocketSeam,
                            private transfer::ITransferThread,
                            private transfer::ITransferOwner,
                            private net::IWinsockOwner,
                            private win::WindowBase<UpdateSession> {
   public:
    // `versionText` goes into every request's User-Agent.
    UpdateSession(ISessionHost& host, std::string versionText);
    ~UpdateSession();
    UpdateSession(const UpdateSession&) = delete;
    UpdateSession& operator=(const UpdateSession&) = delete;

    // CheckUpdate: the refusal or ORV_ERROR_SUCCESS in `result`; run-time errors as HRESULT.
    HRESULT Check(ORVANEERROR& result);
    // ReceiveUpdate into `folder` (may be empty) as `fileName` (empty: the record's name).
    HRESULT Receive(const std::string& folder, std::string fileName, ORVANEERROR& result);
    // CancelUpdate: the running transfer ends at once, with no event.
    void Cancel();
    // Ends the running transfer without publishing anything (closing, or let go by the host).
    void CancelQuietly();
    bool Running() const {
        return transfer_ != nullptr || waiting_.has_value() || hop_.has_value();
    }
    // The control's diagnostic log: off until a check, a download or the dialog starts it.
    // Other parts of the control write their steps with Log().Step(area, text).
    log::LogFile& Log() { return log_; }
    // Starts the log for `what` (a method called, the dialog opened): the file named by
    // LogFile or the user's setting, read now, and the settings the control works with.
    void StartLog(std::string_view what);

    // The socket library's use ends here, exactly once: the socket object's own destruction
    // then leaves it alone, so a host that uses sockets itself still has them.
    void Shutdown();

    // The record InfoReceived hands out by reference; what a handler writes into it is what
    // the next download and CompareVersion use.
    OwnedRecord& CurrentInfo() { return currentInfo_; }
    // The release policy of that record's information (none while no check has received one).
    const std::optional<ReleasePolicy>& CurrentPolicy() const { return currentPolicy_; }
    // The file RunUpdate starts: the package the last download delivered and verified, held
    // open against writers until it has been started, the next download begins or the
    // control goes; empty when there is none.
    const std::string& DeliveredPackage() const { return deliveredPath_; }
    // That file's open handle (reading only, others may only read), and the digest the
    // download verified it against when the record carried one.
    HANDLE DeliveredFile() const { return delivered_.get(); }
    const std::optional<Sha256Digest>& DeliveredDigest() const { return deliveredDigest_; }
    // Lets the delivered package go: RunUpdate starts nothing until a download delivers again.
    void DropDelivery() {
        delivered_.reset();
        deliveredPath_.clear();
        deliveredDigest_.reset();
    }
    // Calls the host's InstalledDue from the session window's messages once `ms` have passed
    // without another call; the host's property calls return first.
    void WatchInstalled(uint32_t ms);

   private:
    // A busy session's refusal (-2 or -1), if it is busy.
    std::optional<ORVANEERROR> BusyResult() const;
    // The refusals both transfers share once the session is free, in order: incomplete
    // authorization (-5), incomplete proxy (-6) as `refused`, a port beyond 16 bits as
    // run-time error 6, a control character in the request's texts as run-time error 5.
    HRESULT CheckSettings(ORVANEERROR& refused, bool check) const;
    // The server RemoteHost and RemotePort name, asked for RemotePath and `fileName`; secure
    // when RemoteHost starts with "https://" (any case).
    transfer::ServerTarget SettingsTarget(const std::string& fileName) const;
    // The connection target and the request to `server` on `route`, into `plan`.
    void PrepareConnection(transfer::Plan& plan, const transfer::ServerTarget& server,
                           const ProxyRoute& route) const;
    // Where a secure connection to `server` leads, if it is a secure one.
    std::optional<transfer::TlsTarget> SecureTarget(const transfer::ServerTarget& server,
                                                    const ProxyRoute& route) const;
    // Chooses the route of `plan` (the request to `server`) and starts the transfer: at once
    // with the control's own proxy settings, once the answer is there with the system's.
    HRESULT Begin(transfer::Plan plan, const transfer::ServerTarget& server);
    // Makes `plan` the running transfer and connects; a file error when its files fail.
    HRESULT StartTransfer(transfer::Plan plan, const std::optional<transfer::TlsTarget>& secure);
    // The system's answer for the waiting transfer has arrived.
    void OnProxyAnswer(WPARAM cookie);
    // ConnectTimeout passed while the system was still deciding: the transfer ends with 10060.
    void OnLookupTimedOut();
    // Forgets a decision in progress; whether there was one.
    bool DropLookup();
    // The next hop of a redirect, started once the last one's events are over.
    void OnNextHop(WPARAM cookie);
    // Forgets a hop not yet started (its kept part too, unless `keepPart`); whether there was
    // one.
    bool DropHop(bool keepPart);
    void PublishState() { host_.PublishState(operationState_, true); }
    // The hidden window that receives socket notifications, made at the first connection.
    HWND SocketWindow();

    // transfer::ISocketSeam
    void Connect(const std::string& host, int16_t port) override;
    void Send(const std::string& text) override;
    void Disconnect() override;
    // transfer::ITransferThread
    void SetTimer(int id, uint32_t ms) override;
    void KillTimer(int id) override;
    Mailbox WorkerMailbox() override;
    // transfer::ITransferOwner
    void ReportInfo(const UpdateInfo& fields, const transfer::PackageDigest& digest,
                    bool verifiedExpiry, const ReleasePolicy& policy) override;
    bool MoveOn(transfer::Transfer& from, bool mendable) override;
    void ReportEnded(transfer::Transfer& ended) override;
    void ReportDelivered(const std::string& target, unique_file held) override;
    transfer::RedirectVerdict FollowRedirect(transfer::Transfer& from,
                                             std::string_view location) override;
    // net::IWinsockOwner
    void HoldOwner() override;
    void ReleaseOwner() override;

    // A connection that ended stays alive until no event of the session is running any more:
    // the socket object raised into it, and its methods are still on the stack.
    class Scope;

    friend win::WindowBase<UpdateSession>;
    LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
    // A timer of the running transfer has fired.
    void OnTimer(int id);
    // A signer check of the running transfer has its outcome.
    void OnSignerChecked(WPARAM cookie);

    ISessionHost& host_;
    const std::string versionText_;
    // Before everything that logs: the transfers and TLS layers hold a pointer to it (logging
    // writes a file and changes nothing the session's const methods keep).
    mutable log::LogFile log_;
    unique_hwnd socketWindow_;
    std::unique_ptr<net::Winsock> socket_;
    int32_t operationState_ = CTRL_STATE_FREE;  // free exactly while no transfer runs
    OwnedRecord currentInfo_;
    // Field 7 of that record: it stays with the record whatever a handler changes in it.
    transfer::PackageDigest currentDigest_;
    // That record's release policy (its tagged fields), as received: the more places of the
    // package (urls) among it.
    std::optional<ReleasePolicy> currentPolicy_;
    // The memory of the source the running or last check was started for (its redirects
    // included): once it gave verified information with a signed expiry, its information
    // must carry one.
    std::optional<dialog::UpdateMemory> checkSource_;
    std::string localPackageFile_;
    unique_file delivered_;
    std::string deliveredPath_;
    std::optional<Sha256Digest> deliveredDigest_;
    std::shared_ptr<transfer::Transfer> transfer_;
    // A transfer waiting for the system's proxy decision: the forms of its plan, fixed when it
    // was asked for (direct, through a proxy with the proxy credentials, through one without),
    // and the decision.
    struct Waiting {
        transfer::Plan direct, proxied, anonymous;
        std::optional<transfer::TlsTarget> secureDirect, secureProxied, secureAnonymous;
    };
    std::optional<Waiting> waiting_;
    ProxyResolver resolver_;
    WPARAM lookupCookie_ = 0;
    // A redirect's next hop, waiting for its message.
    struct Hop {
        transfer::Plan plan;
        transfer::ServerTarget server;
    };
    std::optional<Hop> hop_;
    WPARAM hopCookie_ = 0;
    // The places of the running download when it has more than one: the default location,
    // then the usable mirrors; tried in order, once per round.
    struct Walk {
        std::vector<transfer::ServerTarget> places;
        std::size_t at = 0;      // the place being tried
        int32_t roundsLeft = 0;  // RetryCount's further rounds
        int round = 0;
        bool mendable = false;  // a place of this round failed in a way another try may mend
    };
    std::optional<Walk> walk_;
    // The places a download of the current record tries: the default location `home`, then
    // the record's mirrors that may be used (https://, or http:// with a digest).
    std::vector<transfer::ServerTarget> Places(const transfer::ServerTarget& home) const;
    // Ends the running transfer as a hop ends and starts `next` at `server` from a
    // message (a redirect's next hop, or a download's next place).
    void HandOver(transfer::Plan next, const transfer::ServerTarget& server);
    std::shared_ptr<transfer::ISocketEvents> connection_;  // where the socket's events go
    std::vector<std::shared_ptr<transfer::ISocketEvents>> ended_;
    DWORD fileError_ = 0;  // why the last transfer's files could not be prepared
    int depth_ = 0;        // session calls and socket notifications running
    bool quiet_ = false;   // a transfer ends without publishing the state
};

using http::HasControlCharacter;

// The server a redirect's Location names: an absolute http:// or https:// URL, or an
// absolute path on `current`; nothing when it is neither or not usable in a request.
std::optional<transfer::ServerTarget> RedirectTarget(std::string_view location,
                                                     const transfer::ServerTarget& current);

}  // namespace orv::session
