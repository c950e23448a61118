// One message in, its events and log lines out: the dispatcher against a
// port entry named COM12 with logging on. The tables are grouped as the
// register's messages are: the course of a receipt, inquiries and requests,
// the daily report, and the kinds the driver ignores.
#include <gtest/gtest.h>

#include <climits>

#include "events/dispatcher.h"
#include "link/frame.h"
#include "tests/events/events_harness.h"

namespace tarvo::events {
namespace {

using test::Byte;
using test::Code14;
using test::Le16;
using test::Le32;
using test::Pad;
using test::Zeros;

struct MessageCase {
  const char* name;
  std::uint8_t kind;
  std::string payload;
  bool mode650;
  bool short_inquiry;  // the form of the port's last PLU inquiry
  std::vector<std::string> events;
  std::vector<std::string> logs;  // without the "COM12: " in front
};

void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.name; }
std::string CaseName(const ::testing::TestParamInfo<MessageCase>& info) { return info.param.name; }

class DispatchMessageTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(DispatchMessageTest, RaisesItsEventsAndWritesItsLogLines) {
  const MessageCase& c = GetParam();
  test::DispatchHarness h("COM12", c.mode650);
  h.entry().ShortInquiry = c.short_inquiry ? 1 : 0;

  h.Dispatch(c.kind, c.payload);

