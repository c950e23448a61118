// The receive path: turns the bytes arriving on one port into acknowledged
// messages, answers enquiries and acknowledgements, and repeats the driver's
// last frame when the register rejects it.
//
// Each notification reads the waiting bytes into the entry's buffer and then
// classifies the buffer once:
//   - it begins with DLE STX: a frame is being collected; once its DLE ETX
//     and checksum byte are in, the frame is checked, answered with DLE ACK
//     or NAK, and a good frame's message is queued;
//   - otherwise the first bytes are a control sequence (ENQ, NAK, DLE ACK,
//     DLE NAK) or unrecognised input.
// In every case but an incomplete frame and a lone DLE the buffer is emptied
// afterwards, so bytes that came in the same read behind a control sequence
// or a complete frame are dropped with it; the register repeats what matters.
#include "link/rx_path.h"

#include <algorithm>
#include <optional>

#include "link/frame.h"

namespace tarvo::link {

namespace {

// Input older than this many ticks of the one-second timer is a remnant of
// an earlier exchange and is dropped before new bytes are added.
constexpr std::int32_t kMaxRxAge = 3;

constexpr std::string_view kDleStx{"\x10\x02", 2};
constexpr std::string_view kDleEtx{"\x10\x03", 2};

inline std::uint8_t At(std::string_view s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }

// Where a frame collected in `buf` (which begins with DLE STX) ends.
struct FrameEnd {
  std::size_t etx_dle;    // index of the DLE of the terminating DLE ETX
  std::size_t dle_count;  // DLE bytes from the buffer start through that DLE
};

// The end of a frame is the first DLE ETX preceded, counting from the frame
// start, by an even number of DLE bytes (the DLE of the pair included): the
// start DLE and every doubled pair contribute an even count, so an odd count
// means the candidate is the second half of a doubled DLE followed by a body
// byte 03. The count belongs to this one search; nothing is carried from one
// notification to the next.
std::optional<FrameEnd> FindFrameEnd(std::string_view buf) {
  std::size_t dles = 0;
  std::size_t counted = 0;  // bytes [0, counted) are in `dles`
  std::size_t from = 0;
  for (;;) {
    const std::size_t pos = buf.find(kDleEtx, from);
    if (pos == std::string_view::npos) return std::nullopt;
    dles += static_cast<std::size_t>(
        std::count(buf.begin() + counted, buf.begin() + pos + 1, static_cast<char>(kDle)));
    counted = pos + 1;
    if (dles % 2 == 0) return FrameEnd{pos, dles};
    from = pos + 1;
  }
}

// Checks the frame buf[0 .. end.etx_dle + 2]: the checksum byte must be the
// one's complement of the sum of DLE STX, the body before doubling and DLE
// ETX. The received bytes are summed as they are and 0x10 is taken off once
// for every doubled pair: the count holds the start DLE, the end DLE and two
// per pair.
bool ChecksumMatches(std::string_view buf, const FrameEnd& end) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i <= end.etx_dle + 1; ++i) sum = static_cast<std::uint8_t>(sum + At(buf, i));
  const std::size_t pairs = (end.dle_count - 2) / 2;
  sum = static_cast<std::uint8_t>(sum - static_cast<std::uint8_t>(kDle * pairs));
  return At(buf, end.etx_dle + 2) == static_cast<std::uint8_t>(~sum);
}

// The queued message of a good frame: the kind (third byte of the buffer),
// the entry index as one decimal digit, then the buffer from its fourth byte
// up to the byte before the terminating DLE ETX with doubled DLEs collapsed.
// The bytes are taken by position in the buffer, so a frame with an empty
// body yields the DLE of its DLE ETX as kind and nothing after the digit.
std::string QueuedMessage(std::string_view buf, int index, const FrameEnd& end) {
  std::string message;
  message.push_back(buf[2]);
  message.push_back(static_cast<char>('0' + index));
  if (end.etx_dle > 3) message += UndoubleDle(buf.substr(3, end.etx_dle - 3));
  return message;
}

