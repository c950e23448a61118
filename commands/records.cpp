#include "commands/records.h"

#include "platform/codepage.h"

namespace tarvo::commands {
namespace {

// `bytes` cut to `width` or padded on the right with `pad`.
Bytes Fit(std::string_view bytes, std::size_t width, char pad = '\0') {
  Bytes out(bytes.substr(0, width));
  out.resize(width, pad);
  return out;
}

char Byte(std::uint8_t b) { return static_cast<char>(b); }

bool AllIn(std::string_view bytes, char lo, char hi) {
  for (char c : bytes) {
    if (c < lo || c > hi) return false;
  }
  return true;
}

// Digits only, as the byte checks guarantee; at most 7 digits here.
std::int32_t DigitsValue(std::string_view digits) {
  std::int32_t value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  return value;
}

// The byte at `offset`, 0 beyond the end.
std::uint8_t ByteAt(std::string_view bytes, std::size_t offset) {
  return offset < bytes.size() ? static_cast<std::uint8_t>(bytes[offset]) : 0;
}

// Up to `width` bytes from `offset`; fewer (or none) near the end.
std::string_view Slice(std::string_view bytes, std::size_t offset, std::size_t width) {
  if (offset >= bytes.size()) return {};
  return bytes.substr(offset, width);
}

// "0", "000", "-0": a text that reads as the integer 0.
bool ReadsAsZero(std::string_view text) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  return !text.empty() && AllIn(text, '0', '0');
}

Bytes EncodeCode14OrThrow(std::string_view text) {
  auto code = EncodeCode14(text);
  if (!code) throw ERosszJegy();
  return *code;
}

}  // namespace

// ---------------------------------------------------------------------------
// PLU record

Bytes PluStatusBytes(std::string_view status) {
  if (status.size() < 2) throw ERosszJegy();
  std::string s(status.substr(0, 12));
  if (s.size() < 12) s.insert(0, 12 - s.size(), '0');
  if (!AllIn(std::string_view(s).substr(0, 10), '0', '1')) throw ERosszJegy();
  if (s[10] < '1' || s[10] > '5' || s[11] < '1' || s[11] > '9') throw ERosszJegy();
  std::uint8_t flags1 = 0;  // characters 1..4 in bits 4..7
  for (int i = 0; i < 4; ++i) {
    if (s[i] == '1') flags1 |= static_cast<std::uint8_t>(1u << (4 + i));
  }
  std::uint8_t flags2 = 0;  // characters 5..10 in bits 1..6
  for (int i = 0; i < 6; ++i) {
    if (s[4 + i] == '1') flags2 |= static_cast<std::uint8_t>(1u << (1 + i));
  }
  Bytes out;
  out += Byte(flags1);
  out += Byte(flags2);
  out += Byte(static_cast<std::uint8_t>(s[10] - '0'));
  out += Byte(static_cast<std::uint8_t>(s[11] - '0'));
  return out;
}

Bytes BuildPluRecord(const PluFields& f, std::optional<std::int32_t> multiplier) {
  Bytes rec;
  // 1. The PLU code: 1 to 14 characters, both parts decimal.
  const std::string code = platform::ToAnsi(f.plu_code);
  if (code.empty() || code.size() > 14) throw ERosszJegy();
  rec += EncodeCode14OrThrow(code);
  // 2. The description: 24 bytes of register text and a terminator.
  rec += Fit(ToRegisterText(f.desc), 24);
  rec += '\0';
  // 3. The groups, 0 to 99 each.
  for (std::uint8_t g : {f.group1, f.group2, f.group3}) {
    if (g > 99) throw ERosszJegy();
    rec += Byte(g);
  }
  // 4. The status flags and values.
  rec += PluStatusBytes(platform::ToAnsi(f.status));
  // 5. vtsz: at most 11 characters, no accent mapping; zero means none.
  std::string vtsz = platform::ToAnsi(f.vtsz.substr(0, 11));
  if (ReadsAsZero(vtsz)) vtsz.clear();
  rec += Fit(vtsz, 11);
  rec += '\0';
  // 6. The link code: at most 14 characters; empty means no link (zeros).
  const std::string link = platform::ToAnsi(f.link);
  if (link.size() > 14) throw ERosszJegy();
  rec += EncodeCode14OrThrow(link);
  // 7. The prices, none negative.
  for (std::int32_t price : {f.price1, f.price2, f.price3}) {
    if (price < 0) throw ERosszJegy();
    rec += EncodeLE(price, 4);
  }
  // 8. The kind and, in the long layout, the multiplier (1000 travels as 0).
  Bytes head(1, Byte(kKindPlu));
  if (multiplier) head += EncodeLE(*multiplier == 1000 ? 0 : *multiplier, 4);
  return head + rec;
}

