// The thread's message loop for tests, always bounded in time.
#pragma once

#include <windows.h>

#include <functional>
#include <vector>

namespace orv::test {

// Dispatches the thread's messages until `done` returns true (checked after every message)
// or `timeoutMs` pass; true when done.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000);

// Dispatches the thread's messages for `ms` milliseconds.
void PumpFor(DWORD ms);

// What a host's own GetMessage loop met before WM_QUIT ended it (or `timeoutMs` passed).
struct HostLoop {
    bool quit = false;
    int exitCode = 0;
    std::vector<MSG> threadMessages;  // posted to the thread rather than a window, in order
};
HostLoop RunHostLoop(DWORD timeoutMs);

}  // namespace orv::test
