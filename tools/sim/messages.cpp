// Message bodies of the register's side: builders and host-record decoders.
#include "tools/sim/messages.h"

#include <stdexcept>

#include "link/frame.h"

namespace tarvo::sim::msg {

namespace {

inline char Ch(std::uint8_t b) { return static_cast<char>(b); }
inline std::uint8_t At(std::string_view s, std::size_t i) {
  return i < s.size() ? static_cast<std::uint8_t>(s[i]) : 0;
}

// The bytes [offset, offset + width) of `s`, fewer when `s` ends earlier.
std::string_view Slice(std::string_view s, std::size_t offset, std::size_t width) {
  if (offset >= s.size()) return {};
  return s.substr(offset, width);
}

std::string StripZeros(std::string_view s) {
  std::size_t n = s.size();
  while (n > 0 && s[n - 1] == '\0') --n;
  return std::string(s.substr(0, n));
}

// The layout shared by receipt opening, closing and cancelling.
Bytes ReceiptEvent(std::uint8_t kind, const Stamp& at, std::int32_t receipt, std::string_view ap) {
  Bytes b(1, Ch(kind));
  b += Le32(at.date);
  b += Le32(at.time);
  b.push_back(Ch(at.clerk));
  b += Le32(receipt);
  b += Field(ap, kApSize);
  return b;
}

Bytes SaleLayout(std::uint8_t kind, const SaleLine& line) {
  if (line.tr_type > 2) throw std::invalid_argument("transaction type must be 0, 1 or 2");
  Bytes b(1, Ch(static_cast<std::uint8_t>(kind + line.tr_type)));
  b.push_back(Ch(line.item_kind));
  b += Code14(line.code);
  b += Le32(line.unit_price);
  b += Le32(line.total_price);
  b += Le32(line.count);
  return b;
}

}  // namespace

Bytes Le32(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  return Bytes{Ch(u & 0xFF), Ch((u >> 8) & 0xFF), Ch((u >> 16) & 0xFF), Ch((u >> 24) & 0xFF)};
}

Bytes Le16(std::uint16_t v) { return Bytes{Ch(v & 0xFF), Ch((v >> 8) & 0xFF)}; }

std::int32_t ReadLe32(std::string_view bytes, std::size_t offset) {
  std::uint32_t u = 0;
  for (std::size_t i = 0; i < 4; ++i) u |= static_cast<std::uint32_t>(At(bytes, offset + i)) << (8 * i);
  return static_cast<std::int32_t>(u);
}

Bytes LongNumber(std::int64_t value) {
  constexpr std::int64_t kLow = 100000000;
  const std::int64_t high = value / kLow;
  const std::int64_t low = value % kLow;
  if (high > INT32_MAX || high < INT32_MIN) throw std::invalid_argument("long number out of range");
  return Le32(static_cast<std::int32_t>(high)) + Le32(static_cast<std::int32_t>(low));
}

Bytes Code14(std::string_view digits) {
  if (digits.empty() || digits.size() > 14) throw std::invalid_argument("code must have 1 to 14 digits");
  std::int64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') throw std::invalid_argument("code must be decimal digits");
    value = value * 10 + (c - '0');
  }
  return LongNumber(value);
}

std::string LongNumberText(std::string_view eight_bytes) {
  const std::int32_t high = ReadLe32(eight_bytes, 0);
  const std::int32_t low = ReadLe32(eight_bytes, 4);
  if (high == 0) return std::to_string(low);
  std::string low_text = std::to_string(low);
  if (low_text.size() < 8) low_text.insert(0, 8 - low_text.size(), '0');
  return std::to_string(high) + low_text;
}

Bytes Field(std::string_view text, std::size_t width, char pad) {
  Bytes b(text.substr(0, width));
  b.resize(width, pad);
  return b;
}

Bytes DayOpen(const Stamp& at, std::string_view ap) {
  Bytes b(1, Ch(kDayOpen));
  b += Le32(at.date);
  b += Le32(at.time);
  b.push_back(Ch(at.clerk));
  b += Field(ap, kApSize);
  return b;
}

Bytes ReceiptOpen(const Stamp& at, std::int32_t receipt, std::string_view ap) {
  return ReceiptEvent(kReceiptOpen, at, receipt, ap);
}
Bytes ReceiptClose(const Stamp& at, std::int32_t receipt, std::string_view ap) {
  return ReceiptEvent(kReceiptClose, at, receipt, ap);
}
Bytes ReceiptCancel(const Stamp& at, std::int32_t receipt, std::string_view ap) {
  return ReceiptEvent(kReceiptCancel, at, receipt, ap);
}

