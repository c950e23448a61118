#pragma once
// Decoders of the register's online messages: one pure function per message
// kind (or family of kinds sharing a layout). Each takes the payload and
// returns the event's typed arguments together with the text of its log line,
// so that the dispatcher only has to route, log and raise. Nothing here reads
// past the payload: short messages give what their bytes give (see
// FieldReader). Each layout names its complete size (kSize, the payload
// bytes after the kind byte) so that a shorter message can be reported.
// Register texts in the log lines are escaped (LogSafe); the event fields
// keep the bytes as received.
#include <cstdint>
#include <string>
#include <string_view>

#include "events/event_receiver.h"

namespace tarvo::events {

// ---------------------------------------------------------------------------
// The course of the day and of each receipt.

// Kind 0x81.
struct DayOpenEvent {
  static constexpr std::size_t kSize = 18;  // date 4, time 4, clerk 1, AP 9
  std::string do_date;  // date padded to 6 digits
  std::string do_time;  // time padded to 4 digits
  std::uint8_t clerk_num = 0;
  std::string ap_num;
  std::string log;
};
DayOpenEvent BuildDayOpen(std::string_view payload);

// Kinds 0x82 (open), 0x89 (close) and 0x8C (cancel) share one layout; only
// the event's name differs. `event_name` is "OnOpenReceipt", "OnCloseReceipt"
// or "OnCancelReceipt" and starts the log line.
struct ReceiptEvent {
  static constexpr std::size_t kSize = 22;  // date 4, time 4, clerk 1, receipt 4, AP 9
  std::string date;
  std::string time;
  std::uint8_t clerk_num = 0;
  std::int32_t receipt_num = 0;
  std::string ap_num;
  std::string log;
};
ReceiptEvent BuildReceipt(std::string_view payload, std::string_view event_name);

// How the count of a sale or waste line is scaled: it depends on the form of
// the port's last PLU inquiry and on the protocol variant.
enum class CountScale {
  kDivideBy10,  // long-form inquiry, 650 variant: rounded, halves away from zero
  kAsIs,        // long-form in 841 mode, or short-form in the 650 variant
  kTimes10,     // short-form inquiry in 841 mode
};
CountScale CountScaleFor(bool short_inquiry, bool mode650);
// The scaled count. Values that do not fit wrap to 32 bits (no overflow).
std::int32_t ScaleCount(std::int32_t raw, CountScale scale);

// Kinds 0x83..0x85 (sale, event "OnSell") and 0x8E..0x90 (waste, "OnWaste").
// `tr_type` is the kind's distance from the first kind of its family.
struct ItemLineEvent {
  static constexpr std::size_t kSize = 21;  // kind 1, code 8, unit 4, total 4, count 4
  std::uint8_t tr_type = 0;
  std::uint8_t item_type = 0;  // 0 for a PLU item (0x50, "P"), 1 otherwise
  std::string item_code;
  std::int32_t unit_price = 0;
  std::int32_t total_price = 0;
  std::int32_t count = 0;  // scaled
  std::string log;
};
ItemLineEvent BuildItemLine(std::string_view payload, std::string_view event_name,
                            std::uint8_t tr_type, CountScale scale);

// Kinds 0x86 ("D") and 0x87 ("S").
struct ModifyEvent {
  static constexpr std::size_t kSize = 5;  // mode 1, amount 4
  std::uint8_t m_type = 0;  // the letter 'D' or 'S'
  std::uint8_t m_mode = 0;
  std::int32_t amount = 0;
  std::string log;
};
ModifyEvent BuildModify(std::string_view payload, char letter);

// Kind 0x88. Both variants read the same fields; the 650 variant passes all
// but the change identifier (OnTender), the 841 mode all of them (OnTender841).
struct TenderEvent {
  // type 1, amount 4, home value 4, change 4; the change identifier after
  // them is optional.
  static constexpr std::size_t kSize = 13;
  std::uint8_t t_type = 0;
  std::int32_t amount = 0;
  std::int32_t home_value = 0;
  std::int32_t change = 0;
  std::uint8_t change_id = 0;
  std::string log;
};
TenderEvent BuildTender(std::string_view payload);

// Kind 0x8A. The event carries the amounts' absolute values, the log line
// the signed amounts as received.
struct PaidInOutEvent {
  // type 1, cash 4, check 4, date 4, time 4, clerk 1, AP 9
  static constexpr std::size_t kSize = 27;
  std::uint8_t p_type = 0;
  std::int32_t cash = 0;
  std::int32_t check = 0;
  std::string pd_date;
  std::string pd_time;
  std::uint8_t clerk_num = 0;
  std::string ap_num;
  std::string log;
};
PaidInOutEvent BuildPaidInOut(std::string_view payload);

// The absolute value; the most negative integer stays as it is.
std::int32_t AbsoluteAmount(std::int32_t value);

// ---------------------------------------------------------------------------
// Inquiries and requests.

// Kind 0x80: a PLU inquiry or, in its long form with a department, a sell
// request. Payloads of up to 26 bytes are the short (old) form.
struct PluInquiry {
  static constexpr std::size_t kMaxShortForm = 26;
  // Short form: the code (8), then, when more follows, the AP number (9).
  static constexpr std::size_t kShortFormCodeSize = 8;
  static constexpr std::size_t kShortFormSize = 17;
  // Long form: clerk 4, type 1, department 1, multiplier 4, code 30, AP 9,
  // opened day 4.
  static constexpr std::size_t kLongFormSize = 53;
  // The complete size for a payload of `payload_size` bytes.
  static std::size_t ExpectedSize(std::size_t payload_size);

