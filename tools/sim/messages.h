#pragma once
// Message bodies of the register's side of the line.
//
// Builders: every message a register sends on its own (day, receipt and sale
// course, inquiries, requests, the daily report) and every answer it gives to
// the host (check answer, table transfers). Each builder returns the whole
// body, kind byte first, ready for link::BuildFrame. Integers travel least
// significant byte first; a "long number" is two 32-bit parts, high then low,
// worth high * 100000000 + low (codes of up to 14 digits, large amounts).
// Texts are copied byte for byte and padded to their field width.
//
// Decoders: the records the host sends to a register (PLU record, customer
// record, clerk record, operation message). They never read past the body and
// return nothing when the body is not of the expected kind and size.
//
// Builders throw std::invalid_argument for values that have no encoding
// (a code that is not 1 to 14 decimal digits, for example).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::sim::msg {

using Bytes = std::string;

// Message kinds the register sends.
enum Kind : std::uint8_t {
  kTableTransfer = 0x01,
  kPluInquiry = 0x80,
  kDayOpen = 0x81,
  kReceiptOpen = 0x82,
  kSale = 0x83,  // 0x83..0x85: transaction type 0..2
  kModifierD = 0x86,
  kModifierS = 0x87,
  kTender = 0x88,
  kReceiptClose = 0x89,
  kPaidInOut = 0x8A,
  kReceiptCancel = 0x8C,
  kCustomerInquiry = 0x8D,
  kWaste = 0x8E,  // 0x8E..0x90: transaction type 0..2
  kPaidRequest = 0x97,
  kIdKey = 0x98,
  kDailyReport = 0x99,
  kCheckAnswer = 0x9D,
  kClerkLogin = 0x9C,
  kOperationRequest = 0x9E,
  kModifierRequest = 0x9F,
};

// Message kinds the host sends (besides table transfers).
enum HostKind : std::uint8_t {
  kHostPluRecord = 0x80,
  kHostCustomerRecord = 0x8D,
  kHostOperation = 0x96,
  kHostCheckRequest = 0x9B,
  kHostClerkRecord = 0x9C,
};

inline constexpr std::size_t kApSize = 9;

// --- field encodings -------------------------------------------------------

Bytes Le32(std::int32_t v);
Bytes Le16(std::uint16_t v);
std::int32_t ReadLe32(std::string_view bytes, std::size_t offset);  // 0 past the end
// The two parts of a long number, high first.
Bytes LongNumber(std::int64_t value);
// A code of 1 to 14 decimal digits as a long number: left-padded with "0" to
// 14 digits, the first 6 digits the high part, the last 8 the low part.
Bytes Code14(std::string_view digits);
// The text form of a long number: the low part alone when high is 0, else
// high followed by low padded to 8 digits.
std::string LongNumberText(std::string_view eight_bytes);
// `text` cut or padded with `pad` on the right to exactly `width` bytes.
Bytes Field(std::string_view text, std::size_t width, char pad = '\0');

// --- messages the register sends -------------------------------------------

// Date and time as the register keeps them (e.g. 261210 and 1405).
struct Stamp {
  std::int32_t date = 0;
  std::int32_t time = 0;
  std::uint8_t clerk = 1;  // clerk number
};

Bytes DayOpen(const Stamp& at, std::string_view ap);
// Receipt opening (0x82), closing (0x89) and cancelling (0x8C) share one layout.
Bytes ReceiptOpen(const Stamp& at, std::int32_t receipt, std::string_view ap);
Bytes ReceiptClose(const Stamp& at, std::int32_t receipt, std::string_view ap);
Bytes ReceiptCancel(const Stamp& at, std::int32_t receipt, std::string_view ap);

struct SaleLine {
  std::uint8_t tr_type = 0;        // 0..2
  std::uint8_t item_kind = 'P';    // 'P' a PLU, anything else (e.g. 'D') a department
  std::string code;                // decimal digits
  std::int32_t unit_price = 0;
  std::int32_t total_price = 0;
  std::int32_t count = 0;          // raw count as the register keeps it (thousandths)
};
Bytes Sale(const SaleLine& line);   // 0x83 + tr_type
Bytes Waste(const SaleLine& line);  // 0x8E + tr_type

// 0x86 ('D') or 0x87 ('S').
Bytes Modifier(char type, std::uint8_t mode, std::int32_t amount);

struct TenderLine {
  std::uint8_t type = 0;
  std::int32_t amount = 0;
  std::int32_t home_value = 0;
  std::int32_t change = 0;
  std::optional<std::uint8_t> change_id;  // present: 14 bytes after the kind, else 13
};
Bytes Tender(const TenderLine& t);

