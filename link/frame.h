#pragma once
// The frame on the serial line between the driver and a register.
//
//   DLE STX | body, every 0x10 doubled | DLE ETX | checksum
//
// The body's first byte is the message kind. The checksum is the one's
// complement of the byte sum of DLE, STX, the undoubled body, DLE and ETX
// (NOT(sum(body) + 0x25)); it is sent as it is, never doubled. Outside frames
// the peers exchange single control bytes and DLE pairs (DLE ACK, NAK, ENQ ...).
//
// Table transfers (kind 0x01) carry an 18-byte header after the kind byte:
//   offset 1..7   zero
//   offset 8..12  function: 03 00 00 00 t read table t, 02 00 00 00 t write,
//                 05 00 00 00 00 identification, 06 00 00 00 00 status,
//                 09 09 09 09 09 link reset
//   offset 13..16 01 00 00 00 (00 01 00 00 in the link reset)
//   offset 17..18 16-bit count, least significant byte first
//   offset 19..   data
//
// All functions are pure; byte strings are std::string holding raw bytes.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo::link {

using Bytes = std::string;

inline constexpr std::uint8_t kDle = 0x10;
inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kEnq = 0x05;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;

// Two-byte sequences and single bytes exchanged outside frames.
inline const Bytes kDleAck{"\x10\x06", 2};
inline const Bytes kDleNak{"\x10\x15", 2};
inline const Bytes kNakByte{"\x15", 1};

using FunctionBytes = std::array<std::uint8_t, 5>;
inline constexpr FunctionBytes kFnLinkReset{0x09, 0x09, 0x09, 0x09, 0x09};
inline constexpr FunctionBytes kFnIdentify{0x05, 0x00, 0x00, 0x00, 0x00};
inline constexpr FunctionBytes kFnStatus{0x06, 0x00, 0x00, 0x00, 0x00};
inline constexpr FunctionBytes FnReadTable(std::uint8_t t) { return {0x03, 0, 0, 0, t}; }
inline constexpr FunctionBytes FnWriteTable(std::uint8_t t) { return {0x02, 0, 0, 0, t}; }

inline constexpr std::size_t kTableHeaderSize = 18;   // after the kind byte
inline constexpr std::size_t kTableDataOffset = 19;   // body offset of the data

// The complete frame for `body` (kind first): DLE STX, doubled body, DLE ETX,
// checksum over the undoubled body.
Bytes BuildFrame(std::string_view body);
// One's complement of the byte sum of `bytes`, modulo 256.
std::uint8_t FrameChecksum(std::string_view bytes);
// Every 0x10 followed by a second 0x10.
Bytes DoubleDle(std::string_view bytes);
// Collapses each 10 10 pair into one 10, scanning from the end.
Bytes UndoubleDle(std::string_view bytes);
// "10 02 9B " -- two upper-case hex digits and a blank per byte.
Bytes HexDump(std::string_view bytes);

// The 18-byte header that follows the kind byte of a table transfer.
Bytes TableHeader(const FunctionBytes& function, std::uint16_t count,
                  const std::array<std::uint8_t, 4>& marker = {0x01, 0x00, 0x00, 0x00});
// A whole table-transfer body: 0x01, TableHeader, data.
Bytes TableBody(const FunctionBytes& function, std::uint16_t count, std::string_view data = {});

// The fixed frames the driver sends as they stand (24 bytes each).
const Bytes& LinkResetFrame();      // 10 02 01 00.. 09 09 09 09 09 00 01 00 00 00 00 10 03 AB
const Bytes& IdentifyFrame();       // .. 05 00 00 00 00 01 00 00 00 01 00 10 03 D2
const Bytes& StatusFrame();         // .. 06 00 00 00 00 .. D1
const Bytes& ReadTableFrame(std::uint8_t table);  // tables 4, 6, 7 (D0, CE, CD)

}  // namespace tarvo::link