  bool short_form = false;
  std::string plu_code;  // long number (short form) or trimmed text (long form)
  std::string ap_num;
  // Long form only (0 in the short form).
  std::int32_t clerk_code = 0;
  std::uint8_t tr_type = 0;
  std::uint8_t dept = 0;
  std::int32_t multiplier = 0;
  std::int32_t opened_day = 0;

  // " (" + ap_num + " false" + ")", the "false" only with an AP number.
  std::string LogSuffix() const;
  // "OnPluInquire(Ex) <code> (...)": short form, or the 650 variant.
  std::string PluInquireLog() const;
  // "OnPluInquire841 <code> (...)": the 841 mode.
  std::string PluInquire841Log() const;
};
PluInquiry BuildPluInquiry(std::string_view payload);

// The transaction type of a department sell request that the 841 mode
// refuses (the letter "W").
inline constexpr std::uint8_t kRefusedTrType = 0x57;

// Kind 0x8D.
// The whole payload is the identifier: any length is complete.
struct CustInquiryEvent {
  std::string cust_id;
  std::string log;
};
CustInquiryEvent BuildCustInquiry(std::string_view payload);

// Kind 0x97 (no log line).
struct PaidInOutRequestEvent {
  static constexpr std::size_t kSize = 16;  // type 1, title 1, clerk 1, AP 9, day 4
  std::uint8_t tr_type = 0;
  std::uint8_t tr_title = 0;
  std::uint8_t clerk_num = 0;
  std::int32_t opened_day = 0;
  std::string ap_num;
};
PaidInOutRequestEvent BuildPaidInOutRequest(std::string_view payload);

// Kind 0x98 (no log line): the ID as sent, 30 bytes, not trimmed.
inline constexpr std::size_t kIdPressSize = 30;
std::string BuildIdPress(std::string_view payload);

// Kind 0x9C (no log line).
struct ClerkLoginEvent {
  static constexpr std::size_t kSize = 4;  // the secret code
  std::int32_t code = 0;    // kept for the clerk reply
  std::string secret_code;  // its number text
};
ClerkLoginEvent BuildClerkLogin(std::string_view payload);

// Kind 0x9F (no log line).
struct ModifyRequestEvent {
  static constexpr std::size_t kSize = 7;  // type 1, mode 1, percent marker 1, amount 4
  std::uint8_t m_type = 0;
  std::uint8_t m_mode = 0;
  bool percent = false;  // marker byte "1"
  std::int32_t amount = 0;
};
ModifyRequestEvent BuildModifyRequest(std::string_view payload);

// Kind 0x01 with the identification function: the register's connection
// message. `payload` is the whole table-transfer payload.
struct ConnectEvent {
  static constexpr std::size_t kSize = 34;  // the transfer header 18, 7 bytes, AP 9
  std::string ap_num;
  std::string log;
};
ConnectEvent BuildConnect(std::string_view payload);

// ---------------------------------------------------------------------------
// Kind 0x99: the totals of the daily report (no log line).
inline constexpr std::size_t kDailyReportSize = 106;
DailyReport BuildDailyReport(std::string_view payload);

}  // namespace tarvo::events
