// VariantChangeType (platform/com/variant.cpp) from arbitrary text (the input
// read as UTF-16LE) into every number type and Boolean:
//   - the result is S_OK with the target type, DISP_E_OVERFLOW or
//     DISP_E_TYPEMISMATCH, and undefined behaviour is a finding;
//   - a whole number becomes currency exactly when it is within the
//     currency range (up to 922337203685477), as the number times 10000;
//   - currency written as text reads back as the same currency.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "platform/com/com_runtime.h"

namespace {

constexpr VARTYPE kTargets[] = {VT_I1, VT_I2, VT_I4, VT_INT, VT_I8, VT_UI1, VT_UI2, VT_UI4,
                                VT_UINT, VT_UI8, VT_R4, VT_R8, VT_CY, VT_BOOL};

// A text that is a whole decimal number: blanks, an optional sign, digits,
// blanks. `digits` without leading zeros.
struct WholeText {
  bool negative = false;
  std::string digits;
};

bool IsBlank(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

std::optional<WholeText> ReadWhole(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  WholeText w;
  if (!text.empty() && (text.front() == u'+' || text.front() == u'-')) {
    w.negative = text.front() == u'-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    if (c != u'0' || !w.digits.empty()) w.digits.push_back(static_cast<char>(c));
  }
  return w;
}

HRESULT Convert(const VARIANT& in, VARTYPE vt, VARIANT& out) {
  VariantInit(&out);
  const HRESULT hr = VariantChangeType(&out, &in, 0, vt);
  FUZZ_CHECK(hr == S_OK || hr == DISP_E_OVERFLOW || hr == DISP_E_TYPEMISMATCH,
             "a conversion succeeds, overflows or does not apply");
  FUZZ_CHECK(hr != S_OK || out.vt == vt, "a converted value has the target type");
  return hr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  VARIANT in;
  VariantInit(&in);
  in.vt = VT_BSTR;
  in.bstrVal = tarvo::com::AllocBstr(text);

  VARIANT results[std::size(kTargets)];
  HRESULT codes[std::size(kTargets)];
  for (std::size_t t = 0; t < std::size(kTargets); ++t) codes[t] = Convert(in, kTargets[t], results[t]);

  const VARIANT& cy = results[12];
  if (const std::optional<WholeText> w = ReadWhole(text)) {
    const bool fits = w->digits.size() < 15 || (w->digits.size() == 15 && w->digits <= "922337203685477");
    FUZZ_CHECK((codes[12] == S_OK) == fits, "a whole number is currency exactly within range");
    if (fits) {
      const std::int64_t magnitude = w->digits.empty() ? 0 : std::stoll(w->digits);
      FUZZ_CHECK(cy.cyVal.int64 == (w->negative ? -magnitude : magnitude) * 10000,
                 "currency is the number times 10000");
    }
  }
  if (codes[12] == S_OK) {
    VARIANT as_text;
    VARIANT back;
    FUZZ_CHECK(Convert(cy, VT_BSTR, as_text) == S_OK, "currency has a text");
    FUZZ_CHECK(Convert(as_text, VT_CY, back) == S_OK && back.cyVal.int64 == cy.cyVal.int64,
               "currency text reads back as the same currency");
    VariantClear(&as_text);
  }
  for (VARIANT& r : results) VariantClear(&r);
  VariantClear(&in);
  return 0;
}
