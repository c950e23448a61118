#include "events/field_reader.h"

#include <algorithm>

#include "commands/encodings.h"

namespace tarvo::events {

std::string_view FieldReader::Slice(std::size_t o, std::size_t n) const {
  if (o >= payload_.size()) return {};
  return payload_.substr(o, std::min(n, payload_.size() - o));
}

std::uint8_t FieldReader::Byte(std::size_t o) const {
  return o < payload_.size() ? static_cast<std::uint8_t>(payload_[o]) : 0;
}

std::int32_t FieldReader::Integer(std::size_t o) const {
  return commands::DecodeLE(Slice(o, 4));
}

std::int32_t FieldReader::Short(std::size_t o) const {
  return commands::DecodeLE(Slice(o, 2));
}

std::string FieldReader::LongNumber(std::size_t o) const {
  return commands::DecodeCode14(Slice(o, 8));
}

std::string FieldReader::Text(std::size_t o, std::size_t n) const {
  return std::string(Slice(o, n));
}

std::string FieldReader::TrimmedText(std::size_t o, std::size_t n) const {
  return Trimmed(Slice(o, n));
}

std::string NumberText(std::int64_t value) { return std::to_string(value); }

std::string PaddedText(std::int64_t value, std::size_t width) {
  std::string text = NumberText(value);
  if (text.size() < width) text.insert(0, width - text.size(), '0');
  return text;
}

std::string Trimmed(std::string_view text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && blank(text[begin])) ++begin;
  while (end > begin && blank(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

}  // namespace tarvo::events
