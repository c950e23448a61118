// Reading, writing, arrival notifications and hang-up on a pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/serial/com_fixture.h"

namespace tarvo::link::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class ComIoTest : public ComPortTest {
 protected:
  void SetUp() override { port_.OpenDevice(); }
};

// Every byte value once, in order.
std::string AllByteValues() {
  std::string s;
  for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
  return s;
}

TEST_F(ComIoTest, ReadsReturnWhatIsWaitingAndNeverWait) {
  pty_->WriteMaster("abc");
  ASSERT_TRUE(rx_.WaitFor(3));
  auto start = Clock::now();
  EXPECT_EQ(port_.ReceiveBytes(10), "abc");
  EXPECT_EQ(port_.ReceiveBytes(10), "");
  EXPECT_EQ(port_.ReceiveBytes(0), "");
  EXPECT_EQ(port_.ReceiveBytes(-1), "");
  EXPECT_LT(Clock::now() - start, 2s);
}

TEST_F(ComIoTest, CountsOverlapUntilTheBytesAreRead) {
  pty_->WriteMaster("12345");
  ASSERT_TRUE(rx_.WaitFor(5));
  pty_->WriteMaster("678");
  ASSERT_TRUE(rx_.WaitFor(8));
  EXPECT_EQ(port_.ReceiveBytes(5), "12345");
  EXPECT_EQ(port_.ReceiveBytes(8), "678");
  // One notification per arrival: no more came while the bytes sat unread.
  const auto counts = rx_.Counts();
  EXPECT_LE(counts.size(), 8u);
  for (std::int32_t c : counts) EXPECT_GE(c, 1);
}

TEST_F(ComIoTest, EveryByteValuePassesUnchangedBothWays) {
  const std::string bytes = AllByteValues();
  EXPECT_EQ(port_.TransmitBytes(bytes), 256);
  EXPECT_EQ(pty_->ReadMasterExactly(256, 10s), bytes);

  pty_->WriteMaster(bytes);
  ASSERT_TRUE(rx_.WaitFor(256));
  EXPECT_EQ(port_.ReceiveBytes(1000), bytes);
}

TEST_F(ComIoTest, EmptyTransmitReturnsZeroWithoutTouchingTheDevice) {
  EXPECT_EQ(port_.TransmitBytes(""), 0);
  port_.CloseDevice();
  EXPECT_EQ(port_.TransmitBytes(""), 0);  // even closed: no device call, no error
  EXPECT_EQ(pty_->ReadMaster(16, 0ms), "");
}

TEST_F(ComIoTest, ClosedPortRaisesOnReadAndWrite) {
  port_.CloseDevice();
  try {
    port_.ReceiveBytes(1);
    ADD_FAILURE() << "read on a closed port";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), CError_ReadFailed);
  }
  try {
    port_.TransmitBytes("x");
    ADD_FAILURE() << "write on a closed port";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), CError_WriteFailed);
  }
}

TEST_F(ComIoTest, ConcurrentWritesNeverInterleave) {
  constexpr std::size_t kBlock = 4096;
  constexpr int kBlocksEach = 8;
  auto writer = [&](char letter) {
    const std::string block(kBlock, letter);
    for (int i = 0; i < kBlocksEach; ++i) EXPECT_EQ(port_.TransmitBytes(block), std::int32_t{kBlock});
  };
  std::thread a(writer, 'A');
  std::thread b(writer, 'B');
  const std::string got = pty_->ReadMasterExactly(2 * kBlocksEach * kBlock, 30s);
  a.join();
  b.join();
  ASSERT_EQ(got.size(), 2 * kBlocksEach * kBlock);
  for (std::size_t at = 0; at < got.size(); at += kBlock) {
    EXPECT_EQ(got.substr(at, kBlock), std::string(kBlock, got[at])) << "block at " << at;
  }
}

TEST_F(ComIoTest, StalledWriteReturnsAShortCountAfterItsTimeOut) {
  TComTimeouts t = port_.Timeouts();
  t.WriteTotalConstant = 200;
  t.WriteTotalMultiplier = 0;
  port_.SetTimeouts(t);
  const std::string big(4 * 1024 * 1024, 'x');  // far more than the tty queues hold
  const auto start = Clock::now();
  const std::int32_t written = port_.TransmitBytes(big);
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_LT(written, static_cast<std::int32_t>(big.size()));
  EXPECT_GE(written, 0);
}

TEST_F(ComIoTest, EventsEmptyMeansNoNotificationsButReadsWork) {
  port_.CloseDevice();
  port_.SetEvents(0);
  port_.OpenDevice();
  pty_->WriteMaster("q");
  std::string got;
  ASSERT_TRUE(tarvo::test::WaitUntil([&] { return (got += port_.ReceiveBytes(4)) == "q"; }));
  EXPECT_EQ(rx_.Size(), 0u);
}

// CPU time (user + system, in clock ticks) of one thread of this process,
// or -1 when the thread no longer exists.
long ThreadCpuTicks(long tid) {
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  if (!std::getline(f, line)) return -1;
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

TEST_F(ComIoTest, HangUpStopsNotificationsWithoutSpinningAndReopenRecovers) {
  std::atomic<long> event_tid{0};
  port_.SetOnRxChar([&](TComPort&, std::int32_t count) {
    event_tid.store(::syscall(SYS_gettid));
    rx_.Add(count);
  });
  pty_->WriteMaster("a");
  ASSERT_TRUE(rx_.WaitFor(1));
  const long tid = event_tid.load();

  pty_->CloseMaster();
  int read_code = 0;
  int read_errno = 0;
  ASSERT_TRUE(tarvo::test::WaitUntil([&] {
    try {
      port_.ReceiveBytes(16);
    } catch (const EComPort& e) {
      read_code = e.Code();
      read_errno = e.WinCode();
      return true;
    }
    return false;
  }));
  EXPECT_EQ(read_code, CError_ReadFailed);
  EXPECT_EQ(read_errno, EIO);
  try {
    port_.TransmitBytes("x");
    ADD_FAILURE() << "write after hang-up";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), CError_WriteFailed);
    EXPECT_NE(e.WinCode(), -1);
  }

  // The event thread is still there, asleep: it neither burns CPU nor
  // reports anything while the hang-up persists.
  const std::size_t notified = rx_.Size();
  const long cpu_before = ThreadCpuTicks(tid);
  ASSERT_GE(cpu_before, 0) << "the event thread ended";
  EXPECT_FALSE(tarvo::test::WaitUntil(
      [&] { return ThreadCpuTicks(tid) > cpu_before + 20 || rx_.Size() != notified; }, 600ms));
  EXPECT_GE(ThreadCpuTicks(tid), 0) << "the event thread ended";

  // The device comes back under the same name (re-pointed link).
  tarvo::test::PtyPair again;
  dir_.Link("COM3", again.slave_path());
  port_.CloseDevice();
  EXPECT_FALSE(port_.Connected());
  port_.OpenDevice();
  again.WriteMaster("ok");
  ASSERT_TRUE(rx_.WaitFor(2));
  EXPECT_EQ(port_.ReceiveBytes(16), "ok");
  EXPECT_EQ(port_.TransmitBytes("z"), 1);
  EXPECT_EQ(again.ReadMasterExactly(1, 10s), "z");
}

}  // namespace
}  // namespace tarvo::link::testing
