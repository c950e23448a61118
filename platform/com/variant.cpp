// VARIANT lifetime helpers and the OLE automation coercion rules.
//
// VariantChangeType reduces the source to a few shapes (whole number, real,
// currency, text, Boolean) and stores the shape in the target type:
//  - whole numbers out of the target's range fail with DISP_E_OVERFLOW,
//    except between the signed and unsigned types of one width, which
//    reinterpret the bits (VT_I4 -1 is VT_UI4 4294967295), as the reference
//    implementation does;
//  - reals and currency round half to even when they become whole numbers;
//  - text is parsed as a decimal number with optional blanks and sign,
//    "True"/"False" are also accepted for VT_BOOL;
//  - a Boolean is -1 or 0 as a number, and wraps like a cast into unsigned
//    types (true into VT_UI1 is 255);
//  - numbers become VT_BOOL true (-1) when non-zero;
//  - VT_EMPTY reads as 0, "" and false; VT_NULL converts to nothing but
//    VT_NULL;
//  - an object converts to a value through its default property
//    (DISPID_VALUE) unless VARIANT_NOVALUEPROP is given.
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/com/com_runtime.h"

namespace {

using Int128 = __int128;

// VARIANT_LOCALBOOL: like VARIANT_ALPHABOOL here, there being one language.
constexpr USHORT kLocalBool = 0x10;

// The types a VARIANT may hold: everything below VT_VOID but the unused 15,
// and records; empty and null neither by reference nor as arrays.
bool IsValidVt(VARTYPE vt) {
  if ((vt & ~(VT_TYPEMASK | VT_BYREF | VT_ARRAY)) != 0) return false;
  const VARTYPE base = vt & VT_TYPEMASK;
  if (base <= VT_NULL) return (vt & (VT_BYREF | VT_ARRAY)) == 0;
  return (base < VT_VOID && base != 15) || base == VT_RECORD;
}

// Size of the value a VT_BYREF variant points at (0: not supported here).
std::size_t ByrefSize(VARTYPE base) {
  switch (base) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE: return 8;
    case VT_BSTR: case VT_DISPATCH: case VT_UNKNOWN: return sizeof(void*);
    default: return 0;
  }
}

// A non-owning, dereferenced view of `src`: what a VT_BYREF variant points at,
// or `src` itself.
HRESULT Deref(const VARIANT& src, VARIANT& view) {
  std::memset(&view, 0, sizeof view);
  if ((src.vt & VT_BYREF) == 0) {
    view = src;
    return S_OK;
  }
  const VARTYPE base = src.vt & ~VT_BYREF;
  if (src.byref == nullptr) return E_INVALIDARG;
  if (base == VT_VARIANT) {
    // One more level at most: a variant that points at a variant reference
    // is refused.
    const VARIANT& inner = *src.pvarVal;
    if (inner.vt == (VT_VARIANT | VT_BYREF)) return E_INVALIDARG;
    return Deref(inner, view);
  }
  if (base == VT_DECIMAL) {
    view.decVal = *src.pdecVal;
    view.vt = VT_DECIMAL;
    return S_OK;
  }
  const std::size_t size = ByrefSize(base);
  if (size == 0) return DISP_E_TYPEMISMATCH;
  std::memcpy(&view.llVal, src.byref, size);
  view.vt = base;
  return S_OK;
}

// --- numbers -------------------------------------------------------------------

struct Number {
  enum Kind { kWhole, kReal, kCurrency } kind = kWhole;
  Int128 whole = 0;       // kWhole
  double real = 0;        // kReal
  LONGLONG currency = 0;  // kCurrency: value * 10000
  // Decimal text read exactly: the value is `digits` / 10^`scale`. Set when
  // the text has at most 36 significant digits, so currency taken from text
  // is exact instead of passing through a double.
  bool exact = false;
  Int128 digits = 0;
  long scale = 0;
  bool from_bool = false;  // wraps like a cast into any integer type
  int source_bits = 0;     // integer sources: wrap into the same width
};

struct IntRange {
  Int128 lo;
  Int128 hi;
  int bits;
};

