// The receive machine (link::RxPath) fed arbitrary line input in arbitrary
// read sizes, through a fake port entry that records what the machine writes,
// queues and keeps.
//
// Input layout:
//   byte 0      bits 0-3: number m of read-plan bytes that follow
//               bit 4:    AwaitAck is 1 at the start (the opening handshake)
//               bits 5-7: 001 floods: the line input is repeated to twice
//                         the buffer's bound and every read counts in units
//                         of 8 KiB, to reach the bound in a few reads
//   bytes 1..m  the read plan, used in turn: bits 0-5 the read size - 1,
//               bit 6 the input has aged (RxAge 4) before this read,
//               bit 7 the size counts in KiB
//   the rest    the bytes arriving on the line
// Without a plan (m = 0) everything arrives in one read.
//
// After every notification the outcome is checked against what the buffer
// held when it was classified (what was kept plus what was read):
//   - a complete frame at its start with a right checksum and a well-formed
//     body: DLE ACK written and exactly its message queued (kind, index
//     digit, undoubled rest of the body); a wrong checksum: NAK, nothing
//     queued; a DLE inside the body followed by anything but DLE or ETX: a
//     framing error, never acknowledged or queued (NAK now, or nothing yet);
//   - an incomplete frame: nothing written or queued, the buffer kept;
//   - a buffer past RxPath::kMaxBuffer may be dropped unanswered;
//   - ENQ: DLE ACK; NAK: the last frame again; DLE ACK ENQ: DLE ACK;
//     DLE ACK, DLE NAK, a lone DLE and anything else: nothing written;
//   - the buffer is empty afterwards except for an incomplete frame or a
//     lone DLE, and never longer than RxPath::kMaxBuffer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "link/frame.h"
#include "link/rx_path.h"

namespace {

using tarvo::link::RxEntryContext;
using tarvo::link::RxPath;

constexpr int kEntryIndex = 2;
constexpr std::size_t kFloodSize = 2 * RxPath::kMaxBuffer + 1;
constexpr std::size_t kFloodReadUnit = 8 * 1024;
const std::string kLastFrame = tarvo::link::BuildFrame(std::string_view("\x9B", 1));
const std::string kDleAck("\x10\x06", 2);
const std::string kNak("\x15", 1);

// The port entry as the receive machine sees it, recording every effect.
class FakeEntry final : public RxEntryContext {
 public:
  explicit FakeEntry(std::string_view line) : line_(line) {}

  std::string& Buffer() override { return buffer_; }
  std::int32_t RxAge() override { return rx_age_; }
  void SetRxAge(std::int32_t age) override { rx_age_ = age; }
  void SetAcked(std::uint8_t acked) override { acked_ = acked; }
  std::uint8_t AwaitAck() override { return await_ack_; }
  void SetAwaitAck(std::uint8_t await) override { await_ack_ = await; }
  std::string LastFrame() override { return kLastFrame; }
  std::string Receive(std::int32_t n) override {
    FUZZ_CHECK(n > 0, "a read asks for at least one byte");
    const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(n), line_.size());
    std::string bytes(line_.substr(0, take));
    line_.remove_prefix(take);
    received_ += bytes;
    return bytes;
  }
  void Transmit(std::string_view bytes) override { writes_.emplace_back(bytes); }
  void Log(char kind, std::string_view) override {
    FUZZ_CHECK(kind == 'C' || kind == 'R' || kind == 'W', "log lines are of kind C, R or W");
  }
  void Enqueue(std::string message) override { queued_.push_back(std::move(message)); }

  bool LineEmpty() const { return line_.empty(); }
  void Age() { rx_age_ = 4; }

  // Effects of one notification.
  void StartNotify() {
    writes_.clear();
    queued_.clear();
    received_.clear();
  }

  std::string buffer_;
  std::int32_t rx_age_ = 0;
  std::uint8_t acked_ = 0;
  std::uint8_t await_ack_ = 0;
  std::vector<std::string> writes_;
  std::vector<std::string> queued_;
  std::string received_;

 private:
  std::string_view line_;
};

enum class FrameState { kIncomplete, kGood, kBadChecksum, kFramingError };

