#include "control/transfer/signer_check.h"

#include <utility>

namespace orv::transfer {

struct SignerJob::State {
    SRWLOCK lock = SRWLOCK_INIT;
    unique_file file;
    std::string path;
    std::vector<std::string> names;
    HWND window = nullptr;
    UINT message = 0;
    WPARAM cookie = 0;
    bool done = false;
    bool abandoned = false;
    trust::SignerCheck outcome;

    // The last owner of an abandoned job, the worker or the transfer, removes the file.
    ~State() {
        if (!file) return;
        file.reset();
        DeleteFileA(path.c_str());
    }

    void Run() {
        trust::SignerCheck check = trust::CheckPackageSigner(file.get(), path, names);
        AcquireSRWLockExclusive(&lock);
        outcome = std::move(check);
        done = true;
        if (!abandoned) PostMessageW(window, message, cookie, 0);
        ReleaseSRWLockExclusive(&lock);
    }
};

namespace {

DWORD WINAPI Worker(void* param) {
    HMODULE self = nullptr;
    // The library stays loaded until this thread's last instruction, which FreeLibrary-
    // AndExitThread runs outside it.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&Worker),
                       &self);
    {
        std::unique_ptr<std::shared_ptr<SignerJob::State>> state(
            static_cast<std::shared_ptr<SignerJob::State>*>(param));
        (*state)->Run();
    }
    if (self) FreeLibraryAndExitThread(self, 0);
    return 0;
}

}  // namespace

std::unique_ptr<SignerJob> SignerJob::Start(unique_file file, std::string path,
                                            std::vector<std::string> names, HWND window,
                                            UINT message, WPARAM cookie) {
    auto state = std::make_shared<State>();
    state->file = std::move(file);
    state->path = std::move(path);
    state->names = std::move(names);
    state->window = window;
    state->message = message;
    state->cookie = cookie;
    std::unique_ptr<SignerJob> job(new SignerJob(state));
    auto param = std::make_unique<std::shared_ptr<State>>(state);
    if (HANDLE thread = CreateThread(nullptr, 0, Worker, param.get(), 0, nullptr)) {
        param.release();
        CloseHandle(thread);
    } else {
        state->Run();
    }
    return job;
}

SignerJob::~SignerJob() {
    AcquireSRWLockExclusive(&state_->lock);
    state_->abandoned = true;
    ReleaseSRWLockExclusive(&state_->lock);
    // When the worker is done, the file goes with this last reference, here.
}

std::optional<trust::SignerCheck> SignerJob::Take(unique_file& file) {
    AcquireSRWLockExclusive(&state_->lock);
    std::optional<trust::SignerCheck> outcome;
    if (state_->done) {
        outcome = std::move(state_->outcome);
        file = std::move(state_->file);
    }
    ReleaseSRWLockExclusive(&state_->lock);
    return outcome;
}

}  // namespace orv::transfer
