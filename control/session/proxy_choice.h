// The proxy a transfer goes through when the control follows the current user's system
// settings (ProxyMode 1), read through WinHTTP and decided for the transfer's URL (the
// decision itself: route_choice.h). A script or detection runs WinHTTP's network calls and the
// script on a worker thread, so the host's UI thread never waits for a slow script server;
// the answer comes to the session's window as a posted message.
//
// The system gives no way to stop a script that never returns (WinHTTP runs it in-process
// and has no time limit for it), so a worker may never end. What that costs stays bounded:
// each session has at most one worker at a time, a question asked while it is busy waits for
// it instead of starting another, and a worker nobody waits for runs at idle priority.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>

#include "control/session/route_choice.h"

namespace orv::session {

SystemProxySettings ReadSystemProxySettings();

// The decisions of one session, one at a time. The worker shares only this object's state
// with the session: once the resolver is gone it posts nothing, whatever it finds.
class ProxyResolver {
   public:
    ProxyResolver();
    ~ProxyResolver();
    ProxyResolver(const ProxyResolver&) = delete;
    ProxyResolver& operator=(const ProxyResolver&) = delete;

    // Asks for the route of `question`, in place of any earlier question. The answer is posted
    // to `window` as `message` with `cookie` (not 0) in wParam once it is there; a decision
    // without a script is posted at once, from the calling thread. While the worker is busy
    // with an earlier question, this one waits for it: the same question takes its answer, a
    // different one is the worker's next.
    void Ask(ProxyQuestion question, HWND window, UINT message, WPARAM cookie);
    // The answer posted for `cookie`, when it is the one asked for last and not forgotten;
    // `why` receives what decided it (for the log).
    std::optional<ProxyAnswer> Take(WPARAM cookie, std::string* why = nullptr);
    // No answer is wanted any more (the transfer was cancelled or timed out). A worker still
    // busy goes on at idle priority, since nothing can stop it.
    void Forget();

    struct State;

   private:
    std::shared_ptr<State> state_;
};

}  // namespace orv::session