Bytes Sale(const SaleLine& line) { return SaleLayout(kSale, line); }
Bytes Waste(const SaleLine& line) { return SaleLayout(kWaste, line); }

Bytes Modifier(char type, std::uint8_t mode, std::int32_t amount) {
  if (type != 'D' && type != 'S') throw std::invalid_argument("modifier type must be D or S");
  Bytes b(1, Ch(type == 'D' ? kModifierD : kModifierS));
  b.push_back(Ch(mode));
  b += Le32(amount);
  return b;
}

Bytes Tender(const TenderLine& t) {
  Bytes b(1, Ch(kTender));
  b.push_back(Ch(t.type));
  b += Le32(t.amount);
  b += Le32(t.home_value);
  b += Le32(t.change);
  if (t.change_id) b.push_back(Ch(*t.change_id));
  return b;
}

Bytes PaidInOut(const PaidLine& p, const Stamp& at, std::string_view ap) {
  Bytes b(1, Ch(kPaidInOut));
  b.push_back(Ch(p.type));
  b += Le32(p.cash);
  b += Le32(p.check);
  b += Le32(at.date);
  b += Le32(at.time);
  b.push_back(Ch(at.clerk));
  b += Field(ap, kApSize);
  return b;
}

Bytes CustomerInquiry(std::string_view customer_id) {
  Bytes b(1, Ch(kCustomerInquiry));
  b += customer_id;
  return b;
}

Bytes PluInquiryShort(std::string_view code, std::string_view ap) {
  Bytes b(1, Ch(kPluInquiry));
  b += Code14(code);
  if (!ap.empty()) b += Field(ap, kApSize);
  return b;
}

Bytes PluInquiryLong(const LongInquiry& q, std::string_view ap, std::int32_t opened_day) {
  Bytes b(1, Ch(kPluInquiry));
  b += Le32(q.clerk_code);
  b.push_back(Ch(q.tr_type));
  b.push_back(Ch(q.department));
  b += Le32(q.multiplier);
  b += Field(q.code, 30, ' ');
  b += Field(ap, kApSize);
  b += Le32(opened_day);
  return b;
}

Bytes PaidRequest(const PaidRequestLine& r, std::string_view ap, std::int32_t opened_day) {
  Bytes b(1, Ch(kPaidRequest));
  b.push_back(Ch(r.tr_type));
  b.push_back(Ch(r.title));
  b.push_back(Ch(r.clerk));
  b += Field(ap, kApSize);
  b += Le32(opened_day);
  return b;
}

Bytes IdKey(std::string_view id) {
  Bytes b(1, Ch(kIdKey));
  b += Field(id, 30, ' ');
  return b;
}

Bytes ClerkLogin(std::int32_t secret_code) {
  Bytes b(1, Ch(kClerkLogin));
  b += Le32(secret_code);
  return b;
}

Bytes OperationRequest() { return Bytes(1, Ch(kOperationRequest)); }

Bytes ModifierRequest(const ModifierRequestLine& r) {
  Bytes b(1, Ch(kModifierRequest));
  b.push_back(Ch(r.type));
  b.push_back(Ch(r.mode));
  b.push_back(r.percent ? '1' : '0');
  b += Le32(r.amount);
  return b;
}

Bytes DailyReport(const DailyReportData& r) {
  Bytes b(1, Ch(kDailyReport));
  b += Le32(r.date);
  b += Le16(r.time);
  b += Le16(r.report_no);
  for (const std::int64_t t : r.taxable) b += LongNumber(t);
  b += LongNumber(r.over_charge);
  b += LongNumber(r.storno);
  b += LongNumber(r.discount);
  b += LongNumber(r.returned);
  b += Le32(r.receipts);
  b += Le32(r.cancels);
  b += Le16(r.empties_count);
  b += LongNumber(r.empties);
  b += LongNumber(r.grand_total);
  return b;
}

Bytes CheckAnswer(const CheckData& c) {
  Bytes b(1, Ch(kCheckAnswer));
  b += Le32(c.receipt_no);
  b += Le32(c.receipt_amount);
  b += Le32(c.cancels);
  b += Le32(c.clerk_code);
  b.push_back(Ch(c.key_position));
  b.push_back(c.status_digit);
  b += Field(c.ap, kApSize);
  b += Le32(c.opened_day);
  return b;
}

Bytes ConnectionMessage(std::string_view ap) {
  // Seven bytes of register data (not read by the host) precede the AP number.
  return link::TableBody(link::kFnIdentify, 1, Bytes(7, '\0') + Field(ap, kApSize));
}

