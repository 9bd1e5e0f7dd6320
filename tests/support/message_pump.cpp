#include "tests/support/message_pump.h"

namespace orv::test {

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            if (done()) return true;
        }
        if (done()) return true;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        // Short waits: `done` may also depend on other threads or the clock.
        const DWORD left = timeoutMs - elapsed;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, left < 50 ? left : 50, QS_ALLINPUT);
    }
}

void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

HostLoop RunHostLoop(DWORD timeoutMs) {
    HostLoop seen;
    const UINT_PTR bound = SetTimer(nullptr, 0, timeoutMs, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.hwnd == nullptr && msg.message == WM_TIMER && msg.wParam == bound) break;
        if (msg.hwnd == nullptr) seen.threadMessages.push_back(msg);
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    KillTimer(nullptr, bound);
    if (msg.message == WM_QUIT) {
        seen.quit = true;
        seen.exitCode = static_cast<int>(msg.wParam);
    }
    return seen;
}

}  // namespace orv::test
