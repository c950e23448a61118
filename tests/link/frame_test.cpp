// The frame codec against the byte-exact examples of the wire format.
#include "link/frame.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/link/hex.h"

namespace tarvo::link {
namespace {

using test::H;

const std::string kLinkResetBody = H("01 00 00 00 00 00 00 00 09 09 09 09 09 00 01 00 00 00 00");

struct FrameCase {
  const char* name;
  std::string body;
  std::string frame;
};

// Every body/frame pair: the frame is what goes on the wire for the body.
TEST(BuildFrame, BodiesGiveTheirFramesAndPassTheChecksumRule) {
  const FrameCase cases[] = {
      {"empty body", H(""), H("10 02 10 03 DA")},
      {"one DLE counted once", H("10"), H("10 02 10 10 10 03 CA")},
      {"checksum 10 not doubled", H("CA"), H("10 02 CA 10 03 10")},
      {"control bytes unchanged", H("02 03 05 06 15"), H("10 02 02 03 05 06 15 10 03 B5")},
      {"one-byte body", H("9B"), H("10 02 9B 10 03 3F")},
      {"DLE at body end", H("01 10"), H("10 02 01 10 10 10 03 C9")},
      {"escaped DLE ETX in body", H("9B 10 03"), H("10 02 9B 10 10 03 10 03 2C")},
      {"link reset", kLinkResetBody, H("10 02") + kLinkResetBody + H("10 03 AB")},
  };
  for (const FrameCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes frame = BuildFrame(c.body);
    EXPECT_EQ(HexDump(frame), HexDump(c.frame));
    // The checksum is the complement of the sum over the undoubled frame.
    EXPECT_EQ(FrameChecksum(H("10 02") + c.body + H("10 03")),
              static_cast<std::uint8_t>(c.frame.back()));
    // Between DLE STX and DLE ETX lies exactly the doubled body.
    EXPECT_EQ(HexDump(DoubleDle(c.body)), HexDump(c.frame.substr(2, c.frame.size() - 5)));
    EXPECT_EQ(HexDump(UndoubleDle(DoubleDle(c.body))), HexDump(c.body));
  }
}

TEST(FrameChecksum, LinkResetSumsTo54) {
  const std::string bytes = H("10 02") + kLinkResetBody + H("10 03");
  EXPECT_EQ(FrameChecksum(bytes), 0xAB);
  EXPECT_EQ(FrameChecksum(""), 0xFF);
}

TEST(FixedFrames, AreTheListedBytesAndPassTheChecksumRule) {
  const struct {
    const char* name;
    const Bytes& frame;
    std::string expected;
  } cases[] = {
      {"link reset", LinkResetFrame(),
       H("10 02 01 00 00 00 00 00 00 00 09 09 09 09 09 00 01 00 00 00 00 10 03 AB")},
      {"identification", IdentifyFrame(),
       H("10 02 01 00 00 00 00 00 00 00 05 00 00 00 00 01 00 00 00 01 00 10 03 D2")},
      {"status", StatusFrame(),
       H("10 02 01 00 00 00 00 00 00 00 06 00 00 00 00 01 00 00 00 01 00 10 03 D1")},
      {"read function keys", ReadTableFrame(6),
       H("10 02 01 00 00 00 00 00 00 00 03 00 00 00 06 01 00 00 00 01 00 10 03 CE")},
      {"read clerks", ReadTableFrame(7),
       H("10 02 01 00 00 00 00 00 00 00 03 00 00 00 07 01 00 00 00 01 00 10 03 CD")},
      {"read clerk options", ReadTableFrame(4),
       H("10 02 01 00 00 00 00 00 00 00 03 00 00 00 04 01 00 00 00 01 00 10 03 D0")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HexDump(c.frame), HexDump(c.expected));
    ASSERT_EQ(c.frame.size(), 24u);
    // No DLE inside these bodies, so the frame up to DLE ETX is undoubled.
    EXPECT_EQ(FrameChecksum(std::string_view(c.frame).substr(0, 23)),
              static_cast<std::uint8_t>(c.frame[23]));
  }
  // A table number that is itself a DLE is doubled like any body byte.
  EXPECT_EQ(ReadTableFrame(0x10), BuildFrame(TableBody(FnReadTable(0x10), 1)));
}

TEST(TableBody, LaysOutKindHeaderCountAndData) {
  const Bytes header = TableHeader(FnWriteTable(7), 0x0102);
  ASSERT_EQ(header.size(), kTableHeaderSize);
  const Bytes body = TableBody(FnWriteTable(7), 0x0102, H("AA 10 BB"));
  EXPECT_EQ(HexDump(body),
            HexDump(H("01 00 00 00 00 00 00 00 02 00 00 00 07 01 00 00 00 02 01 AA 10 BB")));
  EXPECT_EQ(body.substr(kTableDataOffset), H("AA 10 BB"));
  EXPECT_EQ(body.substr(1, kTableHeaderSize), header);
  // A table write assembled from an undoubled head and a doubled tail is the
  // same frame BuildFrame gives for the whole body.
  const Bytes parts = H("10 02") + body.substr(0, 13) + DoubleDle(body.substr(13)) + H("10 03") +
                      static_cast<char>(FrameChecksum(H("10 02") + body + H("10 03")));
  EXPECT_EQ(HexDump(parts), HexDump(BuildFrame(body)));
}

TEST(UndoubleDle, CollapsesPairsFromTheEnd) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {H(""), H("")},
      {H("41"), H("41")},
      {H("10"), H("10")},
      {H("10 10"), H("10")},
      {H("10 10 10"), H("10 10")},
      {H("10 10 10 10"), H("10 10")},
      {H("10 10 03 41"), H("10 03 41")},
      {H("9D 10 10 03 10 10"), H("9D 10 03 10")},
      {H("01 10 02 10 03"), H("01 10 02 10 03")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(HexDump(c.in));
    EXPECT_EQ(HexDump(UndoubleDle(c.in)), HexDump(c.out));
  }
}

TEST(HexDump, TwoUpperCaseDigitsAndABlankPerByte) {
  EXPECT_EQ(HexDump(H("10 02 9B")), "10 02 9B ");
  EXPECT_EQ(HexDump(H("00 0a ff")), "00 0A FF ");
  EXPECT_EQ(HexDump(""), "");
}

}  // namespace
}  // namespace tarvo::link