bool IntegerRange(VARTYPE vt, IntRange& r) {
  switch (vt) {
    case VT_I1: r = {-128, 127, 8}; return true;
    case VT_I2: r = {-32768, 32767, 16}; return true;
    case VT_I4: case VT_INT: r = {INT32_MIN, INT32_MAX, 32}; return true;
    case VT_I8: r = {INT64_MIN, INT64_MAX, 64}; return true;
    case VT_UI1: r = {0, 255, 8}; return true;
    case VT_UI2: r = {0, 65535, 16}; return true;
    case VT_UI4: case VT_UINT: r = {0, UINT32_MAX, 32}; return true;
    case VT_UI8: r = {0, static_cast<Int128>(UINT64_MAX), 64}; return true;
    default: return false;
  }
}

bool IsBlank(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

Int128 DivideRounded(Int128 value, Int128 unit);

// Decimal text: blanks, optional sign, digits with an optional decimal point,
// optional exponent, blanks.
HRESULT ParseNumber(std::u16string_view text, Number& out) {
  text = Trim(text);
  std::string ascii;
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  std::size_t digits = 0;
  std::size_t significant = 0;  // digits after the leading zeros
  long fraction_digits = 0;
  Int128 mantissa = 0;          // exact while significant <= 36
  bool fraction = false;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= u'0' && c <= u'9') {
      ascii.push_back(static_cast<char>(c));
      ++digits;
      if (significant > 0 || c != u'0') ++significant;
      if (significant <= 36) mantissa = mantissa * 10 + (c - u'0');
      if (fraction) ++fraction_digits;
    } else if (c == u'.' && !fraction) {
      ascii.push_back('.');
      fraction = true;
    } else {
      break;
    }
  }
  if (digits == 0) return DISP_E_TYPEMISMATCH;
  bool exponent = false;
  long exponent_value = 0;  // saturates: beyond this every value is 0 or overflows
  constexpr long kExponentLimit = 100000;
  if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
    exponent = true;
    ascii.push_back('e');
    ++i;
    bool exponent_negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
      exponent_negative = text[i] == u'-';
      ascii.push_back(static_cast<char>(text[i++]));
    }
    std::size_t exp_digits = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i, ++exp_digits) {
      ascii.push_back(static_cast<char>(text[i]));
      if (exponent_value < kExponentLimit) exponent_value = exponent_value * 10 + (text[i] - u'0');
    }
    if (exp_digits == 0) return DISP_E_TYPEMISMATCH;
    if (exponent_negative) exponent_value = -exponent_value;
  }
  if (i != text.size()) return DISP_E_TYPEMISMATCH;

  if (!fraction && !exponent && significant <= 36) {
    out.kind = Number::kWhole;
    out.whole = negative ? -mantissa : mantissa;
    return S_OK;
  }
  double value = 0;
  const auto [end, ec] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Either too large (overflow) or so small that it reads as zero.
    const auto e = ascii.find('e');
    if (e != std::string::npos && ascii[e + 1] == '-') {
      value = 0;
    } else {
      return DISP_E_OVERFLOW;
    }
  } else if (ec != std::errc() || end != ascii.data() + ascii.size()) {
    return DISP_E_TYPEMISMATCH;
  }
  out.kind = Number::kReal;
  out.real = negative ? -value : value;
  if (significant <= 36) {
    out.exact = true;
    out.digits = negative ? -mantissa : mantissa;
    out.scale = fraction_digits - exponent_value;
  }
  return S_OK;
}

// Exact decimal (`digits` / 10^`scale`) to currency (value * 10000), rounding
// half to even; false when it does not fit.
bool ExactToCurrency(Int128 digits, long scale, Int128& out) {
  constexpr Int128 kMin = INT64_MIN;
  constexpr Int128 kMax = INT64_MAX;
  long shift = 4 - scale;  // power of ten to multiply by
  if (digits == 0) {
    out = 0;
    return true;
  }
  if (shift >= 0) {
    Int128 v = digits;
    for (; shift > 0; --shift) {
      if (v > kMax / 10 || v < kMin / 10) return false;
      v *= 10;
    }
    if (v < kMin || v > kMax) return false;
    out = v;
    return true;
  }
  // |digits| < 10^36, so dividing by 10^38 or more leaves less than a half.
  if (-shift > 38) {
    out = 0;
    return true;
  }
  Int128 unit = 1;
  for (long k = 0; k < -shift; ++k) unit *= 10;
  out = DivideRounded(digits, unit);
  return out >= kMin && out <= kMax;
}

