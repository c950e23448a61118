// Register texts in log lines: control bytes escaped, everything else kept.
#include "events/log_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvo::events {
namespace {

TEST(LogSafeTest, EscapesControlBytesAndTheBackslashOnly) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"AP0000001", "AP0000001"},
      {"", ""},
      {std::string("\0", 1), "\\x00"},
      {"line\r\nbreak", "line\\x0D\\x0Abreak"},
      {"\x1F\x20\x7E\x7F", "\\x1F ~\\x7F"},
      {"a\\x41", "a\\\\x41"},  // a literal backslash cannot pass for an escape
      {"\x80\xE9\xFF", "\x80\xE9\xFF"},  // code-page text stays
      {"\x1B[2J", "\\x1B[2J"},
  };
  for (const Case& c : cases) EXPECT_EQ(LogSafe(c.in), c.out) << c.out;
}

}  // namespace
}  // namespace tarvo::events