struct ScannedFrame {
  FrameState state = FrameState::kIncomplete;
  std::string body;  // undoubled, when complete
};

// Reads the frame at the start of `buf` (which begins with DLE STX) the way
// the line defines it: inside the body DLE DLE is one data DLE and DLE ETX
// ends the body; the byte after ETX is the checksum, NOT(0x25 + body sum).
ScannedFrame ScanFrame(std::string_view buf) {
  ScannedFrame frame;
  std::size_t i = 2;
  for (;;) {
    if (i >= buf.size()) return frame;
    const auto c = static_cast<std::uint8_t>(buf[i]);
    if (c != tarvo::link::kDle) {
      frame.body.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    if (i + 1 >= buf.size()) return frame;
    const auto next = static_cast<std::uint8_t>(buf[i + 1]);
    if (next == tarvo::link::kDle) {
      frame.body.push_back(static_cast<char>(c));
      i += 2;
    } else if (next == tarvo::link::kEtx) {
      if (i + 2 >= buf.size()) return frame;
      std::uint8_t sum = 0x25;
      for (char b : frame.body) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(b));
      frame.state = static_cast<std::uint8_t>(buf[i + 2]) == static_cast<std::uint8_t>(~sum)
                        ? FrameState::kGood
                        : FrameState::kBadChecksum;
      return frame;
    } else {
      frame.state = FrameState::kFramingError;
      return frame;
    }
  }
}

bool Wrote(const FakeEntry& e, const std::string& bytes) {
  return e.writes_.size() == 1 && e.writes_[0] == bytes;
}

void CheckFrame(std::string_view classified, const FakeEntry& e) {
  // Past the bound, whatever the buffer holds may be dropped unanswered.
  if (classified.size() > RxPath::kMaxBuffer && e.writes_.empty() && e.queued_.empty() &&
      e.buffer_.empty())
    return;
  const ScannedFrame frame = ScanFrame(classified);
  const std::string digit(1, static_cast<char>('0' + kEntryIndex));
  switch (frame.state) {
    case FrameState::kGood:
      FUZZ_CHECK(Wrote(e, kDleAck), "a good frame is answered with DLE ACK alone");
      FUZZ_CHECK(e.buffer_.empty(), "a complete frame empties the buffer");
      if (frame.body.empty()) {
        // A frame without a body has no kind. Queuing nothing is right; the
        // two bytes DLE and the index digit (what taking the kind from the
        // third byte of the buffer gives) are tolerated: no handler takes
        // the kind 0x10.
        FUZZ_CHECK(e.queued_.empty() || (e.queued_.size() == 1 && e.queued_[0] == "\x10" + digit),
                   "an empty frame queues nothing but its stand-in kind");
      } else {
        FUZZ_CHECK(e.queued_.size() == 1, "a good frame queues one message");
        FUZZ_CHECK(e.queued_[0] == frame.body.substr(0, 1) + digit + frame.body.substr(1),
                   "the queued message is the frame's kind, the index digit and its undoubled body");
      }
      return;
    case FrameState::kBadChecksum:
      FUZZ_CHECK(Wrote(e, kNak), "a frame with a wrong checksum is answered with NAK alone");
      FUZZ_CHECK(e.queued_.empty(), "a frame with a wrong checksum is not queued");
      FUZZ_CHECK(e.buffer_.empty(), "a rejected frame empties the buffer");
      return;
    case FrameState::kFramingError:
      FUZZ_CHECK(e.queued_.empty(), "a body with a lone DLE is not queued");
      FUZZ_CHECK((Wrote(e, kNak) && e.buffer_.empty()) || (e.writes_.empty() && e.buffer_ == classified),
                 "a body with a lone DLE is answered with NAK, or not yet answered");
      return;
    case FrameState::kIncomplete:
      FUZZ_CHECK(e.writes_.empty() && e.queued_.empty(), "an incomplete frame is not answered");
      FUZZ_CHECK(e.buffer_ == classified, "an incomplete frame is kept until it passes the bound");
      return;
  }
}

