// Frame codec: building frames, the checksum, DLE doubling and its reverse,
// the table-transfer header and the frames the driver sends as they stand.
#include "link/frame.h"

#include <array>

namespace tarvo::link {

namespace {

// DLE + STX + DLE + ETX: the framing bytes every checksum includes.
constexpr std::uint8_t kFramingSum = kDle + kStx + kDle + kEtx;  // 0x25

inline std::uint8_t Byte(char c) { return static_cast<std::uint8_t>(c); }
inline char Char(std::uint8_t b) { return static_cast<char>(b); }

// The body of a table transfer: kind 0x01 followed by its 18-byte header.
Bytes TableRequestBody(const FunctionBytes& function, std::uint16_t count,
                       const std::array<std::uint8_t, 4>& marker) {
  Bytes body(1, Char(0x01));
  body += TableHeader(function, count, marker);
  return body;
}

}  // namespace

Bytes BuildFrame(std::string_view body) {
  // The checksum covers the body before doubling, so the second byte of a
  // doubled pair never enters the sum. The checksum itself is sent as it is:
  // a checksum of 0x10 is a single byte after DLE ETX.
  Bytes frame;
  frame.reserve(body.size() + body.size() / 8 + 5);
  frame.push_back(Char(kDle));
  frame.push_back(Char(kStx));
  std::uint8_t sum = kFramingSum;
  for (const char c : body) {
    frame.push_back(c);
    if (Byte(c) == kDle) frame.push_back(c);
    sum = static_cast<std::uint8_t>(sum + Byte(c));
  }
  frame.push_back(Char(kDle));
  frame.push_back(Char(kEtx));
  frame.push_back(Char(static_cast<std::uint8_t>(~sum)));
  return frame;
}

std::uint8_t FrameChecksum(std::string_view bytes) {
  std::uint8_t sum = 0;
  for (const char c : bytes) sum = static_cast<std::uint8_t>(sum + Byte(c));
  return static_cast<std::uint8_t>(~sum);
}

Bytes DoubleDle(std::string_view bytes) {
  Bytes out;
  out.reserve(bytes.size() + bytes.size() / 8);
  for (const char c : bytes) {
    out.push_back(c);
    if (Byte(c) == kDle) out.push_back(c);
  }
  return out;
}

Bytes UndoubleDle(std::string_view bytes) {
  // Scanning from the last byte backwards: where the current byte and the one
  // before it are both DLE, one of them is dropped and the scan skips the
  // pair; otherwise it moves back one byte. A first byte that is never the
  // current byte of a comparison is kept as it is. The kept bytes are
  // collected back to front and reversed once at the end.
  Bytes out;
  out.reserve(bytes.size());
  std::size_t i = bytes.size();  // one past the current byte
  while (i >= 2) {
    const char current = bytes[i - 1];
    if (Byte(current) == kDle && Byte(bytes[i - 2]) == kDle) {
      out.push_back(current);  // the pair collapses to one DLE
      i -= 2;
    } else {
      out.push_back(current);
      i -= 1;
    }
  }
  if (i == 1) out.push_back(bytes[0]);
  return Bytes(out.rbegin(), out.rend());
}

Bytes HexDump(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  Bytes out;
  out.reserve(bytes.size() * 3);
  for (const char c : bytes) {
    const std::uint8_t b = Byte(c);
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
    out.push_back(' ');
  }
  return out;
}

Bytes TableHeader(const FunctionBytes& function, std::uint16_t count,
                  const std::array<std::uint8_t, 4>& marker) {
  Bytes header;
  header.reserve(kTableHeaderSize);
  header.append(7, '\0');
  for (const std::uint8_t b : function) header.push_back(Char(b));
  for (const std::uint8_t b : marker) header.push_back(Char(b));
  header.push_back(Char(static_cast<std::uint8_t>(count & 0xFF)));
  header.push_back(Char(static_cast<std::uint8_t>(count >> 8)));
  return header;
}

Bytes TableBody(const FunctionBytes& function, std::uint16_t count, std::string_view data) {
  Bytes body = TableRequestBody(function, count, {0x01, 0x00, 0x00, 0x00});
  body.append(data);
  return body;
}

// The fixed frames are built once, on first use; function-local statics make
// that initialisation safe from any thread.

const Bytes& LinkResetFrame() {
  // The link reset differs from every other request: its marker is
  // 00 01 00 00 and its count 0.
  static const Bytes frame = BuildFrame(TableRequestBody(kFnLinkReset, 0, {0x00, 0x01, 0x00, 0x00}));
  return frame;
}

const Bytes& IdentifyFrame() {
  static const Bytes frame = BuildFrame(TableBody(kFnIdentify, 1));
  return frame;
}

const Bytes& StatusFrame() {
  static const Bytes frame = BuildFrame(TableBody(kFnStatus, 1));
  return frame;
}

const Bytes& ReadTableFrame(std::uint8_t table) {
  // The driver reads tables 4, 6 and 7; every table number has its request
  // ready so that the reference stays valid for the life of the module.
  static const std::array<Bytes, 256> frames = [] {
    std::array<Bytes, 256> all;
    for (std::size_t t = 0; t < all.size(); ++t) {
      all[t] = BuildFrame(TableBody(FnReadTable(static_cast<std::uint8_t>(t)), 1));
    }
    return all;
  }();
  return frames[table];
}

}  // namespace tarvo::link
