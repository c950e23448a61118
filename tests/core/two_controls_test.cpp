// Registers on pseudo-terminals sending to controls that share the process's
// message queue: every message reaches the control that opened its port, in
// order, none lost, one per Timer2 tick of that control; partial input ages
// once a second however many controls tick; and a host that stops taking
// messages makes the driver refuse frames with NAK instead of piling them up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core_fixture.h"
#include "link/frame.h"
#include "tests/support/log_file.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using core::DriverState;
using core::MessageQueue;

constexpr int kPerRegister = 25;

// The body of the i-th message of register `reg`: an ID-key press (0x98)
// whose payload names both.
std::string Body(int reg, int i) { return "\x98R" + std::to_string(reg) + "-" + std::to_string(i); }
std::string Payload(int reg, int i) { return Body(reg, i).substr(1); }

// What the driver answered a frame: DLE ACK or NAK.
std::string Reply(PtyPair& reg) {
  std::string r = reg.ReadMasterExactly(1, 10s);
  if (r == "\x10") r += reg.ReadMasterExactly(1, 10s);
  return r;
}

// The register's side: sends each frame until it is acknowledged, calling
// `on_nak` after every refusal. Returns the number of refusals.
int SendAll(PtyPair& reg, int reg_no, int from, int to, const std::function<void()>& on_nak) {
  int naks = 0;
  for (int i = from; i < to; ++i) {
    const std::string frame = link::BuildFrame(Body(reg_no, i));
    for (;;) {
      reg.WriteMaster(frame);
      const std::string r = Reply(reg);
      if (r == link::kDleAck) break;
      if (r != link::kNakByte) {
        ADD_FAILURE() << "register " << reg_no << " frame " << i << ": no answer";
        return naks;
      }
      ++naks;
      on_nak();
    }
  }
  return naks;
}

// The payloads a control's dispatcher received, in order.
struct Received {
  std::vector<std::string> payloads;
  void Record(const core::QueuedMessage& m) { payloads.push_back(m.bytes.substr(2)); }
};

std::vector<std::string> Expected(int reg_no) {
  std::vector<std::string> out;
  for (int i = 0; i < kPerRegister; ++i) out.push_back(Payload(reg_no, i));
  return out;
}

class TwoControlsTest : public CoreTest {
 protected:
  void TearDown() override {
    second_.reset();
    CoreTest::TearDown();
  }
  std::unique_ptr<core::TarvoImpl1> second_;
};

TEST_F(TwoControlsTest, OnOneThreadEachControlGetsOnlyItsOwnPortsMessagesOnePerTick) {
  platform::VirtualClock clock;
  core::TarvoImpl1& a = MakeControl(clock);
  second_ = std::make_unique<core::TarvoImpl1>(*loop_, DriverState::Instance());
  core::TarvoImpl1& b = *second_;
  PtyPair& reg1 = AddRegister(1);
  PtyPair& reg2 = AddRegister(2);
  ASSERT_EQ(a.PortOpen(1, 9600, 0, ""), 0);
  ASSERT_EQ(b.PortOpen(2, 9600, 0, ""), 0);
  Received got_a, got_b;
  a.SetMessageHandler([&](const core::QueuedMessage& m) { got_a.Record(m); });
  b.SetMessageHandler([&](const core::QueuedMessage& m) { got_b.Record(m); });

  // Both registers send at once, so their messages interleave in the queue.
  std::thread r1([&] { SendAll(reg1, 1, 0, kPerRegister, [] {}); });
  std::thread r2([&] { SendAll(reg2, 2, 0, kPerRegister, [] {}); });
  bool at_most_one_per_tick = true;
  const bool all = WaitUntil(
      [&] {
        const std::size_t before_a = got_a.payloads.size();
        const std::size_t before_b = got_b.payloads.size();
        clock.Advance(core::TarvoImpl1::kTimer2IntervalMs);
        loop_->ProcessPendingMessages();
        if (got_a.payloads.size() > before_a + 1 || got_b.payloads.size() > before_b + 1)
          at_most_one_per_tick = false;
        return got_a.payloads.size() + got_b.payloads.size() >= 2 * kPerRegister;
      },
      60s);
  r1.join();
  r2.join();
  EXPECT_TRUE(all);
  EXPECT_TRUE(at_most_one_per_tick);
  EXPECT_EQ(got_a.payloads, Expected(1));
  EXPECT_EQ(got_b.payloads, Expected(2));
  EXPECT_TRUE(DriverState::Instance().queue.Empty());
}

