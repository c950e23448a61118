#pragma once
// Time source of the control's thread: a monotonic millisecond clock and a
// sleep. Production code uses SystemClock(); unit tests inject a VirtualClock
// so that waits of seconds (handshake rounds, command waits, input ageing)
// run in virtual time.
#include <cstdint>
#include <mutex>

namespace tarvo::platform {

using Millis = std::int64_t;

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds on a monotonic scale (arbitrary origin).
  virtual Millis NowMs() = 0;
  // Blocks the calling thread for `ms` milliseconds (virtual clocks advance).
  virtual void SleepMs(Millis ms) = 0;
};

// The process-wide real clock (steady_clock, nanosleep).
Clock& SystemClock();

// A clock that only moves when told to. SleepMs advances it at once, so code
// that sleeps and then pumps its loop sees timers fire in virtual time.
class VirtualClock final : public Clock {
 public:
  explicit VirtualClock(Millis start = 0) : now_(start) {}
  Millis NowMs() override {
    std::lock_guard<std::mutex> lock(mu_);
    return now_;
  }
  void SleepMs(Millis ms) override { Advance(ms); }
  void Advance(Millis ms) {
    std::lock_guard<std::mutex> lock(mu_);
    if (ms > 0) now_ += ms;
  }

 private:
  std::mutex mu_;
  Millis now_;
};

}  // namespace tarvo::platform
