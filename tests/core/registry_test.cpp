// Opening, reusing and closing ports: argument checks, the four-entry limit,
// entry reuse and the result codes of Init / PortOpen.
#include <gtest/gtest.h>

#include "core_fixture.h"
#include "link/frame.h"

namespace tarvo::test {
namespace {

using core::DriverState;

struct ArgCase {
  int port;
  int baud;
  std::int32_t expected;
};

class OpenArguments : public CoreTest, public ::testing::WithParamInterface<ArgCase> {};

TEST_P(OpenArguments, RejectsBadPortOrBaudRateWithoutChangingAnything) {
  platform::VirtualClock clock;
  auto& impl = MakeControl(clock);
  const ArgCase c = GetParam();
  EXPECT_EQ(impl.PortOpen(static_cast<std::uint8_t>(c.port), c.baud, 10, log_dir_.string()),
            c.expected);
  EXPECT_EQ(DriverState::Instance().ports.Count(), 0);
  EXPECT_EQ(core::DiagLog::Instance().MaxLogSize(), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, OpenArguments,
                         ::testing::Values(ArgCase{0, 9600, 4}, ArgCase{17, 9600, 4},
                                           ArgCase{1, 4800, 4}, ArgCase{1, 0, 4},
                                           ArgCase{0, 4800, 4}));

TEST_F(CoreTest, FourPortsOpenAndAFifthGivesNineEvenAfterAClose) {
  auto& impl = MakeControl();
  for (int n : {1, 2, 12, 16}) {
    AddRegister(n);
    EXPECT_EQ(impl.PortOpen(static_cast<std::uint8_t>(n), 9600, 0, ""), 0) << "COM" << n;
  }
  AddRegister(5);
  EXPECT_EQ(impl.PortOpen(5, 9600, 0, ""), 9);
  impl.PortClose(12);
  EXPECT_EQ(impl.PortOpen(5, 19200, 0, ""), 9);
  // Reopening the closed one reuses its entry and index.
  EXPECT_EQ(impl.FindPortEntry(12), 2);
  EXPECT_EQ(impl.PortOpen(12, 19200, 0, ""), 0);
  EXPECT_EQ(impl.FindPortEntry(12), 2);
  EXPECT_EQ(DriverState::Instance().ports.Count(), 4);
  EXPECT_EQ(impl.Entry(2)->Port->BaudRate(), link::TBaudRate::br19200);
}

TEST_F(CoreTest, PortOpenTwiceKeepsOneEntryAndTheRateOfTheOpenPort) {
  auto& impl = MakeControl();
  AddRegister(3);
  EXPECT_EQ(impl.PortOpen(3, 9600, 10, log_dir_.string()), 0);
  EXPECT_EQ(impl.PortOpen(3, 19200, 20, log_dir_.string()), 0);
  EXPECT_EQ(DriverState::Instance().ports.Count(), 1);
  auto entry = impl.Entry(impl.FindPortEntry(3));
  EXPECT_EQ(entry->LogSize.load(), 20);
  EXPECT_EQ(entry->Port->BaudRate(), link::TBaudRate::br9600);
  EXPECT_TRUE(entry->Port->Connected());
}

TEST_F(CoreTest, LogSizeIsCappedAndMaxLogSizeNeverShrinks) {
  auto& impl = MakeControl();
  AddRegister(1);
  AddRegister(2);
  EXPECT_EQ(impl.PortOpen(1, 9600, 1000, log_dir_.string() + "/"), 0);
  EXPECT_EQ(impl.Entry(impl.FindPortEntry(1))->LogSize.load(), 500);
  EXPECT_EQ(core::DiagLog::Instance().MaxLogSize(), 500);
  EXPECT_EQ(core::DiagLog::Instance().LogDir(), log_dir_.string());  // trailing "/" removed
  EXPECT_EQ(impl.PortOpen(2, 9600, 20, "/"), 0);
  EXPECT_EQ(core::DiagLog::Instance().MaxLogSize(), 500);
  EXPECT_EQ(core::DiagLog::Instance().LogDir(), "/");  // a lone "/" stays
  EXPECT_EQ(impl.PortOpen(2, 9600, 0, ""), 0);
  EXPECT_EQ(core::DiagLog::Instance().LogDir(), ".");
}

TEST_F(CoreTest, AFailedOpenOfANewPortLeavesTheRegistryAsItWas) {
  auto& impl = MakeControl();
  AddRegister(1);
  EXPECT_EQ(impl.PortOpen(1, 9600, 0, ""), 0);
  devices_.Link("COM7", (log_dir_ / "no-such-device").string());
  EXPECT_EQ(impl.PortOpen(7, 9600, 5, ""), 1);
  EXPECT_EQ(impl.FindPortEntry(7), -1);
  EXPECT_EQ(DriverState::Instance().ports.Count(), 1);
}

TEST_F(CoreTest, AFailedReopenKeepsTheEntryWithItsNewLogSize) {
  auto& impl = MakeControl();
  AddRegister(4);
  EXPECT_EQ(impl.PortOpen(4, 9600, 0, ""), 0);
  impl.PortClose(4);
  devices_.Link("COM4", (log_dir_ / "gone").string());
  EXPECT_EQ(impl.PortOpen(4, 9600, 7, log_dir_.string()), 1);
  ASSERT_EQ(impl.FindPortEntry(4), 0);
  EXPECT_EQ(impl.Entry(0)->LogSize.load(), 7);
  EXPECT_FALSE(impl.Entry(0)->Port->Connected());
}

TEST_F(CoreTest, PortCloseResetsTheEntryButKeepsItsPlace) {
  auto& impl = MakeControl();
  AddRegister(2);
  EXPECT_EQ(impl.PortOpen(2, 9600, 3, log_dir_.string()), 0);
  auto entry = impl.Entry(0);
  entry->Multiplier = 2000;
  entry->ShortInquiry = 1;
  entry->SetLastFrame("x");
  impl.PortClose(2);
  EXPECT_FALSE(entry->Port->Connected());
  EXPECT_EQ(entry->Multiplier.load(), 0);
  EXPECT_EQ(entry->ShortInquiry.load(), 1);  // kept across close and reopen
  EXPECT_EQ(entry->LogSize.load(), 0);
  EXPECT_EQ(entry->LastFrame(), "");
  EXPECT_EQ(impl.FindPortEntry(2), 0);
  impl.PortClose(9);  // not registered: nothing happens
}

TEST_F(CoreTest, PortCloseDropsAPartialFrameSoTheReopenedPortStartsClean) {
  auto& impl = MakeControl();
  PtyPair& reg = AddRegister(6);
  ASSERT_EQ(impl.PortOpen(6, 9600, 0, ""), 0);
  auto entry = impl.Entry(0);
  reg.WriteMaster(std::string("\x10\x02\x9D", 3));  // a frame that never ends
  ASSERT_TRUE(WaitUntil([&] { return entry->RxAge.load() == 1; }));

  impl.PortClose(6);
  EXPECT_EQ(entry->RxAge.load(), 0);
  {
    std::lock_guard<std::mutex> lock(entry->rx_mutex);
    EXPECT_EQ(entry->RxBuffer, "");
  }
  ASSERT_EQ(impl.PortOpen(6, 9600, 0, ""), 0);
  reg.WriteMaster(link::BuildFrame(std::string("\x9D\x41", 2)));
  EXPECT_EQ(reg.ReadMasterExactly(2, std::chrono::seconds(10)), link::kDleAck);
  ASSERT_TRUE(WaitUntil([&] { return !DriverState::Instance().queue.Empty(); }));
  EXPECT_EQ(DriverState::Instance().queue.Front()->bytes, std::string("\x9D" "0" "\x41", 3));
}

TEST_F(CoreTest, ADestroyedControlTakesItsEntriesAlongAndLeavesOthersAlone) {
  auto& impl = MakeControl();
  AddRegister(1);
  AddRegister(2);
  platform::MessageLoop other_loop;
  auto other = std::make_unique<core::TarvoImpl1>(other_loop, DriverState::Instance());
  EXPECT_EQ(impl.PortOpen(1, 9600, 0, ""), 0);
  EXPECT_EQ(other->PortOpen(2, 9600, 0, ""), 0);
  auto mine = impl.Entry(0);
  DriverState::Instance().queue.Push({std::string("\x98" "1" "ID", 4), impl.Entry(1)});
  other.reset();
  EXPECT_EQ(impl.FindPortEntry(2), -1);
  EXPECT_EQ(impl.FindPortEntry(1), 0);
  EXPECT_TRUE(mine->Port->Connected());
  // A message that came from the vanished entry can no longer reach it.
  auto message = DriverState::Instance().queue.Front();
  ASSERT_TRUE(message.has_value());
  EXPECT_TRUE(message->source.expired());
  // The freed place is taken by the next new port; indices of others stay.
  EXPECT_EQ(impl.PortOpen(2, 9600, 0, ""), 0);
  EXPECT_EQ(impl.FindPortEntry(2), 1);
}

}  // namespace
}  // namespace tarvo::test
