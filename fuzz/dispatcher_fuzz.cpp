// The handling of register messages (events/message_handler.h) through a
// fake register context: plain fields, no ports, no threads. The input is
//   byte 0: bit 0 the 650 variant, bit 1 the form of the last PLU inquiry,
//           bit 2 a refused waste request, bit 3 a reported waste close,
//           bit 4 no receiver, bit 5 a receiver that throws a standard
//           failure, bit 6 one that throws something else;
//   then up to eight messages, each a kind byte, a length byte and that
//   many payload bytes (fewer at the end of the input),
// handled in sequence on the same fake so that the waste and inquiry state
// carries from one message to the next. After each message:
//   - nothing escapes HandleMessage (the receiver's failures are logged);
//   - every log line is of kind 's' or 'C' and holds no control byte
//     (below 0x20, or 0x7F): register texts reach the log escaped;
//   - event texts stay within their widths;
//   - the driver sends at most one reply of its own, and a refusal only to
//     a PLU inquiry in the 841 mode;
//   - a PLU inquiry leaves the register's inquiry form as its length says.
// Each payload sits in a heap buffer of its exact size, so that a read past
// it is an AddressSanitizer finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "events/dispatch_context.h"
#include "events/event_builders.h"
#include "events/event_receiver.h"
#include "events/message_handler.h"
#include "events/message_kinds.h"
#include "fuzz/fuzz_check.h"

namespace ev = tarvo::events;

namespace {

constexpr std::uint8_t kPort = 5;
constexpr std::size_t kApWidth = 9;
constexpr std::size_t kCodeWidth = 30;
constexpr int kMaxMessages = 8;

enum class Throwing { kNo, kStandard, kOther };

// Checks each event's texts against their widths; may throw on purpose.
class CheckingReceiver final : public ev::EventReceiver {
 public:
  explicit CheckingReceiver(Throwing throwing) : throwing_(throwing) {}

  void SetPayloadSize(std::size_t n) { payload_size_ = n; }
  int events = 0;

