#pragma once
// The host's 8-bit ("ANSI") code page: code page 1250 unless the environment
// variable TARVO_CODEPAGE names another code page the system knows ("CPnnnn",
// for example CP1252). The code page is read from the system (iconv on Linux,
// MultiByteToWideChar on Windows). Narrowing maps every UTF-16 code unit to
// exactly one byte -- a character the code page cannot represent becomes "?"
// -- so the length in bytes equals the number of characters. Widening maps
// every byte to one UTF-16 character.
#include <string>
#include <string_view>

namespace tarvo::platform {

// The name of the host code page in use ("CP1250" by default).
std::string HostCodePage();
// UTF-16 -> host 8-bit code page, one byte per UTF-16 unit.
std::string ToAnsi(std::u16string_view text);
// Host 8-bit code page -> UTF-16, one character per byte.
std::u16string FromAnsi(std::string_view bytes);
// UTF-8 <-> UTF-16 helpers for tools and tests (invalid input becomes U+FFFD).
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

}  // namespace tarvo::platform
