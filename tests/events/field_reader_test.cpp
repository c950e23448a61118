// The payload field readers and the pure helpers of the event decoders.
#include "events/field_reader.h"

#include <gtest/gtest.h>

#include <climits>

#include "events/event_builders.h"
#include "tests/events/events_harness.h"

namespace tarvo::events {
namespace {

using test::Code14;
using test::Le32;

TEST(FieldReaderTest, NumbersUseTheBytesPresentAndReadZeroBeyondTheEnd) {
  const std::string payload = "\x07" + Le32(-2) + std::string("\xFF\xFF\x34", 3);
  const FieldReader f(payload);
  struct Case {
    const char* what;
    std::int64_t got, want;
  } cases[] = {
      {"byte", f.Byte(0), 7},
      {"byte past the end", f.Byte(8), 0},
      {"integer, two's complement", f.Integer(1), -2},
      {"integer from 3 bytes, zero-extended", f.Integer(5), 0x34FFFF},
      {"integer from 1 byte", f.Integer(7), 0x34},
      {"integer with no byte", f.Integer(8), 0},
      {"integer far past the end", f.Integer(1000), 0},
      {"short is unsigned", f.Short(5), 65535},
      {"short from 1 byte", f.Short(7), 0x34},
      {"short with no byte", f.Short(9), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(FieldReaderTest, LongNumbersPadTheLowPartBehindANonZeroHighPart) {
  struct Case {
    std::string bytes;
    std::string text;
  } cases[] = {
      {Code14(0, 5998), "5998"},
      {Code14(12, 345), "1200000345"},
      {Code14(0, 0), "0"},
      {Code14(3, 7), "300000007"},
      {Le32(0) + std::string("\x7B", 1), "123"},  // low part cut short
      {"", "0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FieldReader(c.bytes).LongNumber(0), c.text) << test::Printable(c.bytes);
    // The same field read past the payload's end.
    EXPECT_EQ(FieldReader(c.bytes).LongNumber(c.bytes.size()), "0");
  }
}

TEST(FieldReaderTest, TextsStopAtTheEndAndTrimBlanksAndControlBytes) {
  const std::string payload = std::string(" \x01" "AB C\x00\x20", 8);
  const FieldReader f(payload);
  EXPECT_EQ(f.Text(2, 3), "AB ");
  EXPECT_EQ(f.Text(5, 30), std::string("C\x00 ", 3));
  EXPECT_EQ(f.Text(8, 5), "");
  EXPECT_EQ(f.Text(100, 5), "");
  EXPECT_EQ(f.TrimmedText(0, 30), "AB C");
  EXPECT_EQ(Trimmed("\x20\x10\x20"), "");
  EXPECT_EQ(Trimmed("\x21"), "\x21");
}

TEST(FieldReaderTest, NumberAndPaddedTexts) {
  EXPECT_EQ(NumberText(0), "0");
  EXPECT_EQ(NumberText(-42), "-42");
  EXPECT_EQ(NumberText(INT32_MIN), "-2147483648");
  EXPECT_EQ(PaddedText(81226, 6), "081226");
  EXPECT_EQ(PaddedText(905, 4), "0905");
  EXPECT_EQ(PaddedText(1234567, 6), "1234567");
  EXPECT_EQ(PaddedText(0, 4), "0000");
}

TEST(CountScaleTest, FollowsTheInquiryFormAndTheVariant) {
  EXPECT_EQ(CountScaleFor(/*short_inquiry=*/false, /*mode650=*/true), CountScale::kDivideBy10);
  EXPECT_EQ(CountScaleFor(false, false), CountScale::kAsIs);
  EXPECT_EQ(CountScaleFor(true, true), CountScale::kAsIs);
  EXPECT_EQ(CountScaleFor(true, false), CountScale::kTimes10);
}

TEST(CountScaleTest, RoundsHalvesAwayFromZeroAndNeverOverflows) {
  struct Case {
    std::int32_t raw;
    CountScale scale;
    std::int32_t want;
  } cases[] = {
      {1234, CountScale::kDivideBy10, 123},
      {1235, CountScale::kDivideBy10, 124},
      {-1235, CountScale::kDivideBy10, -124},
      {-1234, CountScale::kDivideBy10, -123},
      {4, CountScale::kDivideBy10, 0},
      {INT32_MAX, CountScale::kDivideBy10, 214748365},
      {INT32_MIN, CountScale::kDivideBy10, -214748365},
      {1000, CountScale::kTimes10, 10000},
      {-7, CountScale::kTimes10, -70},
      // Beyond 32 bits the product wraps like the register's own arithmetic.
      {300000000, CountScale::kTimes10, static_cast<std::int32_t>(3000000000u)},
      {INT32_MIN, CountScale::kTimes10, 0},
      {INT32_MIN, CountScale::kAsIs, INT32_MIN},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ScaleCount(c.raw, c.scale), c.want) << c.raw << " scale " << int(c.scale);
}

TEST(PaidAmountTest, AbsoluteValueKeepsTheMostNegativeInteger) {
  EXPECT_EQ(AbsoluteAmount(-5000), 5000);
  EXPECT_EQ(AbsoluteAmount(5000), 5000);
  EXPECT_EQ(AbsoluteAmount(0), 0);
  EXPECT_EQ(AbsoluteAmount(INT32_MIN), INT32_MIN);
  EXPECT_EQ(AbsoluteAmount(INT32_MIN + 1), INT32_MAX);
}

// Every decoder on payloads cut at every length: no read past the end, and
// an event for each length.
TEST(EventBuildersTest, EveryDecoderAcceptsEveryTruncationOfItsPayload) {
  std::string full;
  for (int i = 0; i < 130; ++i) full.push_back(static_cast<char>(0xF0 + i));
  for (std::size_t n = 0; n <= full.size(); ++n) {
    const std::string p = full.substr(0, n);  // an exact-size copy for ASan
    BuildDayOpen(p);
    BuildReceipt(p, "OnOpenReceipt");
    BuildItemLine(p, "OnSell", 0, CountScale::kTimes10);
    BuildModify(p, 'D');
    BuildTender(p);
    BuildPaidInOut(p);
    BuildPluInquiry(p);
    BuildCustInquiry(p);
    BuildPaidInOutRequest(p);
    BuildIdPress(p);
    BuildClerkLogin(p);
    BuildModifyRequest(p);
    BuildConnect(p);
    BuildDailyReport(p);
  }
  const DailyReport empty = BuildDailyReport("");
  EXPECT_EQ(empty.report_date, "000000");
  EXPECT_EQ(empty.report_time, "0000");
  EXPECT_EQ(empty.gt, "0");
}

}  // namespace
}  // namespace tarvo::events
