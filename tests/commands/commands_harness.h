#pragma once
// A control with port COM3 open on a pseudo-terminal, its loop on a clock
// that runs a scripted register.
//
// The commands' waits sleep through the clock: every sleep advances virtual
// time by its length and then runs the register's next scripted step (if
// any) on the control's thread. A step reads the frame the driver wrote,
// answers through the pty master and waits -- with a generous deadline --
// until the driver's read thread has taken the answer in (Acked set, or the
// message queued). The round's pump then hands the message to the answer
// handler, so "an answer within the first round" and "21 silent rounds" are
// exact and need no real time.
//
// The answer handler stands in for the dispatcher: it stores table data and
// check answers in the answer slots of the message's port the way the
// dispatcher does.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "commands/answer_rules.h"
#include "commands/encodings.h"
#include "commands/host_commands.h"
#include "core/diag_log.h"
#include "core/driver_state.h"
#include "core/tarvo_impl.h"
#include "link/frame.h"
#include "platform/clock.h"
#include "platform/message_loop.h"
#include "tests/commands/hex.h"
#include "tests/support/log_file.h"
#include "tests/support/pty_pair.h"
#include "tests/support/wait.h"

namespace tarvo::test {

using namespace std::chrono_literals;

// Virtual time; each sleep runs the next step of a script.
class ScriptClock final : public platform::Clock {
 public:
  platform::Millis NowMs() override { return clock_.NowMs(); }
  void SleepMs(platform::Millis ms) override {
    clock_.Advance(ms);
    ++sleeps_;
    if (!steps_.empty()) {
      auto step = std::move(steps_.front());
      steps_.pop_front();
      step();
    }
  }
  void Advance(platform::Millis ms) { clock_.Advance(ms); }
  void Script(std::vector<std::function<void()>> steps) {
    for (auto& s : steps) steps_.push_back(std::move(s));
  }
  // Steps are run on the control's thread only; so are these.
  int sleeps() const { return sleeps_; }
  std::size_t pending_steps() const { return steps_.size(); }

 private:
  platform::VirtualClock clock_;
  int sleeps_ = 0;
  std::deque<std::function<void()>> steps_;
};

// The slot rules of the dispatcher for the answers the commands wait for.
inline void StoreAnswer(core::AnswerData& d, const std::string& message) {
  if (message.size() < 2) return;
  const auto kind = static_cast<std::uint8_t>(message[0]);
  const std::string_view payload = std::string_view(message).substr(2);
  if (kind == 0x9D) commands::StoreCheckAnswer(d, payload);
  if (kind == 0x01) commands::StoreTableTransfer(d, payload);
}

// The register's answer to a read of table `t`: a table transfer with the
// read's function bytes and `data`.
inline std::string TableAnswer(std::uint8_t t, const std::string& data) {
  return link::TableBody(link::FnReadTable(t), 1, data);
}

class CommandsTest : public ::testing::Test {
 protected:
  static constexpr std::uint8_t kPort = 3;

  CommandsTest() {
    char tmpl[] = "/tmp/tarvo-commands-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    log_dir_ = made;
    devices_.Link("COM3", reg_.slave_path());
    core::DiagLog::Instance().ResetForTest();
  }

  ~CommandsTest() override {
    impl_.reset();
    core::DiagLog::Instance().ResetForTest();
    std::error_code ec;
    std::filesystem::remove_all(log_dir_, ec);
  }

  void SetUp() override {
    impl_ = std::make_unique<core::TarvoImpl1>(loop_, state_);
    cmd_ = std::make_unique<commands::HostCommands>(*impl_);
    ASSERT_EQ(impl_->PortOpen(kPort, 9600, 100, log_dir_), 0);
    entry_ = impl_->Entry(impl_->FindPortEntry(kPort));
    impl_->SetMessageHandler([this](const core::QueuedMessage& m) {
      if (on_message_) {
        on_message_(m);
      } else {
        if (const auto source = m.source.lock()) {
          source->Answers.Access([&](core::AnswerData& d) { StoreAnswer(d, m.bytes); });
        }
      }
    });
  }

  // --- the register's side -------------------------------------------------

  // The next frame the driver wrote must be the frame of `body`.
  void Expect(const std::string& body) {
    const std::string frame = link::BuildFrame(body);
    EXPECT_EQ(ToHex(reg_.ReadMasterExactly(frame.size(), 10s)), ToHex(frame));
  }
  // DLE ACK for the driver's frame, once the read thread has taken it in.
  // Acked is cleared first where the command itself does not, so that the
  // acknowledgement is seen on its own before an answer frame follows.
  void Ack() {
    entry_->Acked = 0;
    reg_.WriteMaster(link::kDleAck);
    ASSERT_TRUE(WaitUntil([&] { return entry_->Acked.load() == 1; }));
  }
  // A frame from the register, acknowledged by the driver and queued.
  void Send(const std::string& body) {
    const std::size_t queued = QueuedCount();
    reg_.WriteMaster(link::BuildFrame(body));
    EXPECT_EQ(ToHex(reg_.ReadMasterExactly(2, 10s)), ToHex(link::kDleAck));
    ASSERT_TRUE(WaitUntil([&] { return QueuedCount() > queued; }));
  }
  std::size_t QueuedCount() const {
    const int diff = state_.queue.QueueWrite() - state_.queue.QueueRead();
    return static_cast<std::size_t>((diff + 10) % 10) + state_.queue.OverflowSize();
  }
  // A step: the driver's frame expected, acknowledged, answered.
  std::function<void()> Answers(const std::string& request, const std::string& answer) {
    return [this, request, answer] {
      Expect(request);
      Ack();
      Send(answer);
    };
  }
  std::function<void()> Acks(const std::string& request) {
    return [this, request] {
      Expect(request);
      Ack();
    };
  }
  std::function<void()> Ignores(const std::string& request) {
    return [this, request] { Expect(request); };
  }
  // Nothing more was written to the register.
  void ExpectSilence() { EXPECT_EQ(ToHex(reg_.ReadMaster(256, 200ms)), ""); }

  // --- the log -------------------------------------------------------------

  // The host-call lines of COM3 after the PortOpen line, without time stamps.
  std::vector<std::string> HostLines() {
    FlushLog();
    std::vector<std::string> lines;
    for (const std::string& line : CrLfLines(ReadWholeFile(core::DiagLog::Instance().FilePath()))) {
      // "Y:M:D h:m:s COM3: text" -- link-level lines carry a prefix first.
      const std::size_t stamp_end = line.find(' ', line.find(' ') + 1);
      if (stamp_end == std::string::npos) continue;
      const std::string rest = line.substr(stamp_end + 1);
      if (rest.rfind("COM3: ", 0) == 0) lines.push_back(rest.substr(6));
    }
    if (!lines.empty() && lines.front().rfind("PortOpen ", 0) == 0) lines.erase(lines.begin());
    return lines;
  }

  std::string log_dir_;
  DeviceDir devices_;
  PtyPair reg_;
  ScriptClock clock_;
  platform::MessageLoop loop_{clock_};
  core::DriverState state_;
  std::unique_ptr<core::TarvoImpl1> impl_;
  std::unique_ptr<commands::HostCommands> cmd_;
  std::shared_ptr<core::PortEntry> entry_;
  std::function<void(const core::QueuedMessage&)> on_message_;
};

}  // namespace tarvo::test
