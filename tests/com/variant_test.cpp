// BSTR layout, VARIANT lifetime and the coercion rules of VariantChangeType.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "platform/com/com_runtime.h"

namespace {

using tarvo::com::AllocBstr;
using tarvo::com::BstrText;

TEST(Bstr, LengthPrefixCountsBytesAndTextEndsInZero) {
  BSTR s = SysAllocString(u"Kassa");
  ASSERT_NE(s, nullptr);
  std::uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<const char*>(s) - 4, 4);
  EXPECT_EQ(prefix, 10u);
  EXPECT_EQ(SysStringLen(s), 5u);
  EXPECT_EQ(SysStringByteLen(s), 10u);
  EXPECT_EQ(s[5], u'\0');
  SysFreeString(s);

  // Embedded zeros count; odd byte lengths are kept as they are.
  BSTR z = SysAllocStringLen(u"a\0b", 3);
  EXPECT_EQ(SysStringLen(z), 3u);
  EXPECT_EQ(BstrText(z), std::u16string(u"a\0b", 3));
  SysFreeString(z);
  BSTR odd = SysAllocStringByteLen("abc", 3);
  EXPECT_EQ(SysStringByteLen(odd), 3u);
  EXPECT_EQ(SysStringLen(odd), 1u);
  EXPECT_EQ(std::memcmp(odd, "abc\0\0", 5), 0);
  SysFreeString(odd);

  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_EQ(BstrText(nullptr), u"");
}

TEST(Bstr, ReAllocFromOwnTextAndConveniences) {
  BSTR s = AllocBstr(u"pénztárgép");
  EXPECT_EQ(BstrText(s), u"pénztárgép");
  // The new text may be part of the old string.
  ASSERT_EQ(SysReAllocString(&s, s + 4), 1);
  EXPECT_EQ(BstrText(s), u"tárgép");
  ASSERT_EQ(SysReAllocString(&s, nullptr), 1);
  EXPECT_EQ(s, nullptr);
  BSTR empty = AllocBstr(u"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);
}

// A counted object to watch references.
struct Counted : IDispatch {
  ULONG refs = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  // The default property reads 42 unless `no_value`.
  bool no_value = false;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    if (no_value || id != DISPID_VALUE || (flags & DISPATCH_PROPERTYGET) == 0)
      return DISP_E_MEMBERNOTFOUND;
    result->vt = VT_I4;
    result->lVal = 42;
    return S_OK;
  }
};

TEST(Variant, CopyAndClearOwnStringsAndReferences) {
  Counted obj;
  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
  EXPECT_EQ(a.vt, VT_EMPTY);

  a.vt = VT_BSTR;
  a.bstrVal = AllocBstr(u"text");
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_NE(b.bstrVal, a.bstrVal);  // a deep copy
  EXPECT_EQ(BstrText(b.bstrVal), u"text");

  // Copying over a string frees it; copying an object adds a reference.
  VARIANT o;
  VariantInit(&o);
  o.vt = VT_DISPATCH;
  o.pdispVal = &obj;
  obj.AddRef();
  ASSERT_EQ(VariantCopy(&b, &o), S_OK);
  EXPECT_EQ(obj.refs, 3u);
  EXPECT_EQ(VariantClear(&b), S_OK);
  EXPECT_EQ(b.vt, VT_EMPTY);
  EXPECT_EQ(obj.refs, 2u);
  EXPECT_EQ(VariantClear(&o), S_OK);
  EXPECT_EQ(obj.refs, 1u);

  // By reference: the pointed-at value belongs to the caller.
  BSTR owned = AllocBstr(u"owned");
  VARIANT r;
  VariantInit(&r);
  r.vt = VT_BSTR | VT_BYREF;
  r.pbstrVal = &owned;
  ASSERT_EQ(VariantCopyInd(&b, &r), S_OK);
  EXPECT_EQ(b.vt, VT_BSTR);
  EXPECT_EQ(BstrText(b.bstrVal), u"owned");
  EXPECT_NE(b.bstrVal, owned);
  EXPECT_EQ(VariantClear(&r), S_OK);
  EXPECT_EQ(BstrText(owned), u"owned");
  // In place.
  r.vt = VT_BSTR | VT_BYREF;
  r.pbstrVal = &owned;
  ASSERT_EQ(VariantCopyInd(&r, &r), S_OK);
  EXPECT_EQ(r.vt, VT_BSTR);
  EXPECT_NE(r.bstrVal, owned);
  SysFreeString(owned);

  VariantClear(&a);
  VariantClear(&b);
  VariantClear(&r);

  VARIANT bad;
  VariantInit(&bad);
  bad.vt = 0x7F;
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantCopy(&a, &bad), DISP_E_BADVARTYPE);
}

