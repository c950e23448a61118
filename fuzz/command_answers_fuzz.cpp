// The register's answers to host commands as the commands take them in
// (commands/answer_rules.h) and the table data they derive from them and
// write back (commands/records.h). The input is
//   byte 0: flags for the clerk options (bit 0 entry code, bit 1 stay down)
//           and, in bits 2-7, the default clerk;
//   byte 1: the length L of the merge arguments, then L bytes of them, split
//           at NUL bytes into the currency and clerk lists (id, text, number,
//           and for currencies the decimals);
//   the rest: a register answer, the payload after its kind byte, taken in
//           both as a table transfer and as a check answer.
// Invariants:
//   - nothing reads past the answer (it sits in an exact-size heap buffer);
//   - the slots hold what the transfer's header says: the table data, and a
//     read answer under its table number with its count;
//   - a decoded clerk table has exactly `count` records, whatever the data;
//   - a table read judged complete yields a write-back body of the size the
//     table write needs: table 7 count x 21 bytes, also after a merge;
//     table 4 at least the 35 bytes written back, only bytes 2..4 changed;
//     table 6 the currency block at 480..559 replaced and nothing else;
//   - a block or option write that is refused leaves the data unchanged;
//   - a check answer is held as such when not empty, its AP number has at
//     most 9 bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "commands/answer_rules.h"
#include "commands/records.h"
#include "fuzz/fuzz_check.h"

namespace cmd = tarvo::commands;

