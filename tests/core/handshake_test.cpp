// The opening handshake of Init, the receive path end to end on a pseudo-
// terminal, and the form timers.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "core_fixture.h"
#include "link/frame.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using core::DriverState;

TEST_F(CoreTest, InitAgainstASilentRegisterSendsOnlyTheLinkReset) {
  platform::VirtualClock clock;
  auto& impl = MakeControl(clock);
  PtyPair& reg = AddRegister(1);
  const platform::Millis start = clock.NowMs();
  EXPECT_EQ(impl.Init(1, 9600, 0, ""), 0);
  EXPECT_EQ(clock.NowMs() - start, 6 * 300);  // six rounds of 300 ms
  EXPECT_EQ(reg.ReadMasterExactly(24, 5s), link::LinkResetFrame());
  EXPECT_EQ(reg.ReadMaster(64, 300ms), "");
  EXPECT_EQ(impl.Entry(0)->AwaitAck.load(), 0);
}

class HandshakeAnswer : public CoreTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(HandshakeAnswer, AnAcknowledgedLinkResetIsFollowedByTheIdentificationRequest) {
  auto& impl = MakeControl();
  PtyPair& reg = AddRegister(16);
  const std::string answer = GetParam();
  std::string received;
  std::thread peer([&] {
    received = reg.ReadMasterExactly(24, 10s);
    reg.WriteMaster(answer);
    received += reg.ReadMasterExactly(24, 10s);
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(impl.Init(16, 19200, 0, ""), 0);
  const auto took = std::chrono::steady_clock::now() - start;
  peer.join();
  EXPECT_EQ(received, link::LinkResetFrame() + link::IdentifyFrame());
  EXPECT_LT(took, 1800ms);  // it stopped waiting in the round the answer came
  auto entry = impl.Entry(impl.FindPortEntry(16));
  EXPECT_EQ(entry->LastFrame(), link::IdentifyFrame());
  EXPECT_EQ(entry->AwaitAck.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(LoneAckOrDleAck, HandshakeAnswer,
                         ::testing::Values(std::string("\x06", 1), std::string("\x10\x06", 2)));

TEST_F(CoreTest, AFrameFromTheRegisterIsAcknowledgedAndQueued) {
  auto& impl = MakeControl();
  PtyPair& reg = AddRegister(3);
  ASSERT_EQ(impl.PortOpen(3, 9600, 0, ""), 0);
  std::vector<std::string> dispatched;
  impl.SetMessageHandler([&](const core::QueuedMessage& m) { dispatched.push_back(m.bytes); });
  reg.WriteMaster(link::BuildFrame(std::string("\x9D\x41", 2)));
  EXPECT_EQ(reg.ReadMasterExactly(2, 10s), link::kDleAck);
  ASSERT_TRUE(PumpUntil([&] { return !dispatched.empty(); }));
  EXPECT_EQ(dispatched[0], std::string("\x9D" "0" "\x41", 3));
}

TEST_F(CoreTest, RegisterNakMakesTheReadThreadResendTheLastFrame) {
  auto& impl = MakeControl();
  PtyPair& reg = AddRegister(2);
  ASSERT_EQ(impl.PortOpen(2, 9600, 0, ""), 0);
  auto entry = impl.Entry(0);
  const std::string frame = link::BuildFrame("\x9B");
  impl.SendFrame(*entry, frame);
  EXPECT_EQ(reg.ReadMasterExactly(frame.size(), 10s), frame);
  reg.WriteMaster("\x15");
  EXPECT_EQ(reg.ReadMasterExactly(frame.size(), 10s), frame);
  reg.WriteMaster(std::string("\x10\x06", 2));
  EXPECT_TRUE(WaitUntil([&] { return entry->Acked.load() == 1; }));
}

TEST_F(CoreTest, FiveQueuedMessagesAreDispatchedOnePerTickInOrder) {
  platform::VirtualClock clock;
  auto& impl = MakeControl(clock);
  AddRegister(1);
  ASSERT_EQ(impl.PortOpen(1, 9600, 0, ""), 0);
  std::vector<std::pair<platform::Millis, std::string>> seen;
  impl.SetMessageHandler([&](const core::QueuedMessage& m) {
    seen.emplace_back(clock.NowMs(), m.bytes);
  });
  const platform::Millis start = clock.NowMs();
  for (char c = 'a'; c <= 'e'; ++c)
    DriverState::Instance().queue.Push({std::string("\x98" "0") + c, impl.Entry(0)});
  for (int tick = 0; tick < 10; ++tick) {
    clock.Advance(100);
    loop_->ProcessPendingMessages();
  }
  ASSERT_EQ(seen.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(seen[i].second.back(), 'a' + i);
    EXPECT_EQ(seen[i].first - start, 100 * (i + 1));
  }
  EXPECT_TRUE(loop_->TimerEnabled(impl.timer2()));
}

TEST_F(CoreTest, AFailingDispatchConsumesTheMessageAndKeepsTimer2Running) {
  platform::VirtualClock clock;
  auto& impl = MakeControl(clock);
  int calls = 0;
  impl.SetMessageHandler([&](const core::QueuedMessage&) {
    ++calls;
    throw std::runtime_error("boom");
  });
  DriverState::Instance().queue.Push({"\x98" "0", {}});
  DriverState::Instance().queue.Push({"\x98" "0", {}});
  for (int tick = 0; tick < 3; ++tick) {
    clock.Advance(100);
    loop_->ProcessPendingMessages();
  }
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(DriverState::Instance().queue.Empty());
  EXPECT_TRUE(loop_->TimerEnabled(impl.timer2()));
}

TEST_F(CoreTest, Timer2IsOffWhileAMessageIsDispatchedAndAWaitInsideDoesNotReenter) {
  platform::VirtualClock clock;
  auto& impl = MakeControl(clock);
  AddRegister(1);
  ASSERT_EQ(impl.PortOpen(1, 9600, 0, ""), 0);
  auto entry = impl.Entry(0);
  entry->RxAge = 1;
  std::vector<std::pair<platform::Millis, char>> seen;
  bool enabled_inside = true;
  std::size_t seen_after_wait = 0;
  impl.SetMessageHandler([&](const core::QueuedMessage& m) {
    seen.emplace_back(clock.NowMs(), m.bytes.back());
    if (seen.size() > 1) return;
    enabled_inside = loop_->TimerEnabled(impl.timer2());
    // A handler that waits pumps the loop: Timer1 runs, Timer2 does not.
    impl.PumpWait(4, [] { return false; });
    seen_after_wait = seen.size();
  });
  const platform::Millis start = clock.NowMs();
  DriverState::Instance().queue.Push({std::string("\x98" "0a", 3), entry});
  DriverState::Instance().queue.Push({std::string("\x98" "0b", 3), entry});
  for (int tick = 0; tick < 3; ++tick) {
    clock.Advance(100);
    loop_->ProcessPendingMessages();
  }
  EXPECT_FALSE(enabled_inside);
  EXPECT_EQ(seen_after_wait, 1u);
  EXPECT_EQ(entry->RxAge.load(), 2);  // Timer1 ticked once inside the wait
  // Timer2 counts its interval again from the end of the dispatch.
  const std::vector<std::pair<platform::Millis, char>> expected = {
      {start + 100, 'a'}, {start + 100 + 4 * 300 + 100, 'b'}};
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(loop_->TimerEnabled(impl.timer2()));
}

TEST_F(CoreTest, Timer1AgesOnlyInputInProgress) {
  platform::VirtualClock clock;
  auto& impl = MakeControl(clock);
  AddRegister(1);
  AddRegister(2);
  ASSERT_EQ(impl.PortOpen(1, 9600, 0, ""), 0);
  ASSERT_EQ(impl.PortOpen(2, 9600, 0, ""), 0);
  impl.Entry(0)->RxAge = 1;
  impl.Entry(1)->RxAge = 0;
  for (int s = 0; s < 3; ++s) {
    clock.Advance(1000);
    loop_->ProcessPendingMessages();
  }
  EXPECT_EQ(impl.Entry(0)->RxAge.load(), 4);
  EXPECT_EQ(impl.Entry(1)->RxAge.load(), 0);
  impl.Entry(0)->RxAge = INT32_MAX;
  impl.Timer1Timer();
  EXPECT_EQ(impl.Entry(0)->RxAge.load(), INT32_MAX);
}

TEST_F(CoreTest, ClosingTheLastLoggingPortFlushesEverythingIncludingItsOwnLine) {
  auto& impl = MakeControl();
  AddRegister(2);
  ASSERT_EQ(impl.PortOpen(2, 9600, 100, log_dir_.string()), 0);
  impl.PortClose(2);
  std::string text;
  ASSERT_TRUE(WaitUntil([&] {
    std::ifstream in(LogPath(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    text = ss.str();
    return text.find("COM2: PortClose\r\n") != std::string::npos;
  }));
  EXPECT_NE(text.find("COM2: PortOpen 9600 100 " + log_dir_.string() + "\r\n"), std::string::npos);
}

}  // namespace
}  // namespace tarvo::test