Bytes StatusAnswer(bool day_open) {
  return link::TableBody(link::kFnStatus, 1, Bytes(1, day_open ? '\x01' : '\x00'));
}

Bytes TableAnswer(std::uint8_t table, std::uint16_t count, std::string_view data) {
  return link::TableBody(link::FnReadTable(table), count, data);
}

std::optional<PluRecord> DecodePluRecord(std::string_view body) {
  if (At(body, 0) != kHostPluRecord || (body.size() != 73 && body.size() != 77)) return std::nullopt;
  PluRecord r;
  std::size_t o = 1;
  if (body.size() == 77) {
    r.multiplier = ReadLe32(body, 1);
    o = 5;
  }
  r.code = LongNumberText(Slice(body, o, 8));
  r.description = StripZeros(Slice(body, o + 8, 24));
  for (std::size_t i = 0; i < 3; ++i) r.groups[i] = At(body, o + 33 + i);
  for (std::size_t i = 0; i < 4; ++i) r.status[i] = At(body, o + 36 + i);
  r.vtsz = StripZeros(Slice(body, o + 40, 11));
  r.link = LongNumberText(Slice(body, o + 52, 8));
  for (std::size_t i = 0; i < 3; ++i) r.prices[i] = ReadLe32(body, o + 60 + 4 * i);
  return r;
}

std::optional<CustomerRecord> DecodeCustomerRecord(std::string_view body) {
  if (At(body, 0) != kHostCustomerRecord || body.size() != 47) return std::nullopt;
  return CustomerRecord{StripZeros(Slice(body, 1, 30)), StripZeros(Slice(body, 31, 16))};
}

std::optional<ClerkRecord> DecodeClerkRecord(std::string_view body) {
  if (At(body, 0) != kHostClerkRecord || body.size() != 22) return std::nullopt;
  ClerkRecord r;
  r.name = StripZeros(Slice(body, 1, 13));
  r.secret_code = ReadLe32(body, 16);
  r.status = {At(body, 20), At(body, 21)};
  return r;
}

std::optional<OperationMessage> DecodeOperation(std::string_view body) {
  if (At(body, 0) != kHostOperation || body.size() != 34) return std::nullopt;
  return OperationMessage{At(body, 33) == '1', StripZeros(Slice(body, 1, 32))};
}

std::string Describe(std::string_view body, bool from_host) {
  if (body.empty()) return "empty";
  const std::uint8_t kind = At(body, 0);
  if (kind == kTableTransfer) {
    const std::uint8_t f0 = At(body, 8);
    const std::uint8_t t = At(body, 12);
    if (f0 == 0x09) return "link reset";
    if (f0 == 0x05) return from_host ? "identification request" : "connection message";
    if (f0 == 0x06) return from_host ? "status query" : "status answer";
    if (f0 == 0x03) return (from_host ? "read table " : "table ") + std::to_string(t);
    if (f0 == 0x02) return "write table " + std::to_string(t);
    return "table transfer";
  }
  if (from_host) {
    switch (kind) {
      case kHostPluRecord: return body.size() == 77 ? "PLU record (long)" : "PLU record";
      case kHostCustomerRecord: return "customer record";
      case kHostOperation: return At(body, 33) == '1' ? "operation enable" : "operation disable";
      case kHostCheckRequest: return "check request";
      case kHostClerkRecord: return "clerk record";
      default: return "host message";
    }
  }
  switch (kind) {
    case kPluInquiry:
      if (body.size() <= 27) return "PLU inquiry (short)";
      return At(body, 6) != 0 ? "department request" : "PLU inquiry";
    case kDayOpen: return "day open";
    case kReceiptOpen: return "receipt open";
    case 0x83: case 0x84: case 0x85: return "sale";
    case kModifierD: case kModifierS: return "modifier";
    case kTender: return "tender";
    case kReceiptClose: return "receipt close";
    case kPaidInOut: return "paid in/out";
    case kReceiptCancel: return "receipt cancel";
    case kCustomerInquiry: return "customer inquiry";
    case 0x8E: case 0x8F: case 0x90: return "waste";
    case kPaidRequest: return "paid-in/out request";
    case kIdKey: return "ID key";
    case kDailyReport: return "daily report";
    case kClerkLogin: return "clerk login";
    case kCheckAnswer: return "check answer";
    case kOperationRequest: return "operation request";
    case kModifierRequest: return "modifier request";
    default: return "message";
  }
}

}  // namespace tarvo::sim::msg
