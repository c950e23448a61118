// The replies the driver sends to a register by itself, read from the far
// end of a pseudo-terminal, together with the events of the same messages:
// the waste sequences of the 841 mode and the automatic enables.
#include <gtest/gtest.h>

#include "tests/events/events_harness.h"

namespace tarvo::events {
namespace {

using test::Byte;
using test::Le32;
using test::Pad;

const std::string kAp = "AP0000001";

// A long-form kind-0x80 message: clerk 7, multiplier 2000, opened day 42.
std::string LongInquiry(char tr_type, std::uint8_t dept, const std::string& code) {
  return Le32(7) + std::string(1, tr_type) + Byte(dept) + Le32(2000) + Pad(code, 30) + kAp +
         Le32(42);
}
const std::string kEmptyCode = LongInquiry('S', 0, "");
const std::string kWasteRequest = LongInquiry('W', 3, "");
const std::string kSaleRequest = LongInquiry('S', 3, "");

using Calls = std::vector<std::string>;
const std::string kCloseWaste = "OnCloseWaste(3)";
const std::string kInquire841 =
    R"(OnPluInquire841(3, 2000, "5998", 83, "7", 42, "AP0000001", false))";
const std::string kSellRequest = R"(OnSellRequest(3, 2000, 3, 83, "7", 42, "AP0000001", false))";

TEST(AutomaticReplyTest, EmptyCodeInquiriesReportCloseWasteOnceAndGetAPlaceholderEach) {
  test::PtyHarness h(/*mode650=*/false);
  const std::string placeholder = test::PlaceholderPluFrame(2000);

  for (int i = 0; i < 3; ++i) h.Dispatch(0x80, kEmptyCode);
  EXPECT_EQ(h.receiver().calls, Calls{kCloseWaste});
  EXPECT_EQ(h.ReadFromDriver(3 * placeholder.size()), placeholder + placeholder + placeholder);

  // A real inquiry re-arms the report.
  h.Dispatch(0x80, LongInquiry('S', 0, "5998"));
  h.Dispatch(0x80, kEmptyCode);
  EXPECT_EQ(h.receiver().calls, (Calls{kCloseWaste, kInquire841, kCloseWaste}));
  EXPECT_EQ(h.ReadFromDriver(placeholder.size()), placeholder);
  EXPECT_TRUE(h.DriverSilent());
}

TEST(AutomaticReplyTest, RefusedWasteIsClosedByTheNextRequestOfAnotherType) {
  test::PtyHarness h(/*mode650=*/false);
  auto& entry = h.entry();

  h.Dispatch(0x80, kWasteRequest);
  EXPECT_TRUE(h.receiver().calls.empty());
  EXPECT_EQ(h.ReadFromDriver(test::RefusalFrame().size()), test::RefusalFrame());
  EXPECT_TRUE(entry.WasteRefused);

  h.Dispatch(0x80, kSaleRequest);
  EXPECT_EQ(h.receiver().calls, Calls{kCloseWaste});
  EXPECT_EQ(h.ReadFromDriver(test::EnableFrame().size()), test::EnableFrame());
  EXPECT_FALSE(entry.WasteRefused);

  h.Dispatch(0x80, kSaleRequest);
  EXPECT_EQ(h.receiver().calls, (Calls{kCloseWaste, kSellRequest}));
  EXPECT_TRUE(h.DriverSilent());
}

TEST(AutomaticReplyTest, EmptyCodeInquiryAlsoClearsARefusedWaste) {
  test::PtyHarness h(/*mode650=*/false);
  h.Dispatch(0x80, kWasteRequest);
  h.Dispatch(0x80, kEmptyCode);
  h.Dispatch(0x80, kSaleRequest);
  EXPECT_EQ(h.receiver().calls, (Calls{kCloseWaste, kSellRequest}));
  const std::string expected = test::RefusalFrame() + test::PlaceholderPluFrame(2000);
  EXPECT_EQ(h.ReadFromDriver(expected.size()), expected);
  EXPECT_TRUE(h.DriverSilent());
}

TEST(AutomaticReplyTest, RepliesAreSentAndFlagsKeptWithoutAReceiver) {
  test::PtyHarness h(/*mode650=*/false);
  h.control().SetReceiver(nullptr);
  h.Dispatch(0x80, kWasteRequest);
  h.Dispatch(0x80, kSaleRequest);
  h.Dispatch(0x80, kEmptyCode);
  const std::string expected =
      test::RefusalFrame() + test::EnableFrame() + test::PlaceholderPluFrame(2000);
  EXPECT_EQ(h.ReadFromDriver(expected.size()), expected);
  EXPECT_FALSE(h.entry().WasteRefused);
  EXPECT_TRUE(h.entry().CloseWasteReported);
  EXPECT_TRUE(h.receiver().calls.empty());
}

// After PortClose the entry stays: its messages are still dispatched with its
// port number, and replies that cannot go out change nothing else.
TEST(AutomaticReplyTest, MessagesOfAClosedPortAreStillDispatched) {
  test::PtyHarness h(/*mode650=*/false);
  h.control().impl().PortClose(test::PtyHarness::kPort);

  h.Dispatch(0x80, kWasteRequest);
  EXPECT_TRUE(h.entry().WasteRefused);
  h.Dispatch(0x80, kSaleRequest);
  h.Dispatch(0x80, kSaleRequest);
  EXPECT_EQ(h.receiver().calls, (Calls{kCloseWaste, kSellRequest}));
  EXPECT_TRUE(h.DriverSilent());
}

// Which requests the driver enables by itself, per variant; everything else
// is left to the host (one event) or ignored (nothing at all). Kind 0x80 is a
// department sell request, a waste one, which the 650 variant allows too.
TEST(AutomaticReplyTest, AutomaticEnablesPerVariant) {
  struct Case {
    bool mode650;
    std::uint8_t kind;
    std::string payload;
    bool enabled;
    std::size_t events;
  } cases[] = {
      {true, 0x80, kWasteRequest, true, 0},
      {true, 0x97, "IT" + Byte(3), true, 0},
      {true, 0x99, "", true, 0},
      {true, 0x9C, Le32(1), true, 0},
      {true, 0x9E, "", true, 0},
      {true, 0x9F, "D1", true, 0},
      {true, 0x8B, "", false, 0},
      {false, 0x9E, "", true, 0},
      {false, 0x97, "IT" + Byte(3), false, 1},
      {false, 0x99, "", false, 1},
      {false, 0x9C, Le32(1), false, 1},
      {false, 0x9F, "D1", false, 1},
      {false, 0x96, "", false, 0},
  };
  for (bool mode650 : {true, false}) {
    test::PtyHarness h(mode650);
    for (const auto& c : cases) {
      if (c.mode650 != mode650) continue;
      SCOPED_TRACE(::testing::Message() << "mode650 " << mode650 << " kind " << int(c.kind));
      const std::size_t events_before = h.receiver().calls.size();
      h.Dispatch(c.kind, c.payload);
      if (c.enabled) {
        EXPECT_EQ(h.ReadFromDriver(test::EnableFrame().size()), test::EnableFrame());
      } else {
        EXPECT_TRUE(h.DriverSilent());
      }
      EXPECT_EQ(h.receiver().calls.size(), events_before + c.events);
    }
    EXPECT_FALSE(h.entry().WasteRefused);
  }
}

}  // namespace
}  // namespace tarvo::events