namespace {

// Up to four NUL-separated pieces of `args` (missing ones empty).
std::vector<std::string_view> Pieces(std::string_view args) {
  std::vector<std::string_view> out;
  while (out.size() < 3) {
    const std::size_t nul = args.find('\0');
    if (nul == std::string_view::npos) break;
    out.push_back(args.substr(0, nul));
    args.remove_prefix(nul + 1);
  }
  out.push_back(args);
  out.resize(4);
  return out;
}

void CheckClerks(const tarvo::core::TableRead& read, const std::vector<std::string_view>& args) {
  tarvo::core::ClerkTable table = cmd::DecodeClerkTable(read.count, read.data);
  FUZZ_CHECK(table.records.size() == read.count, "a clerk table has exactly count records");
  FUZZ_CHECK(table.count == read.count, "a clerk table keeps its count");
  if (!cmd::IsCompleteTableRead(cmd::kTableClerks, read)) return;
  const std::size_t body = std::size_t{read.count} * cmd::kClerkTableRecordSize;
  FUZZ_CHECK(cmd::ClerkTableData(table) == read.data.substr(0, body),
             "an unchanged complete clerk table writes back the bytes it was read from");
  const cmd::ClerkLists lists = cmd::SplitClerkLists(args[0], args[1], args[2]);
  if (cmd::CheckClerkLists(lists) == 0) {
    const std::int32_t result = cmd::MergeClerks(table, lists);
    FUZZ_CHECK(result == 0 || result == 8, "a clerk merge gives 0 or 8");
    FUZZ_CHECK(table.records.size() == read.count, "a merge adds no clerk record");
  }
  FUZZ_CHECK(cmd::ClerkTableData(table).size() == body, "the clerk write-back is count x 21 bytes");
}

void CheckCurrencies(const tarvo::core::TableRead& read, const std::vector<std::string_view>& args) {
  std::array<tarvo::core::Curr, 4> table = cmd::DecodeCurrencies(read.data);
  for (const auto& c : table) {
    FUZZ_CHECK(c.name.size() <= 12, "a currency caption has at most 12 bytes");
    FUZZ_CHECK(c.nod >= 0 && c.nod <= 255, "the decimals are one byte");
  }
  const cmd::CurrencyLists lists = cmd::SplitCurrencyLists(args[0], args[1], args[2], args[3]);
  if (cmd::CheckCurrencyLists(lists) == 0) cmd::MergeCurrencies(table, lists);
  const cmd::Bytes block = cmd::CurrencyBlock(table);
  FUZZ_CHECK(block.size() == cmd::kCurrencyBlockSize, "the currency block is 80 bytes");

  cmd::Bytes written = read.data;
  const bool put = cmd::PutCurrencyBlock(written, table);
  const bool complete = cmd::IsCompleteTableRead(cmd::kTableFunctionKeys, read);
  FUZZ_CHECK(put == complete, "the block is put exactly into a complete table 6 read");
  FUZZ_CHECK(written.size() == read.data.size(), "putting the block keeps the data's size");
  if (!put) {
    FUZZ_CHECK(written == read.data, "a refused block leaves the data unchanged");
    return;
  }
  constexpr std::size_t at = cmd::kCurrencyBlockOffset;
  constexpr std::size_t end = at + cmd::kCurrencyBlockSize;
  FUZZ_CHECK(written.compare(at, cmd::kCurrencyBlockSize, block) == 0, "the block sits at 480..559");
  FUZZ_CHECK(written.compare(0, at, read.data, 0, at) == 0, "the bytes before the block stay");
  FUZZ_CHECK(written.compare(end, std::string::npos, read.data, end, std::string::npos) == 0,
             "the bytes after the block stay");
  // Unmerged, the block reads back as the currencies it was made from.
  const auto again = cmd::DecodeCurrencies(written);
  for (std::size_t k = 0; k < table.size(); ++k) {
    FUZZ_CHECK(again[k].rate == table[k].rate, "a currency rate reads back");
    FUZZ_CHECK(again[k].nod == (table[k].nod & 0xFF), "the decimals read back");
  }
}

void CheckClerkOptions(const tarvo::core::TableRead& read, std::uint8_t flags) {
  cmd::Bytes written = read.data;
  const bool applied = cmd::ApplyClerkOptions(written, (flags & 1) != 0,
                                              static_cast<std::uint8_t>(flags >> 2), (flags & 2) != 0);
  FUZZ_CHECK(applied == (read.data.size() >= cmd::kClerkOptionsMinSize),
             "the options apply exactly to data of 5 bytes or more");
  FUZZ_CHECK(written.size() == read.data.size(), "applying the options keeps the data's size");
  if (!applied) {
    FUZZ_CHECK(written == read.data, "refused options leave the data unchanged");
    return;
  }
  for (std::size_t i = 0; i < written.size(); ++i) {
    if (i < 2 || i > 4) FUZZ_CHECK(written[i] == read.data[i], "only bytes 2..4 change");
  }
  if (cmd::IsCompleteTableRead(cmd::kTableClerkOptions, read)) {
    FUZZ_CHECK(written.size() >= cmd::kClerkOptionsWriteCount,
               "a complete table 4 read holds the 35 bytes written back");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t flags = data[0];
  const std::size_t args_size = std::min<std::size_t>(data[1], size - 2);
  const std::string args_text(reinterpret_cast<const char*>(data) + 2, args_size);
  const std::vector<std::string_view> args = Pieces(args_text);

  // An exact-size heap copy: one byte more read is a heap-buffer-overflow.
  const std::size_t n = size - 2 - args_size;
  const std::unique_ptr<char[]> copy(new char[n == 0 ? 1 : n]);
  std::copy(data + 2 + args_size, data + size, copy.get());
  const std::string_view payload(copy.get(), n);

  tarvo::core::AnswerData slots;
  cmd::StoreTableTransfer(slots, payload);
  const std::string_view table_data =
      payload.size() > cmd::kTransferHeaderSize ? payload.substr(cmd::kTransferHeaderSize) : "";
  FUZZ_CHECK(slots.ResponseSlot == table_data, "the response slot holds the table data");
  FUZZ_CHECK(slots.ResponseFunction.size() <= cmd::kTransferFunctionSize, "a function has 5 bytes");
  const auto table = cmd::ReadAnswerTable(slots.ResponseFunction);
  FUZZ_CHECK(slots.TableReads.size() == (table ? 1u : 0u), "only a read answer is kept as one");
  if (cmd::HoldsStatusAnswer(slots)) {
    FUZZ_CHECK(slots.ResponseFunction == std::string("\x06\0\0\0\0", 5), "a status answer's function");
    FUZZ_CHECK(!table, "a status answer is no table read");
  }
  FUZZ_CHECK(!cmd::HoldsCheckAnswer(slots), "a table transfer is no check answer");
  if (table) {
    const tarvo::core::TableRead& read = slots.TableReads.at(*table);
    FUZZ_CHECK(read.data == table_data, "a read answer keeps its table data whole");
    auto at = [&](std::size_t i) -> unsigned {
      return i < payload.size() ? static_cast<std::uint8_t>(payload[i]) : 0u;
    };
    const auto count = static_cast<std::uint16_t>(at(cmd::kTransferCountOffset) |
                                                  (at(cmd::kTransferCountOffset + 1) << 8));
    FUZZ_CHECK(read.count == count, "a read answer keeps the count of its header");
    if (*table == cmd::kTableClerks) {
      FUZZ_CHECK(slots.Clerks.records.size() == read.count, "the stored clerk table has count records");
    }
    CheckClerks(read, args);
    CheckCurrencies(read, args);
    CheckClerkOptions(read, flags);
  } else {
    // The same checks over the bare payload, whatever its header.
    const tarvo::core::TableRead read{static_cast<std::uint16_t>(n * 7), std::string(payload)};
    CheckClerks(read, args);
    CheckCurrencies(read, args);
    CheckClerkOptions(read, flags);
  }

  cmd::StoreCheckAnswer(slots, payload);
  FUZZ_CHECK(cmd::HoldsCheckAnswer(slots) == !payload.empty(), "a check answer is held when not empty");
  FUZZ_CHECK(!cmd::HoldsStatusAnswer(slots), "a check answer is no status answer");
  const cmd::CheckAnswer answer = cmd::DecodeCheckAnswer(payload);
  FUZZ_CHECK(answer.ap_num.size() <= 9, "an AP number has at most 9 bytes");
  FUZZ_CHECK(payload.find(answer.ap_num) != std::string_view::npos, "the AP number is a piece of the answer");
  return 0;
}
