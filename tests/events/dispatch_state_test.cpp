// What the dispatcher keeps and where it stores: the port number of a
// message, per-port inquiry state, the answer slots, and how it copes with a
// gone port entry or a failing receiver.
#include <gtest/gtest.h>

#include <stdexcept>

#include "events/dispatcher.h"
#include "tests/events/events_harness.h"

namespace tarvo::events {
namespace {

using test::Byte;
using test::Code14;
using test::Le16;
using test::Le32;
using test::Pad;
using test::Zeros;

TEST(PortNumTest, IsTheNumberAfterCom) {
  struct Case {
    const char* name;
    int num;
  } cases[] = {{"COM3", 3}, {"COM12", 12}, {"COM16", 16}, {"COM", 0}, {"LPT1", 0}, {"COMx", 0}};
  for (const auto& c : cases) EXPECT_EQ(PortNumFromName(c.name), c.num) << c.name;
}

TEST(DispatcherTest, EventsCarryThePortNumberOfTheEntrysName) {
  test::DispatchHarness com3("COM3");
  com3.Dispatch(0x98, "ID");
  EXPECT_EQ(com3.receiver().calls, std::vector<std::string>{R"(OnIDPress(3, "ID"))"});
}

TEST(DispatcherTest, MessageOfAGoneEntryIsDropped) {
  test::DispatchHarness h;
  core::QueuedMessage msg{"\x98" "0" "ID", h.entry_ptr()};
  h.entry_ptr().reset();  // the only owner lets go: the registry forgot the port
  h.control().dispatcher().ProcessQueuedMessage(msg);
  EXPECT_TRUE(h.receiver().calls.empty());
}

TEST(DispatcherTest, PluInquiriesRecordTheirFormAndMultiplier) {
  test::DispatchHarness h;
  h.entry().Multiplier = 5;

  h.Dispatch(0x80, Code14(0, 1) + "AP");  // short form
  EXPECT_EQ(h.entry().ShortInquiry, 1);
  EXPECT_EQ(h.entry().Multiplier, 5);

  const std::string long_form = Le32(1) + "S" + Byte(0) + Le32(2500) + Pad("7", 30) + "AP";
  h.Dispatch(0x80, long_form);
  EXPECT_EQ(h.entry().ShortInquiry, 0);
  EXPECT_EQ(h.entry().Multiplier, 2500);

  // A department sell request is long-form as well.
  h.Dispatch(0x80, Code14(0, 1));
  h.Dispatch(0x80, Le32(1) + "S" + Byte(3) + Le32(-1) + Pad("", 30));
  EXPECT_EQ(h.entry().ShortInquiry, 0);
  EXPECT_EQ(h.entry().Multiplier, -1);
}

// A table transfer from the register: seven zero bytes, the function, four
// bytes, the count, then the table data.
std::string Table(const char (&function)[6], std::uint16_t count, const std::string& data) {
  return Zeros(7) + std::string(function, 5) + Zeros(4) + Le16(count) + data;
}

TEST(DispatcherTest, TableTransfersFillTheAnswerSlots) {
  test::DispatchHarness h;
  auto& answers = h.entry().Answers;

  // Status answer: only the response slot.
  h.Dispatch(0x01, Table("\x06\x00\x00\x00\x00", 1, "\x01\x02"));
  EXPECT_EQ(answers.Response(), "\x01\x02");

  // Register table 6: four currency records from table data offset 480.
  std::string table6(480, 'x');
  for (int k = 0; k < 4; ++k)
    table6 += Pad("CUR" + std::to_string(k), 12) + Le32(100 * k - 1) + Byte(k + 1) + "zzz";
  h.Dispatch(0x01, Table("\x03\x00\x00\x00\x06", 100, table6));
  EXPECT_EQ(answers.Response(), table6);
  answers.Access([](core::AnswerData& d) {
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(d.CurrencyTable[k].name, Pad("CUR" + std::to_string(k), 12));
      EXPECT_EQ(d.CurrencyTable[k].rate, 100 * k - 1);
      EXPECT_EQ(d.CurrencyTable[k].nod, k + 1);
    }
  });

  // Register table 7: the count and 21-byte clerk records; the second record
  // is cut short by the end of the message.
  const std::string clerk0 = Pad("ANNA", 13) + "k1" + Le32(-1234) + "k2";
  h.Dispatch(0x01, Table("\x03\x00\x00\x00\x07", 2, clerk0 + "BELA"));
  answers.Access([&](core::AnswerData& d) {
    ASSERT_EQ(d.Clerks.count, 2);
    ASSERT_EQ(d.Clerks.records.size(), 2u);
    EXPECT_EQ(d.Clerks.records[0].name, Pad("ANNA", 13));
    EXPECT_EQ(d.Clerks.records[0].kept1, "k1");
    EXPECT_EQ(d.Clerks.records[0].code, -1234);
    EXPECT_EQ(d.Clerks.records[0].kept2, "k2");
    EXPECT_EQ(d.Clerks.records[1].name, "BELA");
    EXPECT_EQ(d.Clerks.records[1].code, 0);
  });