// ---------------------------------------------------------------------------
// Customer, clerk and operation messages

Bytes BuildCustomerRecord(std::u16string_view cust_id, std::u16string_view cust_desc) {
  Bytes body(1, Byte(kKindCustomer));
  body += Fit(platform::ToAnsi(cust_id), 30);
  Bytes desc = MapAccents(Fit(platform::ToAnsi(cust_desc), 16));
  // Only the ASCII letters are upper-cased; the register codes of the
  // accented letters stay as they are.
  for (char& c : desc) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return body + desc;
}

Bytes BuildClerkRecord(std::u16string_view desc, std::int32_t secret_code) {
  Bytes body(1, Byte(kKindClerk));
  body += MapAccents(Fit(platform::ToAnsi(desc), 13));
  body += Bytes(2, '\0');
  body += EncodeLE(secret_code, 4);
  body += Byte(0x00);
  body += Byte(0x01);
  return body;
}

Bytes BuildOperationMessage(bool enable, std::u16string_view disp_msg) {
  Bytes body(1, Byte(kKindOperation));
  body += Fit(ToRegisterText(disp_msg), 32);
  body += enable ? '1' : '0';
  return body;
}

Bytes BuildCheckRequest() { return Bytes(1, Byte(kKindCheck)); }

// ---------------------------------------------------------------------------
// Currencies

CurrencyLists SplitCurrencyLists(std::string_view cur_id, std::string_view desc,
                                 std::string_view rate, std::string_view nod,
                                 std::uint8_t separator) {
  CurrencyLists l;
  l.ids = SplitFields(cur_id, 1, '\0', false, false, separator);
  l.descs = SplitFields(desc, 3, '\0', true, false, separator);
  l.rates = SplitFields(rate, 6, '0', false, true, separator);
  l.nods = SplitFields(nod, 1, '\0', false, false, separator);
  return l;
}

std::int32_t CheckCurrencyLists(const CurrencyLists& l) {
  if (l.descs.size() % 3 != 0) return 7;
  const std::size_t n = l.descs.size() / 3;
  if (n == 0) return 6;
  if (l.rates.size() % 6 != 0) return 7;
  if (l.rates.size() / 6 != n) return 6;
  if (l.nods.size() != n) return 7;
  if (l.ids.size() != n) return 7;
  if (!AllIn(l.nods, '0', '7')) return 4;
  if (!AllIn(l.ids, '1', '4')) return 4;
  if (!AllIn(l.rates, '0', '9')) return 4;
  return 0;
}

void MergeCurrencies(std::array<core::Curr, 4>& table, const CurrencyLists& l) {
  const std::size_t n = l.descs.size() / 3;
  for (std::size_t j = 0; j < n && j < l.ids.size() && j < l.nods.size(); ++j) {
    const int k = l.ids[j] - '1';
    if (k < 0 || k > 3) continue;  // excluded by the byte checks
    core::Curr& rec = table[static_cast<std::size_t>(k)];
    rec.name = l.descs.substr(3 * j, 3) + Bytes(9, '\0');
    rec.rate = DigitsValue(Slice(l.rates, 6 * j, 6));
    rec.nod = l.nods[j] - '0';
  }
}

Bytes CurrencyBlock(const std::array<core::Curr, 4>& table) {
  Bytes block;
  block.reserve(kCurrencyBlockSize);
  for (const core::Curr& rec : table) {
    block += Fit(rec.name, 12);
    block += EncodeLE(rec.rate, 4);
    block += EncodeLE(rec.nod, 4);
  }
  return block;
}