// Reads a number from a dereferenced source that is not an object.
HRESULT ReadNumber(const VARIANT& v, Number& n) {
  n = Number{};
  switch (v.vt) {
    case VT_EMPTY: n.whole = 0; return S_OK;
    case VT_I1: n.whole = static_cast<signed char>(v.cVal); n.source_bits = 8; return S_OK;
    case VT_I2: n.whole = v.iVal; n.source_bits = 16; return S_OK;
    case VT_I4: n.whole = v.lVal; n.source_bits = 32; return S_OK;
    case VT_INT: n.whole = v.intVal; n.source_bits = 32; return S_OK;
    case VT_I8: n.whole = v.llVal; n.source_bits = 64; return S_OK;
    case VT_UI1: n.whole = v.bVal; n.source_bits = 8; return S_OK;
    case VT_UI2: n.whole = v.uiVal; n.source_bits = 16; return S_OK;
    case VT_UI4: n.whole = v.ulVal; n.source_bits = 32; return S_OK;
    case VT_UINT: n.whole = v.uintVal; n.source_bits = 32; return S_OK;
    case VT_UI8: n.whole = v.ullVal; n.source_bits = 64; return S_OK;
    case VT_BOOL:
      n.whole = v.boolVal;
      n.from_bool = true;
      return S_OK;
    case VT_R4: n.kind = Number::kReal; n.real = v.fltVal; return S_OK;
    case VT_R8: n.kind = Number::kReal; n.real = v.dblVal; return S_OK;
    case VT_CY: n.kind = Number::kCurrency; n.currency = v.cyVal.int64; return S_OK;
    case VT_BSTR:
      return ParseNumber(std::u16string_view(v.bstrVal == nullptr ? u"" : v.bstrVal,
                                             SysStringLen(v.bstrVal)),
                         n);
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// Divides by `unit`, rounding half to even.
Int128 DivideRounded(Int128 value, Int128 unit) {
  Int128 q = value / unit;
  const Int128 r = value % unit;
  const Int128 twice = (r < 0 ? -r : r) * 2;
  if (twice > unit || (twice == unit && (q & 1) != 0)) q += value < 0 ? -1 : 1;
  return q;
}

// Real to whole, rounding half to even; false when out of [lo, hi].
bool RealToWhole(double real, Int128 lo, Int128 hi, Int128& out) {
  if (std::isnan(real)) return false;
  const double rounded = std::nearbyint(real);  // default rounding: half to even
  // Compare against bounds that doubles hold exactly (hi + 1 is 2^n).
  if (rounded < static_cast<double>(lo) || rounded >= static_cast<double>(hi + 1)) return false;
  out = static_cast<Int128>(rounded);
  return true;
}

HRESULT StoreWhole(const Number& n, VARTYPE vt, VARIANT& out) {
  IntRange range{};
  IntegerRange(vt, range);
  Int128 v = 0;
  switch (n.kind) {
    case Number::kWhole:
      v = n.whole;
      if (n.from_bool || n.source_bits == range.bits) {
        // Wraps into the target width like a C cast: a Boolean always, a
        // signed or unsigned integer of the same width as the target too.
        const Int128 modulus = static_cast<Int128>(1) << range.bits;
        v = ((v % modulus) + modulus) % modulus;
        if (range.lo < 0 && v > range.hi) v -= modulus;
      }
      break;
    case Number::kReal:
      if (!RealToWhole(n.real, range.lo, range.hi, v)) return DISP_E_OVERFLOW;
      break;
    case Number::kCurrency:
      v = DivideRounded(n.currency, 10000);
      break;
  }
  if (v < range.lo || v > range.hi) return DISP_E_OVERFLOW;
  out.vt = vt;
  switch (vt) {
    case VT_I1: out.cVal = static_cast<char>(static_cast<signed char>(v)); break;
    case VT_I2: out.iVal = static_cast<SHORT>(v); break;
    case VT_I4: out.lVal = static_cast<LONG>(v); break;
    case VT_INT: out.intVal = static_cast<INT>(v); break;
    case VT_I8: out.llVal = static_cast<LONGLONG>(v); break;
    case VT_UI1: out.bVal = static_cast<BYTE>(v); break;
    case VT_UI2: out.uiVal = static_cast<USHORT>(v); break;
    case VT_UI4: out.ulVal = static_cast<ULONG>(v); break;
    case VT_UINT: out.uintVal = static_cast<UINT>(v); break;
    default: out.ullVal = static_cast<ULONGLONG>(v); break;
  }
  return S_OK;
}

double AsReal(const Number& n) {
  switch (n.kind) {
    case Number::kWhole: return static_cast<double>(n.whole);
    case Number::kReal: return n.real;
    default: return static_cast<double>(n.currency) / 10000.0;
  }
}

HRESULT StoreNumber(const Number& n, VARTYPE vt, VARIANT& out) {
  switch (vt) {
    case VT_R8:
      out.vt = VT_R8;
      out.dblVal = AsReal(n);
      return S_OK;
    case VT_R4: {
      const double real = AsReal(n);
      if (real < -FLT_MAX || real > FLT_MAX) return DISP_E_OVERFLOW;
      out.vt = VT_R4;
      out.fltVal = static_cast<float>(real);
      return S_OK;
    }
    case VT_CY: {
      Int128 scaled = 0;
      if (n.kind == Number::kCurrency) {
        scaled = n.currency;
      } else if (n.kind == Number::kWhole) {
        // Checked before scaling: a whole number read from text has up to 36
        // digits, and 10^36 * 10000 does not fit even 128 bits.
        if (n.whole < INT64_MIN / 10000 || n.whole > INT64_MAX / 10000) return DISP_E_OVERFLOW;
        scaled = n.whole * 10000;
      } else if (n.exact) {
        if (!ExactToCurrency(n.digits, n.scale, scaled)) return DISP_E_OVERFLOW;
      } else if (!RealToWhole(n.real * 10000.0, INT64_MIN, INT64_MAX, scaled)) {
        return DISP_E_OVERFLOW;
      }
      out.vt = VT_CY;
      out.cyVal.int64 = static_cast<LONGLONG>(scaled);
      return S_OK;
    }
    case VT_BOOL: {
      bool value = false;
      switch (n.kind) {
        case Number::kWhole: value = n.whole != 0; break;
        case Number::kReal: value = n.real != 0; break;
        case Number::kCurrency: value = n.currency != 0; break;
      }
      out.vt = VT_BOOL;
      out.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
    default:
      return StoreWhole(n, vt, out);
  }
}

// --- text -----------------------------------------------------------------------

std::string WholeText(Int128 v) {
  if (v == 0) return "0";
  const bool negative = v < 0;
  unsigned __int128 mag = negative ? -static_cast<unsigned __int128>(v) : v;
  std::string digits;
  while (mag != 0) {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(mag % 10)));
    mag /= 10;
  }
  return negative ? "-" + digits : digits;
}

// Shortest general form with the given significant digits, exponent in
// capitals ("1.5", "1E+20"), as the reference formats reals.
std::string RealText(double v, int precision) {
  char buf[64];
  const auto [end, ec] =
      std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, precision);
  std::string text(buf, ec == std::errc() ? end : buf);
  for (char& c : text)
    if (c == 'e') c = 'E';
  if (text == "-0") text = "0";
  return text;
}

