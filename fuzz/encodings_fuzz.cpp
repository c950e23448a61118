// The field encodings of message bodies (commands/encodings.h) over arbitrary
// bytes: little-endian integers, 14-digit codes, lists of fixed-width fields
// and register text, each checked as a round trip where one holds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "commands/encodings.h"
#include "fuzz/fuzz_check.h"
#include "platform/codepage.h"

namespace cmd = tarvo::commands;

namespace {

std::string Prefix(std::string_view bytes, std::size_t n) {
  std::string out(bytes.substr(0, std::min(n, bytes.size())));
  out.resize(n, '\0');
  return out;
}

void CheckLittleEndian(std::string_view bytes) {
  const std::int32_t value = cmd::DecodeLE(bytes);
  FUZZ_CHECK(cmd::EncodeLE(value, 4) == Prefix(bytes, 4), "EncodeLE(DecodeLE(b)) gives b back");
  FUZZ_CHECK(cmd::DecodeLE(cmd::EncodeLE(value, 4)) == value, "DecodeLE(EncodeLE(v, 4)) == v");
  FUZZ_CHECK(cmd::DecodeLE(cmd::EncodeLE(value, 2)) == (value & 0xFFFF),
             "width 2 keeps the low 16 bits");
}

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void CheckCode14(std::string_view bytes) {
  const auto encoded = cmd::EncodeCode14(bytes);
  FUZZ_CHECK(encoded.has_value() == (bytes.size() <= 14 && AllDigits(bytes)),
             "EncodeCode14 takes up to 14 decimal digits and nothing else");
  if (encoded) {
    FUZZ_CHECK(encoded->size() == 8, "a code is 8 bytes");
    std::string expected(bytes.substr(std::min(bytes.find_first_not_of('0'), bytes.size())));
    if (expected.empty()) expected = "0";
    FUZZ_CHECK(cmd::DecodeCode14(*encoded) == expected, "a code decodes to its digits");
  }
  // Eight bytes whose parts are in range (6 and 8 digits) encode back.
  const std::string eight = Prefix(bytes, 8);
  const std::int32_t high = cmd::DecodeLE(eight.substr(0, 4));
  const std::int32_t low = cmd::DecodeLE(eight.substr(4, 4));
  const std::string text = cmd::DecodeCode14(bytes.substr(0, std::min<std::size_t>(8, bytes.size())));
  if (high >= 0 && high <= 999999 && low >= 0 && low <= 99999999) {
    const auto back = cmd::EncodeCode14(text);
    FUZZ_CHECK(back && *back == eight, "a decoded code encodes to the same 8 bytes");
  }
}

void CheckSplitFields(std::string_view input) {
  if (input.size() < 2) return;
  const std::size_t width = static_cast<std::uint8_t>(input[0]) % 32;
  const auto flags = static_cast<std::uint8_t>(input[1]);
  const char pad = (flags & 0x04) != 0 ? '\0' : (flags & 0x08) != 0 ? '\xFF' : '0';
  const bool map_accents = (flags & 0x01) != 0;
  const bool pad_left = (flags & 0x02) != 0;
  const std::string_view list = input.substr(2);
  const std::string out = cmd::SplitFields(list, width, pad, map_accents, pad_left);

  // The values between separators (a trailing separator adds none).
  std::vector<std::string> values(1);
  for (char c : list) {
    if (static_cast<std::uint8_t>(c) == cmd::kFieldSeparator) {
      values.emplace_back();
    } else {
      values.back().push_back(map_accents ? static_cast<char>(cmd::MapAccent(static_cast<std::uint8_t>(c))) : c);
    }
  }
  if (values.back().empty()) values.pop_back();

  std::size_t pos = 0;
  for (const std::string& v : values) {
    const std::size_t field = std::max(width, v.size());
    FUZZ_CHECK(pos + field <= out.size(), "every value has its field");
    const std::string_view f = std::string_view(out).substr(pos, field);
    const std::size_t fill = field - v.size();
    const std::string_view kept = pad_left ? f.substr(fill) : f.substr(0, v.size());
    const std::string_view padding = pad_left ? f.substr(0, fill) : f.substr(v.size());
    FUZZ_CHECK(kept == v, "a field holds its value");
    FUZZ_CHECK(std::all_of(padding.begin(), padding.end(), [&](char c) { return c == pad; }),
               "a field is filled with the pad byte");
    pos += field;
  }
  FUZZ_CHECK(pos == out.size(), "the fields are all there is");
}

void CheckRegisterText(std::string_view bytes) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    text.push_back(static_cast<char16_t>(static_cast<std::uint8_t>(bytes[i]) |
                                         static_cast<std::uint8_t>(bytes[i + 1]) << 8));
  const std::string reg = cmd::ToRegisterText(text);
  FUZZ_CHECK(reg.size() == text.size(), "one byte per character");
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::string ansi = tarvo::platform::ToAnsi(std::u16string_view(&text[i], 1));
    FUZZ_CHECK(ansi.size() == 1, "one code-page byte per character");
    FUZZ_CHECK(static_cast<std::uint8_t>(reg[i]) == cmd::MapAccent(static_cast<std::uint8_t>(ansi[0])),
               "each byte is the character's code-page byte through the accent table");
    if (ansi != "?")
      FUZZ_CHECK(tarvo::platform::FromAnsi(ansi) == std::u16string(1, text[i]),
                 "a character the code page holds widens back to itself");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckLittleEndian(bytes);
  CheckCode14(bytes);
  CheckSplitFields(bytes);
  CheckRegisterText(bytes);
  return 0;
}
