// The receive path: turns the bytes arriving on one port into acknowledged
// messages, answers enquiries and acknowledgements, and repeats the driver's
// last frame when the register rejects it.
//
// Each notification reads the waiting bytes into the entry's buffer and then
// classifies the buffer once:
//   - it begins with DLE STX: a frame is being collected; once its DLE ETX
//     and checksum byte are in, the frame is checked, answered with DLE ACK
//     or NAK, and a good frame's message is queued. A frame is refused with
//     NAK as soon as a DLE inside it is followed by anything but DLE or ETX
//     (framing error), when its checksum is wrong, and when the message
//     queue has no room for it (the register then sends it again later);
//   - otherwise the first bytes are a control sequence (ENQ, NAK, DLE ACK,
//     DLE NAK) or unrecognised input.
// In every case but an incomplete frame and a lone DLE the buffer is emptied
// afterwards, so bytes that came in the same read behind a control sequence
// or a complete frame are dropped with it; the register repeats what matters.
#include "link/rx_path.h"

#include <exception>

#include "link/frame.h"

namespace tarvo::link {

namespace {

// Input older than this many ticks of the one-second timer is a remnant of
// an earlier exchange and is dropped before new bytes are added.
constexpr std::int32_t kMaxRxAge = 3;

constexpr std::string_view kDleStx{"\x10\x02", 2};

inline std::uint8_t At(std::string_view s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }

// What the bytes collected so far (the buffer begins with DLE STX) hold.
struct FrameScan {
  enum class Outcome {
    kIncomplete,  // the end of the frame or its checksum byte is still to come
    kComplete,    // a whole frame: `body` and `checksum` are set
    kMalformed,   // a DLE inside the body is followed by neither DLE nor ETX
  };
  Outcome outcome = Outcome::kIncomplete;
  std::string body;  // the body with its doubled DLEs collapsed
  std::uint8_t checksum = 0;
};

// Walks the frame from the byte after DLE STX. Inside a body a DLE is always
// the first byte of a pair: DLE DLE stands for one body byte 0x10, DLE ETX
// ends the frame and is followed by the checksum byte. A DLE followed by
// anything else cannot occur in a well-formed frame: a byte was lost or
// corrupted on the line (a lost DLE of a doubled pair, for one), and the
// frame must not be taken on the strength of its 8-bit checksum alone; nor
// may the scan go on looking for an end whose DLE count has been thrown off.
FrameScan ScanFrame(std::string_view buf) {
  FrameScan scan;
  std::size_t pos = kDleStx.size();
  while (pos < buf.size()) {
    const std::uint8_t b = At(buf, pos);
    if (b != kDle) {
      scan.body.push_back(static_cast<char>(b));
      ++pos;
      continue;
    }
    if (pos + 1 >= buf.size()) break;  // the second byte of the pair is on its way
    const std::uint8_t next = At(buf, pos + 1);
    if (next == kDle) {
      scan.body.push_back(static_cast<char>(kDle));
      pos += 2;
    } else if (next == kEtx) {
      if (pos + 2 >= buf.size()) break;  // the checksum byte is on its way
      scan.checksum = At(buf, pos + 2);
      scan.outcome = FrameScan::Outcome::kComplete;
      return scan;
    } else {
      scan.outcome = FrameScan::Outcome::kMalformed;
      return scan;
    }
  }
  scan.body.clear();
  return scan;
}

// The checksum byte must be the one's complement of the byte sum of DLE STX,
// the body before doubling and DLE ETX.
bool ChecksumMatches(const FrameScan& scan) {
  std::uint8_t sum = static_cast<std::uint8_t>(kDle + kStx + kDle + kEtx);
  for (const char c : scan.body) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
  return scan.checksum == static_cast<std::uint8_t>(~sum);
}

// The queued message of a good frame: the kind (the first byte of the body),
// the entry index as one decimal digit, then the rest of the body. A frame
// with an empty body has no kind; its message carries the DLE that stands at
// the kind's place on the line (10 02 10 03 ..), a kind no handler takes.
std::string QueuedMessage(const FrameScan& scan, int index) {
  std::string message;
  message.push_back(scan.body.empty() ? static_cast<char>(kDle) : scan.body[0]);
  message.push_back(static_cast<char>('0' + index));
  if (scan.body.size() > 1) message.append(scan.body, 1);
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
    const FrameScan scan = ScanFrame(buf);
    if (scan.outcome == FrameScan::Outcome::kIncomplete) {
      // Keep collecting, but not without bound.
      if (buf.size() > kMaxBuffer) {
        entry.Log('C', HexDump(buf));
        buf.clear();
        entry.SetRxAge(0);
      }
      return;
    }

    EmptyOnFailure guard(buf);
    if (scan.outcome == FrameScan::Outcome::kMalformed) {
      // Refused at once: the register sends the frame again. Whatever is
      // still on its way of the broken frame arrives as unrecognised input
      // and is discarded there.
      entry.Log('C', HexDump(buf));
      buf.clear();
      entry.Transmit(kNakByte);
      entry.Log('W', "NAK");
    } else if (!ChecksumMatches(scan)) {
      buf.clear();
      entry.Transmit(kNakByte);
      entry.Log('W', "NAK");
    } else if (!entry.QueueHasRoom()) {
      // The host is not taking messages: the frame stays with the register,
      // which sends it again after the NAK, rather than being acknowledged
      // and then lost or held without bound.
      buf.clear();
      entry.Transmit(kNakByte);
      entry.Log('W', "NAK");
    } else {
      entry.Transmit(kDleAck);
      entry.Enqueue(QueuedMessage(scan, index));
    }
    entry.SetRxAge(0);
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
