// The event builders (events/event_builders.h) over arbitrary messages. The
// input is a message body as the register sends it, kind first; the builder
// of that kind decodes the payload (a kind without a builder goes through all
// of them) and the event is delivered to a receiver that checks its
// arguments:
//   - texts copied from the message (AP number, IDs, codes) are pieces of the
//     payload, no longer than their field;
//   - number texts hold only digits and minus signs;
//   - log lines start with the event's name;
//   - counts are scaled as their scale says, amounts are absolute values.
// The payload is copied into a buffer of its exact size, so that a read past
// it is an AddressSanitizer finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "events/event_builders.h"
#include "events/event_receiver.h"
#include "events/field_reader.h"
#include "fuzz/fuzz_check.h"

namespace ev = tarvo::events;

namespace {

constexpr std::uint8_t kPort = 3;
constexpr std::size_t kApWidth = 9;

bool IsNumberText(std::string_view text) {
  return !text.empty() && text.size() <= 24 &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '-'; });
}

// Checks every event's arguments against the payload they came from.
class CheckingReceiver final : public ev::EventReceiver {
 public:
  explicit CheckingReceiver(std::string_view payload) : payload_(payload) {}

  void Piece(const std::string& text, std::size_t width) const {
    FUZZ_CHECK(text.size() <= width, "a text field is no longer than its width");
    FUZZ_CHECK(text.empty() || payload_.find(text) != std::string_view::npos,
               "a text field is a piece of the payload");
  }
  static void Number(const std::string& text) { FUZZ_CHECK(IsNumberText(text), "a number text"); }

  void OnPluInquire(std::uint8_t port, const std::string& plu_code) override { Number(plu_code); }
  void OnPluInquireEx(std::uint8_t, const std::string& plu_code, const std::string& ap_num,
                      bool demo_mode) override {
    Number(plu_code);
    Piece(ap_num, kApWidth);
    FUZZ_CHECK(!demo_mode, "demo_mode is false");
  }
  void OnPluInquire841(std::uint8_t, std::int32_t, const std::string& plu_code, std::uint8_t,
                       const std::string& clerk_code, std::int32_t, const std::string& ap_num,
                       bool demo_mode) override {
    Piece(plu_code, 30);
    Number(clerk_code);
    Piece(ap_num, kApWidth);
    FUZZ_CHECK(!demo_mode, "demo_mode is false");
  }
  void OnSellRequest(std::uint8_t, std::int32_t, std::int32_t, std::uint8_t, const std::string& clerk_code,
                     std::int32_t, const std::string& ap_num, bool demo_mode) override {
    Number(clerk_code);
    Piece(ap_num, kApWidth);
    FUZZ_CHECK(!demo_mode, "demo_mode is false");
  }
  void OnCloseWaste(std::uint8_t) override {}
  void OnCustInquire(std::uint8_t, const std::string& cust_id) override {
    Piece(cust_id, payload_.size());
  }
  void OnPaidInOutRequest(std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t, std::int32_t,
                          const std::string& ap_num) override {
    Piece(ap_num, kApWidth);
  }
  void OnIDPress(std::uint8_t, const std::string& id) override { Piece(id, 30); }
  void OnClerkLogin(std::uint8_t, const std::string& secret_code) override { Number(secret_code); }
  void OnModifyRequest(std::uint8_t, std::uint8_t, std::uint8_t, bool, std::int32_t) override {}
  void OnConnect(std::uint8_t, const std::string& ap_num, bool demo_mode) override {
    Piece(ap_num, kApWidth);
    FUZZ_CHECK(!demo_mode, "demo_mode is false");
  }
  void OnDayOpen(std::uint8_t, const std::string& do_date, const std::string& do_time, std::uint8_t,
                 const std::string& ap_num) override {
    Number(do_date);
    Number(do_time);
    Piece(ap_num, kApWidth);
  }
  void OnOpenReceipt(std::uint8_t, const std::string& date, const std::string& time, std::uint8_t,
                     std::int32_t, const std::string& ap_num) override {
    Receipt(date, time, ap_num);
  }
  void OnSell(std::uint8_t, std::uint8_t tr_type, std::uint8_t item_type, const std::string& item_code,
              std::int32_t, std::int32_t, std::int32_t) override {
    ItemLine(tr_type, item_type, item_code);
  }
  void OnWaste(std::uint8_t, std::uint8_t tr_type, std::uint8_t item_type, const std::string& item_code,
               std::int32_t, std::int32_t, std::int32_t) override {
    ItemLine(tr_type, item_type, item_code);
  }
  void OnModify(std::uint8_t, std::uint8_t m_type, std::uint8_t, std::int32_t) override {
    FUZZ_CHECK(m_type == 'D' || m_type == 'S', "a modifier is D or S");
  }
  void OnTender(std::uint8_t, std::uint8_t, std::int32_t, std::int32_t, std::int32_t) override {}
  void OnTender841(std::uint8_t, std::uint8_t, std::int32_t, std::int32_t, std::int32_t,
                   std::uint8_t) override {}
  void OnCloseReceipt(std::uint8_t, const std::string& date, const std::string& time, std::uint8_t,
                      std::int32_t, const std::string& ap_num) override {
    Receipt(date, time, ap_num);
  }
  void OnCancelReceipt(std::uint8_t, const std::string& date, const std::string& time, std::uint8_t,
                       std::int32_t, const std::string& ap_num) override {
    Receipt(date, time, ap_num);
  }
  void OnPaidInOut(std::uint8_t, std::uint8_t, std::int32_t cash, std::int32_t check,
                   const std::string& pd_date, const std::string& pd_time, std::uint8_t,
                   const std::string& ap_num) override {
    FUZZ_CHECK(cash >= 0 || cash == INT32_MIN, "paid amounts are absolute values");
    FUZZ_CHECK(check >= 0 || check == INT32_MIN, "paid amounts are absolute values");
    Receipt(pd_date, pd_time, ap_num);
  }
  void OnDailyReport(std::uint8_t, const ev::DailyReport& r) override {
    for (const std::string* text : {&r.report_date, &r.report_time, &r.taxable_a, &r.taxable_b,
                                    &r.taxable_c, &r.taxable_d, &r.taxable_e, &r.over_charge,
                                    &r.storno, &r.discount, &r.return_goods, &r.empties, &r.gt})
      Number(*text);
    FUZZ_CHECK(r.report_num >= 0 && r.report_num <= 0xFFFF, "a short is 0 to 65535");
    FUZZ_CHECK(r.empties_num >= 0 && r.empties_num <= 0xFFFF, "a short is 0 to 65535");
  }