// --- coercion table ----------------------------------------------------------

struct Empty {};
struct Null {};
using Value = std::variant<Empty, Null, signed char, short, int, long long, unsigned char,
                           unsigned short, unsigned, unsigned long long, float, double, bool,
                           std::u16string, CY>;

VARIANT Make(const Value& v, VARTYPE vt) {
  VARIANT out;
  VariantInit(&out);
  out.vt = vt;
  switch (vt) {
    case VT_EMPTY: case VT_NULL: break;
    case VT_I1: out.cVal = static_cast<char>(std::get<signed char>(v)); break;
    case VT_I2: out.iVal = std::get<short>(v); break;
    case VT_I4: out.lVal = std::get<int>(v); break;
    case VT_INT: out.intVal = std::get<int>(v); break;
    case VT_ERROR: out.scode = std::get<int>(v); break;
    case VT_I8: out.llVal = std::get<long long>(v); break;
    case VT_UI1: out.bVal = std::get<unsigned char>(v); break;
    case VT_UI2: out.uiVal = std::get<unsigned short>(v); break;
    case VT_UI4: out.ulVal = std::get<unsigned>(v); break;
    case VT_UINT: out.uintVal = std::get<unsigned>(v); break;
    case VT_UI8: out.ullVal = std::get<unsigned long long>(v); break;
    case VT_R4: out.fltVal = std::get<float>(v); break;
    case VT_R8: out.dblVal = std::get<double>(v); break;
    case VT_BOOL: out.boolVal = std::get<bool>(v) ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_BSTR: out.bstrVal = AllocBstr(std::get<std::u16string>(v)); break;
    case VT_CY: out.cyVal = std::get<CY>(v); break;
    default: ADD_FAILURE() << "no maker for vt " << vt;
  }
  return out;
}

// The value as text, for comparing across types in one table.
std::string Show(const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY: return "empty";
    case VT_NULL: return "null";
    case VT_I1: return std::to_string(static_cast<int>(static_cast<signed char>(v.cVal)));
    case VT_I2: return std::to_string(v.iVal);
    case VT_I4: return std::to_string(v.lVal);
    case VT_INT: return std::to_string(v.intVal);
    case VT_ERROR: return "error " + std::to_string(v.scode);
    case VT_I8: return std::to_string(v.llVal);
    case VT_UI1: return std::to_string(v.bVal);
    case VT_UI2: return std::to_string(v.uiVal);
    case VT_UI4: return std::to_string(v.ulVal);
    case VT_UINT: return std::to_string(v.uintVal);
    case VT_UI8: return std::to_string(v.ullVal);
    case VT_R4: return std::to_string(v.fltVal);
    case VT_R8: return std::to_string(v.dblVal);
    case VT_BOOL: return "bool " + std::to_string(v.boolVal);
    case VT_CY: return "cy " + std::to_string(v.cyVal.int64);
    case VT_BSTR: {
      std::string out = "\"";
      for (char16_t c : BstrText(v.bstrVal)) out.push_back(static_cast<char>(c));
      return out + "\"";
    }
    default: return "vt " + std::to_string(v.vt);
  }
}

