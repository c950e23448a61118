// The receive path driven notification by notification through a fake port
// entry that records everything the algorithm does, in order.
#include "link/rx_path.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "link/frame.h"
#include "tests/link/hex.h"

namespace tarvo::link {
namespace {

using test::H;

// A port entry whose every effect becomes a line of `events`:
//   "tx <hex>", "log <kind> <text>", "queue <hex>", "acked=<n>", "await=<n>".
class FakeEntry final : public RxEntryContext {
 public:
  std::string buffer;
  std::int32_t age = 0;
  std::uint8_t await_ack = 0;
  std::string last_frame;
  std::string waiting;  // bytes the port holds, not yet read
  std::vector<std::string> events;
  std::vector<std::string> queue;
  bool fail_transmit = false;
  bool fail_receive = false;
  bool room = true;  // what QueueHasRoom answers

  std::string& Buffer() override { return buffer; }
  std::int32_t RxAge() override { return age; }
  void SetRxAge(std::int32_t a) override { age = a; }
  void SetAcked(std::uint8_t acked) override { events.push_back("acked=" + std::to_string(acked)); }
  std::uint8_t AwaitAck() override { return await_ack; }
  void SetAwaitAck(std::uint8_t a) override {
    await_ack = a;
    events.push_back("await=" + std::to_string(a));
  }
  std::string LastFrame() override { return last_frame; }
  std::string Receive(std::int32_t n) override {
    if (fail_receive) throw std::runtime_error("read failed");
    std::string got = waiting.substr(0, static_cast<std::size_t>(n));
    waiting.erase(0, got.size());
    return got;
  }
  void Transmit(std::string_view bytes) override {
    if (fail_transmit) throw std::runtime_error("write failed");
    events.push_back("tx " + HexDump(bytes));
  }
  void Log(char kind, std::string_view text) override {
    events.push_back(std::string("log ") + kind + " " + std::string(text));
  }
  bool QueueHasRoom() override { return room; }
  void Enqueue(std::string message) override {
    events.push_back("queue " + HexDump(message));
    queue.push_back(std::move(message));
  }
};

// One notification: `input` arrives on the port, `count` bytes are reported
// (all of them unless given), and the entry has aged to `age` before it.
struct Arrival {
  std::string input;
  std::optional<std::int32_t> count = std::nullopt;
  std::optional<std::int32_t> age = std::nullopt;
};

struct RxCase {
  const char* name;
  std::vector<Arrival> arrivals;
  std::vector<std::string> events;  // "notify" opens each notification
  std::string buffer_after = "";    // hex
  std::int32_t age_after = 0;
  int index = 0;
  std::uint8_t await_ack = 0;
};

const std::string kLast = H("10 02 9B 10 03 3F");

std::vector<std::string> Feed(FakeEntry& entry, const RxCase& c) {
  RxPath rx;
  for (const Arrival& a : c.arrivals) {
    if (a.age) entry.age = *a.age;
    entry.waiting += a.input;
    entry.events.push_back("notify");
    rx.HandleNotify(entry, c.index, a.count.value_or(static_cast<std::int32_t>(a.input.size())));
  }
  return entry.events;
}

TEST(RxPath, HandlesEachInputByteExactly) {
  const RxCase cases[] = {
      {"frame in one read",
       {{H("10 02 9D 41 10 03 FC")}},
       {"notify", "tx 10 06 ", "queue 9D 30 41 "}},
      {"frame in three reads",
       {{H("10 02")}, {H("9D 41 10")}, {H("03 FC")}},
       {"notify", "notify", "notify", "tx 10 06 ", "queue 9D 30 41 "}},
      {"escaped DLE ETX inside the body, entry 2",
       {{H("10 02 9D 10 10 03 41 10 03 E9")}},
       {"notify", "tx 10 06 ", "queue 9D 32 10 03 41 "},
       "", 0, 2},
      {"DLE as last body byte",
       {{H("10 02 9D 10 10 10 03 2D")}},
       {"notify", "tx 10 06 ", "queue 9D 30 10 "}},
      {"checksum byte 10 in its own read",
       {{H("10 02 CA 10 03")}, {H("10")}},
       {"notify", "notify", "tx 10 06 ", "queue CA 30 "}},
      {"empty body queues the DLE at the kind's place",
       {{H("10 02 10 03 DA")}},
       {"notify", "tx 10 06 ", "queue 10 30 "}},
      {"kind DLE: the kind is the first byte of the undoubled body",
       {{H("10 02 10 10 41 10 03 89")}},
       {"notify", "tx 10 06 ", "queue 10 30 41 "}},
      {"kind DLE with a doubled DLE right behind it",
       {{H("10 02 10 10 10 10 41 10 03 79")}},
       {"notify", "tx 10 06 ", "queue 10 30 10 41 "}},
      {"bytes behind a frame go with it",
       {{H("10 02 9D 41 10 03 FC 05 10 02")}},
       {"notify", "tx 10 06 ", "queue 9D 30 41 "}},
      {"bad checksum",
       {{H("10 02 9D 41 10 03 FD")}},
       {"notify", "tx 15 ", "log W NAK"}},
      {"lone DLEs inside the body: framing error, refused at once",
       {{H("10 02 81 10 41 10 42 10 03 C6")}},
       {"notify", "log C 10 02 81 10 41 10 42 10 03 C6 ", "tx 15 ", "log W NAK"}},
      {"framing error found before the end arrives",
       {{H("10 02 81 10")}, {H("41 10")}, {H("42 10 03 C6")}},
       {"notify", "notify", "log C 10 02 81 10 41 10 ", "tx 15 ", "log W NAK", "notify",
        "log C 42 10 03 C6 ", "await=0"}},
      {"a lost DLE of a doubled pair does not hide the next frame's end",
       {{H("10 02 9D 10 41 10 03 D6")}, {H("10 02 9D 41 10 03 FC")}},
       {"notify", "log C 10 02 9D 10 41 10 03 D6 ", "tx 15 ", "log W NAK", "notify",
        "tx 10 06 ", "queue 9D 30 41 "}},
      {"DLE STX inside a frame: framing error",
       {{H("10 02 9D 41 10 02 9D 41 10 03 FC")}},
       {"notify", "log C 10 02 9D 41 10 02 9D 41 10 03 FC ", "tx 15 ", "log W NAK"}},
      {"enquiry", {{H("05")}}, {"notify", "acked=0", "tx 10 06 "}},
      {"DLE ACK", {{H("10 06")}}, {"notify", "acked=1"}},
      {"DLE ACK with enquiry", {{H("10 06 05")}}, {"notify", "tx 10 06 ", "log W ACK"}},
      {"DLE NAK", {{H("10 15")}}, {"notify", "acked=0"}},
      {"register NAK resends the last frame",
       {{H("15")}},
       {"notify", "acked=0", "tx 10 02 9B 10 03 3F ", "log R NAK", "log W 10 02 9B 10 03 3F "}},
      {"lone ACK during the handshake",
       {{H("06")}},
       {"notify", "acked=1", "await=0", "log C 06 ", "await=0"},
       "", 0, 0, 1},
      {"lone ACK otherwise", {{H("06")}}, {"notify", "log C 06 ", "await=0"}},
      {"unrecognised input", {{H("41 42")}}, {"notify", "log C 41 42 ", "await=0"}},
      {"lone DLE kept, then completed to DLE ACK",
       {{H("10")}, {H("06")}},
       {"notify", "notify", "acked=1"}},
      {"lone DLE waits", {{H("10")}}, {"notify"}, "10", 0},
      {"fewer bytes reported than waiting",
       {{H("10 06"), 1}, {"", 1}},
       {"notify", "notify", "acked=1"}},
      {"DLE ACK then a frame in the same read",
       {{H("10 06 10 02 9D 41 10 03 FC")}},
       {"notify", "acked=1"}},
      {"partial frame waits", {{H("10 02 9D 41")}}, {"notify"}, "10 02 9D 41", 1},
      {"stale partial frame dropped before new input",
       {{H("10 02 9D")}, {H("10 06"), std::nullopt, 4}},
       {"notify", "notify", "log C 10 02 9D ", "acked=1"}},
      {"partial frame at age 3 is still completed",
       {{H("10 02 9D")}, {H("41 10 03 FC"), std::nullopt, 3}},
       {"notify", "notify", "tx 10 06 ", "queue 9D 30 41 "}},
      {"old age with an empty buffer logs nothing",
       {{H("10 06"), std::nullopt, 7}},
       {"notify", "acked=1"}},
      {"nothing read leaves the age alone",
       {{"", 0, 5}},
       {"notify"}, "", 5},
  };
  for (const RxCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEntry entry;
    entry.last_frame = kLast;
    entry.await_ack = c.await_ack;
    EXPECT_EQ(Feed(entry, c), c.events);
    EXPECT_EQ(HexDump(entry.buffer), HexDump(H(c.buffer_after)));
    EXPECT_EQ(entry.age, c.age_after);
  }
}

TEST(RxPath, FrameStartWithoutEndIsDroppedPastTheCap) {
  FakeEntry entry;
  RxPath rx;
  std::string filling = H("10 02") + std::string(RxPath::kMaxBuffer - 2, 'A');
  entry.waiting = filling;
  rx.HandleNotify(entry, 0, static_cast<std::int32_t>(filling.size()));
  EXPECT_TRUE(entry.events.empty());
  EXPECT_EQ(entry.buffer.size(), RxPath::kMaxBuffer);

  entry.waiting = "A";
  rx.HandleNotify(entry, 0, 1);
  ASSERT_EQ(entry.events.size(), 1u);
  EXPECT_EQ(entry.events[0], "log C " + HexDump(filling + "A"));
  EXPECT_TRUE(entry.buffer.empty());

  // The next frame is received normally.
  entry.events.clear();
  entry.waiting = H("10 02 9D 41 10 03 FC");
  rx.HandleNotify(entry, 0, 7);
  EXPECT_EQ(entry.queue, std::vector<std::string>{H("9D 30 41")});
}

TEST(RxPath, GoodFrameIsRefusedWithNakWhileTheQueueHasNoRoom) {
  FakeEntry entry;
  RxPath rx;
  entry.room = false;
  entry.waiting = H("10 02 9D 41 10 03 FC");
  rx.HandleNotify(entry, 0, 7);
  EXPECT_EQ(entry.events, (std::vector<std::string>{"tx 15 ", "log W NAK"}));
  EXPECT_TRUE(entry.queue.empty());
  EXPECT_TRUE(entry.buffer.empty());
  EXPECT_EQ(entry.age, 0);

  // The register sends it again once there is room: taken as usual.
  entry.events.clear();
  entry.room = true;
  entry.waiting = H("10 02 9D 41 10 03 FC");
  rx.HandleNotify(entry, 0, 7);
  EXPECT_EQ(entry.events, (std::vector<std::string>{"tx 10 06 ", "queue 9D 30 41 "}));

  // A frame with a wrong checksum is still just a bad frame.
  entry.events.clear();
  entry.room = false;
  entry.waiting = H("10 02 9D 41 10 03 FD");
  rx.HandleNotify(entry, 0, 7);
  EXPECT_EQ(entry.events, (std::vector<std::string>{"tx 15 ", "log W NAK"}));
}

TEST(RxPath, FailingPortPropagatesAndLeavesNoHalfHandledInput) {
  RxPath rx;
  {
    SCOPED_TRACE("write of the acknowledgement fails");
    FakeEntry entry;
    entry.fail_transmit = true;
    entry.waiting = H("10 02 9D 41 10 03 FC");
    EXPECT_THROW(rx.HandleNotify(entry, 0, 7), std::runtime_error);
    EXPECT_TRUE(entry.queue.empty());
    EXPECT_TRUE(entry.buffer.empty());
  }
  {
    SCOPED_TRACE("read fails");
    FakeEntry entry;
    entry.fail_receive = true;
    entry.buffer = H("10 02 9D");
    EXPECT_THROW(rx.HandleNotify(entry, 0, 4), std::runtime_error);
    EXPECT_EQ(entry.buffer, H("10 02 9D"));
  }
}

// Any body whose kind is not a DLE comes out of the queue as it went into
// BuildFrame, however the frame is cut into reads.
TEST(RxPath, BuiltFramesRoundTripInArbitraryPieces) {
  std::mt19937 rng(20261210);
  const char kTricky[] = {0x10, 0x10, 0x03, 0x02, 0x05, 0x06, 0x15, 0x41};
  for (int round = 0; round < 300; ++round) {
    std::string body(1, static_cast<char>(0x80 + rng() % 0x20));
    const std::size_t len = rng() % 120;
    for (std::size_t k = 0; k < len; ++k) {
      body.push_back(rng() % 2 ? kTricky[rng() % sizeof kTricky] : static_cast<char>(rng() % 256));
    }
    const Bytes frame = BuildFrame(body);
    FakeEntry entry;
    RxPath rx;
    const int index = static_cast<int>(rng() % 4);
    for (std::size_t at = 0; at < frame.size();) {
      const std::size_t piece = std::min<std::size_t>(1 + rng() % 16, frame.size() - at);
      entry.waiting += frame.substr(at, piece);
      rx.HandleNotify(entry, index, static_cast<std::int32_t>(piece));
      at += piece;
    }
    SCOPED_TRACE(HexDump(frame));
    ASSERT_EQ(entry.queue.size(), 1u);
    EXPECT_EQ(HexDump(entry.queue[0]),
              HexDump(body.substr(0, 1) + static_cast<char>('0' + index) + body.substr(1)));
    EXPECT_EQ(entry.events.front(), "tx 10 06 ");
    EXPECT_TRUE(entry.buffer.empty());
  }
}

// Every body, whatever its kind (0x10 included), comes out of the queue as
// it went into BuildFrame; and the frame with one DLE of a doubled pair lost
// on the line is never acknowledged.
TEST(RxPath, AnyKindRoundTripsAndALostEscapeIsNeverAcknowledged) {
  std::mt19937 rng(20261211);
  const char kTricky[] = {0x10, 0x10, 0x10, 0x03, 0x02, 0x06, 0x15, 0x41};
  for (int round = 0; round < 300; ++round) {
    std::string body(1, round % 3 == 0 ? '\x10' : static_cast<char>(rng() % 256));
    const std::size_t len = rng() % 40;
    for (std::size_t k = 0; k < len; ++k) body.push_back(kTricky[rng() % sizeof kTricky]);
    const Bytes frame = BuildFrame(body);
    SCOPED_TRACE(HexDump(frame));
    {
      FakeEntry entry;
      RxPath rx;
      entry.waiting = frame;
      rx.HandleNotify(entry, 1, static_cast<std::int32_t>(frame.size()));
      ASSERT_EQ(entry.queue.size(), 1u);
      EXPECT_EQ(HexDump(entry.queue[0]), HexDump(body.substr(0, 1) + '1' + body.substr(1)));
    }
    // Drop the second DLE of the first doubled pair whose next byte is not
    // ETX or DLE (there the pair would still read as a valid sequence).
    for (std::size_t i = 2; i + 2 < frame.size() - 3; ++i) {
      if (frame[i] != '\x10' || frame[i + 1] != '\x10') continue;
      const char after = frame[i + 2];
      if (after == '\x03' || after == '\x10') {
        ++i;
        continue;
      }
      const Bytes damaged = frame.substr(0, i + 1) + frame.substr(i + 2);
      FakeEntry entry;
      RxPath rx;
      entry.waiting = damaged;
      rx.HandleNotify(entry, 1, static_cast<std::int32_t>(damaged.size()));
      EXPECT_TRUE(entry.queue.empty());
      EXPECT_EQ(entry.events.at(1), "tx 15 ");
      break;
    }
  }
}

}  // namespace
}  // namespace tarvo::link