  // A count of 0 empties the clerk table.
  h.Dispatch(0x01, Table("\x03\x00\x00\x00\x07", 0, ""));
  answers.Access([](core::AnswerData& d) {
    EXPECT_EQ(d.Clerks.count, 0);
    EXPECT_TRUE(d.Clerks.records.empty());
  });
  EXPECT_EQ(answers.Response(), "");
  EXPECT_TRUE(h.receiver().calls.empty());
}

TEST(DispatcherTest, CheckAnswerReplacesTheResponseSlotWhole) {
  test::DispatchHarness h;
  h.Dispatch(0x9D, std::string("\x05\x00\x00\x00\x10\x27", 6));
  EXPECT_EQ(h.entry().Answers.Response(), std::string("\x05\x00\x00\x00\x10\x27", 6));
  h.Dispatch(0x9D, "");
  EXPECT_TRUE(h.entry().Answers.ResponseEmpty());
  EXPECT_TRUE(h.receiver().calls.empty());
  // No event line; the short answers are on record.
  EXPECT_EQ(h.log().Lines(), (std::vector<std::string>{
                                 "CLEAR: COM12: Short message 9D: 6 of 31 bytes: 05 00 00 00 10 27 ",
                                 "CLEAR: COM12: Short message 9D: 0 of 31 bytes: "}));
}

TEST(DispatcherTest, ConnectMessageAlsoFillsTheResponseSlot) {
  test::DispatchHarness h;
  h.Dispatch(0x01, Table("\x05\x00\x00\x00\x00", 1, Zeros(7) + "AP0000001"));
  EXPECT_EQ(h.entry().Answers.Response(), Zeros(7) + "AP0000001");
  EXPECT_EQ(h.receiver().calls, std::vector<std::string>{R"(OnConnect(12, "AP0000001", false))"});
}

TEST(DispatcherTest, ClerkLoginKeepsOneRecordWithTheCodeAndTheCount) {
  struct Case {
    std::int32_t count_before;
    std::size_t records_before;
  } cases[] = {{5, 3}, {0, 0}};
  for (const auto& c : cases) {
    test::DispatchHarness h("COM12", /*mode650=*/false);
    h.entry().Answers.Access([&](core::AnswerData& d) {
      d.Clerks.count = c.count_before;
      d.Clerks.records.resize(c.records_before);
    });
    h.Dispatch(0x9C, Le32(-42));
    h.entry().Answers.Access([&](core::AnswerData& d) {
      EXPECT_EQ(d.Clerks.count, c.count_before);
      ASSERT_EQ(d.Clerks.records.size(), 1u);
      EXPECT_EQ(d.Clerks.records[0].code, -42);
    });
  }
}

// A receiver whose handler fails: the failure is logged for the port, the
// message's other events still follow, and later messages are processed.
class ThrowingReceiver : public test::RecordingReceiver {
 public:
  void OnPluInquire(std::uint8_t, const std::string&) override {
    throw std::runtime_error("handler failed");
  }
};

TEST(DispatcherTest, FailingHandlerIsLoggedAndDispatchGoesOn) {
  test::DispatchHarness h;
  ThrowingReceiver receiver;
  h.control().SetReceiver(&receiver);

  h.Dispatch(0x80, Code14(0, 5998));
  h.Dispatch(0x98, "ID");

  EXPECT_EQ(receiver.calls, (std::vector<std::string>{R"(OnPluInquireEx(12, "5998", "", false))",
                                                      R"(OnIDPress(12, "ID"))"}));
  EXPECT_EQ(h.log().Lines(), (std::vector<std::string>{
                                 "COM12: OnPluInquire(Ex) 5998 ()",
                                 "COM12: Dispatch ERROR: handler failed",
                                 "CLEAR: COM12: Short message 98: 2 of 30 bytes: 49 44 "}));
}

TEST(DispatcherTest, WithoutReceiverEventsAreDroppedAndStateStillChanges) {
  test::DispatchHarness h("COM12", /*mode650=*/false);
  h.control().SetReceiver(nullptr);
  h.Dispatch(0x80, Le32(1) + "S" + Byte(0) + Le32(3000) + Pad("", 30));  // empty code
  EXPECT_TRUE(h.entry().CloseWasteReported);
  EXPECT_EQ(h.entry().Multiplier, 3000);
  EXPECT_EQ(h.log().Lines(), (std::vector<std::string>{
                                 "CLEAR: COM12: Short message 80: 40 of 53 bytes: 01 00 00 00 53 00 "
                                 "B8 0B 00 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 "
                                 "20 20 20 20 20 20 20 20 20 20 20 20 ",
                                 "COM12: OnPluInquire841  ()"}));
  EXPECT_TRUE(h.receiver().calls.empty());
}

}  // namespace
}  // namespace tarvo::events
