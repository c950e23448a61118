// What the read thread and the host methods leave in KV500M.log of a logging
// port, byte for byte, with the register played on a pseudo-terminal; and
// which calls set the log's directory and size limit or ask for a flush.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core_fixture.h"
#include "link/frame.h"
#include "tests/link/hex.h"
#include "tests/support/log_file.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using core::DiagLog;
using core::DriverState;
using link::test::H;

// Every line of these tests carries this time stamp.
constexpr const char* kStamp = "2009:5:7 9:3:12 ";

class LinkLogTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    DiagLog::Instance().SetTimeSource(FixedLogTime);
  }

  static std::string Line(const std::string& rest) { return kStamp + rest + "\r\n"; }

  std::string ReadLog() const { return ReadWholeFile(LogPath()); }

  // Waits until the log file holds exactly `expected`.
  void ExpectLogFile(const std::string& expected) {
    std::string text;
    const bool complete = WaitUntil([&] {
      text = ReadLog();
      return text.size() >= expected.size();
    });
    EXPECT_TRUE(complete);
    EXPECT_EQ(text, expected);
  }
};

// One exchange: the host's last frame (sent first, when given), what the
// register sends, what the driver answers on the line, the lines it logs and
// the acknowledgement flag afterwards.
struct Exchange {
  const char* name;
  std::string last_frame;
  std::string input;
  std::string reply;
  std::vector<std::string> lines;  // after the time stamp, without CR LF
  std::optional<std::uint8_t> acked = std::nullopt;
};

TEST_F(LinkLogTest, ReadThreadLogsNaksResendsAndDiscardedInputOfALoggingPort) {
  auto& impl = MakeControl();
  PtyPair& reg = AddRegister(1);
  ASSERT_EQ(impl.PortOpen(1, 9600, 100, log_dir_.string()), 0);
  auto entry = impl.Entry(0);
  DiagLog& log = DiagLog::Instance();
  std::string expected = Line("COM1: PortOpen 9600 100 " + log_dir_.string());
  ASSERT_EQ(log.PendingBytes(), expected.size());

  const std::string sale = link::BuildFrame("\x9B");
  const Exchange exchanges[] = {
      {"good frame: acknowledged, nothing logged", "", H("10 02 9D 41 10 03 FC"), H("10 06"), {}},
      {"wrong checksum: NAK sent and logged", "", H("10 02 9D 41 10 03 FD"), H("15"),
       {"WRITE: COM1: NAK"}},
      {"register NAK: last frame again, logged received and sent", sale, H("15"), sale,
       {"READ:  COM1: NAK", "WRITE: COM1: 10 02 9B 10 03 3F "}, 0},
      {"DLE ACK: acknowledged, nothing logged", "", H("10 06"), "", {}, 1},
      {"DLE ACK with an enquiry: answered and logged, flag kept", "", H("10 06 05"), H("10 06"),
       {"WRITE: COM1: ACK"}, 1},
      {"enquiry: answered, nothing logged", "", H("05"), H("10 06"), {}, 0},
      {"unrecognised input: discarded and logged", "", H("41 42 06"), "",
       {"CLEAR: COM1: 41 42 06 "}},
      {"lone ACK outside the handshake: only logged", "", H("06"), "", {"CLEAR: COM1: 06 "}, 0},
  };
  for (const Exchange& x : exchanges) {
    SCOPED_TRACE(x.name);
    if (!x.last_frame.empty()) {
      impl.SendFrame(*entry, x.last_frame);
      ASSERT_EQ(reg.ReadMasterExactly(x.last_frame.size(), 10s), x.last_frame);
    }
    reg.WriteMaster(x.input);
    EXPECT_EQ(reg.ReadMasterExactly(x.reply.size(), 10s), x.reply);
    for (const std::string& l : x.lines) expected += Line(l);
    // The notification is handled once its lines are in and the flag is set.
    EXPECT_TRUE(WaitUntil([&] {
      return log.PendingBytes() == expected.size() && (!x.acked || entry->Acked.load() == *x.acked);
    }));
  }
  EXPECT_EQ(reg.ReadMaster(64, 300ms), "");  // nothing else went out

  // The good frame was queued; the bad one was not.
  auto message = DriverState::Instance().queue.Front();
  ASSERT_TRUE(message.has_value());
  EXPECT_EQ(message->bytes, H("9D 30 41"));
  DriverState::Instance().queue.Pop();
  EXPECT_TRUE(DriverState::Instance().queue.Empty());

  // Fewer than 1024 bytes were logged: closing the only logging port moves
  // them to the file, its own line last.
  impl.PortClose(1);
  ExpectLogFile(expected + Line("COM1: PortClose"));
}

