#include "commands/encodings.h"

#include "platform/codepage.h"

namespace tarvo::commands {
namespace {

// Code 14 parts: 6 and 8 decimal digits. The text holds only digits, so
// neither part can overflow 32 bits (999999 and 99999999).
std::optional<std::int32_t> DecimalPart(std::string_view digits) {
  std::int32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::uint8_t MapAccent(std::uint8_t byte) {
  for (const AccentEntry& e : AccentTable) {
    if (e.host == byte) return e.reg;
  }
  return byte;
}

Bytes MapAccents(std::string_view bytes) {
  Bytes out(bytes);
  for (char& c : out) c = static_cast<char>(MapAccent(static_cast<std::uint8_t>(c)));
  return out;
}

Bytes ToRegisterText(std::u16string_view text) { return MapAccents(platform::ToAnsi(text)); }

Bytes EncodeLE(std::int32_t value, std::size_t width) {
  const auto bits = static_cast<std::uint32_t>(value);
  Bytes out(width, '\0');
  for (std::size_t i = 0; i < width && i < 4; ++i) {
    out[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
  }
  return out;
}

std::int32_t DecodeLE(std::string_view bytes) {
  std::uint32_t bits = 0;
  const std::size_t n = bytes.size() < 4 ? bytes.size() : 4;
  for (std::size_t i = 0; i < n; ++i) {
    bits |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i])) << (8 * i);
  }
  return static_cast<std::int32_t>(bits);
}

std::optional<Bytes> EncodeCode14(std::string_view text) {
  if (text.size() > 14) return std::nullopt;
  const std::string padded = std::string(14 - text.size(), '0') + std::string(text);
  const auto high = DecimalPart(std::string_view(padded).substr(0, 6));
  const auto low = DecimalPart(std::string_view(padded).substr(6, 8));
  if (!high || !low) return std::nullopt;
  return EncodeLE(*high, 4) + EncodeLE(*low, 4);
}

std::string DecodeCode14(std::string_view bytes) {
  const std::int32_t high = DecodeLE(bytes.substr(0, 4));
  const std::int32_t low = DecodeLE(bytes.size() > 4 ? bytes.substr(4, 4) : std::string_view{});
  std::string low_text = std::to_string(low);
  if (high == 0) return low_text;
  if (low_text.size() < 8) low_text.insert(0, 8 - low_text.size(), '0');
  return std::to_string(high) + low_text;
}

Bytes SplitFields(std::string_view list, std::size_t width, char pad, bool map_accents,
                  bool pad_left, std::uint8_t separator) {
  const Bytes source = map_accents ? MapAccents(list) : Bytes(list);
  Bytes out;
  out.reserve(source.size() + width);
  Bytes value;
  auto flush = [&] {
    if (value.size() < width) {
      const Bytes fill(width - value.size(), pad);
      value = pad_left ? fill + value : value + fill;
    }
    out += value;
    value.clear();
  };
  for (char c : source) {
    if (static_cast<std::uint8_t>(c) == separator) {
      flush();
    } else {
      value.push_back(c);
    }
  }
  if (!value.empty()) flush();
  return out;
}

}  // namespace tarvo::commands
