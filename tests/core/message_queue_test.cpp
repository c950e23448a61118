// The driver-wide message queue: order through the ring and the list behind
// it, controls on several threads that each take a message exactly once,
// each control taking only the messages of the ports it opened, and the
// bound on what one port may have waiting.
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
#include "core/port_entry.h"
#include "link/com_port.h"
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

std::shared_ptr<core::PortEntry> EntryOf(const void* owner, std::uint8_t port_num) {
  auto port = std::make_shared<link::TComPort>();
  port->SetPort("COM" + std::to_string(port_num));
  return std::make_shared<core::PortEntry>(std::move(port), port_num, owner);
}

TEST(MessageQueueTake, EachControlTakesItsOwnPortsMessagesInOrder) {
  const int control_a = 0;
  const int control_b = 0;
  auto a1 = EntryOf(&control_a, 1);
  auto a2 = EntryOf(&control_a, 2);
  auto b3 = EntryOf(&control_b, 3);
  auto gone = EntryOf(&control_b, 4);
  MessageQueue queue;
  queue.Push({"b3-1", b3});
  queue.Push({"a1-1", a1});
  queue.Push({"gone", gone});
  queue.Push({"a2-1", a2});
  queue.Push({"b3-2", b3});
  queue.Push({"a1-2", a1});
  gone.reset();  // its port left the registry with its control

  auto take = [&](const void* owner) {
    const auto m = queue.TakeFor(owner);
    return m ? m->bytes : std::string("-");
  };
  // A message whose entry is gone belongs to nobody: the first control to
  // meet it takes it (and its dispatcher drops it).
  EXPECT_EQ(take(&control_a), "a1-1");
  EXPECT_EQ(take(&control_a), "gone");
  EXPECT_EQ(take(&control_a), "a2-1");
  EXPECT_EQ(take(&control_b), "b3-1");
  EXPECT_EQ(take(&control_a), "a1-2");
  EXPECT_EQ(take(&control_a), "-");
  EXPECT_EQ(take(&control_b), "b3-2");
  EXPECT_EQ(take(&control_b), "-");
  EXPECT_TRUE(queue.Empty());
}

TEST(MessageQueueBound, EachPortHasRoomForItsOwnBoundOfWaitingMessages) {
  const int control = 0;
  auto a = EntryOf(&control, 1);
  auto b = EntryOf(&control, 2);
  MessageQueue queue;
  for (std::size_t i = 0; i < MessageQueue::kMaxPendingPerPort; ++i) {
    ASSERT_TRUE(queue.HasRoomFor(a)) << i;
    queue.Push({Message(static_cast<int>(i)), a});
  }
  EXPECT_FALSE(queue.HasRoomFor(a));
  EXPECT_TRUE(queue.HasRoomFor(b));  // another port is not held up
  EXPECT_EQ(queue.PendingFor(a), MessageQueue::kMaxPendingPerPort);
  // The ring's indices still describe the queue: nine in the ring, the rest
  // behind it.
  EXPECT_EQ((queue.QueueWrite() - queue.QueueRead() + 10) % 10, MessageQueue::kSlots - 1);
  EXPECT_EQ(queue.OverflowSize(), MessageQueue::kMaxPendingPerPort - (MessageQueue::kSlots - 1));
  queue.TakeFor(&control);
  EXPECT_TRUE(queue.HasRoomFor(a));
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
