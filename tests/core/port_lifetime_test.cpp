// Port lifetime across threads: a register that spoke before the open, two
// controls on two threads sharing and retiring an entry while a register
// streams, a register that stops reading beside one that goes on, and an
// acknowledgement that comes before the frame it would answer.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "core_fixture.h"
#include "link/frame.h"
#include "tests/link/hex.h"
#include "tests/support/wait.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using core::DriverState;
using link::test::H;

const std::string kFrame = H("10 02 9D 41 10 03 FC");

// Plays a register that sends frames without pause and throws away what the
// driver answers, until stopped. It never blocks for long: the line may be
// closed (and its input full) for a while.
class StreamingRegister {
 public:
  explicit StreamingRegister(PtyPair& pty) : pty_(pty), thread_([this] { Run(); }) {}
  ~StreamingRegister() {
    stop_ = true;
    thread_.join();
  }
  int sent() const { return sent_.load(); }

 private:
  void Run() {
    const int fd = pty_.master_fd();
    char sink[4096];
    while (!stop_) {
      pollfd p{fd, POLLIN | POLLOUT, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      if (p.revents & POLLIN) {
        [[maybe_unused]] const ssize_t n = ::read(fd, sink, sizeof sink);
      }
      if ((p.revents & POLLOUT) && ::write(fd, kFrame.data(), kFrame.size()) > 0) ++sent_;
    }
  }

  PtyPair& pty_;
  std::atomic<bool> stop_{false};
  std::atomic<int> sent_{0};
  std::thread thread_;
};

// A register that speaks first: its frame waits in the input queue when the
// port is opened, and is read and acknowledged at once (not only when more
// bytes arrive), on a new entry as on a reused one.
TEST_F(CoreTest, AFrameWaitingAtOpenIsAcknowledgedAtOnce) {
  auto& impl = MakeControl();
  PtyPair& reg = AddRegister(1);
  for (int cycle = 0; cycle < 500; ++cycle) {
    reg.WriteMaster(kFrame);
    ASSERT_EQ(impl.PortOpen(1, 9600, 0, ""), 0);
    ASSERT_EQ(reg.ReadMasterExactly(2, 10s), link::kDleAck) << "cycle " << cycle;
    // Each cycle's message is queued once (and taken here, as the dispatcher
    // would, so the port's bound of waiting messages is never reached).
    core::MessageQueue& queue = DriverState::Instance().queue;
    ASSERT_TRUE(WaitUntil([&] { return !queue.Empty(); })) << "cycle " << cycle;
    ASSERT_EQ(queue.Take()->bytes, H("9D 30 41")) << "cycle " << cycle;
    impl.PortClose(1);
  }
  EXPECT_TRUE(DriverState::Instance().queue.Empty());
}

// Two threads, each creating a control, opening COM1 (and B closing it
// again) and destroying the control, over and over: each control in turn
// creates the entry, reuses the other's entry, reopens it while the other's
// control goes, and registers it anew once that entry is gone. The register
// streams all the while. No arrival may reach a control or reader that is
// gone (the sanitizer builds see every such access), and at the end the port
// works.
TEST_F(CoreTest, TwoControlsOnTwoThreadsShareAndRetireAnEntryWhileTheRegisterStreams) {
  PtyPair& reg = AddRegister(1);
  std::atomic<bool> a_done{false};
  std::atomic<int> b_opens{0};
  {
    StreamingRegister stream(reg);
    std::thread a([&] {
      for (int cycle = 0; cycle < 40; ++cycle) {
        platform::MessageLoop loop;
        core::TarvoImpl1 control(loop, DriverState::Instance());
        EXPECT_EQ(control.PortOpen(1, 9600, 0, ""), 0) << "cycle " << cycle;
        loop.ProcessPendingMessages();
      }
      a_done = true;
    });
    std::thread b([&] {
      while (!a_done) {
        platform::MessageLoop loop;
        core::TarvoImpl1 control(loop, DriverState::Instance());
        for (int i = 0; i < 3; ++i) {
          EXPECT_EQ(control.PortOpen(1, 9600, 0, ""), 0);
          ++b_opens;
          loop.ProcessPendingMessages();
          control.PortClose(1);
        }
      }
    });
    a.join();
    b.join();
    EXPECT_GT(stream.sent(), 0);
  }
  EXPECT_GT(b_opens.load(), 0);

  // Both controls are gone, and their entries with them; a new control
  // opens the port and is answered.
  EXPECT_EQ(DriverState::Instance().ports.Count(), 0);
  auto& impl = MakeControl();
  ASSERT_EQ(impl.PortOpen(1, 9600, 0, ""), 0);
  reg.ReadMaster(1 << 16, 100ms);  // whatever the stream left unanswered
  reg.WriteMaster(kFrame);
  EXPECT_EQ(reg.ReadMasterExactly(2, 10s), link::kDleAck);
}

// COM1's register stops reading while the host writes a long frame to it,
// and then sends a frame itself, so the acknowledgement of COM1 waits behind
// the stalled write. COM2's register is acknowledged meanwhile.
TEST_F(CoreTest, AStalledRegisterDoesNotHoldUpTheAcknowledgementsOfAnother) {
  auto& impl = MakeControl();
  PtyPair& stalled = AddRegister(1);
  PtyPair& lively = AddRegister(2);
  ASSERT_EQ(impl.PortOpen(1, 9600, 0, ""), 0);
  ASSERT_EQ(impl.PortOpen(2, 9600, 0, ""), 0);
  auto com1 = impl.Entry(impl.FindPortEntry(1));

  // More than any pseudo-terminal holds: the write stalls until the far end
  // reads (its time-out is far beyond this test).
  const std::string flood(1 << 20, '\x55');
  std::atomic<bool> write_done{false};
  std::thread writer([&] {
    com1->Port->TransmitBytes(flood);
    write_done = true;
  });
  std::string rest;  // what COM1's far end reads once it reads again
  struct ReadAgainAndJoin {
    PtyPair& far_end;
    std::string& rest;
    std::thread& writer;
    std::size_t expected;
    ~ReadAgainAndJoin() {
      rest += far_end.ReadMasterExactly(expected - rest.size(), 60s);
      writer.join();
    }
  } cleanup{stalled, rest, writer, flood.size() + 2};
  // The long write has begun (and holds the port's writes) once its first
  // bytes are on the line; nobody reads them, so it stalls there.
  ASSERT_TRUE(WaitUntil([&] {
    pollfd p{stalled.master_fd(), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
  }));
  stalled.WriteMaster(kFrame);
  // COM1's reader holds the entry while it waits to acknowledge.
  ASSERT_TRUE(WaitUntil([&] {
    if (!com1->rx_mutex.try_lock()) return true;
    com1->rx_mutex.unlock();
    return false;
  }));

  lively.WriteMaster(kFrame);
  EXPECT_EQ(lively.ReadMasterExactly(2, 10s), link::kDleAck);
  EXPECT_FALSE(write_done.load()) << "the write on COM1 was not stalled";

  // The far end of COM1 reads again: the flood and the acknowledgement go out.
  rest = stalled.ReadMasterExactly(flood.size() + 2, 60s);
  EXPECT_EQ(rest, flood + std::string(link::kDleAck));
}

// An acknowledgement that the reader took before a frame was written (a late
// one from an earlier exchange) does not count for that frame; one that comes
// after it does.
TEST_F(CoreTest, AnAcknowledgementReadBeforeAFrameIsWrittenDoesNotCountForIt) {
  auto& impl = MakeControl();
  PtyPair& reg = AddRegister(3);
  ASSERT_EQ(impl.PortOpen(3, 9600, 0, ""), 0);
  auto entry = impl.Entry(impl.FindPortEntry(3));
  reg.WriteMaster(link::kDleAck);
  ASSERT_TRUE(WaitUntil([&] { return entry->Acked.load() == 1; }));

  impl.SendFrame(*entry, link::StatusFrame());
  EXPECT_EQ(entry->Acked.load(), 0);
  EXPECT_EQ(entry->LastFrame(), link::StatusFrame());
  EXPECT_EQ(reg.ReadMasterExactly(link::StatusFrame().size(), 10s), link::StatusFrame());
  reg.WriteMaster(link::kDleAck);
  EXPECT_TRUE(WaitUntil([&] { return entry->Acked.load() == 1; }));
}

}  // namespace
}  // namespace tarvo::test
