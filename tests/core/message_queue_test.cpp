// The driver-wide message queue: order through the ring and the list behind
// it, and controls on several threads that each take a message exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/diag_log.h"
#include "core/driver_state.h"
#include "core/tarvo_impl.h"
#include "platform/clock.h"
#include "platform/message_loop.h"
#include "tests/support/wait.h"

namespace tarvo::test {
namespace {

using core::DriverState;
using core::MessageQueue;
using core::QueuedMessage;

std::string Message(int id) { return "\x98" "0" + std::to_string(id); }

TEST(MessageQueueTake, TakesInArrivalOrderThroughTheRingAndTheListBehindIt) {
  MessageQueue queue;
  EXPECT_FALSE(queue.Take().has_value());
  constexpr int kCount = 25;  // more than the ring holds
  for (int i = 0; i < kCount; ++i) queue.Push({Message(i), {}});
  EXPECT_EQ(queue.OverflowSize(), static_cast<std::size_t>(kCount - (MessageQueue::kSlots - 1)));
  for (int i = 0; i < kCount; ++i) {
    const auto m = queue.Take();
    ASSERT_TRUE(m.has_value()) << i;
    EXPECT_EQ(m->bytes, Message(i));
  }
  EXPECT_FALSE(queue.Take().has_value());
  EXPECT_TRUE(queue.Empty());
  EXPECT_EQ(queue.QueueRead(), queue.QueueWrite());
}

TEST(MessageQueueTake, ControlsOnTwoThreadsDispatchEveryMessageExactlyOnce) {
  DriverState::Instance().ResetForTest();
  core::DiagLog::Instance().ResetForTest();
  constexpr int kCount = 200000;
  std::vector<std::atomic<int>> dispatched(kCount);
  std::atomic<int> total{0};
  std::atomic<int> ready{0};

  auto control = [&] {
    platform::VirtualClock clock;
    platform::MessageLoop loop(clock);
    auto impl = std::make_unique<core::TarvoImpl1>(loop, DriverState::Instance());
    impl->SetMessageHandler([&](const QueuedMessage& m) {
      const int id = std::stoi(m.bytes.substr(2));
      dispatched[id].fetch_add(1);
      total.fetch_add(1);
    });
    ++ready;
    WaitUntil([&] { return ready.load() == 3; });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (total.load() < kCount && std::chrono::steady_clock::now() < deadline) {
      clock.Advance(100);
      loop.ProcessPendingMessages();
    }
    impl.reset();
  };
  std::thread a(control);
  std::thread b(control);
  ASSERT_TRUE(WaitUntil([&] { return ready.load() == 2; }));
  for (int i = 0; i < kCount; ++i) DriverState::Instance().queue.Push({Message(i), {}});
  ++ready;
  a.join();
  b.join();

  EXPECT_EQ(total.load(), kCount);
  int wrong = 0;
  for (int i = 0; i < kCount; ++i) {
    if (dispatched[i].load() != 1) {
      if (++wrong <= 5) ADD_FAILURE() << "message " << i << " dispatched " << dispatched[i].load() << " times";
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_TRUE(DriverState::Instance().queue.Empty());
  DriverState::Instance().ResetForTest();
  core::DiagLog::Instance().ResetForTest();
}

}  // namespace
}  // namespace tarvo::test
