// The control's message loop: window-style timers in virtual time, posted
// tasks, nesting, and the descriptor a host loop can wait on.
#include "platform/message_loop.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/wait.h"

namespace tarvo::platform {
namespace {

using Fired = std::vector<std::pair<std::string, Millis>>;

class VirtualLoopTest : public ::testing::Test {
 protected:
  // Adds a timer that records its name and the virtual time of every tick.
  MessageLoop::TimerId AddRecorded(const std::string& name, Millis interval, bool enabled = true) {
    return loop_.AddTimer(name, interval, [this, name] { fired_.emplace_back(name, clock_.NowMs()); },
                          enabled);
  }
  // Moves the clock in `step` increments up to `until`, pumping after each.
  void StepTo(Millis until, Millis step) {
    while (clock_.NowMs() < until) {
      clock_.Advance(step);
      loop_.ProcessPendingMessages();
    }
  }

  VirtualClock clock_;
  MessageLoop loop_{clock_};
  Fired fired_;
};

bool Readable(int fd, int timeout_ms) {
  pollfd pfd{fd, POLLIN, 0};
  return ::poll(&pfd, 1, timeout_ms) == 1 && (pfd.revents & POLLIN) != 0;
}

TEST_F(VirtualLoopTest, TwoTimersFireAtTheirIntervalsInDueOrder) {
  AddRecorded("Timer1", 1000);
  AddRecorded("Timer2", 100);
  EXPECT_EQ(loop_.NextTimeoutMs(), 100);

  StepTo(2000, 50);

  Fired expected;
  for (Millis t = 100; t <= 2000; t += 100) {
    // At 1000 and 2000 both are due; the older timer goes first.
    if (t % 1000 == 0) expected.emplace_back("Timer1", t);
    expected.emplace_back("Timer2", t);
  }
  EXPECT_EQ(fired_, expected);
}

TEST_F(VirtualLoopTest, LateTimerFiresOnceAndCountsItsIntervalFromThen) {
  AddRecorded("T", 100);
  clock_.Advance(350);
  loop_.ProcessPendingMessages();
  loop_.ProcessPendingMessages();
  EXPECT_EQ(fired_, (Fired{{"T", 350}}));
  EXPECT_EQ(loop_.NextTimeoutMs(), 100);

  clock_.Advance(99);
  loop_.ProcessPendingMessages();
  EXPECT_EQ(fired_.size(), 1u);
  clock_.Advance(1);
  loop_.ProcessPendingMessages();
  EXPECT_EQ(fired_, (Fired{{"T", 350}, {"T", 450}}));
}

TEST_F(VirtualLoopTest, EnableDisableAndIntervalChanges) {
  const auto id = AddRecorded("T", 100, /*enabled=*/false);
  EXPECT_FALSE(loop_.TimerEnabled(id));
  EXPECT_EQ(loop_.NextTimeoutMs(), -1);
  StepTo(500, 100);
  EXPECT_TRUE(fired_.empty());

  // Enabling restarts the interval from now (500 -> first tick at 600).
  clock_.Advance(30);
  loop_.SetTimerEnabled(id, true);
  EXPECT_TRUE(loop_.TimerEnabled(id));
  StepTo(700, 10);
  EXPECT_EQ(fired_, (Fired{{"T", 630}}));

  // Enabling an enabled timer changes nothing.
  loop_.SetTimerEnabled(id, true);
  EXPECT_EQ(loop_.NextTimeoutMs(), 30);

  // Disabling, even when it is overdue, stops it.
  clock_.Advance(500);
  loop_.SetTimerEnabled(id, false);
  loop_.ProcessPendingMessages();
  EXPECT_EQ(fired_.size(), 1u);

  // A new interval counts from now.
  loop_.SetTimerEnabled(id, true);
  loop_.SetTimerInterval(id, 250);
  EXPECT_EQ(loop_.NextTimeoutMs(), 250);

  loop_.RemoveTimer(id);
  EXPECT_FALSE(loop_.TimerEnabled(id));
  EXPECT_EQ(loop_.NextTimeoutMs(), -1);
}

TEST_F(VirtualLoopTest, HandlersMayChangeTimersWhileTheLoopFiresThem) {
  // A and B are due in the same pump; A disables B, so B must not fire. C
  // removes itself and adds D; D is new and not yet due.
  MessageLoop::TimerId b = 0, c = 0;
  int d_ticks = 0;
  loop_.AddTimer("A", 100, [&] {
    fired_.emplace_back("A", clock_.NowMs());
    loop_.SetTimerEnabled(b, false);
  });
  b = AddRecorded("B", 100);
  c = loop_.AddTimer("C", 100, [&] {
    fired_.emplace_back("C", clock_.NowMs());
    loop_.RemoveTimer(c);
    loop_.AddTimer("D", 100, [&] { ++d_ticks; });
  });

  clock_.Advance(100);
  loop_.ProcessPendingMessages();
  EXPECT_EQ(fired_, (Fired{{"A", 100}, {"C", 100}}));
  EXPECT_EQ(d_ticks, 0);

  clock_.Advance(100);
  loop_.ProcessPendingMessages();
  EXPECT_EQ(fired_, (Fired{{"A", 100}, {"C", 100}, {"A", 200}}));
  EXPECT_EQ(d_ticks, 1);
}

TEST_F(VirtualLoopTest, TimerThatDisablesItselfStaysOffUntilEnabled) {
  MessageLoop::TimerId id = 0;
  id = loop_.AddTimer("T", 100, [&] {
    fired_.emplace_back("T", clock_.NowMs());
    loop_.SetTimerEnabled(id, false);
  });
  StepTo(1000, 100);
  EXPECT_EQ(fired_, (Fired{{"T", 100}}));
  loop_.SetTimerEnabled(id, true);
  StepTo(1200, 100);
  EXPECT_EQ(fired_, (Fired{{"T", 100}, {"T", 1100}}));
}

TEST_F(VirtualLoopTest, NestedPumpingFiresOtherTimersOncePerRound) {
  // Timer1's handler waits like a command: 21 rounds of a 300 ms sleep and a
  // pump. The 100 ms timer is late in every round and fires once per round;
  // Timer1 itself is never re-entered although it falls due meanwhile.
  int timer1_depth = 0, timer1_max_depth = 0, timer1_ticks = 0;
  int timer2_ticks = 0, timer2_ticks_inside = -1;
  loop_.AddTimer("Timer1", 1000, [&] {
    ++timer1_ticks;
    timer1_max_depth = std::max(timer1_max_depth, ++timer1_depth);
    if (timer1_ticks == 1) {
      const int before = timer2_ticks;
      for (int round = 0; round < 21; ++round) {
        clock_.SleepMs(300);
        loop_.ProcessPendingMessages();
      }
      timer2_ticks_inside = timer2_ticks - before;
    }
    --timer1_depth;
  });
  loop_.AddTimer("Timer2", 100, [&] { ++timer2_ticks; });

  StepTo(1000, 100);  // at 1000 both are due; Timer1 goes first and waits
  EXPECT_EQ(timer1_ticks, 1);
  EXPECT_EQ(timer2_ticks_inside, 21);
  // 100..900 before the wait; the outer pump's own Timer2 tick at 1000 was
  // overtaken by the ticks inside the wait.
  EXPECT_EQ(timer2_ticks, 9 + 21);
  EXPECT_EQ(timer1_max_depth, 1);

  // Back outside, the overdue Timer1 fires once.
  loop_.ProcessPendingMessages();
  EXPECT_EQ(timer1_ticks, 2);
}

TEST_F(VirtualLoopTest, TimerWithHandlerRunningIsLeftOutOfTheNextTimeout) {
  Millis inside = -2;
  loop_.AddTimer("T", 100, [&] { inside = loop_.NextTimeoutMs(); });
  clock_.Advance(100);
  loop_.ProcessPendingMessages();
  EXPECT_EQ(inside, -1);
  EXPECT_EQ(loop_.NextTimeoutMs(), 100);
}

TEST_F(VirtualLoopTest, PostedTasksRunInOrderAndLaterPostsWaitForTheNextPump) {
  std::vector<int> ran;
  loop_.Post([&] {
    ran.push_back(1);
    loop_.Post([&] { ran.push_back(3); });
  });
  loop_.Post([&] { ran.push_back(2); });
  loop_.ProcessPendingMessages();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  loop_.ProcessPendingMessages();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST_F(VirtualLoopTest, NestedPumpInsideATaskKeepsPostingOrder) {
  std::vector<int> ran;
  loop_.Post([&] {
    ran.push_back(1);
    loop_.Post([&] { ran.push_back(3); });
    loop_.ProcessPendingMessages();  // runs 2 (older) and then 3
  });
  loop_.Post([&] { ran.push_back(2); });
  loop_.ProcessPendingMessages();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST_F(VirtualLoopTest, TasksPostedFromOtherThreadsRunOnTheOwner) {
  constexpr int kPerThread = 200;
  const auto owner = std::this_thread::get_id();
  std::vector<int> seen_a, seen_b;  // touched only on the owner thread
  bool all_on_owner = true;
  auto producer = [&](std::vector<int>& seen) {
    for (int i = 0; i < kPerThread; ++i) {
      loop_.Post([&, i] {
        all_on_owner = all_on_owner && std::this_thread::get_id() == owner;
        seen.push_back(i);
      });
    }
  };
  std::thread a(producer, std::ref(seen_a));
  std::thread b(producer, std::ref(seen_b));
  EXPECT_TRUE(test::WaitUntil([&] {
    loop_.ProcessPendingMessages();
    return seen_a.size() == kPerThread && seen_b.size() == kPerThread;
  }));
  a.join();
  b.join();
  EXPECT_TRUE(all_on_owner);
  for (const auto* seen : {&seen_a, &seen_b}) {
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ((*seen)[i], i);
  }
}

TEST_F(VirtualLoopTest, ReadinessFdSignalsPostedTasks) {
  const int fd = loop_.ReadinessFd();
  loop_.AddTimer("virtual", 10, [] {});
  clock_.Advance(100);  // a due virtual timer does not wake the descriptor
  EXPECT_FALSE(Readable(fd, 0));

  std::thread([&] { loop_.Post([] {}); }).join();
  EXPECT_TRUE(Readable(fd, 0));
  loop_.ProcessPendingMessages();
  EXPECT_FALSE(Readable(fd, 0));

  // A task posted by a task stays pending, so the descriptor stays readable.
  loop_.Post([&] { loop_.Post([] {}); });
  loop_.ProcessPendingMessages();
  EXPECT_TRUE(Readable(fd, 0));
  loop_.ProcessPendingMessages();
  EXPECT_FALSE(Readable(fd, 0));
}

TEST_F(VirtualLoopTest, ThrowingTaskLeavesTheRestQueuedAndSignalled) {
  bool second = false;
  loop_.Post([] { throw std::runtime_error("task failed"); });
  loop_.Post([&] { second = true; });
  EXPECT_THROW(loop_.ProcessPendingMessages(), std::runtime_error);
  EXPECT_FALSE(second);
  EXPECT_TRUE(Readable(loop_.ReadinessFd(), 0));
  loop_.ProcessPendingMessages();
  EXPECT_TRUE(second);
}

TEST(RealLoopTest, ReadinessFdSignalsADueTimer) {
  MessageLoop loop;  // SystemClock
  const int fd = loop.ReadinessFd();
  int ticks = 0;
  const auto id = loop.AddTimer("T", 60000, [&] { ++ticks; });
  EXPECT_FALSE(Readable(fd, 0));
  loop.SetTimerInterval(id, 20);

  // Drive the loop the way a host with its own poll loop would.
  EXPECT_TRUE(test::WaitUntil([&] {
    if (Readable(fd, 1000)) loop.ProcessPendingMessages();
    return ticks >= 2;
  }));

  loop.SetTimerEnabled(id, false);
  loop.ProcessPendingMessages();
  EXPECT_EQ(loop.NextTimeoutMs(), -1);
  EXPECT_FALSE(Readable(fd, 0));
}

TEST(RealLoopTest, RunReturnsWhenATimerHandlerQuits) {
  MessageLoop loop;
  int ticks = 0;
  loop.AddTimer("T", 10, [&] {
    if (++ticks == 3) loop.Quit();
  });
  loop.Run();
  EXPECT_EQ(ticks, 3);
}

TEST(RealLoopTest, RunServesTasksAndQuitFromAnotherThread) {
  MessageLoop loop;
  std::atomic<int> ran{0};
  std::thread other([&] {
    for (int i = 0; i < 10; ++i) loop.Post([&] { ++ran; });
    // Quit is asked only once the tasks above have run.
    EXPECT_TRUE(test::WaitUntil([&] { return ran.load() == 10; }));
    loop.Quit();
  });
  loop.Run();
  other.join();
  EXPECT_EQ(ran.load(), 10);

  // Run can be entered again; a task that quits ends it.
  bool again = false;
  loop.Post([&] {
    again = true;
    loop.Quit();
  });
  loop.Run();
  EXPECT_TRUE(again);
}

}  // namespace
}  // namespace tarvo::platform
