// The simulated register against a host side written with the frame codec:
// handshake, status, tables, check answer, acknowledgements and resends,
// counters and the device-directory link.
#include "tools/sim/register_sim.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "link/frame.h"
#include "tests/sim/host_line.h"
#include "tests/support/pty_pair.h"
#include "tests/support/wait.h"

namespace tarvo::sim {
namespace {

using namespace std::chrono_literals;
using test::H;
using test::HostLine;
using test::Token;

SimOptions Quick() {
  SimOptions o;
  o.ap = "AP0000042";
  o.ack_timeout_ms = 2000;
  return o;
}

// Sends `body` from the register while the host reads and acknowledges it.
SendStatus PlayAcked(RegisterSimulator& sim, HostLine& host, const std::string& body) {
  auto sent = std::async(std::launch::async, [&] { return sim.Send(body); });
  const auto got = host.NextFrame(true);
  EXPECT_TRUE(got.has_value());
  if (got) {
    EXPECT_EQ(link::HexDump(*got), link::HexDump(body));
  }
  return sent.get();
}

std::string Payload(const std::string& body) { return body.substr(1); }

TEST(RegisterSim, LinkResetIsOnlyAcknowledged) {
  RegisterSimulator sim(Quick());
  HostLine host(sim.host_path());
  host.Write(link::LinkResetFrame());
  const auto t = host.Next();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->type, Token::Type::kAck);
  EXPECT_FALSE(host.Next(300ms)) << "a link reset earns nothing but the acknowledgement";
  EXPECT_EQ(sim.LinkResets(), 1);
}

TEST(RegisterSim, IdentificationIsAnsweredWithTheConnectionMessage) {
  RegisterSimulator sim(Quick());
  HostLine host(sim.host_path());
  host.Write(link::IdentifyFrame());
  const auto ack = host.Next();
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->type, Token::Type::kAck);
  const auto body = host.NextFrame();
  ASSERT_TRUE(body);
  ASSERT_GE(body->size(), 35u);
  EXPECT_EQ(static_cast<std::uint8_t>((*body)[0]), 0x01);
  EXPECT_EQ(link::HexDump(body->substr(8, 5)), "05 00 00 00 00 ");
  EXPECT_EQ(Payload(*body).substr(25, 9), "AP0000042");
}

TEST(RegisterSim, StatusAnswerCarriesTheDayFlag) {
  for (const bool open : {true, false}) {
    SimOptions o = Quick();
    o.day_open = open;
    RegisterSimulator sim(o);
    HostLine host(sim.host_path());
    host.Write(link::StatusFrame());
    ASSERT_EQ(host.Next()->type, Token::Type::kAck);
    const auto body = host.NextFrame();
    ASSERT_TRUE(body);
    EXPECT_EQ(link::HexDump(body->substr(8, 5)), "06 00 00 00 00 ");
    ASSERT_EQ(body->size(), 20u);
    EXPECT_EQ((*body)[19], open ? '\x01' : '\x00');
  }
}

TEST(RegisterSim, FunctionKeyTableReadAndWriteRoundTrip) {
  RegisterSimulator sim(Quick());
  HostLine host(sim.host_path());
  host.Write(link::ReadTableFrame(6));
  ASSERT_EQ(host.Next()->type, Token::Type::kAck);
  const auto answer = host.NextFrame();
  ASSERT_TRUE(answer);
  EXPECT_EQ(link::HexDump(answer->substr(8, 5)), "03 00 00 00 06 ");
  std::string data = answer->substr(link::kTableDataOffset);
  ASSERT_EQ(data.size(), 600u);
  EXPECT_EQ(data.substr(480 + 20, 3), "EUR");

  // Currency 2 becomes CHF, rate 3105 (21 0C 00 00), nod 2 -- bytes with a DLE in them too.
  data.replace(480 + 20, 20, H("43 48 46 00 00 00 00 00 00 00 00 00 21 0C 00 00 02 00 00 00"));
  data[10] = '\x10';
  ASSERT_EQ(host.Exchange(link::TableBody(link::FnWriteTable(6), 100, data)), Token::Type::kAck);
  ASSERT_TRUE(tarvo::test::WaitUntil([&] { return sim.Table(6) == data; }));
  EXPECT_EQ(sim.Currencies()[1].caption, "CHF");
  EXPECT_EQ(sim.Currencies()[1].rate, 3105);
  EXPECT_EQ(sim.Currencies()[1].nod, 2);

  host.Write(link::ReadTableFrame(6));
  ASSERT_EQ(host.Next()->type, Token::Type::kAck);
  const auto again = host.NextFrame();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->substr(link::kTableDataOffset), data);
}