struct Case {
  VARTYPE from;
  Value value;
  VARTYPE to;
  HRESULT hr;
  std::string expected;  // Show() of the result when hr is S_OK
  USHORT flags = 0;
};

CY Cy(long long scaled) {
  CY c;
  c.int64 = scaled;
  return c;
}

TEST(VariantChangeType, FollowsTheAutomationCoercionRules) {
  const std::vector<Case> cases = {
      // Integer ranges.
      {VT_I4, -1, VT_UI1, DISP_E_OVERFLOW, ""},
      {VT_I4, 256, VT_UI1, DISP_E_OVERFLOW, ""},
      {VT_I4, 255, VT_UI1, S_OK, "255"},
      {VT_I4, 128, VT_I1, DISP_E_OVERFLOW, ""},
      {VT_I4, -128, VT_I1, S_OK, "-128"},
      {VT_I4, 32768, VT_I2, DISP_E_OVERFLOW, ""},
      {VT_I8, 2147483648LL, VT_I4, DISP_E_OVERFLOW, ""},
      {VT_I8, -2147483648LL, VT_INT, S_OK, "-2147483648"},
      {VT_I4, -1, VT_UI8, DISP_E_OVERFLOW, ""},
      {VT_I2, static_cast<short>(-1), VT_UI4, DISP_E_OVERFLOW, ""},
      {VT_UI2, static_cast<unsigned short>(65535), VT_I1, DISP_E_OVERFLOW, ""},
      // One width, other signedness: the bits are reinterpreted.
      {VT_I4, -1, VT_UI4, S_OK, "4294967295"},
      {VT_INT, -2, VT_UINT, S_OK, "4294967294"},
      {VT_UI8, 18446744073709551615ULL, VT_I8, S_OK, "-1"},
      {VT_I1, static_cast<signed char>(-1), VT_UI1, S_OK, "255"},
      {VT_UI2, static_cast<unsigned short>(40000), VT_I2, S_OK, "-25536"},
      {VT_UI4, 4294967295u, VT_I8, S_OK, "4294967295"},
      {VT_UI1, static_cast<unsigned char>(200), VT_I2, S_OK, "200"},
      // Reals round half to even.
      {VT_R8, 2.5, VT_I4, S_OK, "2"},
      {VT_R8, 3.5, VT_I4, S_OK, "4"},
      {VT_R8, -2.5, VT_I4, S_OK, "-2"},
      {VT_R8, 2.4999, VT_I2, S_OK, "2"},
      {VT_R4, 0.5f, VT_UI1, S_OK, "0"},
      {VT_R8, 254.5, VT_UI1, S_OK, "254"},
      {VT_R8, 255.5, VT_UI1, DISP_E_OVERFLOW, ""},
      {VT_R8, -0.5, VT_UI1, S_OK, "0"},
      {VT_R8, -0.6, VT_UI1, DISP_E_OVERFLOW, ""},
      {VT_R8, 9.3e18, VT_I8, DISP_E_OVERFLOW, ""},
      {VT_R8, 1e40, VT_R4, DISP_E_OVERFLOW, ""},
      {VT_CY, Cy(25000), VT_I4, S_OK, "2"},
      {VT_CY, Cy(35000), VT_I4, S_OK, "4"},
      {VT_CY, Cy(-15001), VT_I4, S_OK, "-2"},
      {VT_I4, 12, VT_CY, S_OK, "cy 120000"},
      {VT_R8, 1.23456, VT_CY, S_OK, "cy 12346"},
      // Text to numbers.
      {VT_BSTR, u"12", VT_I4, S_OK, "12"},
      {VT_BSTR, u" 12 ", VT_I4, S_OK, "12"},
      {VT_BSTR, u"-7", VT_I2, S_OK, "-7"},
      {VT_BSTR, u"+7", VT_UI1, S_OK, "7"},
      {VT_BSTR, u"1.5", VT_I4, S_OK, "2"},
      {VT_BSTR, u"2.5", VT_I4, S_OK, "2"},
      {VT_BSTR, u"1e3", VT_I4, S_OK, "1000"},
      {VT_BSTR, u"abc", VT_I4, DISP_E_TYPEMISMATCH, ""},
      {VT_BSTR, u"12abc", VT_I4, DISP_E_TYPEMISMATCH, ""},
      {VT_BSTR, u"", VT_I4, DISP_E_TYPEMISMATCH, ""},
      {VT_BSTR, u"  ", VT_R8, DISP_E_TYPEMISMATCH, ""},
      {VT_BSTR, u"256", VT_UI1, DISP_E_OVERFLOW, ""},
      {VT_BSTR, u"-1", VT_UI1, DISP_E_OVERFLOW, ""},
      {VT_BSTR, u"99999999999999999999999", VT_I8, DISP_E_OVERFLOW, ""},
      {VT_BSTR, u"18446744073709551615", VT_UI8, S_OK, "18446744073709551615"},
      {VT_BSTR, u"1e999", VT_R8, DISP_E_OVERFLOW, ""},
      {VT_BSTR, u"0.25", VT_R8, S_OK, "0.250000"},
      {VT_BSTR, u"12.5", VT_CY, S_OK, "cy 125000"},
      // Currency holds whole numbers up to 922337203685477; longer digit
      // strings overflow instead of wrapping.
      {VT_BSTR, u"922337203685477", VT_CY, S_OK, "cy 9223372036854770000"},
      {VT_BSTR, u"-922337203685477", VT_CY, S_OK, "cy -9223372036854770000"},
      {VT_BSTR, u"922337203685478", VT_CY, DISP_E_OVERFLOW, ""},
      {VT_BSTR, u"-922337203685478", VT_CY, DISP_E_OVERFLOW, ""},
      {VT_BSTR, u"34028236692093846346337460743176822", VT_CY, DISP_E_OVERFLOW, ""},  // wrapped to 0.8544
      {VT_BSTR, u"-999999999999999999999999999999999999", VT_CY, DISP_E_OVERFLOW, ""},
      // Decimal text becomes currency exactly, not through a double: leading
      // zeros do not count, the fifth decimal rounds half to even.
      {VT_BSTR, u"0000000000000000000000000000000000000922337203685477", VT_CY, S_OK,
       "cy 9223372036854770000"},
      {VT_BSTR, u"922337203685477.5807", VT_CY, S_OK, "cy 9223372036854775807"},
      {VT_BSTR, u"-922337203685477.5808", VT_CY, S_OK, "cy -9223372036854775808"},
      {VT_BSTR, u"922337203685477.5808", VT_CY, DISP_E_OVERFLOW, ""},
      {VT_BSTR, u"0.00005", VT_CY, S_OK, "cy 0"},
      {VT_BSTR, u"0.00015", VT_CY, S_OK, "cy 2"},
      {VT_BSTR, u"1.5e-4", VT_CY, S_OK, "cy 2"},
      {VT_BSTR, u"92233720368547.75807e1", VT_CY, S_OK, "cy 9223372036854775807"},
      {VT_BSTR, u"1e-99999", VT_CY, S_OK, "cy 0"},
      {VT_BSTR, u"1e99999", VT_CY, DISP_E_OVERFLOW, ""},
      // Booleans.
      {VT_I4, 5, VT_BOOL, S_OK, "bool -1"},
      {VT_I4, 0, VT_BOOL, S_OK, "bool 0"},
      {VT_R8, 0.1, VT_BOOL, S_OK, "bool -1"},
      {VT_BSTR, u"True", VT_BOOL, S_OK, "bool -1"},
      {VT_BSTR, u"fAlSe", VT_BOOL, S_OK, "bool 0"},
      {VT_BSTR, u" TRUE ", VT_BOOL, S_OK, "bool -1"},
      {VT_BSTR, u"0", VT_BOOL, S_OK, "bool 0"},
      {VT_BSTR, u"-3", VT_BOOL, S_OK, "bool -1"},
      {VT_BSTR, u"yes", VT_BOOL, DISP_E_TYPEMISMATCH, ""},
      {VT_BOOL, true, VT_I4, S_OK, "-1"},
      {VT_BOOL, false, VT_I2, S_OK, "0"},
      {VT_BOOL, true, VT_R8, S_OK, "-1.000000"},
      {VT_BOOL, true, VT_UI1, S_OK, "255"},  // wraps as the reference does
      {VT_BOOL, true, VT_BSTR, S_OK, "\"-1\""},
      {VT_BOOL, false, VT_BSTR, S_OK, "\"0\""},
      {VT_BOOL, true, VT_BSTR, S_OK, "\"True\"", VARIANT_ALPHABOOL},
      {VT_BOOL, false, VT_BSTR, S_OK, "\"False\"", VARIANT_ALPHABOOL},
      // Numbers to text.
      {VT_I4, -42, VT_BSTR, S_OK, "\"-42\""},
      {VT_UI8, 18446744073709551615ULL, VT_BSTR, S_OK, "\"18446744073709551615\""},
      {VT_R8, 1.5, VT_BSTR, S_OK, "\"1.5\""},
      {VT_R8, 0.1, VT_BSTR, S_OK, "\"0.1\""},
      {VT_R8, 1e20, VT_BSTR, S_OK, "\"1E+20\""},
      {VT_R4, 0.1f, VT_BSTR, S_OK, "\"0.1\""},
      {VT_CY, Cy(125000), VT_BSTR, S_OK, "\"12.5\""},
      {VT_CY, Cy(-5000), VT_BSTR, S_OK, "\"-0.5\""},
      {VT_CY, Cy(30000), VT_BSTR, S_OK, "\"3\""},
      // Empty and null.
      {VT_EMPTY, Empty{}, VT_I4, S_OK, "0"},
      {VT_EMPTY, Empty{}, VT_BSTR, S_OK, "\"\""},
      {VT_EMPTY, Empty{}, VT_BOOL, S_OK, "bool 0"},
      {VT_EMPTY, Empty{}, VT_R8, S_OK, "0.000000"},
      {VT_NULL, Null{}, VT_I4, DISP_E_TYPEMISMATCH, ""},
      {VT_NULL, Null{}, VT_BSTR, DISP_E_TYPEMISMATCH, ""},
      {VT_NULL, Null{}, VT_BOOL, DISP_E_TYPEMISMATCH, ""},
      {VT_NULL, Null{}, VT_EMPTY, DISP_E_TYPEMISMATCH, ""},
      {VT_NULL, Null{}, VT_NULL, S_OK, "null"},
      {VT_I4, 3, VT_NULL, S_OK, "null"},
      {VT_BSTR, u"x", VT_EMPTY, S_OK, "empty"},
      // Error codes only to themselves.
      {VT_ERROR, 5, VT_ERROR, S_OK, "error 5"},
      {VT_ERROR, 5, VT_I4, DISP_E_TYPEMISMATCH, ""},
      {VT_I4, 5, VT_ERROR, DISP_E_TYPEMISMATCH, ""},
      // Types that are no variant types at all.
      {VT_I4, 5, VT_VOID, DISP_E_BADVARTYPE, ""},
      {VT_I4, 5, 15, DISP_E_BADVARTYPE, ""},
      {VT_I4, 5, VT_VARIANT, DISP_E_TYPEMISMATCH, ""},
      {VT_I4, 5, VT_EMPTY | VT_BYREF, DISP_E_BADVARTYPE, ""},
      {VT_I4, 5, VT_DATE, DISP_E_TYPEMISMATCH, ""},
  };
  for (const Case& c : cases) {
    VARIANT src = Make(c.value, c.from);
    VARIANT dst;
    VariantInit(&dst);
    const HRESULT hr = VariantChangeType(&dst, &src, c.flags, c.to);
    const std::string what = Show(src) + " (vt " + std::to_string(c.from) + ") to vt " +
                             std::to_string(c.to);
    EXPECT_EQ(hr, c.hr) << what;
    if (hr == S_OK && c.hr == S_OK) {
      EXPECT_EQ(dst.vt, c.to) << what;
      EXPECT_EQ(Show(dst), c.expected) << what;
    } else {
      EXPECT_EQ(dst.vt, VT_EMPTY) << what << ": a failed coercion leaves the target alone";
    }
    VariantClear(&src);
    VariantClear(&dst);
  }
}

