// The Authenticode check of a large package on a worker thread of its own, so that the host's
// user-interface thread keeps pumping while WinVerifyTrust hashes the file. The job owns the
// open package file while it runs; its outcome is posted to a window as a message, and the
// transfer takes the file back on that thread. A job nobody wants any more closes and deletes
// its file as soon as the worker is done with it. The worker keeps the control library
// loaded until its last instruction, so a control let go meanwhile unloads nothing under it.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/win/handles.h"
#include "control/trust/authenticode.h"

namespace orv::transfer {

class SignerJob {
   public:
    // Checks `file` (named `path`) against `names`; posts `message` with `cookie` in wParam to
    // `window` once the outcome is there (at once, from this thread, when no thread starts).
    static std::unique_ptr<SignerJob> Start(unique_file file, std::string path,
                                            std::vector<std::string> names, HWND window,
                                            UINT message, WPARAM cookie);
    // Abandons the job unless the outcome was taken.
    ~SignerJob();
    SignerJob(const SignerJob&) = delete;
    SignerJob& operator=(const SignerJob&) = delete;

    // The outcome, with the file handed back into `file`, once the message was posted;
    // nothing before.
    std::optional<trust::SignerCheck> Take(unique_file& file);

    struct State;

   private:
    explicit SignerJob(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

}  // namespace orv::transfer
