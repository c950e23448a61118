#include "events/event_builders.h"

#include "events/field_reader.h"
#include "events/log_text.h"

namespace tarvo::events {
namespace {

// The register writes its dates as six digits and its times as four, but
// sends them as plain integers: leading zeros are restored here.
constexpr std::size_t kDateDigits = 6;
constexpr std::size_t kTimeDigits = 4;
constexpr std::size_t kApNumWidth = 9;

// Log lines carry some single-byte fields as the byte itself (escaped when
// it is a control byte).
std::string Char(std::uint8_t byte) { return LogSafe(std::string(1, static_cast<char>(byte))); }

// Joins the parts of a log line with single blanks.
template <class... Parts>
std::string Line(std::string_view first, const Parts&... rest) {
  std::string line(first);
  ((line += ' ', line += rest), ...);
  return line;
}

}  // namespace

DayOpenEvent BuildDayOpen(std::string_view payload) {
  const FieldReader f(payload);
  DayOpenEvent e;
  e.do_date = PaddedText(f.Integer(0), kDateDigits);
  e.do_time = PaddedText(f.Integer(4), kTimeDigits);
  e.clerk_num = f.Byte(8);
  e.ap_num = f.Text(9, kApNumWidth);
  e.log = Line("OnDayOpen", e.do_date, e.do_time, Char(e.clerk_num), LogSafe(e.ap_num));
  return e;
}

ReceiptEvent BuildReceipt(std::string_view payload, std::string_view event_name) {
  const FieldReader f(payload);
  ReceiptEvent e;
  e.date = PaddedText(f.Integer(0), kDateDigits);
  e.time = PaddedText(f.Integer(4), kTimeDigits);
  e.clerk_num = f.Byte(8);
  e.receipt_num = f.Integer(9);
  e.ap_num = f.Text(13, kApNumWidth);
  e.log = Line(event_name, e.date, e.time, Char(e.clerk_num), NumberText(e.receipt_num),
               LogSafe(e.ap_num));
  return e;
}

CountScale CountScaleFor(bool short_inquiry, bool mode650) {
  if (short_inquiry) return mode650 ? CountScale::kAsIs : CountScale::kTimes10;
  return mode650 ? CountScale::kDivideBy10 : CountScale::kAsIs;
}

std::int32_t ScaleCount(std::int32_t raw, CountScale scale) {
  // 64-bit arithmetic keeps every intermediate value exact; the conversion
  // back to 32 bits is modular.
  const std::int64_t r = raw;
  switch (scale) {
    case CountScale::kDivideBy10:
      return static_cast<std::int32_t>((r + (r >= 0 ? 5 : -5)) / 10);
    case CountScale::kTimes10:
      return static_cast<std::int32_t>(r * 10);
    case CountScale::kAsIs:
      break;
  }
  return raw;
}

ItemLineEvent BuildItemLine(std::string_view payload, std::string_view event_name,
                            std::uint8_t tr_type, CountScale scale) {
  constexpr std::uint8_t kPluItem = 0x50;  // "P"
  const FieldReader f(payload);
  ItemLineEvent e;
  e.tr_type = tr_type;
  e.item_type = f.Byte(0) == kPluItem ? 0 : 1;
  e.item_code = f.LongNumber(1);
  e.unit_price = f.Integer(9);
  e.total_price = f.Integer(13);
  e.count = ScaleCount(f.Integer(17), scale);
  e.log = Line(event_name, Char(e.tr_type), NumberText(e.item_type), e.item_code,
               NumberText(e.unit_price), NumberText(e.total_price), NumberText(e.count));
  return e;
}

ModifyEvent BuildModify(std::string_view payload, char letter) {
  const FieldReader f(payload);
  ModifyEvent e;
  e.m_type = static_cast<std::uint8_t>(letter);
  e.m_mode = f.Byte(0);
  e.amount = f.Integer(1);
  e.log = Line("OnModify", Char(e.m_type), Char(e.m_mode), NumberText(e.amount));
  return e;
}

TenderEvent BuildTender(std::string_view payload) {
  // Older registers end the message before the change identifier: a zero
  // byte appended to the payload stands for it.
  std::string extended(payload);
  extended.push_back('\0');
  const FieldReader f(extended);
  TenderEvent e;
  e.t_type = f.Byte(0);
  e.amount = f.Integer(1);
  e.home_value = f.Integer(5);
  e.change = f.Integer(9);
  e.change_id = f.Byte(13);
  // The log's last field is the byte after the change identifier, shown as a
  // digit character; it reads 0 when the message does not reach it.
  const auto marker = static_cast<std::uint8_t>(0x30 + f.Byte(14));
  e.log = Line("OnTender", Char(e.t_type), NumberText(e.amount), NumberText(e.home_value),
               NumberText(e.change), Char(marker));
  return e;
}

std::int32_t AbsoluteAmount(std::int32_t value) {
  if (value >= 0) return value;
  // Negate in unsigned arithmetic: INT32_MIN maps onto itself.
  return static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(value));
}