TEST(RegisterSim, ClerkTableCountFollowsTheRecords) {
  RegisterSimulator sim(Quick());
  HostLine host(sim.host_path());
  auto read_clerks = [&] {
    host.Write(link::ReadTableFrame(7));
    EXPECT_EQ(host.Next()->type, Token::Type::kAck);
    return host.NextFrame().value_or("");
  };
  const std::string first = read_clerks();
  ASSERT_EQ(first.size(), 19u + 3 * 21);
  EXPECT_EQ(link::HexDump(first.substr(17, 2)), "03 00 ");
  EXPECT_EQ(first.substr(19, 4), "ANNA");
  EXPECT_EQ(msg::ReadLe32(first, 19 + 15), 1111);

  const std::string two = BuildTable7({{"ZOE", 7654321, {1, 2}, {3, 4}}, {"YVES", 42, {0, 0}, {0, 1}}});
  ASSERT_EQ(host.Exchange(link::TableBody(link::FnWriteTable(7), 2, two)), Token::Type::kAck);
  ASSERT_TRUE(tarvo::test::WaitUntil([&] { return sim.Clerks().size() == 2; }));
  EXPECT_EQ(sim.Clerks()[0].name, "ZOE");
  EXPECT_EQ(sim.Clerks()[0].secret_code, 7654321);
  EXPECT_EQ(sim.Clerks()[0].kept1, (std::array<std::uint8_t, 2>{1, 2}));

  const std::string second = read_clerks();
  EXPECT_EQ(link::HexDump(second.substr(17, 2)), "02 00 ");
  EXPECT_EQ(second.substr(19), two);
}

TEST(RegisterSim, CheckAnswerReportsTheRegistersOwnFigures) {
  SimOptions o = Quick();
  o.key_position = 2;
  o.status_digit = '1';
  o.opened_day = 42;
  o.first_receipt = 5;
  RegisterSimulator sim(o);
  HostLine host(sim.host_path());
  const msg::Stamp at{261210, 1405, 1};
  ASSERT_EQ(PlayAcked(sim, host, msg::ReceiptOpen(at, 5, o.ap)), SendStatus::kAcked);
  ASSERT_EQ(PlayAcked(sim, host, msg::Sale({0, 'P', "5998", 5000, 10000, 2000})), SendStatus::kAcked);
  ASSERT_EQ(PlayAcked(sim, host, msg::ReceiptClose(at, 5, o.ap)), SendStatus::kAcked);
  ASSERT_EQ(PlayAcked(sim, host, msg::ReceiptOpen(at, 6, o.ap)), SendStatus::kAcked);
  ASSERT_EQ(PlayAcked(sim, host, msg::ReceiptCancel(at, 6, o.ap)), SendStatus::kAcked);

  host.SendBody("\x9B");
  ASSERT_EQ(host.Next()->type, Token::Type::kAck);
  const auto body = host.NextFrame();
  ASSERT_TRUE(body);
  ASSERT_EQ(body->size(), 32u);
  EXPECT_EQ(static_cast<std::uint8_t>((*body)[0]), 0x9D);
  EXPECT_EQ(msg::ReadLe32(*body, 1), 6);       // receipt number: the last one
  EXPECT_EQ(msg::ReadLe32(*body, 5), 10000);   // amount of the last closed receipt
  EXPECT_EQ(msg::ReadLe32(*body, 9), 1);       // cancels
  EXPECT_EQ(msg::ReadLe32(*body, 13), 1111);   // clerk 1's code
  EXPECT_EQ((*body)[17], '\x02');
  EXPECT_EQ((*body)[18], '1');
  EXPECT_EQ(body->substr(19, 9), "AP0000042");
  EXPECT_EQ(msg::ReadLe32(*body, 28), 42);
}

