// The handling of one message through its context alone: a fake register
// with plain fields, no control, no threads, no ports.
#include "events/message_handler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/answer_rules.h"
#include "link/frame.h"
#include "tests/events/events_harness.h"

namespace tarvo::events {
namespace {

using test::Byte;
using test::Le32;
using test::Pad;

// One register as the handling sees it; replies and log lines recorded.
class FakeRegister final : public DispatchContext {
 public:
  explicit FakeRegister(std::uint8_t port, bool mode650 = false) : port_(port), mode650_(mode650) {}

  std::uint8_t PortNum() override { return port_; }
  bool Mode650() override { return mode650_; }
  bool ShortInquiry() override { return short_inquiry; }
  void SetShortInquiry(bool s) override { short_inquiry = s; }
  void SetMultiplier(std::int32_t m) override { multiplier = m; }
  bool WasteRefused() override { return waste_refused; }
  void SetWasteRefused(bool r) override { waste_refused = r; }
  bool CloseWasteReported() override { return close_waste_reported; }
  void SetCloseWasteReported(bool r) override { close_waste_reported = r; }
  core::AnswerSlots& Answers() override { return answers; }
  EventReceiver* Receiver() override { return &events; }
  void AutoEnable() override { replies.push_back("enable"); }
  void Refuse() override { replies.push_back("refuse"); }
  void SendPlaceholderPlu() override { replies.push_back("placeholder"); }
  void Log(char kind, std::string_view text) override {
    lines.push_back(std::string(1, kind) + " " + std::string(text));
  }

  bool short_inquiry = false;
  std::int32_t multiplier = 0;
  bool waste_refused = false;
  bool close_waste_reported = false;
  core::AnswerSlots answers;
  test::RecordingReceiver events;
  std::vector<std::string> replies;
  std::vector<std::string> lines;

 private:
  std::uint8_t port_;
  bool mode650_;
};

std::string DepartmentRequest(char tr_type) {
  return Le32(7) + std::string(1, tr_type) + Byte(3) + Le32(2000) + Pad("", 30) + "AP0000001" +
         Le32(42);
}

TEST(MessageHandlerTest, TheWasteSequenceIsTheRegistersOwn) {
  FakeRegister com3(3);
  FakeRegister com4(4);
  HandleMessage(com3, kKindPluInquiry, DepartmentRequest('W'));
  HandleMessage(com4, kKindPluInquiry, DepartmentRequest('S'));
  HandleMessage(com3, kKindPluInquiry, DepartmentRequest('S'));

  EXPECT_EQ(com3.replies, (std::vector<std::string>{"refuse", "enable"}));
  EXPECT_EQ(com3.events.calls, std::vector<std::string>{"OnCloseWaste(3)"});
  EXPECT_FALSE(com3.waste_refused);
  EXPECT_TRUE(com4.replies.empty());
  EXPECT_EQ(com4.events.calls,
            std::vector<std::string>{R"(OnSellRequest(4, 2000, 3, 83, "7", 42, "AP0000001", false))"});
}

TEST(MessageHandlerTest, AnswersLandInTheRegistersOwnSlots) {
  FakeRegister com3(3);
  HandleMessage(com3, kKindTable,
                link::TableBody(link::FnReadTable(4), 1, std::string(35, '\x44')).substr(1));
  HandleMessage(com3, kKindCheckAnswer, std::string(31, '\x01'));
  com3.answers.Access([](core::AnswerData& d) {
    EXPECT_TRUE(commands::HoldsCheckAnswer(d));
    ASSERT_EQ(d.TableReads.count(4), 1u);
    EXPECT_EQ(d.TableReads.at(4).data, std::string(35, '\x44'));
  });
  HandleMessage(com3, kKindClerkLogin, Le32(-42));
  com3.answers.Access([](core::AnswerData& d) {
    ASSERT_EQ(d.Clerks.records.size(), 1u);
    EXPECT_EQ(d.Clerks.records[0].code, -42);
  });
  EXPECT_TRUE(com3.lines.empty());
}

TEST(MessageHandlerTest, RegisterTextsAreEscapedInTheLogOnly) {
  FakeRegister com3(3);
  const std::string ap = "AP\r\n12:\\7";  // nine bytes with a line break
  HandleMessage(com3, kKindDayOpen, Le32(81226) + Le32(905) + "\n" + ap);
  EXPECT_EQ(com3.events.calls,
            std::vector<std::string>{R"(OnDayOpen(3, "081226", "0905", 10, "AP<0D><0A>12:\7"))"});
  EXPECT_EQ(com3.lines,
            std::vector<std::string>{"s OnDayOpen 081226 0905 \\x0A AP\\x0D\\x0A12:\\\\7"});
}

TEST(MessageHandlerTest, ShortMessagesAreRaisedAndRecorded) {
  FakeRegister com3(3);
  const std::string report(9, '\x01');
  HandleMessage(com3, kKindDailyReport, report);
  ASSERT_EQ(com3.events.calls.size(), 1u);
  EXPECT_EQ(com3.lines, std::vector<std::string>{
                            "C Short message 99: 9 of 106 bytes: 01 01 01 01 01 01 01 01 01 "});

  // In the 650 variant the report is not read: nothing to record.
  FakeRegister com4(4, /*mode650=*/true);
  HandleMessage(com4, kKindDailyReport, report);
  EXPECT_EQ(com4.replies, std::vector<std::string>{"enable"});
  EXPECT_TRUE(com4.lines.empty());
}

}  // namespace
}  // namespace tarvo::events
