#pragma once
// Pumps the calling thread's window messages until a condition holds or a
// deadline passes. The control runs on its creator's message loop (its
// timers, the dispatcher and every event), so a host waiting for an event
// has to keep dispatching messages; MsgWaitForMultipleObjects blocks until a
// message arrives, so nothing spins.
#include <windows.h>

#include <chrono>

namespace tarvo::wine {

inline void PumpPending() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// True when `done()` became true before `timeout` passed.
template <typename Condition>
bool PumpUntil(Condition done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    PumpPending();
    if (done()) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    // Wakes on the next message of any kind (the control's timers post them
    // every 100 ms) or when the deadline comes.
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left.count()), QS_ALLINPUT);
  }
}

}  // namespace tarvo::wine