// Empties the buffer when a write fails in the middle of handling a
// classified buffer, so that a half-handled frame or control sequence is not
// answered a second time on the next input.
class EmptyOnFailure {
 public:
  explicit EmptyOnFailure(std::string& buf) : buf_(buf), exceptions_(std::uncaught_exceptions()) {}
  ~EmptyOnFailure() {
    if (std::uncaught_exceptions() > exceptions_) buf_.clear();
  }
  EmptyOnFailure(const EmptyOnFailure&) = delete;
  EmptyOnFailure& operator=(const EmptyOnFailure&) = delete;

 private:
  std::string& buf_;
  int exceptions_;
};

}  // namespace

void RxPath::HandleNotify(RxEntryContext& entry, int index, std::int32_t count) {
  std::string& buf = entry.Buffer();

  // Input that waited too long is a fragment nobody will complete.
  if (entry.RxAge() > kMaxRxAge && !buf.empty()) {
    entry.Log('C', HexDump(buf));
    buf.clear();
  }

  if (count > 0) buf += entry.Receive(count);
  if (buf.empty()) return;
  entry.SetRxAge(1);

  if (buf.starts_with(kDleStx)) {
    const std::optional<FrameEnd> end = FindFrameEnd(buf);
    if (!end || buf.size() <= end->etx_dle + 2) {
      // Incomplete: keep collecting, but not without bound.
      if (buf.size() > kMaxBuffer) {
        entry.Log('C', HexDump(buf));
        buf.clear();
        entry.SetRxAge(0);
      }
      return;
    }

    EmptyOnFailure guard(buf);
    if (ChecksumMatches(buf, *end)) {
      entry.Transmit(kDleAck);
      entry.SetRxAge(0);
      // A frame always holds more than two bytes; the test mirrors the
      // message layout, whose kind is the third byte.
      if (buf.size() > 2) entry.Enqueue(QueuedMessage(buf, index, *end));
    } else {
      buf.clear();
      entry.Transmit(kNakByte);
      entry.Log('W', "NAK");
      entry.SetRxAge(0);
    }
    buf.clear();
    return;
  }

  entry.SetRxAge(0);
  EmptyOnFailure guard(buf);
  const std::uint8_t first = At(buf, 0);

  if (first == kEnq) {
    // Enquiry: the register wants attention; whatever the host was waiting
    // for has not been acknowledged.
    entry.SetAcked(0);
    entry.Transmit(kDleAck);
    buf.clear();
    return;
  }

  if (first == kNak) {
    // The register rejected the last frame: send it again, as often as asked.
    entry.SetAcked(0);
    buf.clear();
    const std::string last = entry.LastFrame();
    entry.Transmit(last);
    entry.Log('R', "NAK");
    entry.Log('W', HexDump(last));
    return;
  }

  if (buf.size() >= 2 && first == kDle && At(buf, 1) == kAck) {
    if (buf.size() >= 3 && At(buf, 2) == kEnq) {
      // Acknowledgement with an enquiry behind it: only the enquiry is
      // answered; the acknowledgement does not count for a waiting sender.
      entry.Transmit(kDleAck);
      entry.Log('W', "ACK");
    } else {
      entry.SetAcked(1);
    }
    buf.clear();
    return;
  }

  if (buf.size() >= 2 && first == kDle && At(buf, 1) == kNak) {
    buf.clear();
    entry.SetAcked(0);
    return;
  }

  // Anything else. A lone ACK counts only while the opening handshake waits
  // for it; a lone DLE is the first half of a pair still on its way.
  if (entry.AwaitAck() == 1 && buf.size() == 1 && first == kAck) {
    entry.SetAcked(1);
    entry.SetAwaitAck(0);
  }
  if (buf.size() == 1 && first == kDle) return;
  entry.Log('C', HexDump(buf));
  buf.clear();
  entry.SetAwaitAck(0);
}

}  // namespace tarvo::link