std::string CurrencyText(LONGLONG value) {
  const Int128 v = value;
  std::string text = WholeText(v / 10000);
  Int128 frac = v % 10000;
  if (frac != 0) {
    if (v < 0 && v / 10000 == 0) text = "-" + text;
    if (frac < 0) frac = -frac;
    std::string digits = WholeText(frac);
    digits.insert(0, 4 - digits.size(), '0');
    while (digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text;
}

HRESULT StoreText(std::string_view ascii, VARIANT& out) {
  const std::u16string wide(ascii.begin(), ascii.end());
  BSTR bstr = tarvo::com::AllocBstr(wide);
  if (bstr == nullptr) return E_OUTOFMEMORY;
  out.vt = VT_BSTR;
  out.bstrVal = bstr;
  return S_OK;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// --- objects --------------------------------------------------------------------

// The default property (DISPID_VALUE) of an object.
HRESULT ValueProperty(IDispatch* disp, VARIANT& value) {
  VariantInit(&value);
  if (disp == nullptr) return DISP_E_TYPEMISMATCH;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  const HRESULT hr = disp->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none,
                                  &value, nullptr, nullptr);
  if (FAILED(hr)) {
    VariantClear(&value);
    return DISP_E_TYPEMISMATCH;
  }
  return S_OK;
}

HRESULT Coerce(VARIANT& out, const VARIANT& in, USHORT flags, VARTYPE vt);

HRESULT CoerceThroughValue(VARIANT& out, const VARIANT& in, USHORT flags, VARTYPE vt) {
  if ((flags & VARIANT_NOVALUEPROP) != 0) return DISP_E_TYPEMISMATCH;
  VARIANT value;
  HRESULT hr = ValueProperty(in.pdispVal, value);
  if (FAILED(hr)) return hr;
  VARIANT direct;
  hr = Deref(value, direct);
  if (SUCCEEDED(hr)) hr = Coerce(out, direct, flags | VARIANT_NOVALUEPROP, vt);
  VariantClear(&value);
  return hr;
}

HRESULT QueryInto(IUnknown* unk, REFIID iid, VARTYPE vt, VARIANT& out) {
  void* itf = nullptr;
  if (unk != nullptr && FAILED(unk->QueryInterface(iid, &itf))) return DISP_E_TYPEMISMATCH;
  out.vt = vt;
  out.punkVal = static_cast<IUnknown*>(itf);
  return S_OK;
}

// `in` is dereferenced; `out` is empty and receives an owned value.
HRESULT Coerce(VARIANT& out, const VARIANT& in, USHORT flags, VARTYPE vt) {
  if (in.vt == vt) return VariantCopy(&out, &in);
  if ((in.vt & VT_ARRAY) != 0) return DISP_E_TYPEMISMATCH;
  if (in.vt == VT_DISPATCH && vt != VT_UNKNOWN && (flags & VARIANT_NOVALUEPROP) != 0)
    return DISP_E_TYPEMISMATCH;
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      if ((vt == VT_EMPTY && in.vt == VT_NULL) || in.vt == VT_ERROR || in.vt > VT_UINT)
        return DISP_E_TYPEMISMATCH;
      out.vt = vt;
      return S_OK;

    case VT_I1: case VT_I2: case VT_I4: case VT_INT: case VT_I8:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_UINT: case VT_UI8:
    case VT_R4: case VT_R8: case VT_CY: case VT_BOOL: {
      if (in.vt == VT_DISPATCH) return CoerceThroughValue(out, in, flags, vt);
      if (vt == VT_BOOL && in.vt == VT_BSTR) {
        const std::u16string_view text =
            Trim(std::u16string_view(in.bstrVal == nullptr ? u"" : in.bstrVal,
                                     SysStringLen(in.bstrVal)));
        if (EqualsNoCase(text, u"True") || EqualsNoCase(text, u"False")) {
          out.vt = VT_BOOL;
          out.boolVal = EqualsNoCase(text, u"True") ? VARIANT_TRUE : VARIANT_FALSE;
          return S_OK;
        }
      }
      Number n;
      const HRESULT hr = ReadNumber(in, n);
      if (FAILED(hr)) return hr;
      return StoreNumber(n, vt, out);
    }

    case VT_BSTR:
      switch (in.vt) {
        case VT_EMPTY: return StoreText("", out);
        case VT_BOOL:
          if ((flags & (VARIANT_ALPHABOOL | kLocalBool)) != 0)
            return StoreText(in.boolVal != 0 ? "True" : "False", out);
          return StoreText(WholeText(in.boolVal), out);
        case VT_R4: return StoreText(RealText(in.fltVal, 7), out);
        case VT_R8: return StoreText(RealText(in.dblVal, 15), out);
        case VT_CY: return StoreText(CurrencyText(in.cyVal.int64), out);
        case VT_DISPATCH: return CoerceThroughValue(out, in, flags, vt);
        case VT_I1: case VT_I2: case VT_I4: case VT_INT: case VT_I8:
        case VT_UI1: case VT_UI2: case VT_UI4: case VT_UINT: case VT_UI8: {
          Number n;
          ReadNumber(in, n);
          return StoreText(WholeText(n.whole), out);
        }
        default:
          return DISP_E_TYPEMISMATCH;
      }

    case VT_DISPATCH:
      if (in.vt != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
      return QueryInto(in.punkVal, IID_IDispatch, VT_DISPATCH, out);

    case VT_UNKNOWN:
      if (in.vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
      return QueryInto(in.pdispVal, IID_IUnknown, VT_UNKNOWN, out);

    default:  // VT_ERROR only from itself; dates, decimals and records not at all
      return DISP_E_TYPEMISMATCH;
  }
}

}  // namespace

extern "C" {

void VariantInit(VARIANTARG* pvarg) {
  if (pvarg != nullptr) std::memset(pvarg, 0, sizeof *pvarg);
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  if (!IsValidVt(pvarg->vt)) return DISP_E_BADVARTYPE;
  switch (pvarg->vt) {
    case VT_BSTR:
      SysFreeString(pvarg->bstrVal);
      break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
      if (pvarg->punkVal != nullptr) pvarg->punkVal->Release();
      break;
    default:  // by-reference values belong to the caller
      break;
  }
  std::memset(pvarg, 0, sizeof *pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  if (!IsValidVt(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  // No safe arrays or records in this runtime.
  if ((pvargSrc->vt & (VT_ARRAY | VT_BYREF)) == VT_ARRAY || pvargSrc->vt == VT_RECORD)
    return DISP_E_BADVARTYPE;
  VARIANT copy = *pvargSrc;
  if (copy.vt == VT_BSTR && copy.bstrVal != nullptr) {
    copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(pvargSrc->bstrVal),
                                         SysStringByteLen(pvargSrc->bstrVal));
    if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
  } else if ((copy.vt == VT_DISPATCH || copy.vt == VT_UNKNOWN) && copy.punkVal != nullptr) {
    copy.punkVal->AddRef();
  }
  const HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *pvargDest = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
  if (pvarDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if ((pvargSrc->vt & VT_BYREF) == 0) return VariantCopy(pvarDest, pvargSrc);
  if (!IsValidVt(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  VARIANT view;
  HRESULT hr = Deref(*pvargSrc, view);
  if (FAILED(hr)) return hr;
  VARIANT copy;
  VariantInit(&copy);
  hr = VariantCopy(&copy, &view);
  if (FAILED(hr)) return hr;
  hr = VariantClear(pvarDest);  // by-reference source: nothing is freed even in place
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *pvarDest = copy;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt) {
  if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  if (!IsValidVt(pvarSrc->vt) || !IsValidVt(vt)) return DISP_E_BADVARTYPE;
  if (pvarSrc->vt == vt) return VariantCopy(pvargDest, pvarSrc);
  if ((vt & (VT_BYREF | VT_ARRAY)) != 0) return DISP_E_TYPEMISMATCH;
  if ((pvarSrc->vt & VT_BYREF) != 0 && pvarSrc->byref == nullptr) return DISP_E_TYPEMISMATCH;
  VARIANT view;
  HRESULT hr = Deref(*pvarSrc, view);
  if (FAILED(hr)) return hr;
  VARIANT result;
  VariantInit(&result);
  hr = Coerce(result, view, wFlags, vt);
  if (FAILED(hr)) return hr;
  // The result owns its value, so the destination (possibly the source) can go.
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *pvargDest = result;
  return S_OK;
}

}  // extern "C"
