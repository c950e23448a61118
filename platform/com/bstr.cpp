// BSTR allocation: a 32-bit byte count, the UTF-16 text, then a 16-bit zero
// that the count does not include. The pointer handed out is the text.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/com/com_internal.h"
#include "platform/com/com_runtime.h"

namespace {

constexpr std::size_t kPrefix = sizeof(std::uint32_t);

// Allocates room for `bytes` bytes of text; the text and terminator are zeroed.
BSTR AllocBytes(std::size_t bytes) {
  if (bytes > std::numeric_limits<std::uint32_t>::max() - 16) return nullptr;
  void* block = std::calloc(1, kPrefix + bytes + sizeof(OLECHAR) + 1);
  if (block == nullptr) return nullptr;
  const auto count = static_cast<std::uint32_t>(bytes);
  std::memcpy(block, &count, kPrefix);
  return reinterpret_cast<BSTR>(static_cast<char*>(block) + kPrefix);
}

std::uint32_t ByteCount(BSTR bstr) {
  std::uint32_t count;
  std::memcpy(&count, reinterpret_cast<const char*>(bstr) - kPrefix, kPrefix);
  return count;
}

std::size_t TextLength(const OLECHAR* psz) {
  std::size_t n = 0;
  while (psz[n] != 0) ++n;
  return n;
}

}  // namespace

extern "C" {

BSTR SysAllocString(const OLECHAR* psz) {
  if (psz == nullptr) return nullptr;
  return SysAllocStringLen(psz, static_cast<UINT>(TextLength(psz)));
}

BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) {
  BSTR bstr = AllocBytes(static_cast<std::size_t>(cch) * sizeof(OLECHAR));
  if (bstr != nullptr && pch != nullptr) std::memcpy(bstr, pch, cch * sizeof(OLECHAR));
  return bstr;
}

BSTR SysAllocStringByteLen(const char* psz, UINT len) {
  BSTR bstr = AllocBytes(len);
  if (bstr != nullptr && psz != nullptr) std::memcpy(bstr, psz, len);
  return bstr;
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (pbstr == nullptr) return 0;
  // The new text may lie inside the old string: copy before freeing.
  BSTR fresh = SysAllocString(psz);
  if (fresh == nullptr && psz != nullptr) return 0;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return 1;
}

void SysFreeString(BSTR bstr) {
  if (bstr != nullptr) std::free(reinterpret_cast<char*>(bstr) - kPrefix);
}

UINT SysStringLen(BSTR bstr) {
  return bstr == nullptr ? 0 : ByteCount(bstr) / sizeof(OLECHAR);
}

UINT SysStringByteLen(BSTR bstr) { return bstr == nullptr ? 0 : ByteCount(bstr); }

}  // extern "C"

namespace tarvo::com {

BSTR AllocBstr(const std::u16string& text) {
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

std::u16string BstrText(BSTR bstr) {
  if (bstr == nullptr) return {};
  return std::u16string(bstr, SysStringLen(bstr));
}

namespace detail {

std::u16string Utf16FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    char32_t cp;
    std::size_t extra;
    if (lead < 0x80) {
      cp = lead;
      extra = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      cp = lead & 0x1F;
      extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      cp = lead & 0x0F;
      extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      cp = lead & 0x07;
      extra = 3;
    } else {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    bool ok = i + extra < text.size();
    for (std::size_t k = 1; ok && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) ok = false;
      else cp = (cp << 6) | (next & 0x3F);
    }
    if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

}  // namespace detail
}  // namespace tarvo::com
