// Reading a code page on POSIX: through iconv, byte by byte. The iconv
// descriptor is opened and closed within one call.
#include <iconv.h>

#include "platform/codepage_table.h"

namespace tarvo::platform {

std::optional<CodePageChars> ReadCodePage(const std::string& name) {
  iconv_t cd = iconv_open("UTF-16LE", name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  CodePageChars chars{};
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    char out[8];
    char* in_ptr = &in;
    char* out_ptr = out;
    std::size_t in_left = 1;
    std::size_t out_left = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    const std::size_t rc = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    char16_t ch = static_cast<char16_t>(b);  // undefined bytes keep their value
    if (rc != static_cast<std::size_t>(-1) && in_left == 0 && sizeof out - out_left == 2) {
      ch = static_cast<char16_t>(static_cast<unsigned char>(out[0]) |
                                 (static_cast<unsigned char>(out[1]) << 8));
    }
    chars[static_cast<std::size_t>(b)] = ch;
  }
  iconv_close(cd);
  return chars;
}

}  // namespace tarvo::platform