bool PutCurrencyBlock(Bytes& table_data, const std::array<core::Curr, 4>& table) {
  if (table_data.size() < kCurrencyBlockOffset + kCurrencyBlockSize) return false;
  table_data.replace(kCurrencyBlockOffset, kCurrencyBlockSize, CurrencyBlock(table));
  return true;
}

// ---------------------------------------------------------------------------
// Clerks

ClerkLists SplitClerkLists(std::string_view clerk_id, std::string_view desc,
                           std::string_view secret_code, std::uint8_t separator) {
  ClerkLists l;
  l.ids = SplitFields(clerk_id, 2, '0', false, true, separator);
  l.descs = SplitFields(desc, 12, '\0', true, false, separator);
  l.secrets = SplitFields(secret_code, 7, '0', false, true, separator);
  return l;
}

std::int32_t CheckClerkLists(const ClerkLists& l) {
  if (l.descs.size() % 12 != 0) return 7;
  const std::size_t n = l.descs.size() / 12;
  if (n == 0) return 6;
  if (l.secrets.size() % 7 != 0) return 7;
  if (l.secrets.size() / 7 != n) return 6;
  if (l.ids.size() / 2 != n) return 6;
  if (l.ids.size() % 2 != 0) return 7;
  if (!AllIn(l.ids, '0', '9')) return 4;
  if (!AllIn(l.secrets, '0', '9')) return 4;
  return 0;
}

std::int32_t MergeClerks(core::ClerkTable& table, const ClerkLists& l) {
  std::int32_t result = 0;
  const std::size_t n = l.descs.size() / 12;
  for (std::size_t h = 0; h < n; ++h) {
    const std::int32_t m = DigitsValue(Slice(l.ids, 2 * h, 2));
    // A clerk number names a record the register reported; the array can
    // only be shorter than the count when a login request cut it meanwhile.
    if (m < 1 || m > table.count || static_cast<std::size_t>(m) > table.records.size()) {
      result = 8;
      continue;
    }
    core::Clerk& rec = table.records[static_cast<std::size_t>(m - 1)];
    rec.name = l.descs.substr(12 * h, 12) + Bytes(1, '\0');
    rec.code = DigitsValue(Slice(l.secrets, 7 * h, 7));
  }
  return result;
}

Bytes ClerkTableData(const core::ClerkTable& table) {
  Bytes data;
  data.reserve(table.records.size() * kClerkTableRecordSize);
  for (const core::Clerk& rec : table.records) {
    data += Fit(rec.name, 13);
    data += Fit(rec.kept1, 2);
    data += EncodeLE(rec.code, 4);
    data += Fit(rec.kept2, 2);
  }
  return data;
}

// ---------------------------------------------------------------------------
// Clerk options

bool ApplyClerkOptions(Bytes& table_data, bool entry_code, std::uint8_t default_clerk,
                       bool stay_down) {
  if (table_data.size() < kClerkOptionsMinSize) return false;
  table_data[2] = Byte(entry_code ? 1 : 0);
  table_data[3] = Byte(default_clerk);
  table_data[4] = Byte(stay_down ? 0 : 1);
  return true;
}

// ---------------------------------------------------------------------------
// Check answer

CheckAnswer DecodeCheckAnswer(std::string_view a) {
  // Offsets within the stored answer, i.e. one less than from the kind byte.
  CheckAnswer r;
  r.receipt_num = DecodeLE(Slice(a, 0, 4));
  r.receipt_amount = DecodeLE(Slice(a, 4, 4));
  r.cancel_num = DecodeLE(Slice(a, 8, 4));
  r.clerk_code = DecodeLE(Slice(a, 12, 4));
  r.key_pos = ByteAt(a, 16);
  r.ecr_status = static_cast<std::uint8_t>(ByteAt(a, 17) - 0x30);
  r.ap_num = Bytes(Slice(a, 18, 9));
  r.opened_day = DecodeLE(Slice(a, 27, 4));
  return r;
}

}  // namespace tarvo::commands
