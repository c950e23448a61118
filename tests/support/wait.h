#pragma once
// Condition waits for tests: poll a predicate until it holds or a generous
// deadline passes. Tests never sleep for a fixed time to "let things settle".
#include <chrono>
#include <functional>
#include <thread>

namespace tarvo::test {

inline constexpr std::chrono::milliseconds kDefaultDeadline{10000};

// Returns true as soon as pred() holds; false when `timeout` passed first.
inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds timeout = kDefaultDeadline) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace tarvo::test
