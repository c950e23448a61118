#pragma once
// How a register's answers to host commands are taken in and judged.
//
// Pure functions over the answer slots of one register (core::AnswerData):
//  - what the dispatcher stores for a table transfer and for a check answer;
//  - which answer each waiting command accepts;
//  - the decoding of a table read and the completeness checks that must pass
//    before anything derived from it is written back to the register.
// Nothing here reads past the bytes it is given.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "commands/encodings.h"
#include "core/answer_slots.h"

namespace tarvo::commands {

// A table transfer from the register, payload offsets (after the kind byte):
// seven zero bytes, five function bytes, four bytes not read, the count (16
// bits, little-endian), then the table data.
inline constexpr std::size_t kTransferFunctionOffset = 7;
inline constexpr std::size_t kTransferFunctionSize = 5;
inline constexpr std::size_t kTransferCountOffset = 16;
inline constexpr std::size_t kTransferHeaderSize = 18;  // the table data starts here

// The table number t of a read answer (function 03 00 00 00 t), if it is one.
std::optional<std::uint8_t> ReadAnswerTable(std::string_view function);

// The dispatcher's rules for a table transfer (kind 0x01) of `payload`:
// ResponseSlot := the table data, whatever the function; the answer to a
// read of table t is kept whole as TableReads[t]; table 6 fills the currency
// records, table 7 the clerk table.
void StoreTableTransfer(core::AnswerData& slots, std::string_view payload);
// A check answer (kind 0x9D): ResponseSlot := the whole payload.
void StoreCheckAnswer(core::AnswerData& slots, std::string_view payload);

// The answers GetStatus and EcrCheck accept: a non-empty status answer
// (function 06 00 00 00 00) and a non-empty check answer. Anything else in
// the slot (a connection message, a late table answer) is not theirs.
bool HoldsStatusAnswer(const core::AnswerData& slots);
bool HoldsCheckAnswer(const core::AnswerData& slots);
// Empties ResponseSlot and forgets what filled it.
void ClearResponse(core::AnswerData& slots);

// The four currency records of table 6 data (block at 480, 20 bytes each:
// caption 12, rate 4, the decimals in the first byte of the last 4).
std::array<core::Curr, 4> DecodeCurrencies(std::string_view table_data);
// The clerk table of a table 7 answer: `count` records of 21 bytes (name 13,
// kept 2, code 4, kept 2); records beyond the data are empty.
core::ClerkTable DecodeClerkTable(std::uint16_t count, std::string_view table_data);

// Whether the answer to a read of `table` holds everything that is written
// back from it: table 6 the currency block, table 7 all `count` records, table 4
// the 35 bytes of the clerk options. Other tables: always.
bool IsCompleteTableRead(std::uint8_t table, const core::TableRead& read);

}  // namespace tarvo::commands