TEST_F(LinkLogTest, StalePartialFrameIsLoggedAsDiscardedBeforeTheNewInput) {
  platform::VirtualClock clock;
  auto& impl = MakeControl(clock);
  PtyPair& reg = AddRegister(2);
  ASSERT_EQ(impl.PortOpen(2, 19200, 10, log_dir_.string()), 0);
  auto entry = impl.Entry(0);

  reg.WriteMaster(H("10 02 9D"));
  ASSERT_TRUE(WaitUntil([&] { return entry->RxAge.load() == 1; }));
  for (int tick = 0; tick < 3; ++tick) {
    clock.Advance(1000);
    loop_->ProcessPendingMessages();
  }
  ASSERT_EQ(entry->RxAge.load(), 4);

  reg.WriteMaster(H("10 06"));
  ASSERT_TRUE(WaitUntil([&] { return entry->Acked.load() == 1; }));
  EXPECT_EQ(entry->RxAge.load(), 0);
  EXPECT_EQ(reg.ReadMaster(64, 300ms), "");  // nothing answered to the remnant

  impl.PortClose(2);
  ExpectLogFile(Line("COM2: PortOpen 19200 10 " + log_dir_.string()) +
                Line("CLEAR: COM2: 10 02 9D ") + Line("COM2: PortClose"));
}

TEST_F(LinkLogTest, InitLogsItsArgumentsWithTheCappedSizeAndThePathAsGiven) {
  platform::VirtualClock clock;
  auto& impl = MakeControl(clock);
  PtyPair& reg = AddRegister(1);
  const std::string given = log_dir_.string() + "/";
  ASSERT_EQ(impl.Init(1, 9600, 1000, given), 0);  // a silent register
  EXPECT_EQ(reg.ReadMasterExactly(24, 10s), link::LinkResetFrame());
  EXPECT_EQ(DiagLog::Instance().LogDir(), log_dir_.string());
  EXPECT_EQ(DiagLog::Instance().MaxLogSize(), 500);
  EXPECT_EQ(impl.Entry(0)->LogSize.load(), 500);
  impl.PortClose(1);
  ExpectLogFile(Line("COM1: Init 9600 500 " + given) + Line("COM1: PortClose"));
}

TEST_F(LinkLogTest, AFailedOpenStillSetsTheLogDirectoryAndSizeButLogsNothing) {
  auto& impl = MakeControl();
  const std::string elsewhere = (log_dir_ / "elsewhere").string();
  devices_.Link("COM7", (log_dir_ / "no-such-device").string());
  EXPECT_EQ(impl.PortOpen(7, 19200, 300, elsewhere + "/"), 1);
  EXPECT_EQ(impl.FindPortEntry(7), -1);
  EXPECT_EQ(DiagLog::Instance().LogDir(), elsewhere);
  EXPECT_EQ(DiagLog::Instance().MaxLogSize(), 300);
  EXPECT_TRUE(DiagLog::Instance().WriterRunning());
  EXPECT_EQ(DiagLog::Instance().PendingBytes(), 0u);
}

TEST_F(LinkLogTest, AFullRegistryChangesNeitherTheLogDirectoryNorItsSize) {
  auto& impl = MakeControl();
  for (int n : {1, 2, 3, 4}) {
    AddRegister(n);
    ASSERT_EQ(impl.PortOpen(static_cast<std::uint8_t>(n), 9600, 0, log_dir_.string()), 0);
  }
  AddRegister(5);
  EXPECT_EQ(impl.PortOpen(5, 9600, 200, "/elsewhere"), 9);
  EXPECT_EQ(DiagLog::Instance().LogDir(), log_dir_.string());
  EXPECT_EQ(DiagLog::Instance().MaxLogSize(), 0);
  EXPECT_FALSE(DiagLog::Instance().WriterRunning());
  EXPECT_EQ(impl.FindPortEntry(5), -1);
}

TEST_F(LinkLogTest, OnlyClosingTheLastLoggingPortFlushes) {
  auto& impl = MakeControl();
  AddRegister(1);
  AddRegister(2);
  AddRegister(3);
  ASSERT_EQ(impl.PortOpen(1, 9600, 5, log_dir_.string()), 0);
  ASSERT_EQ(impl.PortOpen(2, 9600, 5, log_dir_.string()), 0);
  ASSERT_EQ(impl.PortOpen(3, 9600, 0, log_dir_.string()), 0);
  DiagLog& log = DiagLog::Instance();

  impl.PortClose(1);  // COM2 still logs
  impl.PortClose(3);  // not logging itself; COM2 still logs
  log.WaitIdleForTest();
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
  EXPECT_GT(log.PendingBytes(), 0u);

  impl.PortClose(2);
  const std::string d = log_dir_.string();
  ExpectLogFile(Line("COM1: PortOpen 9600 5 " + d) + Line("COM2: PortOpen 9600 5 " + d) +
                Line("COM1: PortClose") + Line("COM2: PortClose"));
}