PaidInOutEvent BuildPaidInOut(std::string_view payload) {
  const FieldReader f(payload);
  PaidInOutEvent e;
  e.p_type = f.Byte(0);
  const std::int32_t cash = f.Integer(1);
  const std::int32_t check = f.Integer(5);
  e.cash = AbsoluteAmount(cash);
  e.check = AbsoluteAmount(check);
  e.pd_date = PaddedText(f.Integer(9), kDateDigits);
  e.pd_time = PaddedText(f.Integer(13), kTimeDigits);
  e.clerk_num = f.Byte(17);
  e.ap_num = f.Text(18, kApNumWidth);
  e.log = Line("OnPaidInOut", Char(e.p_type), NumberText(cash), NumberText(check), e.pd_date,
               e.pd_time, Char(e.clerk_num), LogSafe(e.ap_num));
  return e;
}

std::string PluInquiry::LogSuffix() const {
  return " (" + LogSafe(ap_num) + (ap_num.empty() ? "" : " false") + ")";
}

std::string PluInquiry::PluInquireLog() const {
  return "OnPluInquire(Ex) " + LogSafe(plu_code) + LogSuffix();
}

std::string PluInquiry::PluInquire841Log() const {
  return "OnPluInquire841 " + LogSafe(plu_code) + LogSuffix();
}

std::size_t PluInquiry::ExpectedSize(std::size_t payload_size) {
  if (payload_size > kMaxShortForm) return kLongFormSize;
  return payload_size <= kShortFormCodeSize ? kShortFormCodeSize : kShortFormSize;
}

PluInquiry BuildPluInquiry(std::string_view payload) {
  const FieldReader f(payload);
  PluInquiry q;
  if (payload.size() <= PluInquiry::kMaxShortForm) {
    q.short_form = true;
    q.plu_code = f.LongNumber(0);
    q.ap_num = f.Text(8, kApNumWidth);
    return q;
  }
  q.clerk_code = f.Integer(0);
  q.tr_type = f.Byte(4);
  q.dept = f.Byte(5);
  q.multiplier = f.Integer(6);
  q.plu_code = f.TrimmedText(10, 30);
  q.ap_num = f.Text(40, kApNumWidth);
  q.opened_day = f.Integer(49);
  return q;
}

CustInquiryEvent BuildCustInquiry(std::string_view payload) {
  CustInquiryEvent e;
  e.cust_id = Trimmed(payload);
  e.log = "OnCustInquire " + LogSafe(e.cust_id);
  return e;
}

PaidInOutRequestEvent BuildPaidInOutRequest(std::string_view payload) {
  const FieldReader f(payload);
  PaidInOutRequestEvent e;
  e.tr_type = f.Byte(0);
  e.tr_title = f.Byte(1);
  e.clerk_num = f.Byte(2);
  e.ap_num = f.Text(3, kApNumWidth);
  e.opened_day = f.Integer(12);
  return e;
}

std::string BuildIdPress(std::string_view payload) { return FieldReader(payload).Text(0, 30); }

ClerkLoginEvent BuildClerkLogin(std::string_view payload) {
  ClerkLoginEvent e;
  e.code = FieldReader(payload).Integer(0);
  e.secret_code = NumberText(e.code);
  return e;
}

ModifyRequestEvent BuildModifyRequest(std::string_view payload) {
  constexpr std::uint8_t kPercentMarker = 0x31;  // "1"
  const FieldReader f(payload);
  ModifyRequestEvent e;
  e.m_type = f.Byte(0);
  e.m_mode = f.Byte(1);
  e.percent = f.Byte(2) == kPercentMarker;
  e.amount = f.Integer(3);
  return e;
}

ConnectEvent BuildConnect(std::string_view payload) {
  ConnectEvent e;
  e.ap_num = FieldReader(payload).Text(25, kApNumWidth);
  e.log = "OnConnect " + LogSafe(e.ap_num) + " false";
  return e;
}

DailyReport BuildDailyReport(std::string_view payload) {
  const FieldReader f(payload);
  DailyReport r;
  r.report_date = PaddedText(f.Integer(0), kDateDigits);
  r.report_time = PaddedText(f.Short(4), kTimeDigits);
  r.report_num = f.Short(6);
  r.taxable_a = f.LongNumber(8);
  r.taxable_b = f.LongNumber(16);
  r.taxable_c = f.LongNumber(24);
  r.taxable_d = f.LongNumber(32);
  r.taxable_e = f.LongNumber(40);
  r.over_charge = f.LongNumber(48);
  r.storno = f.LongNumber(56);
  r.discount = f.LongNumber(64);
  r.return_goods = f.LongNumber(72);
  r.receipt_num = f.Integer(80);
  r.cancel_num = f.Integer(84);
  r.empties_num = f.Short(88);
  r.empties = f.LongNumber(90);
  r.gt = f.LongNumber(98);
  return r;
}

}  // namespace tarvo::events