TEST(RegisterSim, CountersFollowAcknowledgedMessagesAndTheReportClosesTheDay) {
  SimOptions o = Quick();
  o.grand_total = 1000;
  RegisterSimulator sim(o);
  HostLine host(sim.host_path());
  const msg::Stamp at{261210, 1405, 1};
  const std::string play[] = {
      msg::DayOpen(at, o.ap),
      msg::ReceiptOpen(at, 1, o.ap),
      msg::Sale({0, 'P', "5998", 100, 200, 2000}),
      msg::Sale({0, 'P', "5998", 100, 100, 1000}),
      msg::Sale({0, 'P', "77", 300, 300, 1000}),
      msg::Modifier('D', 1, -50),
      msg::Tender({0, 1000, 1000, 450, 1}),
      msg::ReceiptClose(at, 1, o.ap),
      msg::PaidInOut({'O', -700, 0}, at, o.ap),
      msg::ClerkLogin(2222),
  };
  for (const auto& body : play) ASSERT_EQ(PlayAcked(sim, host, body), SendStatus::kAcked);

  Totals t = sim.totals();
  EXPECT_EQ(t.receipts_closed, 1);
  EXPECT_EQ(t.last_receipt_amount, 550);
  EXPECT_EQ(t.day_sales, 550);
  EXPECT_EQ(t.grand_total, 1550);
  EXPECT_EQ(t.discounts, -50);
  EXPECT_EQ(t.tendered, 1000);
  EXPECT_EQ(t.change, 450);
  EXPECT_EQ(t.paid_out, 700);
  EXPECT_EQ(t.clerk_code, 2222);
  EXPECT_EQ(t.plu["5998"].count, 3000);
  EXPECT_EQ(t.plu["5998"].amount, 300);
  EXPECT_EQ(t.plu["77"].amount, 300);

  const msg::DailyReportData r = sim.Report();
  EXPECT_EQ(r.taxable[0], 550);
  EXPECT_EQ(r.discount, 50);
  EXPECT_EQ(r.receipts, 1);
  EXPECT_EQ(r.grand_total, 1550);
  EXPECT_EQ(r.report_no, 1);
  const std::int32_t day = sim.opened_day();
  ASSERT_EQ(PlayAcked(sim, host, msg::DailyReport(r)), SendStatus::kAcked);
  t = sim.totals();
  EXPECT_FALSE(sim.day_open());
  EXPECT_EQ(sim.opened_day(), day + 1);
  EXPECT_EQ(t.receipts_closed, 0);
  EXPECT_TRUE(t.plu.empty());
  EXPECT_EQ(t.grand_total, 1550) << "the grand total runs on";
  EXPECT_EQ(sim.Report().report_no, 2);
}

TEST(RegisterSim, UnacknowledgedFramesDoNotCount) {
  SimOptions o = Quick();
  o.ack_timeout_ms = 200;
  RegisterSimulator sim(o);
  HostLine host(sim.host_path());
  auto sent = std::async(std::launch::async, [&] { return sim.Send(msg::ClerkLogin(2222)); });
  ASSERT_TRUE(host.NextFrame(false));
  EXPECT_EQ(sent.get(), SendStatus::kTimeout);
  EXPECT_EQ(sim.totals().clerk_code, 1111);
}

TEST(RegisterSim, BadChecksumIsAnsweredWithNak) {
  RegisterSimulator sim(Quick());
  HostLine host(sim.host_path());
  std::string frame = link::StatusFrame();
  frame.back() = static_cast<char>(frame.back() ^ 0x01);
  host.Write(frame);
  const auto t = host.Next();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->type, Token::Type::kNak);
  EXPECT_FALSE(host.Next(300ms)) << "a rejected frame earns no answer";
  EXPECT_TRUE(sim.HostBodies().empty());
}