 private:
  void Receipt(const std::string& date, const std::string& time, const std::string& ap_num) const {
    Number(date);
    Number(time);
    FUZZ_CHECK(date.size() >= 6 && time.size() >= 4, "dates and times are padded");
    Piece(ap_num, kApWidth);
  }
  static void ItemLine(std::uint8_t tr_type, std::uint8_t item_type, const std::string& item_code) {
    FUZZ_CHECK(tr_type <= 2, "a sale or waste type is 0 to 2");
    FUZZ_CHECK(item_type <= 1, "an item is a PLU (0) or not (1)");
    Number(item_code);
  }

  std::string_view payload_;
};

bool StartsWith(const std::string& log, std::string_view name) {
  return log.compare(0, name.size(), name) == 0;
}

void CheckScale(std::int32_t raw) {
  using ev::CountScale;
  FUZZ_CHECK(ev::ScaleCount(raw, CountScale::kAsIs) == raw, "as-is counts stay");
  FUZZ_CHECK(ev::ScaleCount(raw, CountScale::kTimes10) ==
                 static_cast<std::int32_t>(static_cast<std::uint32_t>(raw) * 10u),
             "times-10 counts wrap to 32 bits");
  const std::int64_t tenth = ev::ScaleCount(raw, CountScale::kDivideBy10);
  const std::int64_t error = tenth * 10 - raw;
  FUZZ_CHECK(error >= -5 && error <= 5, "a tenth is rounded to the nearest");
  FUZZ_CHECK(error != (raw >= 0 ? -5 : 5), "halves round away from zero");
}