struct PaidLine {
  std::uint8_t type = 0;
  std::int32_t cash = 0;   // negative for a paid-out
  std::int32_t check = 0;
};
Bytes PaidInOut(const PaidLine& p, const Stamp& at, std::string_view ap);

Bytes CustomerInquiry(std::string_view customer_id);
// Short PLU inquiry: the code, and the AP number when `ap` is not empty.
Bytes PluInquiryShort(std::string_view code, std::string_view ap = {});

struct LongInquiry {
  std::int32_t clerk_code = 0;
  std::uint8_t tr_type = 0;      // 0x57 ('W') marks a waste department request
  std::uint8_t department = 0;   // 0: PLU inquiry; else a department sell request
  std::int32_t multiplier = 1000;
  std::string code;              // up to 30 characters, space-padded
};
Bytes PluInquiryLong(const LongInquiry& q, std::string_view ap, std::int32_t opened_day);

struct PaidRequestLine {
  std::uint8_t tr_type = 0;
  std::uint8_t title = 0;
  std::uint8_t clerk = 1;
};
Bytes PaidRequest(const PaidRequestLine& r, std::string_view ap, std::int32_t opened_day);
Bytes IdKey(std::string_view id);  // 30 bytes, space-padded
Bytes ClerkLogin(std::int32_t secret_code);
Bytes OperationRequest();

struct ModifierRequestLine {
  std::uint8_t type = 0;
  std::uint8_t mode = 0;
  bool percent = false;
  std::int32_t amount = 0;
};
Bytes ModifierRequest(const ModifierRequestLine& r);

struct DailyReportData {
  std::int32_t date = 0;
  std::uint16_t time = 0;
  std::uint16_t report_no = 0;
  std::array<std::int64_t, 5> taxable{};  // A..E
  std::int64_t over_charge = 0;
  std::int64_t storno = 0;
  std::int64_t discount = 0;
  std::int64_t returned = 0;
  std::int32_t receipts = 0;
  std::int32_t cancels = 0;
  std::uint16_t empties_count = 0;
  std::int64_t empties = 0;
  std::int64_t grand_total = 0;
};
Bytes DailyReport(const DailyReportData& r);  // 106 bytes after the kind

struct CheckData {
  std::int32_t receipt_no = 0;
  std::int32_t receipt_amount = 0;
  std::int32_t cancels = 0;
  std::int32_t clerk_code = 0;
  std::uint8_t key_position = 0;
  char status_digit = '0';
  std::string ap;
  std::int32_t opened_day = 0;
};
Bytes CheckAnswer(const CheckData& c);  // 0x9D, 32 bytes in all

// Table transfers the register answers with (kind 0x01, function bytes as the
// request had them).
Bytes ConnectionMessage(std::string_view ap);         // AP at data offset 7
Bytes StatusAnswer(bool day_open);                     // one data byte
Bytes TableAnswer(std::uint8_t table, std::uint16_t count, std::string_view data);

// --- records the host sends ------------------------------------------------

struct PluRecord {
  std::optional<std::int32_t> multiplier;  // present in the long (77-byte) layout
  std::string code;                        // text form of the code
  std::string description;                 // 24 bytes, trailing zeros removed
  std::array<std::uint8_t, 3> groups{};
  std::array<std::uint8_t, 4> status{};
  std::string vtsz;                        // trailing zeros removed
  std::string link;                        // text form of the link code
  std::array<std::int32_t, 3> prices{};
};
std::optional<PluRecord> DecodePluRecord(std::string_view body);

struct CustomerRecord {
  std::string id;           // trailing zeros removed
  std::string description;  // trailing zeros removed
};
std::optional<CustomerRecord> DecodeCustomerRecord(std::string_view body);

struct ClerkRecord {
  std::string name;  // trailing zeros removed
  std::int32_t secret_code = 0;
  std::array<std::uint8_t, 2> status{};
};
std::optional<ClerkRecord> DecodeClerkRecord(std::string_view body);

struct OperationMessage {
  bool enable = false;
  std::string message;  // trailing zeros removed
};
std::optional<OperationMessage> DecodeOperation(std::string_view body);

// A short name for a body, for traces: "sale", "status query", "PLU record" ...
// `from_host` selects the host's or the register's meaning of a kind.
std::string Describe(std::string_view body, bool from_host);

}  // namespace tarvo::sim::msg