TEST(RegisterSim, HostFramesWithDoubledDlesAndNoiseAroundThem) {
  RegisterSimulator sim(Quick());
  HostLine host(sim.host_path());
  // Stray bytes before the frame, a body with 10 10 03 inside it.
  const std::string body = H("96 10 03 41");
  host.Write(H("AA 03") + link::BuildFrame(body));
  const auto t = host.Next();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->type, Token::Type::kAck);
  ASSERT_TRUE(tarvo::test::WaitUntil([&] { return !sim.HostBodies().empty(); }));
  EXPECT_EQ(link::HexDump(sim.HostBodies().back()), link::HexDump(body));
}

TEST(RegisterSim, EnquiryIsAnsweredWithAck) {
  RegisterSimulator sim(Quick());
  HostLine host(sim.host_path());
  host.Write("\x05");
  const auto t = host.Next();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->type, Token::Type::kAck);
}

TEST(RegisterSim, FrameNakedByTheHostIsSentAgain) {
  RegisterSimulator sim(Quick());
  HostLine host(sim.host_path());
  const std::string body = msg::Sale({0, 'P', "16", 16, 16, 1000});  // DLE bytes in the body
  auto sent = std::async(std::launch::async, [&] { return sim.Send(body); });
  for (int i = 0; i < 2; ++i) {
    const auto t = host.Next();
    ASSERT_TRUE(t);
    ASSERT_EQ(t->type, Token::Type::kFrame);
    EXPECT_EQ(t->body, body);
    host.Write(link::kNakByte);
  }
  ASSERT_EQ(host.NextFrame(true), body);
  EXPECT_EQ(sent.get(), SendStatus::kAcked);
}

TEST(RegisterSim, ResendsStopAtTheLimit) {
  SimOptions o = Quick();
  o.max_resends = 2;
  RegisterSimulator sim(o);
  HostLine host(sim.host_path());
  auto sent = std::async(std::launch::async, [&] { return sim.Send(msg::OperationRequest()); });
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(host.NextFrame(false)) << "attempt " << i;
    host.Write(link::kNakByte);
  }
  EXPECT_EQ(sent.get(), SendStatus::kNakLimit);
  EXPECT_FALSE(host.Next(300ms));
}

TEST(RegisterSim, AnswersToTheHostGoBeforeQueuedMessages) {
  RegisterSimulator sim(Quick());
  HostLine host(sim.host_path());
  const std::string first = msg::OperationRequest();
  const std::string queued = msg::IdKey("LATER");
  auto a = std::async(std::launch::async, [&] { return sim.Send(first); });
  ASSERT_EQ(host.NextFrame(false), first);
  auto b = std::async(std::launch::async, [&] { return sim.Send(queued); });
  ASSERT_TRUE(tarvo::test::WaitUntil([&] { return sim.QueuedFrames() == 1; }));
  host.Write(link::StatusFrame());
  ASSERT_EQ(host.Next()->type, Token::Type::kAck);
  ASSERT_TRUE(tarvo::test::WaitUntil([&] { return sim.QueuedFrames() == 2; }));
  host.Write(link::kDleAck);  // for the first frame
  const auto answer = host.NextFrame();
  ASSERT_TRUE(answer);
  EXPECT_EQ(link::HexDump(answer->substr(8, 5)), "06 00 00 00 00 ");
  EXPECT_EQ(host.NextFrame(), queued);
  EXPECT_EQ(a.get(), SendStatus::kAcked);
  EXPECT_EQ(b.get(), SendStatus::kAcked);
}

TEST(RegisterSim, HostDleNakRejectsTheFrame) {
  RegisterSimulator sim(Quick());
  HostLine host(sim.host_path());
  auto sent = std::async(std::launch::async, [&] { return sim.Send(msg::OperationRequest()); });
  ASSERT_TRUE(host.NextFrame(false));
  host.Write(link::kDleNak);
  EXPECT_EQ(sent.get(), SendStatus::kRejected);
}