void CheckControl(std::string_view b, const FakeEntry& e, std::uint8_t acked_before,
                  std::uint8_t await_before) {
  FUZZ_CHECK(e.queued_.empty(), "only frames are queued");
  const auto at = [&](std::size_t i) { return i < b.size() ? static_cast<std::uint8_t>(b[i]) : -1; };
  if (b.size() == 1 && at(0) == tarvo::link::kDle) {
    FUZZ_CHECK(e.writes_.empty() && e.buffer_ == b, "a lone DLE is kept for the next read");
    return;
  }
  FUZZ_CHECK(e.buffer_.empty(), "a control sequence or unknown input empties the buffer");
  if (at(0) == tarvo::link::kEnq) {
    FUZZ_CHECK(Wrote(e, kDleAck) && e.acked_ == 0, "ENQ is answered with DLE ACK and clears Acked");
  } else if (at(0) == tarvo::link::kNak) {
    FUZZ_CHECK(Wrote(e, kLastFrame) && e.acked_ == 0, "NAK sends the last frame again");
  } else if (at(0) == tarvo::link::kDle && at(1) == tarvo::link::kAck) {
    if (at(2) == tarvo::link::kEnq) {
      FUZZ_CHECK(Wrote(e, kDleAck) && e.acked_ == acked_before,
                 "DLE ACK ENQ is answered with DLE ACK and leaves Acked");
    } else {
      FUZZ_CHECK(e.writes_.empty() && e.acked_ == 1, "DLE ACK sets Acked and writes nothing");
    }
  } else if (at(0) == tarvo::link::kDle && at(1) == tarvo::link::kNak) {
    FUZZ_CHECK(e.writes_.empty() && e.acked_ == 0, "DLE NAK clears Acked and writes nothing");
  } else {
    FUZZ_CHECK(e.writes_.empty(), "unknown input is not answered");
    if (await_before == 1 && b.size() == 1 && at(0) == tarvo::link::kAck)
      FUZZ_CHECK(e.acked_ == 1, "a lone ACK counts while the handshake waits for it");
    FUZZ_CHECK(e.await_ack_ == 0, "unknown input ends the wait for a lone ACK");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t head = data[0];
  const std::size_t plan_size = std::min<std::size_t>(head & 0x0F, size - 1);
  const std::vector<std::uint8_t> plan(data + 1, data + 1 + plan_size);
  std::string line(reinterpret_cast<const char*>(data) + 1 + plan_size, size - 1 - plan_size);
  const bool flood = (head & 0xE0) == 0x20;
  if (flood && !line.empty()) {
    const std::string unit = line;
    while (line.size() < kFloodSize) line += unit;
  }

  FakeEntry entry(line);
  entry.await_ack_ = (head & 0x10) != 0 ? 1 : 0;
  RxPath rx;
  for (std::size_t read = 0; !entry.LineEmpty(); ++read) {
    std::size_t count = line.size();
    if (!plan.empty()) {
      const std::uint8_t step = plan[read % plan.size()];
      count = (step & 0x3F) + 1u;
      if (flood) {
        count *= kFloodReadUnit;
      } else if ((step & 0x80) != 0) {
        count *= 1024;
      }
      if ((step & 0x40) != 0) entry.Age();
    } else if (flood) {
      count = kFloodReadUnit;
    }
    const std::string kept = entry.RxAge() > 3 ? std::string() : entry.buffer_;
    const std::uint8_t acked_before = entry.acked_;
    const std::uint8_t await_before = entry.await_ack_;
    entry.StartNotify();
    rx.HandleNotify(entry, kEntryIndex, static_cast<std::int32_t>(count));

    const std::string classified = kept + entry.received_;
    FUZZ_CHECK(entry.buffer_.size() <= RxPath::kMaxBuffer, "the buffer stays within its bound");
    if (classified.empty()) {
      FUZZ_CHECK(entry.writes_.empty() && entry.queued_.empty(), "no input, no effect");
    } else if (classified.starts_with(std::string_view("\x10\x02", 2))) {
      CheckFrame(classified, entry);
    } else {
      CheckControl(classified, entry, acked_before, await_before);
    }
  }
  return 0;
}