  void OnPluInquire(std::uint8_t p, const std::string& plu_code) override {
    Event(p);
    Width(plu_code, kCodeWidth);
  }
  void OnPluInquireEx(std::uint8_t p, const std::string& plu_code, const std::string& ap_num,
                      bool) override {
    Event(p);
    Width(plu_code, kCodeWidth);
    Width(ap_num, kApWidth);
  }
  void OnPluInquire841(std::uint8_t p, std::int32_t, const std::string& plu_code, std::uint8_t,
                       const std::string& clerk_code, std::int32_t, const std::string& ap_num,
                       bool) override {
    Event(p);
    FUZZ_CHECK(!plu_code.empty(), "an empty code closes the waste sequence instead");
    Width(plu_code, kCodeWidth);
    Width(clerk_code, 11);
    Width(ap_num, kApWidth);
  }
  void OnSellRequest(std::uint8_t p, std::int32_t, std::int32_t dept, std::uint8_t,
                     const std::string& clerk_code, std::int32_t, const std::string& ap_num,
                     bool) override {
    Event(p);
    FUZZ_CHECK(dept != 0, "a sell request names a department");
    Width(clerk_code, 11);
    Width(ap_num, kApWidth);
  }
  void OnCloseWaste(std::uint8_t p) override { Event(p); }
  void OnCustInquire(std::uint8_t p, const std::string& cust_id) override {
    Event(p);
    Width(cust_id, payload_size_);
  }
  void OnPaidInOutRequest(std::uint8_t p, std::uint8_t, std::uint8_t, std::uint8_t, std::int32_t,
                          const std::string& ap_num) override {
    Event(p);
    Width(ap_num, kApWidth);
  }
  void OnIDPress(std::uint8_t p, const std::string& id) override {
    Event(p);
    Width(id, kCodeWidth);
  }
  void OnClerkLogin(std::uint8_t p, const std::string& secret_code) override {
    Event(p);
    Width(secret_code, 11);
  }
  void OnModifyRequest(std::uint8_t p, std::uint8_t, std::uint8_t, bool, std::int32_t) override {
    Event(p);
  }
  void OnConnect(std::uint8_t p, const std::string& ap_num, bool) override {
    Event(p);
    Width(ap_num, kApWidth);
  }
  void OnDayOpen(std::uint8_t p, const std::string& do_date, const std::string& do_time,
                 std::uint8_t, const std::string& ap_num) override {
    Event(p);
    Width(do_date, 11);
    Width(do_time, 11);
    Width(ap_num, kApWidth);
  }
  void OnOpenReceipt(std::uint8_t p, const std::string& date, const std::string& time,
                     std::uint8_t, std::int32_t, const std::string& ap_num) override {
    Receipt(p, date, time, ap_num);
  }
  void OnSell(std::uint8_t p, std::uint8_t tr_type, std::uint8_t item_type,
              const std::string& item_code, std::int32_t, std::int32_t, std::int32_t) override {
    ItemLine(p, tr_type, item_type, item_code);
  }
  void OnWaste(std::uint8_t p, std::uint8_t tr_type, std::uint8_t item_type,
               const std::string& item_code, std::int32_t, std::int32_t, std::int32_t) override {
    ItemLine(p, tr_type, item_type, item_code);
  }
  void OnModify(std::uint8_t p, std::uint8_t m_type, std::uint8_t, std::int32_t) override {
    Event(p);
    FUZZ_CHECK(m_type == 'D' || m_type == 'S', "a modifier is D or S");
  }
  void OnTender(std::uint8_t p, std::uint8_t, std::int32_t, std::int32_t, std::int32_t) override {
    Event(p);
  }
  void OnTender841(std::uint8_t p, std::uint8_t, std::int32_t, std::int32_t, std::int32_t,
                   std::uint8_t) override {
    Event(p);
  }
  void OnCloseReceipt(std::uint8_t p, const std::string& date, const std::string& time,
                      std::uint8_t, std::int32_t, const std::string& ap_num) override {
    Receipt(p, date, time, ap_num);
  }
  void OnCancelReceipt(std::uint8_t p, const std::string& date, const std::string& time,
                       std::uint8_t, std::int32_t, const std::string& ap_num) override {
    Receipt(p, date, time, ap_num);
  }
  void OnPaidInOut(std::uint8_t p, std::uint8_t, std::int32_t, std::int32_t,
                   const std::string& pd_date, const std::string& pd_time, std::uint8_t,
                   const std::string& ap_num) override {
    Receipt(p, pd_date, pd_time, ap_num);
  }
  void OnDailyReport(std::uint8_t p, const ev::DailyReport& r) override {
    Event(p);
    FUZZ_CHECK(r.report_num >= 0 && r.report_num <= 0xFFFF, "a short is 0 to 65535");
    FUZZ_CHECK(r.empties_num >= 0 && r.empties_num <= 0xFFFF, "a short is 0 to 65535");
  }

 private:
  // Every event is counted, carries the register's port and then fails as
  // the input asked.
  void Event(std::uint8_t p) {
    FUZZ_CHECK(p == kPort, "an event carries its register's port");
    ++events;
    if (throwing_ == Throwing::kStandard) throw std::runtime_error("receiver failed on purpose");
    if (throwing_ == Throwing::kOther) throw 42;
  }
  static void Width(const std::string& text, std::size_t width) {
    FUZZ_CHECK(text.size() <= width, "an event text is within its width");
  }
  void Receipt(std::uint8_t p, const std::string& date, const std::string& time,
               const std::string& ap_num) {
    Width(date, 11);
    Width(time, 11);
    Width(ap_num, kApWidth);
    Event(p);
  }
  void ItemLine(std::uint8_t p, std::uint8_t tr_type, std::uint8_t item_type,
                const std::string& item_code) {
    FUZZ_CHECK(tr_type <= 2, "a sale or waste type is 0 to 2");
    FUZZ_CHECK(item_type <= 1, "an item is a PLU (0) or not (1)");
    Width(item_code, 22);  // the texts of two 32-bit halves
    Event(p);
  }

