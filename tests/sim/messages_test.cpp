// Payload builders against the byte layouts of the register's messages, and
// the decoders of the host's records.
#include "tools/sim/messages.h"

#include <gtest/gtest.h>

#include "link/frame.h"
#include "tests/sim/host_line.h"

namespace tarvo::sim::msg {
namespace {

using test::H;

const Stamp kAt{81226, 905, 3};  // 4A 3D 01 00, 89 03 00 00, 03
const std::string kAp = "AP0000001";
const std::string kApHex = "41 50 30 30 30 30 30 30 31";

struct LayoutCase {
  const char* name;
  std::string body;
  std::string expected_hex;
};

std::string Spaces(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += "20 ";
  return s;
}

TEST(SimMessages, BodiesMatchTheirLayouts) {
  const LayoutCase cases[] = {
      {"day open", DayOpen(kAt, kAp), "81 4A 3D 01 00 89 03 00 00 03 " + kApHex},
      {"receipt open", ReceiptOpen(kAt, 7, kAp), "82 4A 3D 01 00 89 03 00 00 03 07 00 00 00 " + kApHex},
      {"receipt close", ReceiptClose(kAt, 7, kAp), "89 4A 3D 01 00 89 03 00 00 03 07 00 00 00 " + kApHex},
      {"receipt cancel", ReceiptCancel(kAt, 7, kAp), "8C 4A 3D 01 00 89 03 00 00 03 07 00 00 00 " + kApHex},
      {"sale, type 2", Sale({2, 'P', "5998", 100, 200, 2000}),
       "85 50 00 00 00 00 6E 17 00 00 64 00 00 00 C8 00 00 00 D0 07 00 00"},
      {"waste, 14-digit code", Waste({0, 'D', "12345678901234", -1, 0, 1000}),
       "8E 44 40 E2 01 00 F2 EF B3 04 FF FF FF FF 00 00 00 00 E8 03 00 00"},
      {"modifier S", Modifier('S', 2, -5), "87 02 FB FF FF FF"},
      {"modifier D", Modifier('D', 1, 95), "86 01 5F 00 00 00"},
      {"tender, 13 bytes", Tender({1, 1000, 3900, 3600, std::nullopt}),
       "88 01 E8 03 00 00 3C 0F 00 00 10 0E 00 00"},
      {"tender, change id", Tender({1, 1000, 3900, 3600, 2}),
       "88 01 E8 03 00 00 3C 0F 00 00 10 0E 00 00 02"},
      {"paid out", PaidInOut({'O', -5000, 0}, kAt, kAp),
       "8A 4F 78 EC FF FF 00 00 00 00 4A 3D 01 00 89 03 00 00 03 " + kApHex},
      {"customer inquiry", CustomerInquiry("C1"), "8D 43 31"},
      {"short PLU inquiry", PluInquiryShort("5998"), "80 00 00 00 00 6E 17 00 00"},
      {"short PLU inquiry with AP", PluInquiryShort("5998", kAp), "80 00 00 00 00 6E 17 00 00 " + kApHex},
      {"long PLU inquiry", PluInquiryLong({1111, 'W', 1, 1000, "5998"}, kAp, 42),
       "80 57 04 00 00 57 01 E8 03 00 00 35 39 39 38 " + Spaces(26) + kApHex + " 2A 00 00 00"},
      {"paid-in/out request", PaidRequest({'O', 1, 2}, kAp, 42), "97 4F 01 02 " + kApHex + " 2A 00 00 00"},
      {"ID key", IdKey("ID42"), "98 49 44 34 32 " + Spaces(26)},
      {"clerk login", ClerkLogin(-2), "9C FE FF FF FF"},
      {"operation request", OperationRequest(), "9E"},
      {"modifier request, percent", ModifierRequest({'D', 1, true, 10}), "9F 44 01 31 0A 00 00 00"},
      {"modifier request, amount", ModifierRequest({'S', 0, false, 10}), "9F 53 00 30 0A 00 00 00"},
      {"check answer", CheckAnswer({5, 10000, 1, 3, 2, '1', "123456789", 42}),
       "9D 05 00 00 00 10 27 00 00 01 00 00 00 03 00 00 00 02 31 31 32 33 34 35 36 37 38 39 2A 00 00 00"},
      {"status answer, open", StatusAnswer(true),
       "01 00 00 00 00 00 00 00 06 00 00 00 00 01 00 00 00 01 00 01"},
      {"status answer, closed", StatusAnswer(false),
       "01 00 00 00 00 00 00 00 06 00 00 00 00 01 00 00 00 01 00 00"},
      {"table 4 answer", TableAnswer(4, 1, "\x01\x02"),
       "01 00 00 00 00 00 00 00 03 00 00 00 04 01 00 00 00 01 00 01 02"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(link::HexDump(c.body), link::HexDump(H(c.expected_hex))) << c.name;
  }
}

TEST(SimMessages, PluInquiryFormsDifferInLength) {
  // A payload of up to 26 bytes is the short form, 27 or more the long one.
  EXPECT_EQ(PluInquiryShort("1").size() - 1, 8u);
  EXPECT_EQ(PluInquiryShort("1", kAp).size() - 1, 17u);
  EXPECT_EQ(PluInquiryLong({}, kAp, 1).size() - 1, 53u);
}

TEST(SimMessages, ConnectionMessageCarriesTheApNumberAtPayloadOffset25) {
  const std::string body = ConnectionMessage("AP0000042");
  ASSERT_GE(body.size(), 35u);
  EXPECT_EQ(link::HexDump(body.substr(8, 5)), "05 00 00 00 00 ");
  const std::string payload = body.substr(1);  // what the host reads after the kind
  EXPECT_EQ(payload.substr(25, 9), "AP0000042");
}

TEST(SimMessages, DailyReportFieldsSitAtTheirOffsets) {
  DailyReportData r;
  r.date = 81226;
  r.time = 905;
  r.report_no = 12;
  r.taxable = {123, 0, 0, 0, 200000001};
  r.over_charge = 5;
  r.storno = 6;
  r.discount = 7;
  r.returned = 8;
  r.receipts = 9;
  r.cancels = 10;
  r.empties_count = 11;
  r.empties = 12;
  r.grand_total = 300000007;
  const std::string body = DailyReport(r);
  ASSERT_EQ(body.size(), 107u);
  EXPECT_EQ(static_cast<std::uint8_t>(body[0]), 0x99);
  const std::string p = body.substr(1);
  struct Field {
    std::size_t offset;
    std::string hex;
  };
  const Field fields[] = {
      {0, "4A 3D 01 00"},  {4, "89 03"},       {6, "0C 00"},
      {8, "00 00 00 00 7B 00 00 00"},          {40, "02 00 00 00 01 00 00 00"},
      {48, "00 00 00 00 05 00 00 00"},         {56, "00 00 00 00 06 00 00 00"},
      {64, "00 00 00 00 07 00 00 00"},         {72, "00 00 00 00 08 00 00 00"},
      {80, "09 00 00 00"}, {84, "0A 00 00 00"}, {88, "0B 00"},
      {90, "00 00 00 00 0C 00 00 00"},         {98, "03 00 00 00 07 00 00 00"},
  };
  for (const auto& f : fields) {
    const std::string want = H(f.hex);
    EXPECT_EQ(link::HexDump(p.substr(f.offset, want.size())), link::HexDump(want)) << "offset " << f.offset;
  }
}

TEST(SimMessages, LongNumbersAndCodes) {
  EXPECT_EQ(link::HexDump(Code14("123")), "00 00 00 00 7B 00 00 00 ");
  EXPECT_EQ(LongNumberText(H("0C 00 00 00 59 01 00 00")), "1200000345");
  EXPECT_EQ(LongNumberText(H("00 00 00 00 00 00 00 00")), "0");
  EXPECT_EQ(LongNumberText(H("00 00 00 00 7B")), "123");  // a short low part reads as far as it goes
  for (const char* bad : {"", "123456789012345", "12a4"}) {
    EXPECT_THROW(Code14(bad), std::invalid_argument) << bad;
  }
}

std::string PluRecordHex(bool long_form) {
  return std::string("80 ") + (long_form ? "D0 07 00 00 " : "") +
         "00 00 00 00 7B 00 00 00 "                                   // code 123
         "41 4C 4D 41 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "  // ALMA, terminator
         "01 02 03 30 00 01 01 "                                      // groups, status
         "31 32 33 34 00 00 00 00 00 00 00 00 "                        // vtsz 1234, terminator
         "00 00 00 00 00 00 00 00 "                                   // no link
         "64 00 00 00 C8 00 00 00 00 00 00 00";                        // prices
}

TEST(SimMessages, PluRecordDecodesBothLayouts) {
  for (const bool long_form : {false, true}) {
    const std::string body = H(PluRecordHex(long_form));
    ASSERT_EQ(body.size(), long_form ? 77u : 73u);
    const auto r = DecodePluRecord(body);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->multiplier.has_value(), long_form);
    if (long_form) {
      EXPECT_EQ(*r->multiplier, 2000);
    }
    EXPECT_EQ(r->code, "123");
    EXPECT_EQ(r->description, "ALMA");
    EXPECT_EQ(r->groups, (std::array<std::uint8_t, 3>{1, 2, 3}));
    EXPECT_EQ(r->status, (std::array<std::uint8_t, 4>{0x30, 0x00, 0x01, 0x01}));
    EXPECT_EQ(r->vtsz, "1234");
    EXPECT_EQ(r->link, "0");
    EXPECT_EQ(r->prices, (std::array<std::int32_t, 3>{100, 200, 0}));
  }
  EXPECT_FALSE(DecodePluRecord(H(PluRecordHex(false)).substr(0, 72)));
  EXPECT_FALSE(DecodePluRecord(""));
}

TEST(SimMessages, HostRecordsDecode) {
  std::string op = "\x96" + Field("Tiltott", 32) + "0";
  auto o = DecodeOperation(op);
  ASSERT_TRUE(o);
  EXPECT_FALSE(o->enable);
  EXPECT_EQ(o->message, "Tiltott");
  op.back() = '1';
  EXPECT_TRUE(DecodeOperation(op)->enable);
  EXPECT_FALSE(DecodeOperation(op.substr(0, 33)));

  const auto clerk = DecodeClerkRecord(H("9C 41 4E 4E 41 00 00 00 00 00 00 00 00 00 00 00 57 04 00 00 00 01"));
  ASSERT_TRUE(clerk);
  EXPECT_EQ(clerk->name, "ANNA");
  EXPECT_EQ(clerk->secret_code, 1111);
  EXPECT_EQ(clerk->status, (std::array<std::uint8_t, 2>{0, 1}));

  const auto cust = DecodeCustomerRecord("\x8D" + Field("C0001", 30) + Field("KOVACS", 16));
  ASSERT_TRUE(cust);
  EXPECT_EQ(cust->id, "C0001");
  EXPECT_EQ(cust->description, "KOVACS");
  EXPECT_FALSE(DecodeCustomerRecord("\x8D"));
}

}  // namespace
}  // namespace tarvo::sim::msg
