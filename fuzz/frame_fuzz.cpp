// The frame codec (link/frame.h) as a round trip: the input is a message
// body; its frame must read back as the body, and the helpers must agree
// with each other.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "link/frame.h"

namespace link = tarvo::link;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  const auto dles = static_cast<std::size_t>(std::count(body.begin(), body.end(), '\x10'));

  const std::string doubled = link::DoubleDle(body);
  FUZZ_CHECK(doubled.size() == body.size() + dles, "DoubleDle adds one byte per DLE");
  FUZZ_CHECK(link::UndoubleDle(doubled) == body, "UndoubleDle undoes DoubleDle");
  for (std::size_t i = 0; i < doubled.size(); ++i) {
    if (doubled[i] != '\x10') continue;
    FUZZ_CHECK(i + 1 < doubled.size() && doubled[i + 1] == '\x10', "DLEs come in pairs");
    ++i;
  }

  const std::string frame = link::BuildFrame(body);
  FUZZ_CHECK(frame.size() == doubled.size() + 5, "frame = DLE STX, doubled body, DLE ETX, checksum");
  FUZZ_CHECK(frame.compare(0, 2, "\x10\x02") == 0, "a frame starts with DLE STX");
  FUZZ_CHECK(frame.compare(2, doubled.size(), doubled) == 0, "the body travels doubled");
  FUZZ_CHECK(frame.compare(2 + doubled.size(), 2, "\x10\x03") == 0, "the body ends with DLE ETX");
  const auto checksum = static_cast<std::uint8_t>(frame.back());
  const std::string undoubled_frame = "\x10\x02" + body + "\x10\x03";
  FUZZ_CHECK(checksum == link::FrameChecksum(undoubled_frame),
             "the checksum covers DLE STX, the undoubled body and DLE ETX");
  std::uint8_t sum = checksum;
  for (char c : undoubled_frame) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
  FUZZ_CHECK(sum == 0xFF, "the checksum is the one's complement of the byte sum");

  // UndoubleDle on any input: it only ever removes DLEs, one per pair.
  const std::string undoubled = link::UndoubleDle(body);
  FUZZ_CHECK(undoubled.size() <= body.size() && undoubled.size() + dles / 2 >= body.size(),
             "UndoubleDle removes at most one DLE of each pair");
  FUZZ_CHECK(link::DoubleDle(undoubled).size() >= body.size(), "doubling again restores the length at least");

  FUZZ_CHECK(link::HexDump(body).size() == 3 * body.size(), "a hex dump has three characters per byte");
  return 0;
}