TEST_F(TwoControlsTest, OnTwoThreadsEachControlGetsOnlyItsOwnPortsMessages) {
  PtyPair& reg1 = AddRegister(1);
  PtyPair& reg2 = AddRegister(2);
  std::atomic<int> opened{0};
  std::atomic<bool> stop{false};
  Received got[2];

  // A control on its own thread with its own loop, pumping until it has its
  // register's messages (or the test gives up).
  auto control = [&](int n) {
    platform::VirtualClock clock;
    platform::MessageLoop loop(clock);
    auto impl = std::make_unique<core::TarvoImpl1>(loop, DriverState::Instance());
    impl->SetMessageHandler([&](const core::QueuedMessage& m) { got[n].Record(m); });
    if (impl->PortOpen(static_cast<std::uint8_t>(n + 1), 9600, 0, "") != 0) {
      ADD_FAILURE() << "control " << n << " could not open its port";
    }
    ++opened;
    WaitUntil(
        [&] {
          clock.Advance(core::TarvoImpl1::kTimer2IntervalMs);
          loop.ProcessPendingMessages();
          // Keeps pumping after its own messages are in, so that it would
          // take the other control's too were they offered to it.
          return stop.load();
        },
        60s);
    impl.reset();
  };
  std::thread c1(control, 0);
  std::thread c2(control, 1);
  ASSERT_TRUE(WaitUntil([&] { return opened.load() == 2; }));
  std::thread r1([&] { SendAll(reg1, 1, 0, kPerRegister, [] {}); });
  std::thread r2([&] { SendAll(reg2, 2, 0, kPerRegister, [] {}); });
  r1.join();
  r2.join();
  EXPECT_TRUE(WaitUntil([] { return DriverState::Instance().queue.Empty(); }, 60s));
  stop = true;
  c1.join();
  c2.join();
  EXPECT_EQ(got[0].payloads, Expected(1));
  EXPECT_EQ(got[1].payloads, Expected(2));
}

TEST_F(TwoControlsTest, PartialInputAgesOnceASecondWhateverTheNumberOfControls) {
  platform::VirtualClock clock;
  core::TarvoImpl1& a = MakeControl(clock);
  second_ = std::make_unique<core::TarvoImpl1>(*loop_, DriverState::Instance());
  AddRegister(1);
  ASSERT_EQ(a.PortOpen(1, 9600, 0, ""), 0);
  auto entry = a.Entry(0);
  entry->RxAge = 1;
  for (int second = 0; second < 3; ++second) {
    clock.Advance(1000);
    loop_->ProcessPendingMessages();
  }
  EXPECT_EQ(entry->RxAge.load(), 4);
}

TEST_F(TwoControlsTest, AHostThatStopsPumpingGetsFramesRefusedAndThenEveryMessageOnce) {
  platform::VirtualClock clock;
  core::TarvoImpl1& impl = MakeControl(clock);
  core::DiagLog::Instance().SetTimeSource(FixedLogTime);
  PtyPair& reg = AddRegister(1);
  ASSERT_EQ(impl.PortOpen(1, 9600, 100, log_dir_.string()), 0);
  Received got;
  std::atomic<int> dispatched{0};
  impl.SetMessageHandler([&](const core::QueuedMessage& m) {
    got.Record(m);
    ++dispatched;
  });
  constexpr int kBound = static_cast<int>(MessageQueue::kMaxPendingPerPort);
  constexpr int kTotal = kBound + 20;

  // The host's loop does not run: the first kBound frames are acknowledged
  // and wait; the next one is refused however often it comes.
  EXPECT_EQ(SendAll(reg, 1, 0, kBound, [] {}), 0);
  const std::string refused = link::BuildFrame(Body(1, kBound));
  for (int attempt = 0; attempt < 3; ++attempt) {
    reg.WriteMaster(refused);
    EXPECT_EQ(Reply(reg), link::kNakByte);
  }
  EXPECT_TRUE(got.payloads.empty());
  EXPECT_EQ(DriverState::Instance().queue.Size(), MessageQueue::kMaxPendingPerPort);

  // The host pumps again while the register goes on sending, each refused
  // frame again after the NAK (once the host has taken a message, as a
  // register that retries later would): everything arrives once, in order.
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    SendAll(reg, 1, kBound, kTotal, [&] {
      const int seen = dispatched.load();
      WaitUntil([&] { return dispatched.load() > seen; });
    });
    sent = true;
  });
  const bool all = WaitUntil(
      [&] {
        clock.Advance(core::TarvoImpl1::kTimer2IntervalMs);
        loop_->ProcessPendingMessages();
        return sent.load() && got.payloads.size() >= static_cast<std::size_t>(kTotal);
      },
      60s);
  sender.join();
  EXPECT_TRUE(all);
  std::vector<std::string> expected;
  for (int i = 0; i < kTotal; ++i) expected.push_back(Payload(1, i));
  EXPECT_EQ(got.payloads, expected);

  // The refusals are in the log, each with the reason.
  FlushLog();
  const std::string text = ReadWholeFile(LogPath());
  const std::string full = "2009:5:7 9:3:12 COM1: MessageQueue full: 64 messages wait for "
                           "dispatch, frame refused\r\n2009:5:7 9:3:12 WRITE: COM1: NAK\r\n";
  EXPECT_NE(text.find(full + full + full), std::string::npos) << text;
}

}  // namespace
}  // namespace tarvo::test