TEST_F(LinkLogTest, InitOnAnOpenPortWhoseLineIsGoneGivesOneAndKeepsTheEntry) {
  platform::VirtualClock clock;
  auto& impl = MakeControl(clock);
  PtyPair& reg = AddRegister(3);
  ASSERT_EQ(impl.PortOpen(3, 9600, 10, log_dir_.string()), 0);
  reg.CloseMaster();  // the register's side hangs up
  // The port's reader notes the hang-up once.
  const std::string d = log_dir_.string();
  const std::string hung_up = Line("CLEAR: COM3: Line hung up");
  std::string text;
  ASSERT_TRUE(WaitUntil([&] {
    FlushLog();
    text = ReadLog();
    return text.find(hung_up) != std::string::npos;
  })) << text;
  // The dead line cannot be opened again: Init gives 1 and logs nothing
  // (its line follows a successful open), and the reused entry stays.
  EXPECT_EQ(impl.Init(3, 9600, 10, log_dir_.string()), 1);
  ASSERT_EQ(impl.FindPortEntry(3), 0);
  EXPECT_EQ(impl.Entry(0)->LogSize.load(), 10);
  EXPECT_EQ(impl.Entry(0)->AwaitAck.load(), 0);  // no handshake waits any more
  EXPECT_FALSE(impl.Entry(0)->Port->Connected());
  EXPECT_EQ(impl.PortOpen(3, 9600, 10, log_dir_.string()), 1);
  impl.PortClose(3);
  EXPECT_TRUE(WaitUntil([&] {
    text = ReadLog();
    return text.find("COM3: PortClose\r\n") != std::string::npos;
  }));
  EXPECT_EQ(text, Line("COM3: PortOpen 9600 10 " + d) + hung_up + Line("COM3: PortClose")) << text;
}

// A register unplugged and plugged back: the port is known to be down while
// the device is away, and works again once it is back under the same name,
// whether the host closes the port first or only opens it again.
TEST_F(LinkLogTest, ARegisterUnpluggedAndPluggedBackWorksAgain) {
  auto& impl = MakeControl();
  for (const bool close_first : {true, false}) {
    SCOPED_TRACE(close_first ? "PortClose, then PortOpen" : "PortOpen alone");
    devices_.Unlink("COM2");
    ptys_.clear();
    PtyPair& first = AddRegister(2);
    ASSERT_EQ(impl.PortOpen(2, 9600, 10, log_dir_.string()), 0);
    const int index = impl.FindPortEntry(2);
    first.CloseMaster();
    devices_.Unlink("COM2");  // unplugged: the device is gone
    EXPECT_EQ(impl.PortOpen(2, 9600, 10, log_dir_.string()), 1);
    EXPECT_EQ(impl.Init(2, 9600, 10, log_dir_.string()), 1);

    PtyPair& back = AddRegister(2);  // plugged back: a new device, same name
    if (close_first) impl.PortClose(2);
    ASSERT_EQ(impl.PortOpen(2, 9600, 10, log_dir_.string()), 0);
    EXPECT_EQ(impl.FindPortEntry(2), index);
    back.WriteMaster(H("10 02 9D 41 10 03 FC"));
    EXPECT_EQ(back.ReadMasterExactly(2, 10s), link::kDleAck);
    impl.SendFrame(*impl.Entry(index), link::IdentifyFrame());
    EXPECT_EQ(back.ReadMasterExactly(24, 10s), link::IdentifyFrame());
    impl.PortClose(2);
  }
}

// Answers that do not acknowledge the link reset: the handshake sends no
// identification request, and the answer is handled as any other input.
struct NoAck {
  const char* name;
  std::string answer;
  std::string reply;
};

class HandshakeWithoutAck : public CoreTest, public ::testing::WithParamInterface<NoAck> {};

TEST_P(HandshakeWithoutAck, NoIdentificationRequestFollows) {
  auto& impl = MakeControl();
  PtyPair& reg = AddRegister(4);
  const NoAck c = GetParam();
  std::string received;
  std::thread peer([&] {
    received = reg.ReadMasterExactly(24, 10s);
    reg.WriteMaster(c.answer);
    received += reg.ReadMasterExactly(c.reply.size(), 10s);
  });
  EXPECT_EQ(impl.Init(4, 9600, 0, ""), 0);
  peer.join();
  EXPECT_EQ(received, link::LinkResetFrame() + c.reply);
  EXPECT_EQ(reg.ReadMaster(64, 300ms), "");
  auto entry = impl.Entry(0);
  EXPECT_EQ(entry->Acked.load(), 0);
  EXPECT_EQ(entry->AwaitAck.load(), 0);
  EXPECT_EQ(entry->LastFrame(), link::LinkResetFrame());
}

INSTANTIATE_TEST_SUITE_P(
    Table, HandshakeWithoutAck,
    ::testing::Values(NoAck{"DleNak", H("10 15"), ""}, NoAck{"Enquiry", H("05"), H("10 06")},
                      NoAck{"Nak", H("15"), link::LinkResetFrame()},
                      NoAck{"DleAckEnq", H("10 06 05"), H("10 06")}),
    [](const ::testing::TestParamInfo<NoAck>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvo::test
