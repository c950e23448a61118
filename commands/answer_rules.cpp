#include "commands/answer_rules.h"

#include "commands/records.h"
#include "link/frame.h"

namespace tarvo::commands {
namespace {

// Up to `width` bytes from `offset`; fewer (or none) near the end.
std::string_view Slice(std::string_view bytes, std::size_t offset, std::size_t width) {
  if (offset >= bytes.size()) return {};
  return bytes.substr(offset, width);
}

std::uint8_t ByteAt(std::string_view bytes, std::size_t offset) {
  return offset < bytes.size() ? static_cast<std::uint8_t>(bytes[offset]) : 0;
}

bool Is(std::string_view function, const link::FunctionBytes& expected) {
  if (function.size() != expected.size()) return false;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (static_cast<std::uint8_t>(function[i]) != expected[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<std::uint8_t> ReadAnswerTable(std::string_view function) {
  if (function.size() != kTransferFunctionSize) return std::nullopt;
  const auto table = static_cast<std::uint8_t>(function.back());
  if (!Is(function, link::FnReadTable(table))) return std::nullopt;
  return table;
}

void StoreTableTransfer(core::AnswerData& slots, std::string_view payload) {
  const std::string_view function =
      Slice(payload, kTransferFunctionOffset, kTransferFunctionSize);
  const std::string_view data = Slice(payload, kTransferHeaderSize, payload.size());
  slots.ResponseSlot = std::string(data);
  slots.ResponseKind = kKindTable;
  slots.ResponseFunction = std::string(function);

  const std::optional<std::uint8_t> table = ReadAnswerTable(function);
  if (!table) return;
  const auto count = static_cast<std::uint16_t>(DecodeLE(Slice(payload, kTransferCountOffset, 2)));
  slots.TableReads[*table] = core::TableRead{count, std::string(data)};
  if (*table == kTableFunctionKeys) slots.CurrencyTable = DecodeCurrencies(data);
  if (*table == kTableClerks) slots.Clerks = DecodeClerkTable(count, data);
}

void StoreCheckAnswer(core::AnswerData& slots, std::string_view payload) {
  slots.ResponseSlot = std::string(payload);
  slots.ResponseKind = kKindCheckAnswer;
  slots.ResponseFunction.clear();
}

bool HoldsStatusAnswer(const core::AnswerData& slots) {
  return !slots.ResponseSlot.empty() && slots.ResponseKind == kKindTable &&
         Is(slots.ResponseFunction, link::kFnStatus);
}

bool HoldsCheckAnswer(const core::AnswerData& slots) {
  return !slots.ResponseSlot.empty() && slots.ResponseKind == kKindCheckAnswer;
}

void ClearResponse(core::AnswerData& slots) {
  slots.ResponseSlot.clear();
  slots.ResponseKind = 0;
  slots.ResponseFunction.clear();
}

std::array<core::Curr, 4> DecodeCurrencies(std::string_view data) {
  std::array<core::Curr, 4> table;
  for (std::size_t k = 0; k < table.size(); ++k) {
    const std::size_t b = kCurrencyBlockOffset + kCurrencyRecordSize * k;
    table[k].name = std::string(Slice(data, b, 12));
    table[k].rate = DecodeLE(Slice(data, b + 12, 4));
    table[k].nod = ByteAt(data, b + 16);
  }
  return table;
}

core::ClerkTable DecodeClerkTable(std::uint16_t count, std::string_view data) {
  core::ClerkTable table;
  table.count = count;
  table.records.resize(count);
  for (std::size_t i = 0; i < table.records.size(); ++i) {
    const std::size_t r = kClerkTableRecordSize * i;
    core::Clerk& clerk = table.records[i];
    clerk.name = std::string(Slice(data, r, 13));
    clerk.kept1 = std::string(Slice(data, r + 13, 2));
    clerk.code = DecodeLE(Slice(data, r + 15, 4));
    clerk.kept2 = std::string(Slice(data, r + 19, 2));
  }
  return table;
}

bool IsCompleteTableRead(std::uint8_t table, const core::TableRead& read) {
  switch (table) {
    case kTableFunctionKeys:
      return read.data.size() >= kCurrencyBlockOffset + kCurrencyBlockSize;
    case kTableClerks:
      return read.data.size() >= std::size_t{read.count} * kClerkTableRecordSize;
    case kTableClerkOptions:
      return read.data.size() >= kClerkOptionsWriteCount;
    default:
      return true;
  }
}

}  // namespace tarvo::commands
