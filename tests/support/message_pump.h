// The thread's message loop for tests, always bounded in time.
#pragma once

#include <windows.h>

#include <functional>

namespace orv::test {

// Dispatches the thread's messages until `done` returns true (checked after every message)
// or `timeoutMs` pass; true when done.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000);

// Dispatches the thread's messages for `ms` milliseconds.
void PumpFor(DWORD ms);

}  // namespace orv::test
