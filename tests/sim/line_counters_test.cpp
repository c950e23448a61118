// The simulator's line counters and its pacing to a line rate, which the soak
// run and the benchmarks report from.
#include <gtest/gtest.h>

#include <future>

#include "link/frame.h"
#include "tests/sim/host_line.h"
#include "tests/support/wait.h"
#include "tools/sim/register_sim.h"

namespace tarvo::sim {
namespace {

using namespace std::chrono_literals;
using test::HostLine;
using test::Token;
using Clock = std::chrono::steady_clock;

TEST(RegisterSimLine, CountsTheHostsNaksAndTheResendsTheyCause) {
  SimOptions o;
  o.turnaround_ms = 0;
  RegisterSimulator sim(o);
  HostLine host(sim.host_path());
  const std::string body = msg::OperationRequest();
  const std::string frame = link::BuildFrame(body);

  auto sent = std::async(std::launch::async, [&] { return sim.Send(body); });
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(host.NextFrame(/*ack=*/false)) << "attempt " << i;
    host.Write(link::kNakByte);
  }
  ASSERT_TRUE(host.NextFrame(/*ack=*/true));
  ASSERT_EQ(sent.get(), SendStatus::kAcked);

  host.Write(link::kNakByte);  // nothing in flight: counted, nothing resent
  ASSERT_TRUE(tarvo::test::WaitUntil([&] { return sim.Counters().naks_received == 3; }));
  const LineCounters c = sim.Counters();
  EXPECT_EQ(c.resends, 2u);
  EXPECT_EQ(c.frames_written, 3u);
  EXPECT_EQ(c.bytes_written, 3 * frame.size());
  EXPECT_FALSE(host.Next(200ms)) << "a NAK with nothing in flight resends nothing";
  EXPECT_GE(sim.LineThreadCpuSeconds(), 0.0);
}

TEST(RegisterSimLine, PacedWritesKeepTheLineBusyForTheirBitTime) {
  // 600 baud: 60 bytes a second, so a frame of n bytes occupies the line for
  // n / 60 seconds and the next write cannot start before that has passed.
  SimOptions o;
  o.turnaround_ms = 0;
  o.line_rate_baud = 600;
  RegisterSimulator sim(o);
  HostLine host(sim.host_path());
  const std::string first = msg::Sale({0, 'P', "5998", 100, 100, 1000});
  const auto bit_time = std::chrono::microseconds(link::BuildFrame(first).size() * 10 * 1000000 / 600);

  auto sent = std::async(std::launch::async, [&] {
    const SendStatus a = sim.Send(first);
    const SendStatus b = sim.Send(msg::OperationRequest());
    return a == SendStatus::kAcked && b == SendStatus::kAcked;
  });
  ASSERT_TRUE(host.NextFrame(/*ack=*/true));
  const auto first_arrived = Clock::now();
  ASSERT_TRUE(host.NextFrame(/*ack=*/true));
  // Half the bit time: the host may read the first frame late, never the
  // second early.
  EXPECT_GE(Clock::now() - first_arrived, bit_time / 2);
  EXPECT_TRUE(sent.get());
}

}  // namespace
}  // namespace tarvo::sim
