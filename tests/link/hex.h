#pragma once
// Byte strings written as hex text in tests: H("10 02 9B") -> three bytes.
#include <cstdlib>
#include <string>
#include <string_view>

namespace tarvo::link::test {

inline std::string H(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    const std::string pair(text.substr(i, 2));
    out.push_back(static_cast<char>(std::strtoul(pair.c_str(), nullptr, 16)));
    i += 2;
  }
  return out;
}

}  // namespace tarvo::link::test
