// Faults the simulated register can put on the line.
#include <gtest/gtest.h>

#include <future>

#include "link/frame.h"
#include "tests/sim/host_line.h"
#include "tests/support/wait.h"
#include "tools/sim/register_sim.h"

namespace tarvo::sim {
namespace {

using namespace std::chrono_literals;
using test::H;
using test::HostLine;
using test::Token;

SimOptions Quick() {
  SimOptions o;
  o.ack_timeout_ms = 3000;
  o.partial_frame_ms = 200;
  return o;
}

TEST(RegisterSimFaults, NakedFramesAreAnsweredOnlyAfterTheResend) {
  RegisterSimulator sim(Quick());
  HostLine host(sim.host_path());
  sim.NakNext(2);
  for (int i = 0; i < 2; ++i) {
    host.Write(link::StatusFrame());
    const auto t = host.Next();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->type, Token::Type::kNak) << "attempt " << i;
  }
  host.Write(link::StatusFrame());
  ASSERT_EQ(host.Next()->type, Token::Type::kAck);
  const auto answer = host.NextFrame();
  ASSERT_TRUE(answer);
  EXPECT_EQ(link::HexDump(answer->substr(8, 5)), "06 00 00 00 00 ");
  EXPECT_EQ(sim.HostBodies().size(), 1u) << "NAKed frames are not acted on";
}

TEST(RegisterSimFaults, WithheldAcknowledgementStillActsOnTheFrame) {
  RegisterSimulator sim(Quick());
  HostLine host(sim.host_path());
  sim.WithholdAckNext(1);
  const std::string table4 = std::string(35, '\x07');
  host.SendBody(link::TableBody(link::FnWriteTable(4), 35, table4));
  EXPECT_FALSE(host.Next(300ms)) << "no acknowledgement";
  ASSERT_TRUE(tarvo::test::WaitUntil([&] { return sim.Table(4) == table4; }));

  host.Write(link::StatusFrame());  // the next frame is acknowledged again
  const auto t = host.Next();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->type, Token::Type::kAck);
}

TEST(RegisterSimFaults, SilentRegisterIgnoresEverythingUntilWokenUp) {
  RegisterSimulator sim(Quick());
  HostLine host(sim.host_path());
  sim.FallSilent();
  EXPECT_EQ(sim.Send(msg::OperationRequest()), SendStatus::kSilent);
  host.Write(link::LinkResetFrame());
  host.Write(link::IdentifyFrame());
  EXPECT_FALSE(host.Next(300ms));
  EXPECT_EQ(sim.LinkResets(), 0);

  sim.WakeUp();
  host.Write(link::LinkResetFrame());
  const auto t = host.Next();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->type, Token::Type::kAck);
  ASSERT_TRUE(tarvo::test::WaitUntil([&] { return sim.LinkResets() == 1; }));
}

TEST(RegisterSimFaults, FallingSilentAbandonsTheFrameInFlight) {
  SimOptions o = Quick();
  o.ack_timeout_ms = 10000;
  RegisterSimulator sim(o);
  HostLine host(sim.host_path());
  auto sent = std::async(std::launch::async, [&] { return sim.Send(msg::OperationRequest()); });
  ASSERT_TRUE(host.NextFrame(false));
  sim.FallSilent();
  EXPECT_EQ(sent.get(), SendStatus::kSilent);
}

TEST(RegisterSimFaults, HangUpClosesTheLineForGood) {
  SimOptions o = Quick();
  o.ack_timeout_ms = 10000;
  RegisterSimulator sim(o);
  HostLine host(sim.host_path());
  auto sent = std::async(std::launch::async, [&] { return sim.Send(msg::OperationRequest()); });
  ASSERT_TRUE(host.NextFrame(false));
  sim.HangUp();
  EXPECT_TRUE(sim.hung_up());
  EXPECT_EQ(sent.get(), SendStatus::kLineDown) << "a frame in flight fails with the line";
  const auto t = host.Next();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->type, Token::Type::kHangUp);
  EXPECT_EQ(sim.Send(msg::OperationRequest()), SendStatus::kLineDown);
}

TEST(RegisterSimFaults, GarbageAndPartialFramesReachTheHostAsTheyAre) {
  RegisterSimulator sim(Quick());
  HostLine host(sim.host_path());
  sim.SendGarbage(H("AA 06 BB"));
  for (const char* want : {"AA", "06", "BB"}) {
    const auto t = host.Next();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->type, Token::Type::kOther);
    EXPECT_EQ(t->body, H(want));
  }
  const std::string body = msg::Sale({0, 'P', "5998", 100, 100, 1000});
  sim.SendPartialFrame(body);
  EXPECT_FALSE(host.Next(300ms)) << "the frame never completes";
  // The register still works afterwards: a whole frame follows the fragment.
  auto sent = std::async(std::launch::async, [&] { return sim.Send(msg::OperationRequest()); });
  const auto t = host.Next();
  EXPECT_EQ(sent.wait_for(0s), std::future_status::timeout);
  host.Write(link::kDleAck);
  EXPECT_EQ(sent.get(), SendStatus::kAcked);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->type, Token::Type::kFrame);
  EXPECT_FALSE(t->checksum_ok) << "fragment and frame read as one broken frame";
}

TEST(RegisterSimFaults, UnfinishedHostFrameIsDroppedAfterSilence) {
  RegisterSimulator sim(Quick());  // partial_frame_ms 200
  HostLine host(sim.host_path());
  const std::string frame = link::StatusFrame();
  host.Write(frame.substr(0, 10));
  EXPECT_FALSE(host.Next(400ms));
  host.Write(link::LinkResetFrame());
  const auto t = host.Next();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->type, Token::Type::kAck);
  ASSERT_TRUE(tarvo::test::WaitUntil([&] { return sim.LinkResets() == 1; }));
  EXPECT_EQ(sim.HostBodies().size(), 1u);
}

}  // namespace
}  // namespace tarvo::sim
