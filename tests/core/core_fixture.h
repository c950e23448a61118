#pragma once
// A control's driver core against pseudo-terminal "registers".
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/diag_log.h"
#include "core/driver_state.h"
#include "core/tarvo_impl.h"
#include "platform/clock.h"
#include "platform/message_loop.h"
#include "tests/support/pty_pair.h"
#include "tests/support/wait.h"

namespace tarvo::test {

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    core::DriverState::Instance().ResetForTest();
    core::DiagLog::Instance().ResetForTest();
    log_dir_ = std::filesystem::temp_directory_path() /
               ("tarvo-core-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(log_dir_);
  }
  void TearDown() override {
    impl_.reset();
    loop_.reset();
    core::DriverState::Instance().ResetForTest();
    core::DiagLog::Instance().ResetForTest();
    std::error_code ec;
    std::filesystem::remove_all(log_dir_, ec);
  }

  // Creates the control on a real or a virtual clock.
  core::TarvoImpl1& MakeControl(platform::Clock& clock = platform::SystemClock()) {
    loop_ = std::make_unique<platform::MessageLoop>(clock);
    impl_ = std::make_unique<core::TarvoImpl1>(*loop_, core::DriverState::Instance());
    return *impl_;
  }

  // A pseudo-terminal reachable as "COM<n>".
  PtyPair& AddRegister(int n) {
    ptys_.push_back(std::make_unique<PtyPair>());
    devices_.Link("COM" + std::to_string(n), ptys_.back()->slave_path());
    return *ptys_.back();
  }

  // Pumps the control's loop until pred holds (real clock).
  bool PumpUntil(const std::function<bool()>& pred,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return WaitUntil([&] {
      loop_->ProcessPendingMessages();
      return pred();
    }, timeout);
  }

  std::string LogPath() const { return (log_dir_ / "KV500M.log").string(); }

  static inline int counter_ = 0;
  std::filesystem::path log_dir_;
  DeviceDir devices_;
  std::vector<std::unique_ptr<PtyPair>> ptys_;
  std::unique_ptr<platform::MessageLoop> loop_;
  std::unique_ptr<core::TarvoImpl1> impl_;
};

}  // namespace tarvo::test
