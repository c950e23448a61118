#pragma once
// Readers for the fields of a register's message payload.
//
// Registers send fixed layouts, but a message may be shorter than its layout:
// every reader takes what the payload holds and never looks past its end. A
// byte beyond the end reads 0, an integer built from fewer bytes than its
// width uses the bytes present (zero-extended; none give 0), and a text stops
// at the end of the payload. Offsets are 0-based from the first payload byte
// (the byte after the port index of the queued message).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo::events {

class FieldReader {
 public:
  explicit FieldReader(std::string_view payload) : payload_(payload) {}

  std::size_t size() const { return payload_.size(); }
  std::string_view payload() const { return payload_; }

  // The unsigned byte at o (0 beyond the end).
  std::uint8_t Byte(std::size_t o) const;
  // Little-endian two's complement of the 4 bytes from o.
  std::int32_t Integer(std::size_t o) const;
  // Little-endian of the 2 bytes from o: 0 to 65535.
  std::int32_t Short(std::size_t o) const;
  // A 14-digit code of 8 bytes from o (high part, then low part) as text.
  std::string LongNumber(std::size_t o) const;
  // The n bytes from o as they stand, fewer when the payload ends earlier.
  std::string Text(std::size_t o, std::size_t n) const;
  // Text(o, n) with the blanks and control bytes at both ends removed.
  std::string TrimmedText(std::size_t o, std::size_t n) const;

 private:
  // The bytes from o, at most n of them (empty when o is past the end).
  std::string_view Slice(std::size_t o, std::size_t n) const;

  std::string_view payload_;
};

// Signed decimal text without leading zeros ("0" for zero, "-" for negatives).
std::string NumberText(std::int64_t value);
// NumberText left-padded with "0" to at least `width` characters.
std::string PaddedText(std::int64_t value, std::size_t width);
// Every leading and trailing byte of value 0x20 or below removed.
std::string Trimmed(std::string_view text);

}  // namespace tarvo::events
