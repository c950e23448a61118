#pragma once
// A TComPort on "COM3", linked through a device directory to a fresh
// pseudo-terminal, configured the way the driver configures its ports, with
// a handler that records every notification.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "link/com_port.h"
#include "tests/support/pty_pair.h"
#include "tests/support/wait.h"

namespace tarvo::link::testing {

// Counts reported to OnRxChar, in order; filled on the event thread.
class RxLog {
 public:
  void Add(std::int32_t count) {
    std::lock_guard lock(mu_);
    counts_.push_back(count);
  }
  std::vector<std::int32_t> Counts() const {
    std::lock_guard lock(mu_);
    return counts_;
  }
  std::size_t Size() const { return Counts().size(); }
  std::int32_t Last() const {
    std::lock_guard lock(mu_);
    return counts_.empty() ? 0 : counts_.back();
  }
  // Waits until a notification reported `count`.
  bool WaitFor(std::int32_t count) const {
    return tarvo::test::WaitUntil([&] {
      for (std::int32_t c : Counts())
        if (c == count) return true;
      return false;
    });
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::int32_t> counts_;
};

class ComPortTest : public ::testing::Test {
 protected:
  ComPortTest() {
    dir_.Link("COM3", pty_->slave_path());
    Configure(port_, "COM3");
  }

  // Driver settings: evRxChar alone, handler called on the event thread.
  void Configure(TComPort& port, const std::string& name) {
    port.SetPort(name);
    port.SetEvents(evRxChar);
    port.SetSyncMethod(TSyncMethod::smNone);
    port.SetOnRxChar([this](TComPort&, std::int32_t count) { rx_.Add(count); });
  }

  tarvo::test::DeviceDir dir_;
  std::unique_ptr<tarvo::test::PtyPair> pty_ = std::make_unique<tarvo::test::PtyPair>();
  RxLog rx_;
  TComPort port_;
};

}  // namespace tarvo::link::testing