  EXPECT_EQ(h.receiver().calls, c.events);
  // Lines of kind 'C' carry their prefix before the port's name.
  const std::string clear = "CLEAR: ";
  std::vector<std::string> logs;
  for (const auto& l : c.logs) {
    logs.push_back(l.rfind(clear, 0) == 0 ? clear + "COM12: " + l.substr(clear.size())
                                          : "COM12: " + l);
  }
  EXPECT_EQ(h.log().Lines(), logs);
}

const std::string kAp = "AP0000001";
const std::string kDate = Le32(81226);
const std::string kTime = Le32(905);
// Sale or waste line: item kind, code, unit price, total price, raw count.
std::string Item(char item_kind, std::string code, std::int32_t count) {
  return std::string(1, item_kind) + code + Le32(150) + Le32(300) + Le32(count);
}
std::string Tender(std::string tail) { return "1" + Le32(1000) + Le32(900) + Le32(-100) + tail; }

// ---------------------------------------------------------------------------
INSTANTIATE_TEST_SUITE_P(
    Receipt, DispatchMessageTest,
    ::testing::Values(
        MessageCase{"DayOpen", 0x81, kDate + kTime + "7" + kAp, true, false,
                    {R"(OnDayOpen(12, "081226", "0905", 55, "AP0000001"))"},
                    {"OnDayOpen 081226 0905 7 AP0000001"}},
        MessageCase{"OpenReceiptLongDate", 0x82, Le32(1234567) + Le32(1230) + "3" + Le32(42) + kAp,
                    true, false,
                    {R"(OnOpenReceipt(12, "1234567", "1230", 51, 42, "AP0000001"))"},
                    {"OnOpenReceipt 1234567 1230 3 42 AP0000001"}},
        MessageCase{"CloseReceipt", 0x89, kDate + kTime + "3" + Le32(43) + kAp, false, false,
                    {R"(OnCloseReceipt(12, "081226", "0905", 51, 43, "AP0000001"))"},
                    {"OnCloseReceipt 081226 0905 3 43 AP0000001"}},
        MessageCase{"CancelReceipt", 0x8C, kDate + kTime + "3" + Le32(-1) + kAp, false, false,
                    {R"(OnCancelReceipt(12, "081226", "0905", 51, -1, "AP0000001"))"},
                    {"OnCancelReceipt 081226 0905 3 -1 AP0000001"}},
        // Count scaling: all four rows of (inquiry form, variant).
        MessageCase{"SellLongForm650Rounds", 0x83, Item('P', Code14(0, 5998), 1234), true, false,
                    {R"(OnSell(12, 0, 0, "5998", 150, 300, 123))"},
                    {"OnSell \\x00 0 5998 150 300 123"}},
        MessageCase{"SellLongForm650RoundsHalfUp", 0x85, Item('D', Code14(12, 345), 1235), true,
                    false,
                    {R"(OnSell(12, 2, 1, "1200000345", 150, 300, 124))"},
                    {"OnSell \\x02 1 1200000345 150 300 124"}},
        MessageCase{"WasteLongForm650RoundsNegative", 0x8E, Item('P', Code14(0, 0), -1235), true,
                    false,
                    {R"(OnWaste(12, 0, 0, "0", 150, 300, -124))"},
                    {"OnWaste \\x00 0 0 150 300 -124"}},
        MessageCase{"SellLongForm841AsIs", 0x84, Item('P', Code14(0, 5998), 1000), false, false,
                    {R"(OnSell(12, 1, 0, "5998", 150, 300, 1000))"},
                    {"OnSell \\x01 0 5998 150 300 1000"}},
        MessageCase{"WasteShortForm650AsIs", 0x8F, Item('P', Code14(0, 5998), 1000), true, true,
                    {R"(OnWaste(12, 1, 0, "5998", 150, 300, 1000))"},
                    {"OnWaste \\x01 0 5998 150 300 1000"}},
        MessageCase{"WasteShortForm841TimesTen", 0x90, Item('P', Code14(0, 5998), 1000), false,
                    true,
                    {R"(OnWaste(12, 2, 0, "5998", 150, 300, 10000))"},
                    {"OnWaste \\x02 0 5998 150 300 10000"}},
        MessageCase{"ModifyD", 0x86, "2" + Le32(-150), true, false,
                    {"OnModify(12, 68, 50, -150)"}, {"OnModify D 2 -150"}},
        MessageCase{"ModifyS", 0x87, "1" + Le32(20), false, false,
                    {"OnModify(12, 83, 49, 20)"}, {"OnModify S 1 20"}},
        // Tender: the 650 variant drops the change identifier; a 13-byte
        // message has none; the log's last field is the byte at 14.
        MessageCase{"Tender650", 0x88, Tender(""), true, false,
                    {"OnTender(12, 49, 1000, 900, -100)"}, {"OnTender 1 1000 900 -100 0"}},
        MessageCase{"Tender841Of13Bytes", 0x88, Tender(""), false, false,
                    {"OnTender841(12, 49, 1000, 900, -100, 0)"}, {"OnTender 1 1000 900 -100 0"}},
        MessageCase{"Tender841Of14Bytes", 0x88, Tender(Byte(5)), false, false,
                    {"OnTender841(12, 49, 1000, 900, -100, 5)"}, {"OnTender 1 1000 900 -100 0"}},
        MessageCase{"Tender841Of15Bytes", 0x88, Tender(Byte(5) + Byte(2)), false, false,
                    {"OnTender841(12, 49, 1000, 900, -100, 5)"}, {"OnTender 1 1000 900 -100 2"}},
        MessageCase{"PaidOut", 0x8A, "O" + Le32(-5000) + Le32(0) + kDate + kTime + "4" + kAp,
                    false, false,
                    {R"(OnPaidInOut(12, 79, 5000, 0, "081226", "0905", 52, "AP0000001"))"},
                    {"OnPaidInOut O -5000 0 081226 0905 4 AP0000001"}},
        MessageCase{"PaidInMostNegative", 0x8A, "I" + Le32(7) + Le32(INT32_MIN) + kDate + kTime +
                                                    "4" + kAp,
                    true, false,
                    {R"(OnPaidInOut(12, 73, 7, -2147483648, "081226", "0905", 52, "AP0000001"))"},
                    {"OnPaidInOut I 7 -2147483648 081226 0905 4 AP0000001"}},
        // Short messages still raise their events with what the bytes give.
        MessageCase{"DayOpenCutInTheTime", 0x81, kDate + std::string("\x01\x02", 2), true, false,
                    {R"(OnDayOpen(12, "081226", "0513", 0, ""))"},
                    {"CLEAR: Short message 81: 6 of 18 bytes: 4A 3D 01 00 01 02 ",
                     "OnDayOpen 081226 0513 \\x00 "}},
        MessageCase{"SellCutInTheCode", 0x83, "P" + Le32(0) + std::string("\x7B", 1), false,
                    false,
                    {R"(OnSell(12, 0, 0, "123", 0, 0, 0))"},
                    {"CLEAR: Short message 83: 6 of 21 bytes: 50 00 00 00 00 7B ",
                     "OnSell \\x00 0 123 0 0 0"}},
        MessageCase{"EmptyPaidInOut", 0x8A, "", false, false,
                    {R"(OnPaidInOut(12, 0, 0, 0, "000000", "0000", 0, ""))"},
                    {"CLEAR: Short message 8A: 0 of 27 bytes: ",
                     "OnPaidInOut \\x00 0 0 000000 0000 \\x00 "}}),
    CaseName);

// ---------------------------------------------------------------------------
// Long-form PLU inquiry: clerk, transaction type, department, multiplier,
// code (30), AP number (9), opened day.
std::string LongInquiry(std::int32_t clerk, char tr_type, std::uint8_t dept,
                        const std::string& code, const std::string& ap = kAp,
                        std::int32_t day = 42) {
  return Le32(clerk) + std::string(1, tr_type) + Byte(dept) + Le32(2000) + Pad(code, 30) + ap +
         Le32(day);
}

INSTANTIATE_TEST_SUITE_P(
    Inquiries, DispatchMessageTest,
    ::testing::Values(
        MessageCase{"ShortInquiryOf8Bytes", 0x80, Code14(0, 5998), true, false,
                    {R"(OnPluInquire(12, "5998"))", R"(OnPluInquireEx(12, "5998", "", false))"},
                    {"OnPluInquire(Ex) 5998 ()"}},
        MessageCase{"ShortInquiryWithAp", 0x80, Code14(12, 345) + kAp, false, false,
                    {R"(OnPluInquire(12, "1200000345"))",
                     R"(OnPluInquireEx(12, "1200000345", "AP0000001", false))"},
                    {"OnPluInquire(Ex) 1200000345 (AP0000001 false)"}},
        // 26 bytes are still the short form, whatever the variant.
        MessageCase{"ShortInquiryOf26Bytes", 0x80, Code14(0, 0) + kAp + Zeros(9), false, false,
                    {R"(OnPluInquire(12, "0"))", R"(OnPluInquireEx(12, "0", "AP0000001", false))"},
                    {"OnPluInquire(Ex) 0 (AP0000001 false)"}},
        // 27 bytes are the long form: the code is text, trimmed.
        MessageCase{"LongInquiryOf27Bytes650", 0x80,
                    Le32(7) + "S" + Byte(0) + Le32(1000) + std::string("\x01 59", 4) +
                        Zeros(13),
                    true, false,
                    {R"(OnPluInquire(12, "59"))", R"(OnPluInquireEx(12, "59", "", false))"},
                    {"CLEAR: Short message 80: 27 of 53 bytes: 07 00 00 00 53 00 E8 03 00 00 "
                     "01 20 35 39 00 00 00 00 00 00 00 00 00 00 00 00 00 ",
                     "OnPluInquire(Ex) 59 ()"}},
        MessageCase{"LongInquiry841", 0x80, LongInquiry(-3, 'S', 0, "  5998\x01"), false, true,
                    {R"(OnPluInquire841(12, 2000, "5998", 83, "-3", 42, "AP0000001", false))"},
                    {"OnPluInquire841 5998 (AP0000001 false)"}},
        MessageCase{"LongInquiry841WithoutAp", 0x80, LongInquiry(7, 'S', 0, "5998").substr(0, 40),
                    false, false,
                    {R"(OnPluInquire841(12, 2000, "5998", 83, "7", 0, "", false))"},
                    {"CLEAR: Short message 80: 40 of 53 bytes: " +
                         link::HexDump(LongInquiry(7, 'S', 0, "5998").substr(0, 40)),
                     "OnPluInquire841 5998 ()"}},
        MessageCase{"SellRequest841", 0x80, LongInquiry(-3, 'S', 4, "5998"), false, false,
                    {R"(OnSellRequest(12, 2000, 4, 83, "-3", 42, "AP0000001", false))"}, {}},
        MessageCase{"SellRequest650IsEnabledByTheDriver", 0x80, LongInquiry(7, 'W', 4, ""), true,
                    false, {}, {}},
        MessageCase{"CustInquiry", 0x8D, "  C-123 \x01", true, false,
                    {R"(OnCustInquire(12, "C-123"))"}, {"OnCustInquire C-123"}},
        MessageCase{"PaidInOutRequest841", 0x97, "IT" + Byte(3) + kAp + Le32(42), false, false,
                    {R"(OnPaidInOutRequest(12, 73, 84, 3, 42, "AP0000001"))"}, {}},
        MessageCase{"PaidInOutRequest650", 0x97, "IT" + Byte(3) + kAp + Le32(42), true, false,
                    {}, {}},
        MessageCase{"IdPressIsNotTrimmed", 0x98, Pad(" ID-7", 30) + "XYZ", true, false,
                    {"OnIDPress(12, \"" + Pad(" ID-7", 30) + "\")"}, {}},
        MessageCase{"ClerkLoginNegative", 0x9C, Le32(-42), false, false,
                    {R"(OnClerkLogin(12, "-42"))"}, {}},
        MessageCase{"ClerkLogin650", 0x9C, Le32(42), true, false, {}, {}},
        MessageCase{"ModifyRequestPercent", 0x9F, "D1" + Byte(0x31) + Le32(10), false, false,
                    {"OnModifyRequest(12, 68, 49, true, 10)"}, {}},
        MessageCase{"ModifyRequestAmount", 0x9F, "D1" + Byte(0x01) + Le32(-250), false, false,
                    {"OnModifyRequest(12, 68, 49, false, -250)"}, {}},
        MessageCase{"ModifyRequest650", 0x9F, "D1" + Byte(0x31) + Le32(10), true, false, {}, {}},
        MessageCase{"OperationRequest", 0x9E, "anything", false, false, {}, {}},
        MessageCase{"Connect", 0x01,
                    Zeros(7) + std::string("\x05\x00\x00\x00\x00", 5) + Zeros(4) + Le16(1) +
                        Zeros(7) + kAp,
                    true, false, {R"(OnConnect(12, "AP0000001", false))"},
                    {"OnConnect AP0000001 false"}}),
    CaseName);

// ---------------------------------------------------------------------------
std::string DailyReportPayload(std::int32_t gt_high, std::int32_t gt_low) {
  std::string p = Le32(81226) + Le16(905) + Le16(17);
  for (int i = 0; i < 9; ++i) p += Code14(i == 0 ? 1 : 0, 100 + i);  // A..E, over charge ...
  p += Le32(120) + Le32(3) + Le16(4) + Code14(0, 800) + Code14(gt_high, gt_low);
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    DailyReport, DispatchMessageTest,
    ::testing::Values(
        MessageCase{"Report841", 0x99, DailyReportPayload(3, 7), false, false,
                    {R"(OnDailyReport(12, "081226", "0905", 17, "100000100", "101", "102", "103", )"
                     R"("104", "105", "106", "107", "108", 120, 3, 4, "800", "300000007"))"},
                    {}},
        MessageCase{"Report841SmallTotal", 0x99, DailyReportPayload(0, 7), false, false,
                    {R"(OnDailyReport(12, "081226", "0905", 17, "100000100", "101", "102", "103", )"
                     R"("104", "105", "106", "107", "108", 120, 3, 4, "800", "7"))"},
                    {}},
        MessageCase{"ReportCutShort", 0x99, DailyReportPayload(3, 7).substr(0, 9), false, false,
                    {R"(OnDailyReport(12, "081226", "0905", 17, "100000000", "0", "0", "0", )"
                     R"("0", "0", "0", "0", "0", 0, 0, 0, "0", "0"))"},
                    {"CLEAR: Short message 99: 9 of 106 bytes: 4A 3D 01 00 89 03 11 00 01 "}},
        MessageCase{"Report650", 0x99, DailyReportPayload(3, 7), true, false, {}, {}}),
    CaseName);

// ---------------------------------------------------------------------------
// Kinds the host has no use for leave no trace, in either variant.
INSTANTIATE_TEST_SUITE_P(
    Ignored, DispatchMessageTest,
    ::testing::Values(MessageCase{"Kind139", 139, "xyz", true, false, {}, {}},
                      MessageCase{"Kind145", 145, "xyz", false, false, {}, {}},
                      MessageCase{"Kind148", 148, "xyz", true, false, {}, {}},
                      MessageCase{"Kind150", 150, "xyz", false, false, {}, {}},
                      MessageCase{"Kind154", 154, "xyz", true, false, {}, {}},
                      MessageCase{"Kind155", 155, "xyz", false, false, {}, {}},
                      MessageCase{"Kind2", 2, "xyz", true, false, {}, {}},
                      MessageCase{"Kind160", 160, "xyz", false, false, {}, {}},
                      MessageCase{"Kind0", 0, "", false, false, {}, {}}),
    CaseName);

}  // namespace
}  // namespace tarvo::events