void BuildAndDeliver(std::uint8_t kind, std::string_view payload, CheckingReceiver& r, bool all) {
  const ev::FieldReader f(payload);
  if (all || kind == 0x80) {
    const ev::PluInquiry q = ev::BuildPluInquiry(payload);
    FUZZ_CHECK(q.short_form == (payload.size() <= ev::PluInquiry::kMaxShortForm), "short form by length");
    if (q.short_form) {
      r.OnPluInquire(kPort, q.plu_code);
      r.OnPluInquireEx(kPort, q.plu_code, q.ap_num, false);
    } else if (q.dept == 0) {
      r.OnPluInquire841(kPort, q.multiplier, q.plu_code, q.tr_type, ev::NumberText(q.clerk_code),
                        q.opened_day, q.ap_num, false);
    } else {
      r.OnSellRequest(kPort, q.multiplier, q.dept, q.tr_type, ev::NumberText(q.clerk_code),
                      q.opened_day, q.ap_num, false);
    }
    FUZZ_CHECK(StartsWith(q.PluInquireLog(), "OnPluInquire(Ex) "), "log line names its event");
    FUZZ_CHECK(StartsWith(q.PluInquire841Log(), "OnPluInquire841 "), "log line names its event");
  }
  if (all || kind == 0x81) {
    const ev::DayOpenEvent e = ev::BuildDayOpen(payload);
    r.OnDayOpen(kPort, e.do_date, e.do_time, e.clerk_num, e.ap_num);
    FUZZ_CHECK(StartsWith(e.log, "OnDayOpen"), "log line names its event");
  }
  if (all || kind == 0x82 || kind == 0x89 || kind == 0x8C) {
    const ev::ReceiptEvent e = ev::BuildReceipt(payload, "OnOpenReceipt");
    r.OnOpenReceipt(kPort, e.date, e.time, e.clerk_num, e.receipt_num, e.ap_num);
    r.OnCloseReceipt(kPort, e.date, e.time, e.clerk_num, e.receipt_num, e.ap_num);
    r.OnCancelReceipt(kPort, e.date, e.time, e.clerk_num, e.receipt_num, e.ap_num);
    FUZZ_CHECK(StartsWith(e.log, "OnOpenReceipt"), "log line names its event");
  }
  const bool sale = kind >= 0x83 && kind <= 0x85;
  const bool waste = kind >= 0x8E && kind <= 0x90;
  if (all || sale || waste) {
    CheckScale(f.Integer(17));
    const auto tr_type = static_cast<std::uint8_t>(sale ? kind - 0x83 : waste ? kind - 0x8E : 0);
    for (const ev::CountScale scale :
         {ev::CountScale::kAsIs, ev::CountScale::kTimes10, ev::CountScale::kDivideBy10}) {
      const ev::ItemLineEvent e = ev::BuildItemLine(payload, waste ? "OnWaste" : "OnSell", tr_type, scale);
      FUZZ_CHECK(e.count == ev::ScaleCount(f.Integer(17), scale), "the count is the scaled raw count");
      if (waste) {
        r.OnWaste(kPort, e.tr_type, e.item_type, e.item_code, e.unit_price, e.total_price, e.count);
      } else {
        r.OnSell(kPort, e.tr_type, e.item_type, e.item_code, e.unit_price, e.total_price, e.count);
      }
      FUZZ_CHECK(StartsWith(e.log, waste ? "OnWaste" : "OnSell"), "log line names its event");
    }
  }
  if (all || kind == 0x86 || kind == 0x87) {
    const ev::ModifyEvent e = ev::BuildModify(payload, kind == 0x87 ? 'S' : 'D');
    r.OnModify(kPort, e.m_type, e.m_mode, e.amount);
    FUZZ_CHECK(StartsWith(e.log, "OnModify"), "log line names its event");
  }
  if (all || kind == 0x88) {
    const ev::TenderEvent e = ev::BuildTender(payload);
    r.OnTender(kPort, e.t_type, e.amount, e.home_value, e.change);
    r.OnTender841(kPort, e.t_type, e.amount, e.home_value, e.change, e.change_id);
    FUZZ_CHECK(StartsWith(e.log, "OnTender"), "log line names its event");
  }
  if (all || kind == 0x8A) {
    const ev::PaidInOutEvent e = ev::BuildPaidInOut(payload);
    r.OnPaidInOut(kPort, e.p_type, e.cash, e.check, e.pd_date, e.pd_time, e.clerk_num, e.ap_num);
    FUZZ_CHECK(StartsWith(e.log, "OnPaidInOut"), "log line names its event");
  }
  if (all || kind == 0x8D) {
    const ev::CustInquiryEvent e = ev::BuildCustInquiry(payload);
    r.OnCustInquire(kPort, e.cust_id);
    FUZZ_CHECK(StartsWith(e.log, "OnCustInquire"), "log line names its event");
  }
  if (all || kind == 0x97) {
    const ev::PaidInOutRequestEvent e = ev::BuildPaidInOutRequest(payload);
    r.OnPaidInOutRequest(kPort, e.tr_type, e.tr_title, e.clerk_num, e.opened_day, e.ap_num);
  }
  if (all || kind == 0x98) r.OnIDPress(kPort, ev::BuildIdPress(payload));
  if (all || kind == 0x99) r.OnDailyReport(kPort, ev::BuildDailyReport(payload));
  if (all || kind == 0x9C) {
    const ev::ClerkLoginEvent e = ev::BuildClerkLogin(payload);
    FUZZ_CHECK(e.secret_code == ev::NumberText(e.code), "the secret code's text is its number");
    r.OnClerkLogin(kPort, e.secret_code);
  }
  if (all || kind == 0x9F) {
    const ev::ModifyRequestEvent e = ev::BuildModifyRequest(payload);
    r.OnModifyRequest(kPort, e.m_type, e.m_mode, e.percent, e.amount);
  }
  if (all || kind == 0x01) {
    const ev::ConnectEvent e = ev::BuildConnect(payload);
    r.OnConnect(kPort, e.ap_num, false);
    FUZZ_CHECK(StartsWith(e.log, "OnConnect"), "log line names its event");
  }
}

bool HasBuilder(std::uint8_t kind) {
  return kind == 0x01 || (kind >= 0x80 && kind <= 0x8A) || kind == 0x8C || kind == 0x8D ||
         (kind >= 0x8E && kind <= 0x90) || kind == 0x97 || kind == 0x98 || kind == 0x99 ||
         kind == 0x9C || kind == 0x9F;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t kind = data[0];
  const std::size_t payload_size = size - 1;
  // An exact-size heap copy: one byte more read is a heap-buffer-overflow.
  const std::unique_ptr<char[]> copy(new char[payload_size == 0 ? 1 : payload_size]);
  std::copy(data + 1, data + size, copy.get());
  const std::string_view payload(copy.get(), payload_size);
  CheckingReceiver receiver(payload);
  BuildAndDeliver(kind, payload, receiver, !HasBuilder(kind));
  return 0;
}
