// CheckUpdateWithDialog and the automatic check: the control's side of the update dialog
// (control/dialog/), which reaches the session only through the dialog::IDialogHost methods
// here.
#include <windows.h>

#include <map>
#include <utility>
#include <vector>

#include "common/win/system.h"
#include "control/orvane_control.h"

namespace orv {
namespace {

// The automatic check waits this long after the control is created or loaded, so that the
// host's window is up and its properties are set.
constexpr UINT kAutoCheckDelayMs = 3000;

// Thread timers of controls waiting for their automatic check, by thread and timer id (a
// timer id is unique on its thread only). Controls on several threads share the table.
using TimerKey = std::pair<DWORD, UINT_PTR>;
SRWLOCK waitingLock = SRWLOCK_INIT;
std::map<TimerKey, OrvaneControl*>& Waiting() {
    static std::map<TimerKey, OrvaneControl*> waiting;
    return waiting;
}
void Wait(UINT_PTR id, OrvaneControl* control) {
    AcquireSRWLockExclusive(&waitingLock);
    Waiting()[{GetCurrentThreadId(), id}] = control;
    ReleaseSRWLockExclusive(&waitingLock);
}
// The control that waited on this thread's timer `id`, no longer waiting; nullptr if none.
OrvaneControl* StopWaiting(UINT_PTR id) {
    OrvaneControl* control = nullptr;
    AcquireSRWLockExclusive(&waitingLock);
    if (const auto found = Waiting().find({GetCurrentThreadId(), id}); found != Waiting().end()) {
        control = found->second;
        Waiting().erase(found);
    }
    ReleaseSRWLockExclusive(&waitingLock);
    return control;
}

// Thread timer procedure: the control whose wait is over checks.
void CALLBACK AutoCheckDue(HWND, UINT, UINT_PTR id, DWORD);

}  // namespace

STDMETHODIMP OrvaneControl::CheckUpdateWithDialog(VARIANT_BOOL quiet, LONG* result) {
    RETURN_HR_IF_NULL(E_POINTER, result);
    const KeepAlive alive(this);
    const HRESULT hr = ComMethod([&]() -> HRESULT {
        if (dialogRunning_) {
            // One dialog at a time: refused as the running transfer refuses a check.
            *result = props_.UpdateState == CTRL_STATE_RECEIVING ? ORV_ERROR_ISRECEIVING
                                                                 : ORV_ERROR_ISCHECKING;
            return S_OK;
        }
        watch_ = {};
        session_->StartLog(quiet == VARIANT_FALSE ? "CheckUpdateWithDialog"
                                                  : "CheckUpdateWithDialog (quiet)");
        dialogRunning_ = true;
        struct Done {
            OrvaneControl* c;
            ~Done() {
                c->dialogRunning_ = false;
                c->watch_ = {};
            }
        } done{this};
        ORVANEERROR refused = ORV_ERROR_SUCCESS;
        usersOwnCheck_ = quiet == VARIANT_FALSE;
        RETURN_IF_FAILED(session_->Check(refused));
        if (refused != ORV_ERROR_SUCCESS) {
            *result = refused;
            return S_OK;
        }
        dialog::UpdateMemory memory = session::SourceMemory(props_);
        if (quiet == VARIANT_FALSE) {
            *result =
                static_cast<LONG>(dialog::RunUpdateDialog(*this, memory, DialogOwner(), true));
            return S_OK;
        }
        // Quiet: nothing is shown unless a newer version is there that the user neither
        // skipped nor asked to hear of later, less than a day ago.
        *result = UPD_DIALOG_NOUPDATE;
        // A host that is quitting is shown nothing.
        if (!PumpWhileRunning() || !watch_.infoReceived) return S_OK;
        if (!dialog::CanBeUpdateInformation(Offer())) {
            session_->Log().Step("dialog",
                                 "quiet: nothing shown (the reply is no update information)");
            return S_OK;
        }
        const dialog::Installed installed = InstalledVersion();
        const std::string version = Offer().Version;
        // The publisher's policy first: an update held back from this user (the minimum
        // version, the staged rollout) shows nothing; a critical one shows whatever the user
        // skipped or put off.
        const dialog::OfferVerdict verdict = Verdict();
        if (!verdict.Offered()) {
            session_->Log().Step("dialog", "quiet: nothing shown (" + version + " is held back: " +
                                               (verdict.BelowMinimum ? "below the minimum version"
                                                                     : "outside the rollout") +
                                               ")");
            return S_OK;
        }
        if (verdict.Critical && installed.known && installed.newer) {
            *result =
                static_cast<LONG>(dialog::RunUpdateDialog(*this, memory, DialogOwner(), false));
            return S_OK;
        }
        if (!installed.known || !installed.newer || memory.SkippedVersion() == version ||
            memory.RemindPending(version, dialog::Now())) {
            session_->Log().Step("dialog", "quiet: nothing shown (" + version +
                                               " is not newer, skipped or due later)");
            return S_OK;
        }
        *result = static_cast<LONG>(dialog::RunUpdateDialog(*this, memory, DialogOwner(), false));
        return S_OK;
    });
    // A package handed off waits for the host to end: the host is asked to close once the
    // dialog is gone, whether it called the dialog itself or the automatic check did.
    if (std::exchange(handedOff_, false)) ReportCloseRequested();
    return hr;
}

bool OrvaneControl::PumpWhileRunning() {
    // Messages posted to the thread rather than to a window have no window procedure to go
    // to: dispatched here they would be lost, so they are kept and posted again, in their
    // order, for the host's own loop.
    std::vector<MSG> threadMessages;
    bool quit = false;
    WPARAM exitCode = 0;
    while (!quit && session_->Running()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 200, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                // The thread is ending: the check ends with it, and the quit stays for the
                // host's own loop.
                session_->Cancel();
                quit = true;
                exitCode = msg.wParam;
                break;
            }
            if (msg.hwnd == nullptr && msg.message != WM_TIMER) {
                threadMessages.push_back(msg);
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    for (const MSG& m : threadMessages) PostMessageW(nullptr, m.message, m.wParam, m.lParam);
    if (quit) PostQuitMessage(static_cast<int>(exitCode));
    return !quit;
}

HWND OrvaneControl::DialogOwner() const {
    HWND owner = nullptr;
    Microsoft::WRL::ComPtr<IOleInPlaceSite> site = inPlaceSite_;
    if (!site && site_) site_.As(&site);
    if (site) {
        Microsoft::WRL::ComPtr<IOleInPlaceFrame> frame;
        Microsoft::WRL::ComPtr<IOleInPlaceUIWindow> doc;
        RECT pos = {}, clip = {};
        OLEINPLACEFRAMEINFO info = {};
        info.cb = sizeof info;
        if (SUCCEEDED(site->GetWindowContext(&frame, &doc, &pos, &clip, &info)) && frame)
            frame->GetWindow(&owner);
        if (!owner) site->GetWindow(&owner);
    }
    if (!owner) owner = GetActiveWindow();
    return owner ? GetAncestor(owner, GA_ROOT) : nullptr;
}

int32_t OrvaneControl::BeginCheck() {
    watch_.Reset();
    ORVANEERROR r = ORV_ERROR_SUCCESS;
    const HRESULT hr = session_->Check(r);
    return FAILED(hr) ? static_cast<int32_t>(hr) : r;
}

int32_t OrvaneControl::BeginDownload() {
    watch_.Reset();
    std::string folder = props_.DownloadFolder;
    if (folder.empty()) {
        char temp[MAX_PATH + 1] = {};
        const DWORD n = GetTempPathA(MAX_PATH + 1, temp);
        folder.assign(temp, n <= MAX_PATH ? n : 0);
    }
    ORVANEERROR r = ORV_ERROR_SUCCESS;
    const HRESULT hr = session_->Receive(folder, {}, r);
    return FAILED(hr) ? static_cast<int32_t>(hr) : r;
}

void OrvaneControl::CancelTransfer() {
    session_->Cancel();
}

UpdateInfo OrvaneControl::Offer() const {
    return session_->CurrentInfo().ToUpdateInfo();
}

dialog::Installed OrvaneControl::InstalledVersion() {
    const std::string file =
        props_.InstalledFile.empty() ? win::ModulePath(nullptr) : props_.InstalledFile;
    dialog::Installed installed;
    const LONG r = CompareWith(file, installed.version);
    installed.known =
        r >= VER_UPDATEISLESS && r <= VER_UPDATEISGREATER && !installed.version.empty();
    installed.newer = r == VER_UPDATEISGREATER;
    return installed;
}

dialog::Start OrvaneControl::StartPackage() {
    using Outcome = dialog::Start::Outcome;
    BSTR params = ToBstr(props_.UpdateParameters);
    LONG r = 0;
    const bool handOff = props_.DialogHandOff;
    // The hand-off restarts the host once the package has run.
    const HRESULT hr = handOff ? HandOffUpdate(params, VARIANT_TRUE, &r) : RunUpdate(params, &r);
    SysFreeString(params);
    if (FAILED(hr)) r = handOff ? static_cast<LONG>(hr) : 0;
    if (r == HANDOFF_ERROR_ELEVATIONDECLINED) return {Outcome::Declined, r};
    if (!handOff) return {r > 32 ? Outcome::Started : Outcome::NotStarted, r};
    if (r != 0) return {Outcome::NoHandOff, r};
    handedOff_ = true;
    return {Outcome::Started, 0};
}

// ---------------------------------------------------------------------------------------
// The automatic check

void OrvaneControl::ScheduleAutoCheck() {
    StopAutoCheck();
    autoCheckTimer_ = SetTimer(nullptr, 0, kAutoCheckDelayMs, AutoCheckDue);
    if (autoCheckTimer_) Wait(autoCheckTimer_, this);
}

void OrvaneControl::StopAutoCheck() {
    if (!autoCheckTimer_) return;
    KillTimer(nullptr, autoCheckTimer_);
    StopWaiting(autoCheckTimer_);
    autoCheckTimer_ = 0;
}

void OrvaneControl::AutoCheckTimerFired(UINT_PTR id) {
    KillTimer(nullptr, id);
    OrvaneControl* control = StopWaiting(id);
    if (!control) return;
    control->autoCheckTimer_ = 0;
    control->AutoCheck();
}

namespace {
void CALLBACK AutoCheckDue(HWND, UINT, UINT_PTR id, DWORD) {
    OrvaneControl::AutoCheckTimerFired(id);
}
}  // namespace

void OrvaneControl::AutoCheck() {
    const KeepAlive alive(this);
    if (props_.AutoCheckInterval <= 0 || !UserMode() || dialogRunning_ || session_->Running())
        return;
    dialog::UpdateMemory memory = session::SourceMemory(props_);
    const dialog::FileTime now = dialog::Now();
    const dialog::FileTime last = memory.LastAutoCheck();
    // A last check ahead of the clock (the clock was set back) counts as long ago.
    if (last != 0 && last <= now &&
        now - last < static_cast<dialog::FileTime>(props_.AutoCheckInterval) * dialog::kHour)
        return;
    memory.SetLastAutoCheck(now);
    LONG result = 0;
    CheckUpdateWithDialog(VARIANT_TRUE, &result);
}

}  // namespace orv
