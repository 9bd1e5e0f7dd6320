// The ready-made update experience of CheckUpdateWithDialog: one modal window whose pages are
// "checking", the offer of a newer version, the download's progress, "you have the newest
// version" and a failure with Retry. It talks to the control only through IDialogHost and
// learns how a transfer it started went from the TransferWatch the control feeds.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/updateinfo/offer_rule.h"
#include "common/updateinfo/updateinfo.h"
#include "control/dialog/update_memory.h"
#include "control/http/time_left.h"

namespace orv::dialog {

// The results, as UPDATEDIALOGRESULT numbers them.
enum class Result : int32_t { NoUpdate = 0, Installed, RemindLater, Skipped, Cancelled, Failed };

// What the control's events told of the running transfer; the control fills it while the
// dialog runs, and tells `notify` of progress and of the end.
struct TransferWatch {
    static constexpr UINT kMsgProgress = WM_APP + 40;
    static constexpr UINT kMsgEnded = WM_APP + 41;

    void Reset() {
        const HWND keep = notify;
        *this = TransferWatch();
        notify = keep;
    }
    void OnHttpStatus(int32_t status) { httpStatus = status; }
    void OnConnectionError(int32_t code, const std::string& text) {
        errorCode = code;
        errorText = text;
    }
    void OnInfo() { infoReceived = true; }
    void OnDelivered() { delivered = true; }
    // The running total of the package's bytes; the time left is estimated from these.
    void OnProgress(int32_t received);
    // The control is free again: the transfer is over.
    void OnFree();

    HWND notify = nullptr;
    int32_t httpStatus = 0;
    int32_t errorCode = 0;
    std::string errorText;
    bool infoReceived = false;
    bool delivered = false;
    int32_t received = 0;
    http::TimeLeft timeLeft;  // samples of `received` over the last seconds
};

// What the publisher's release policy makes of the offer for this user and check, with the
// version to install first when the installed one is below the minimum.
struct OfferVerdict : OfferDecision {
    std::string MinVersion;
};

// The installed version as the dialog shows it.
struct Installed {
    bool known = false;   // the version resource could be read
    bool newer = false;   // the offered version is greater
    std::string version;  // its text when known
};

// How "Install now" went.
struct Start {
    enum class Outcome {
        Started,     // the package runs (RunUpdate) or waits for the host to end (hand-off)
        Declined,    // the user declined the elevation prompt; the package is still held
        NoHandOff,   // the hand-off did not start; the package is still held
        NotStarted,  // the shell could not start the package
    };
    Outcome outcome = Outcome::NotStarted;
    int32_t code = 0;  // what RunUpdate or HandOffUpdate returned
};

struct TextChoice;  // dialog_language.h

// What the dialog needs of the control.
class IDialogHost {
   public:
    // Starts a check, or the download of the offered package into the download folder; the
    // refusal number, or 0.
    virtual int32_t BeginCheck() = 0;
    virtual int32_t BeginDownload() = 0;
    virtual void CancelTransfer() = 0;
    virtual bool TransferRunning() const = 0;
    virtual TransferWatch& Watch() = 0;
    // The release policy's verdict on the record of the last check.
    virtual OfferVerdict Verdict() = 0;
    // The record of the last check.
    virtual UpdateInfo Offer() const = 0;
    // The release notes of the last check's information (UTF-8 Markdown), "" without them.
    virtual std::string Notes() const = 0;
    virtual Installed InstalledVersion() = 0;
    // Starts the delivered package with UpdateParameters, or hands it off to run once the
    // host has closed, as the host's settings say.
    virtual Start StartPackage() = 0;
    // A step of the dialog for the control's diagnostic log: a page shown, a choice, the end.
    virtual void LogStep(std::string_view text) { (void)text; }
    // The host's language and replaced texts for the dialog; none: the user's language.
    virtual const TextChoice* Texts() const { return nullptr; }

   protected:
    ~IDialogHost() = default;
};

// Whether a record can be update information at all: a reply that is none (a network's
// sign-in page, an empty file) unscrambles into fields without a package, or with fewer than
// six fields or a sixth that is no number, which leave the size at 0.
bool CanBeUpdateInformation(const UpdateInfo& info);

// Runs the window modal over `owner` (disabled meanwhile): from the "checking" page while the
// check `host` started runs, or (`checking` false) from the offer of the record at hand.
Result RunUpdateDialog(IDialogHost& host, UpdateMemory& memory, HWND owner, bool checking);

}  // namespace orv::dialog
