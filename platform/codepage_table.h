#pragma once
// Internal to the code page: reading one 8-bit code page from the system.
#include <array>
#include <optional>
#include <string>

namespace tarvo::platform {

// The UTF-16 character of each byte of a code page.
using CodePageChars = std::array<char16_t, 256>;

// The characters of the code page `name` ("CP1250", "CP1252", ...): each
// defined byte's character, and for a byte the code page leaves undefined the
// character with the byte's own value. Empty when the system does not know
// the code page.
std::optional<CodePageChars> ReadCodePage(const std::string& name);

}  // namespace tarvo::platform
