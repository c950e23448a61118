#pragma once
// Byte strings written as hex text ("0F 72 76"), for readable golden bytes.
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo::test {

inline std::string Hex(std::string_view text) {
  std::string out;
  int nibbles = 0;
  unsigned value = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0) continue;
    value = value * 16 + static_cast<unsigned>(digit);
    if (++nibbles == 2) {
      out.push_back(static_cast<char>(value));
      nibbles = 0;
      value = 0;
    }
  }
  return out;
}

// "0F 72 76" for failure messages.
inline std::string ToHex(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

}  // namespace tarvo::test