  Throwing throwing_;
  std::size_t payload_size_ = 0;
};

// One register with plain fields; replies and log lines recorded.
class FakeRegister final : public ev::DispatchContext {
 public:
  FakeRegister(bool mode650, CheckingReceiver* receiver) : mode650_(mode650), receiver_(receiver) {}

  std::uint8_t PortNum() override { return kPort; }
  bool Mode650() override { return mode650_; }
  bool ShortInquiry() override { return short_inquiry; }
  void SetShortInquiry(bool s) override { short_inquiry = s; }
  void SetMultiplier(std::int32_t) override {}
  bool WasteRefused() override { return waste_refused; }
  void SetWasteRefused(bool r) override { waste_refused = r; }
  bool CloseWasteReported() override { return close_waste_reported; }
  void SetCloseWasteReported(bool r) override { close_waste_reported = r; }
  tarvo::core::AnswerSlots& Answers() override { return answers; }
  ev::EventReceiver* Receiver() override { return receiver_; }
  void AutoEnable() override { ++replies; }
  void Refuse() override {
    ++replies;
    ++refusals;
  }
  void SendPlaceholderPlu() override { ++replies; }
  void Log(char kind, std::string_view text) override {
    FUZZ_CHECK(kind == 's' || kind == 'C', "a log line is an event line or an irregular one");
    for (const char ch : text) {
      const auto b = static_cast<unsigned char>(ch);
      FUZZ_CHECK(b >= 0x20 && b != 0x7F, "a log line holds no control byte");
    }
  }

  bool short_inquiry = false;
  bool waste_refused = false;
  bool close_waste_reported = false;
  int replies = 0;
  int refusals = 0;
  tarvo::core::AnswerSlots answers;

 private:
  bool mode650_;
  CheckingReceiver* receiver_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t setup = data[0];
  const Throwing throwing = (setup & 0x20) ? Throwing::kStandard
                            : (setup & 0x40) ? Throwing::kOther
                                             : Throwing::kNo;
  CheckingReceiver receiver(throwing);
  const bool mode650 = (setup & 0x01) != 0;
  FakeRegister reg(mode650, (setup & 0x10) ? nullptr : &receiver);
  reg.short_inquiry = (setup & 0x02) != 0;
  reg.waste_refused = (setup & 0x04) != 0;
  reg.close_waste_reported = (setup & 0x08) != 0;

  std::size_t at = 1;
  for (int m = 0; m < kMaxMessages && at < size; ++m) {
    const std::uint8_t kind = data[at++];
    const std::size_t wanted = at < size ? data[at++] : 0;
    const std::size_t n = std::min(wanted, size - at);
    // An exact-size heap copy: one byte more read is a heap-buffer-overflow.
    const std::unique_ptr<char[]> copy(new char[n == 0 ? 1 : n]);
    std::copy(data + at, data + at + n, copy.get());
    at += n;
    const std::string_view payload(copy.get(), n);

    receiver.SetPayloadSize(n);
    const int replies_before = reg.replies;
    const int refusals_before = reg.refusals;
    const bool refused_before = reg.waste_refused;
    try {
      ev::HandleMessage(reg, kind, payload);
    } catch (...) {
      FUZZ_CHECK(false, "nothing escapes the handling of a message");
    }
    FUZZ_CHECK(reg.replies - replies_before <= 1, "at most one reply of the driver's own per message");
    if (reg.refusals != refusals_before) {
      FUZZ_CHECK(kind == ev::kKindPluInquiry && !mode650, "only the 841 mode refuses, and only a sell request");
      FUZZ_CHECK(reg.waste_refused, "a refusal is remembered");
    }
    if (kind == ev::kKindPluInquiry) {
      FUZZ_CHECK(reg.short_inquiry == (n <= ev::PluInquiry::kMaxShortForm),
                 "the inquiry form follows the inquiry's length");
    } else {
      FUZZ_CHECK(reg.waste_refused == refused_before, "only a PLU inquiry changes the waste state");
    }
  }
  return 0;
}
