// The edges of a port's life: bytes that wait before the open, bytes written
// just before the close, and a line that hangs up while the port is open.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "link/com_port_impl.h"
#include "tests/serial/com_fixture.h"

namespace tarvo::link::testing {
namespace {

using namespace std::chrono_literals;

// A register that speaks before the port is open: its bytes are reported at
// once, and the handler already finds the port open (a reader that drops
// reports for closed ports would otherwise lose them until more bytes came).
TEST_F(ComPortTest, BytesWaitingAtOpenAreReportedToAnOpenPort) {
  std::atomic<int> reports{0};
  std::atomic<int> reports_while_closed{0};
  port_.SetOnRxChar([&](TComPort& sender, std::int32_t) {
    if (!sender.Connected()) ++reports_while_closed;
    ++reports;
  });
  for (int cycle = 0; cycle < 500; ++cycle) {
    pty_->WriteMaster("\x10\x06");
    const int before = reports.load();
    port_.OpenDevice();
    ASSERT_TRUE(tarvo::test::WaitUntil([&] { return reports.load() > before; }))
        << "cycle " << cycle;
    EXPECT_EQ(port_.ReceiveBytes(16), "\x10\x06") << "cycle " << cycle;
    port_.CloseDevice();
  }
  EXPECT_EQ(reports_while_closed.load(), 0);
}

// What was written just before the close reaches the far end: the close
// lets the output go out and discards only what came in.
TEST_F(ComPortTest, AFrameWrittenJustBeforeTheCloseReachesTheLine) {
  const std::string frame(65, '\x5A');
  for (int cycle = 0; cycle < 20; ++cycle) {
    port_.OpenDevice();
    pty_->WriteMaster("unread input");
    ASSERT_TRUE(rx_.WaitFor(12));
    ASSERT_EQ(port_.TransmitBytes(frame), 65);
    port_.CloseDevice();
    EXPECT_EQ(pty_->ReadMasterExactly(frame.size(), 10s), frame) << "cycle " << cycle;
    // The unread input went with the close: the reopened port starts empty.
    port_.OpenDevice();
    EXPECT_EQ(port_.ReceiveBytes(64), "") << "cycle " << cycle;
    port_.CloseDevice();
  }
}

// The close waits for the queued output as long as the line needs to send
// it, and not much longer: a 65-byte frame takes about 68 ms at 9600 baud.
TEST(ComPortDrain, TheCloseWaitsAsLongAsTheQueuedBytesNeedOnTheLine) {
  struct Case {
    int queued;
    std::int32_t rate;
    std::chrono::milliseconds bound;
  };
  const Case cases[] = {
      {0, 9600, detail::kDrainMargin},
      {65, 9600, 68ms + detail::kDrainMargin},
      {65, 19200, 34ms + detail::kDrainMargin},
      {1024, 9600, 1067ms + detail::kDrainMargin},
      {10, 0, detail::kDrainMargin},  // no rate known: the margin alone
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detail::DrainBound(c.queued, c.rate), c.bound) << c.queued << " at " << c.rate;
  }
}

// A hang-up is reported once, the line is known to be down, and a close and
// open on the device that came back under the same name brings it up again.
TEST_F(ComPortTest, AHangUpIsReportedOnceAndTheLineStaysDownUntilReopened) {
  std::atomic<int> hang_ups{0};
  port_.SetOnHangUp([&](TComPort&) { ++hang_ups; });
  port_.OpenDevice();
  EXPECT_FALSE(port_.LineDown());

  pty_->CloseMaster();
  EXPECT_TRUE(port_.LineDown());  // seen at once, before any report
  ASSERT_TRUE(tarvo::test::WaitUntil([&] { return hang_ups.load() == 1; }));
  EXPECT_TRUE(port_.Connected());
  EXPECT_THROW(port_.TransmitBytes("x"), EComPort);
  EXPECT_FALSE(tarvo::test::WaitUntil([&] { return hang_ups.load() > 1; }, 300ms));

  tarvo::test::PtyPair again;
  dir_.Link("COM3", again.slave_path());
  port_.CloseDevice();
  EXPECT_FALSE(port_.LineDown());
  port_.OpenDevice();
  EXPECT_FALSE(port_.LineDown());
  EXPECT_EQ(port_.TransmitBytes("up"), 2);
  EXPECT_EQ(again.ReadMasterExactly(2, 10s), "up");
  EXPECT_EQ(hang_ups.load(), 1);
  // Closed before `again` goes: its end would be a hang-up reported to a
  // handler whose counter lives on this finished stack frame.
  port_.CloseDevice();
}

}  // namespace
}  // namespace tarvo::link::testing
