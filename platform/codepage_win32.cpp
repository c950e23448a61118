// Reading a code page on Windows: MultiByteToWideChar, byte by byte. The name
// is "CPnnnn" (the number of a Windows code page); a byte the code page leaves
// undefined (MultiByteToWideChar refuses it with MB_ERR_INVALID_CHARS) keeps
// its own value, as on Linux.
//
// Narrowing goes through the table built here, which gives exactly what
// WideCharToMultiByte without best-fit mapping and with "?" as the default
// character gives, and in addition keeps the undefined bytes' round trip.
#include <windows.h>

#include <cstdlib>

#include "platform/codepage_table.h"

namespace tarvo::platform {
namespace {

// The number of "CPnnnn", or 0 when the name is not of that form.
UINT CodePageNumber(const std::string& name) {
  if (name.size() < 3 || name.size() > 8) return 0;
  if ((name[0] != 'C' && name[0] != 'c') || (name[1] != 'P' && name[1] != 'p')) return 0;
  UINT number = 0;
  for (std::size_t i = 2; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    number = number * 10 + static_cast<UINT>(name[i] - '0');
  }
  return number;
}

}  // namespace

std::optional<CodePageChars> ReadCodePage(const std::string& name) {
  const UINT page = CodePageNumber(name);
  if (page == 0 || !::IsValidCodePage(page)) return std::nullopt;
  CPINFO info{};
  if (!::GetCPInfo(page, &info) || info.MaxCharSize != 1) return std::nullopt;  // 8-bit pages only
  CodePageChars chars{};
  for (int b = 0; b < 256; ++b) {
    const char in = static_cast<char>(b);
    wchar_t out[2] = {};
    const int n = ::MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, &in, 1, out, 2);
    chars[static_cast<std::size_t>(b)] =
        n == 1 ? static_cast<char16_t>(out[0]) : static_cast<char16_t>(b);
  }
  return chars;
}

}  // namespace tarvo::platform