TEST(VariantChangeType, InPlaceAndByReference) {
  VARIANT v = Make(std::u16string(u" 300 "), VT_BSTR);
  // A failure leaves the value as it was.
  EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_UI1), DISP_E_OVERFLOW);
  EXPECT_EQ(Show(v), "\" 300 \"");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I2), S_OK);
  EXPECT_EQ(Show(v), "300");

  LONG target = 7;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_I4 | VT_BYREF;
  ref.plVal = &target;
  ASSERT_EQ(VariantChangeType(&ref, &ref, 0, VT_BSTR), S_OK);
  EXPECT_EQ(Show(ref), "\"7\"");
  EXPECT_EQ(target, 7);
  VariantClear(&ref);

  VARIANT inner = Make(true, VT_BOOL);
  VARIANT outer;
  VariantInit(&outer);
  outer.vt = VT_VARIANT | VT_BYREF;
  outer.pvarVal = &inner;
  VARIANT dst;
  VariantInit(&dst);
  ASSERT_EQ(VariantChangeType(&dst, &outer, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
  EXPECT_EQ(Show(dst), "\"True\"");
  VariantClear(&dst);

  // A variant reference may point at one more reference, not at a third.
  LONG number = 300;
  VARIANT middle;
  VariantInit(&middle);
  middle.vt = VT_I4 | VT_BYREF;
  middle.plVal = &number;
  outer.pvarVal = &middle;
  ASSERT_EQ(VariantChangeType(&dst, &outer, 0, VT_I2), S_OK);
  EXPECT_EQ(Show(dst), "300");
  VARIANT top;
  VariantInit(&top);
  top.vt = VT_VARIANT | VT_BYREF;
  top.pvarVal = &outer;
  EXPECT_EQ(VariantChangeType(&dst, &top, 0, VT_I2), E_INVALIDARG);
  middle.plVal = nullptr;
  EXPECT_EQ(VariantChangeType(&dst, &middle, 0, VT_I2), DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeType, ObjectsQueryOrReadTheirValue) {
  Counted obj;
  VARIANT d;
  VariantInit(&d);
  d.vt = VT_DISPATCH;
  d.pdispVal = &obj;
  obj.AddRef();

  VARIANT u;
  VariantInit(&u);
  ASSERT_EQ(VariantChangeType(&u, &d, 0, VT_UNKNOWN), S_OK);
  EXPECT_EQ(u.vt, VT_UNKNOWN);
  EXPECT_EQ(obj.refs, 3u);
  VARIANT back;
  VariantInit(&back);
  ASSERT_EQ(VariantChangeType(&back, &u, 0, VT_DISPATCH), S_OK);
  EXPECT_EQ(back.pdispVal, &obj);
  EXPECT_EQ(obj.refs, 4u);

  // Through the default property, unless told not to.
  VARIANT n;
  VariantInit(&n);
  ASSERT_EQ(VariantChangeType(&n, &d, 0, VT_BSTR), S_OK);
  EXPECT_EQ(Show(n), "\"42\"");
  VariantClear(&n);
  EXPECT_EQ(VariantChangeType(&n, &d, VARIANT_NOVALUEPROP, VT_I4), DISP_E_TYPEMISMATCH);
  obj.no_value = true;
  EXPECT_EQ(VariantChangeType(&n, &d, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VariantChangeType(&n, &u, 0, VT_I4), DISP_E_TYPEMISMATCH);

  VariantClear(&back);
  VariantClear(&u);
  VariantClear(&d);
  EXPECT_EQ(obj.refs, 1u);
}

}  // namespace
