#pragma once
// Field encodings used inside message bodies, in both directions.
//
//  - Register text: the host's 8-bit code page with eighteen accented letters
//    replaced by the register's own codes (AccentTable). Text coming back
//    from the register is not mapped back.
//  - Little-endian binary integers of 1 to 4 bytes (two's complement).
//  - 14-digit codes (PLU and link codes): two 32-bit parts, the first six
//    digits and the last eight, high part first.
//  - Lists of fixed-width fields: values separated by FieldSeparator (0xFF),
//    each padded to the field width.
//
// All functions are pure and never read outside the bytes they are given.
// Byte strings are std::string holding raw bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::commands {

using Bytes = std::string;

// Separates the values of a list argument (the control's FieldSeparator).
inline constexpr std::uint8_t kFieldSeparator = 0xFF;

// One accented letter: its byte in code page 1250 and the register's code.
struct AccentEntry {
  std::uint8_t host;
  std::uint8_t reg;
};

// The register's codes for the Hungarian accented letters. The host bytes
// are those of code page 1250 whatever the host code page is. 0x10 (é) is
// the DLE byte; the frame builder doubles it like any other.
inline constexpr std::array<AccentEntry, 18> AccentTable{{
    {0xC1, 0x06},  // Á
    {0xC9, 0x07},  // É
    {0xCD, 0x08},  // Í
    {0xD3, 0x09},  // Ó
    {0xD6, 0x0A},  // Ö
    {0xD5, 0x0B},  // Ő
    {0xDA, 0x0C},  // Ú
    {0xDC, 0x0D},  // Ü
    {0xDB, 0x0E},  // Ű
    {0xE1, 0x0F},  // á
    {0xE9, 0x10},  // é
    {0xED, 0x11},  // í
    {0xF3, 0x12},  // ó
    {0xF6, 0x13},  // ö
    {0xF5, 0x14},  // ő
    {0xFA, 0x15},  // ú
    {0xFC, 0x16},  // ü
    {0xFB, 0x17},  // ű
}};

// The register code of one host byte (the byte itself when not accented).
std::uint8_t MapAccent(std::uint8_t byte);
// Every byte through MapAccent; the length stays the same.
Bytes MapAccents(std::string_view bytes);

// Wide text -> host 8-bit code page (one byte per UTF-16 unit, "?" for what
// the code page lacks) -> AccentTable.
Bytes ToRegisterText(std::u16string_view text);

// The low `width` bytes (2 or 4) of the value's two's complement, least
// significant first.
Bytes EncodeLE(std::int32_t value, std::size_t width);
// The first up-to-4 bytes, least significant first, as a signed 32-bit value
// (four bytes give the two's complement value; fewer bytes are zero-extended,
// none give 0). Bytes after the fourth are not read.
std::int32_t DecodeLE(std::string_view bytes);

// A 14-digit code as 8 bytes: "0"-prefixed to 14 characters, characters 1..6
// as the high part and 7..14 as the low part, each EncodeLE(.., 4), high part
// first. The empty text gives eight zero bytes. Fails (nullopt) for a text
// longer than 14 characters or a part that holds anything but the digits 0-9.
std::optional<Bytes> EncodeCode14(std::string_view text);
// The inverse for codes the register sends: the low part in decimal when the
// high part is 0, else the high part followed by the low part "0"-padded to 8
// digits. Reads bytes 0..3 (high) and 4..7 (low); missing bytes read as 0.
std::string DecodeCode14(std::string_view bytes);

// A list of values separated by `separator` -> fixed-width fields. With
// `map_accents` the whole list goes through AccentTable first. Each value is
// padded with `pad` to `width` bytes (on the left when `pad_left`); a longer
// value is kept whole, which the caller notices as a length that is no
// multiple of the width. A trailing separator adds no field; two separators
// in a row give a field of pad bytes only.
Bytes SplitFields(std::string_view list, std::size_t width, char pad, bool map_accents,
                  bool pad_left, std::uint8_t separator = kFieldSeparator);

}  // namespace tarvo::commands
