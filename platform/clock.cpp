// The real time source: steady_clock for the time, sleep_for for sleeping.
#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace tarvo::platform {
namespace {

class SteadyClock final : public Clock {
 public:
  Millis NowMs() override {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    return duration_cast<milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
  }
  void SleepMs(Millis ms) override {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

}  // namespace

Clock& SystemClock() {
  // Stateless, so one instance serves every thread.
  static SteadyClock clock;
  return clock;
}

}  // namespace tarvo::platform
