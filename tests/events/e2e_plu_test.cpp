// A PLU inquiry from end to end over a pseudo-terminal: the register asks
// for a PLU in the long form, the host's handler answers with SendPlu, the
// register receives the 77-byte long record, and the sale that follows
// reaches the host as OnSell. The control's loop runs on the test's thread
// with the real clock (Timer2 takes the queued messages).
#include <gtest/gtest.h>

#include "tests/events/events_harness.h"

namespace tarvo::events {
namespace {

using test::Byte;
using test::Code14;
using test::Le32;
using test::Pad;
using test::Zeros;

// Answers every OnPluInquire841 with the article "Kenyér".
class PluAnsweringReceiver : public test::RecordingReceiver {
 public:
  explicit PluAnsweringReceiver(commands::HostCommands& commands) : commands_(commands) {}

  void OnPluInquire841(std::uint8_t port, std::int32_t multiplier, const std::string& code,
                       std::uint8_t tr_type, const std::string& clerk, std::int32_t day,
                       const std::string& ap, bool demo) override {
    RecordingReceiver::OnPluInquire841(port, multiplier, code, tr_type, clerk, day, ap, demo);
    commands_.SendPlu(port, u"5998", u"Keny\u00e9r", 1, 2, 3, u"110000000011", u"0", u"", 150,
                      0, 0, send_plu_value);
  }

  std::int32_t send_plu_value = -1;

 private:
  commands::HostCommands& commands_;
};

TEST(EndToEndTest, PluInquiryIsAnsweredWithTheLongRecordAndTheSaleFollows) {
  test::PtyHarness h(/*mode650=*/false);
  PluAnsweringReceiver receiver(h.control().commands());
  h.control().SetReceiver(&receiver);
  auto pump_until = [&](const std::function<bool()>& done) {
    return tarvo::test::WaitUntil([&] {
      h.loop().ProcessPendingMessages();
      return done();
    });
  };

  // The register asks for PLU 5998, long form, multiplier 2000.
  const std::string inquiry = "\x80" + Le32(7) + "S" + Byte(0) + Le32(2000) + Pad("5998", 30) +
                              "AP0000001" + Le32(42);
  h.pty().WriteMaster(link::BuildFrame(inquiry));

  ASSERT_TRUE(pump_until([&] { return !receiver.calls.empty(); }));
  EXPECT_EQ(receiver.calls, std::vector<std::string>{
                                R"(OnPluInquire841(3, 2000, "5998", 83, "7", 42, "AP0000001", false))"});
  EXPECT_EQ(receiver.send_plu_value, 0);

  // The register side: DLE ACK for its inquiry, then the long PLU record.
  std::string record = "\x80";
  record += Le32(2000);                            // multiplier
  record += Code14(0, 5998);                       // PLU code
  record += Pad(std::string("Keny\x10r"), 24, '\0');  // é is the register's 0x10
  record += Zeros(1);
  record += Byte(1) + Byte(2) + Byte(3);           // groups
  record += "\x30" + Zeros(1) + "\x01\x01";        // status 110000000011
  record += Zeros(11) + Zeros(1);                  // vtsz "0", terminator
  record += Zeros(8);                              // no link
  record += Le32(150) + Le32(0) + Le32(0);         // prices
  ASSERT_EQ(record.size(), 77u);
  const std::string expected = link::kDleAck + link::BuildFrame(record);
  std::string received;
  ASSERT_TRUE(pump_until([&] {
    received += h.pty().ReadMaster(512, std::chrono::milliseconds(1));
    return received.size() >= expected.size();
  }));
  EXPECT_EQ(test::Printable(received), test::Printable(expected));

  // The register acknowledges the record and then reports the sale (in a
  // separate read: input behind an acknowledgement is dropped with it).
  h.pty().WriteMaster(link::kDleAck);
  ASSERT_TRUE(pump_until([&] { return h.entry().Acked == 1; }));
  const std::string sale = "\x83P" + Code14(0, 5998) + Le32(150) + Le32(300) + Le32(2000);
  h.pty().WriteMaster(link::BuildFrame(sale));
  ASSERT_TRUE(pump_until([&] { return receiver.calls.size() >= 2; }));
  EXPECT_EQ(receiver.calls.back(), R"(OnSell(3, 0, 0, "5998", 150, 300, 2000))");
}

}  // namespace
}  // namespace tarvo::events
