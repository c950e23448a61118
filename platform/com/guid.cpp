// GUID text forms: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#include "platform/com/com_runtime.h"

namespace {

constexpr int kGuidChars = 38;  // without the terminator

int HexDigit(OLECHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Reads `digits` hex digits at `text`; false on anything else.
bool ReadHex(const OLECHAR* text, int digits, std::uint64_t& out) {
  out = 0;
  for (int i = 0; i < digits; ++i) {
    const int d = HexDigit(text[i]);
    if (d < 0) return false;
    out = (out << 4) | static_cast<unsigned>(d);
  }
  return true;
}

}  // namespace

extern "C" {

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (lpsz == nullptr || cchMax < kGuidChars + 1) return 0;
  static constexpr char kHex[] = "0123456789ABCDEF";
  int pos = 0;
  auto put = [&](std::uint64_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
      lpsz[pos++] = static_cast<OLECHAR>(kHex[(value >> shift) & 0xF]);
  };
  lpsz[pos++] = u'{';
  put(rguid.Data1, 8);
  lpsz[pos++] = u'-';
  put(rguid.Data2, 4);
  lpsz[pos++] = u'-';
  put(rguid.Data3, 4);
  lpsz[pos++] = u'-';
  put(rguid.Data4[0], 2);
  put(rguid.Data4[1], 2);
  lpsz[pos++] = u'-';
  for (int i = 2; i < 8; ++i) put(rguid.Data4[i], 2);
  lpsz[pos++] = u'}';
  lpsz[pos++] = 0;
  return pos;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid) {
  if (pclsid == nullptr) return E_INVALIDARG;
  if (lpsz == nullptr) {
    *pclsid = IID_NULL;
    return S_OK;
  }
  int length = 0;
  while (length <= kGuidChars && lpsz[length] != 0) ++length;
  if (length != kGuidChars || lpsz[0] != u'{' || lpsz[37] != u'}' || lpsz[9] != u'-' ||
      lpsz[14] != u'-' || lpsz[19] != u'-' || lpsz[24] != u'-')
    return CO_E_CLASSSTRING;
  GUID guid{};
  std::uint64_t v = 0;
  if (!ReadHex(lpsz + 1, 8, v)) return CO_E_CLASSSTRING;
  guid.Data1 = static_cast<std::uint32_t>(v);
  if (!ReadHex(lpsz + 10, 4, v)) return CO_E_CLASSSTRING;
  guid.Data2 = static_cast<std::uint16_t>(v);
  if (!ReadHex(lpsz + 15, 4, v)) return CO_E_CLASSSTRING;
  guid.Data3 = static_cast<std::uint16_t>(v);
  static constexpr int kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(lpsz + kByteAt[i], 2, v)) return CO_E_CLASSSTRING;
    guid.Data4[i] = static_cast<std::uint8_t>(v);
  }
  *pclsid = guid;
  return S_OK;
}

}  // extern "C"