TEST(RegisterSim, HostRecordsAreKeptAndAwaited) {
  RegisterSimulator sim(Quick());
  HostLine host(sim.host_path());
  const std::uint64_t mark = sim.Mark();
  EXPECT_FALSE(sim.WaitFor(Answer::kOperation, mark, 50ms));
  const std::string op = "\x96" + msg::Field("Tiltott muvelet!", 32) + "0";
  ASSERT_EQ(host.Exchange(op), Token::Type::kAck);
  EXPECT_TRUE(sim.WaitFor(Answer::kOperation, mark, 5s));
  EXPECT_TRUE(sim.WaitFor(Answer::kAny, mark, 5s));
  EXPECT_FALSE(sim.WaitFor(Answer::kPlu, mark, 50ms));
  EXPECT_FALSE(sim.WaitFor(Answer::kOperation, sim.Mark(), 50ms)) << "only answers after the mark count";
  const auto last = sim.LastOperation();
  ASSERT_TRUE(last);
  EXPECT_FALSE(last->enable);
  EXPECT_EQ(last->message, "Tiltott muvelet!");
}

TEST(RegisterSim, TraceNamesBothDirections) {
  std::mutex mu;
  std::vector<std::string> lines;
  SimOptions o = Quick();
  o.trace = [&](std::string_view line) {
    std::lock_guard<std::mutex> lock(mu);
    lines.emplace_back(line);
  };
  RegisterSimulator sim(o);
  HostLine host(sim.host_path());
  host.Write(link::StatusFrame());
  ASSERT_TRUE(host.Next());
  ASSERT_TRUE(host.NextFrame());
  auto has = [&](const std::string& want) {
    std::lock_guard<std::mutex> lock(mu);
    for (const auto& l : lines) {
      if (l == want) return true;
    }
    return false;
  };
  EXPECT_TRUE(tarvo::test::WaitUntil([&] {
    return has("host> " + link::HexDump(link::StatusFrame()) + "[status query]") &&
           has("reg > 10 06 [ACK]") && has("host> 10 06 [ACK]");
  }));
}

TEST(RegisterSim, WorksOnAGivenDeviceAndNoticesWhenItGoesAway) {
  tarvo::test::PtyPair far_end;  // the simulator opens the slave like a serial device
  SimOptions o = Quick();
  o.device_path = far_end.slave_path();
  o.baud = 19200;
  RegisterSimulator sim(o);
  EXPECT_EQ(sim.host_path(), far_end.slave_path());
  EXPECT_TRUE(sim.link_path().empty());
  far_end.WriteMaster(link::LinkResetFrame());
  EXPECT_EQ(far_end.ReadMasterExactly(2, 5s), link::kDleAck);

  far_end.CloseMaster();
  ASSERT_TRUE(tarvo::test::WaitUntil([&] { return sim.hung_up(); }));
  EXPECT_EQ(sim.Send(msg::OperationRequest()), SendStatus::kLineDown);
}

TEST(RegisterSim, LinksItsPathIntoTheDeviceDirectory) {
  std::string link;
  {
    tarvo::test::DeviceDir dir;  // sets TARVO_DEVICE_DIR for its lifetime
    SimOptions o = Quick();
    o.port = 7;
    {
      RegisterSimulator sim(o);
      link = dir.path() + "/COM7";
      EXPECT_EQ(sim.link_path(), link);
      EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.host_path());
      HostLine host(link);  // the host opens the port by its name
      host.Write(link::LinkResetFrame());
      ASSERT_TRUE(host.Next());
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  }
  const std::string explicit_dir = ::testing::TempDir() + "/tarvo-sim-devdir";
  std::filesystem::create_directories(explicit_dir);
  SimOptions o = Quick();
  o.device_dir = explicit_dir;
  o.port = 3;
  RegisterSimulator sim(o);
  EXPECT_EQ(sim.link_path(), explicit_dir + "/COM3");
  EXPECT_EQ(sim.port_name(), "COM3");
}

}  // namespace
}  // namespace tarvo::sim
