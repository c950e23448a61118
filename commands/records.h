#pragma once
// Message bodies the host sends and the table data it reads and rewrites.
//
// Everything here is a pure function of its arguments: builders return the
// body (kind byte first) or a result code, mergers change the data they are
// handed. Nothing reads past the bytes it is given: table data and answers
// from the register are never trusted to have the length the register
// normally sends.
#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "commands/encodings.h"
#include "core/answer_slots.h"

namespace tarvo::commands {

// Message kinds the host sends.
inline constexpr std::uint8_t kKindTable = 0x01;
inline constexpr std::uint8_t kKindPlu = 0x80;
inline constexpr std::uint8_t kKindCustomer = 0x8D;
inline constexpr std::uint8_t kKindOperation = 0x96;
inline constexpr std::uint8_t kKindCheck = 0x9B;
inline constexpr std::uint8_t kKindClerk = 0x9C;

// The register's answer to the check request.
inline constexpr std::uint8_t kKindCheckAnswer = 0x9D;

// Register tables the commands read and write.
inline constexpr std::uint8_t kTableClerkOptions = 4;
inline constexpr std::uint8_t kTableFunctionKeys = 6;
inline constexpr std::uint8_t kTableClerks = 7;

// ---------------------------------------------------------------------------
// PLU record

// A malformed SendPlu argument. Raised inside the PLU build steps; its message
// is the result code "4", which SendPlu turns into Value 4.
class ERosszJegy : public std::runtime_error {
 public:
  ERosszJegy() : std::runtime_error("4") {}
};

struct PluFields {
  std::u16string_view plu_code;
  std::u16string_view desc;
  std::uint8_t group1 = 0;
  std::uint8_t group2 = 0;
  std::uint8_t group3 = 0;
  std::u16string_view status;
  std::u16string_view vtsz;
  std::u16string_view link;
  std::int32_t price1 = 0;
  std::int32_t price2 = 0;
  std::int32_t price3 = 0;
};

inline constexpr std::size_t kShortPluSize = 73;
inline constexpr std::size_t kLongPluSize = 77;

// The four status bytes of a status text (12 characters after "0"-padding on
// the left: ten 0/1 flags, a digit 1-5, a digit 1-9). Throws ERosszJegy.
Bytes PluStatusBytes(std::string_view status);
// The PLU record: the short layout (73 bytes) without a multiplier, the long
// one (77 bytes) with the multiplier in front (1000 is sent as 0). Runs the
// checks in the order of the build steps; the first failure throws ERosszJegy.
Bytes BuildPluRecord(const PluFields& fields, std::optional<std::int32_t> multiplier);

// ---------------------------------------------------------------------------
// Customer, clerk and operation messages

inline constexpr std::size_t kCustomerRecordSize = 47;
inline constexpr std::size_t kClerkRecordSize = 22;
inline constexpr std::size_t kOperationMessageSize = 34;

// 8D, the id (30 bytes, host code page, 0x00-padded), the description (16
// bytes, accent-mapped, ASCII letters upper-cased).
Bytes BuildCustomerRecord(std::u16string_view cust_id, std::u16string_view cust_desc);
// 9C, the name (13 bytes, accent-mapped), 00 00, the secret code (LE 32),
// the status 00 01.
Bytes BuildClerkRecord(std::u16string_view desc, std::int32_t secret_code);
// 96, the display message (32 bytes of register text), "1" or "0".
Bytes BuildOperationMessage(bool enable, std::u16string_view disp_msg);
// 9B alone.
Bytes BuildCheckRequest();

// ---------------------------------------------------------------------------
// Currencies (register table 6)

// The currency block inside the function-key table data: four records of
// 20 bytes (caption 12, rate LE 32, nod LE 32) from data offset 480.
inline constexpr std::size_t kCurrencyBlockOffset = 480;
inline constexpr std::size_t kCurrencyRecordSize = 20;
inline constexpr std::size_t kCurrencyBlockSize = 4 * kCurrencyRecordSize;
inline constexpr std::uint16_t kFunctionKeyWriteCount = 100;

// The four list arguments of CurrencyUpload as fixed-width fields.
struct CurrencyLists {
  Bytes ids;    // width 1
  Bytes descs;  // width 3, accent-mapped
  Bytes rates;  // width 6, "0"-padded on the left
  Bytes nods;   // width 1
};
CurrencyLists SplitCurrencyLists(std::string_view cur_id, std::string_view desc,
                                 std::string_view rate, std::string_view nod,
                                 std::uint8_t separator = kFieldSeparator);
// Count checks (7, 6) then byte checks (4), first failure wins; 0 when the
// lists can be merged.
std::int32_t CheckCurrencyLists(const CurrencyLists& lists);
// Each value j into record ids[j]-"1": caption + nine 0x00, rate, nod. Later
// values win. Expects lists that passed CheckCurrencyLists.
void MergeCurrencies(std::array<core::Curr, 4>& table, const CurrencyLists& lists);
// The 80-byte block of the four records (captions cut or 0x00-padded to 12).
Bytes CurrencyBlock(const std::array<core::Curr, 4>& table);
// Replaces data bytes 480..559 by the block; false (data unchanged) when the
// data is too short to hold the block.
bool PutCurrencyBlock(Bytes& table_data, const std::array<core::Curr, 4>& table);

// ---------------------------------------------------------------------------
// Clerks (register table 7)

inline constexpr std::size_t kClerkTableRecordSize = 21;

struct ClerkLists {
  Bytes ids;      // width 2, "0"-padded on the left
  Bytes descs;    // width 12, accent-mapped
  Bytes secrets;  // width 7, "0"-padded on the left
};
ClerkLists SplitClerkLists(std::string_view clerk_id, std::string_view desc,
                           std::string_view secret_code, std::uint8_t separator = kFieldSeparator);
// Count checks (7, 6) then byte checks (4), first failure wins; 0 when the
// lists can be merged.
std::int32_t CheckClerkLists(const ClerkLists& lists);
// Value h into record id-1 (name + one 0x00, code); the kept fields stay.
// Returns 8 when some clerk number is 0 or not in the table (the other
// values are merged all the same), else 0.
std::int32_t MergeClerks(core::ClerkTable& table, const ClerkLists& lists);
// The records of the table, 21 bytes each (fields cut or 0x00-padded to
// their widths).
Bytes ClerkTableData(const core::ClerkTable& table);

// ---------------------------------------------------------------------------
// Clerk options (register table 4)

inline constexpr std::size_t kClerkOptionsMinSize = 5;
inline constexpr std::uint16_t kClerkOptionsWriteCount = 35;

// Sets data bytes 2 (entry code), 3 (default clerk) and 4 (stay down,
// inverted). False (data unchanged) when the data has fewer than 5 bytes.
bool ApplyClerkOptions(Bytes& table_data, bool entry_code, std::uint8_t default_clerk,
                       bool stay_down);

// ---------------------------------------------------------------------------
// Check answer (kind 0x9D, stored without its kind byte)

// The bytes of a complete check answer after its kind byte.
inline constexpr std::size_t kCheckAnswerSize = 31;

struct CheckAnswer {
  std::int32_t receipt_num = 0;
  std::int32_t receipt_amount = 0;
  std::int32_t cancel_num = 0;
  std::int32_t clerk_code = 0;
  std::uint8_t key_pos = 0;
  std::uint8_t ecr_status = 0;
  Bytes ap_num;  // host code page bytes, up to 9
  std::int32_t opened_day = 0;
};

// Reads the fixed positions of the answer. A shorter answer gives what its
// bytes allow: missing bytes read as 0 (so a missing status byte gives
// 0 - 0x30 = 208, like any status byte below "0"), the AP number stops at the
// end of the answer.
CheckAnswer DecodeCheckAnswer(std::string_view answer);

}  // namespace tarvo::commands
