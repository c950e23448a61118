// The standard font object through late binding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com/com_runtime.h"

namespace {

using tarvo::com::AllocBstr;
using tarvo::com::BstrText;

class StdFontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FONTDESC desc{sizeof(FONTDESC), const_cast<LPOLESTR>(u"MS Sans Serif"), {}, 400, 238,
                  0, 0, 0};
    desc.cySize.int64 = 82500;  // 8.25 points
    ASSERT_EQ(OleCreateFontIndirect(&desc, IID_IFontDisp, reinterpret_cast<void**>(&font_)),
              S_OK);
  }
  void TearDown() override { EXPECT_EQ(font_->Release(), 0u); }

  HRESULT Get(DISPID id, VARIANT& out) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VariantInit(&out);
    return font_->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &out, nullptr, nullptr);
  }
  HRESULT Put(DISPID id, VARIANT value, WORD flags = DISPATCH_PROPERTYPUT) {
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &named, 1, 1};
    UINT arg_err = 99;
    const HRESULT hr =
        font_->Invoke(id, IID_NULL, 0, flags, &params, nullptr, nullptr, &arg_err);
    if (FAILED(hr)) {
      EXPECT_EQ(arg_err, 0u);
    }
    VariantClear(&value);
    return hr;
  }

  IFontDisp* font_ = nullptr;
};

VARIANT I4(LONG v) {
  VARIANT out;
  VariantInit(&out);
  out.vt = VT_I4;
  out.lVal = v;
  return out;
}

VARIANT Text(const std::u16string& v) {
  VARIANT out;
  VariantInit(&out);
  out.vt = VT_BSTR;
  out.bstrVal = AllocBstr(v);
  return out;
}

TEST_F(StdFontTest, AnswersItsInterfacesAndNoTypeInfo) {
  for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &IID_IFontDisp}) {
    void* itf = nullptr;
    ASSERT_EQ(font_->QueryInterface(*iid, &itf), S_OK);
    EXPECT_EQ(itf, static_cast<void*>(font_));
    font_->Release();
  }
  void* itf = &itf;
  EXPECT_EQ(font_->QueryInterface(IID_IErrorInfo, &itf), E_NOINTERFACE);
  EXPECT_EQ(itf, nullptr);
  UINT count = 9;
  ASSERT_EQ(font_->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
}

TEST_F(StdFontTest, NamesMapToTheirIdsCaseInsensitively) {
  const std::vector<std::pair<std::u16string, DISPID>> names = {
      {u"Name", 0},   {u"size", 2},      {u"BOLD", 3},      {u"Italic", 4},
      {u"underline", 5}, {u"StrikeThrough", 6}, {u"Weight", 7}, {u"charset", 8}};
  for (const auto& [name, id] : names) {
    std::u16string copy = name;
    LPOLESTR p = copy.data();
    DISPID got = 0;
    EXPECT_EQ(font_->GetIDsOfNames(IID_NULL, &p, 1, 0, &got), S_OK);
    EXPECT_EQ(got, id);
  }
  std::u16string unknown = u"Colour";
  LPOLESTR p = unknown.data();
  DISPID got = 0;
  EXPECT_EQ(font_->GetIDsOfNames(IID_NULL, &p, 1, 0, &got), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(got, DISPID_UNKNOWN);
}

TEST_F(StdFontTest, PropertiesRoundTripWithCoercion) {
  VARIANT v;
  ASSERT_EQ(Get(DISPID_FONT_NAME, v), S_OK);
  EXPECT_EQ(BstrText(v.bstrVal), u"MS Sans Serif");
  VariantClear(&v);
  ASSERT_EQ(Get(DISPID_FONT_SIZE, v), S_OK);
  EXPECT_EQ(v.vt, VT_CY);
  EXPECT_EQ(v.cyVal.int64, 82500);
  ASSERT_EQ(Get(DISPID_FONT_CHARSET, v), S_OK);
  EXPECT_EQ(v.iVal, 238);

  struct Step {
    DISPID id;
    VARIANT value;
    VARTYPE vt;
    std::string expected;
  };
  const std::vector<Step> steps = {
      {DISPID_FONT_NAME, Text(u"Arial"), VT_BSTR, "Arial"},
      {DISPID_FONT_SIZE, I4(12), VT_CY, "120000"},
      {DISPID_FONT_SIZE, Text(u"9.5"), VT_CY, "95000"},
      {DISPID_FONT_ITALIC, I4(1), VT_BOOL, "-1"},
      {DISPID_FONT_UNDER, Text(u"True"), VT_BOOL, "-1"},
      {DISPID_FONT_STRIKE, I4(0), VT_BOOL, "0"},
      {DISPID_FONT_WEIGHT, I4(800), VT_I2, "800"},
      {DISPID_FONT_CHARSET, Text(u"0"), VT_I2, "0"},
  };
  for (const Step& s : steps) {
    ASSERT_EQ(Put(s.id, s.value), S_OK) << s.id;
    ASSERT_EQ(Get(s.id, v), S_OK);
    EXPECT_EQ(v.vt, s.vt);
    std::string shown;
    switch (v.vt) {
      case VT_BSTR: for (char16_t c : BstrText(v.bstrVal)) shown.push_back(static_cast<char>(c)); break;
      case VT_CY: shown = std::to_string(v.cyVal.int64); break;
      case VT_BOOL: shown = std::to_string(v.boolVal); break;
      default: shown = std::to_string(v.iVal); break;
    }
    EXPECT_EQ(shown, s.expected) << s.id;
    VariantClear(&v);
  }

  // Bold and Weight are one attribute.
  ASSERT_EQ(Get(DISPID_FONT_BOLD, v), S_OK);
  EXPECT_EQ(v.boolVal, VARIANT_TRUE) << "weight 800 reads as bold";
  ASSERT_EQ(Put(DISPID_FONT_BOLD, I4(0), DISPATCH_PROPERTYPUTREF), S_OK);
  ASSERT_EQ(Get(DISPID_FONT_WEIGHT, v), S_OK);
  EXPECT_EQ(v.iVal, 400);

  // A value that does not coerce changes nothing.
  EXPECT_EQ(Put(DISPID_FONT_WEIGHT, Text(u"heavy")), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Put(DISPID_FONT_WEIGHT, I4(40000)), DISP_E_OVERFLOW);
  ASSERT_EQ(Get(DISPID_FONT_WEIGHT, v), S_OK);
  EXPECT_EQ(v.iVal, 400);

  EXPECT_EQ(Get(1, v), DISP_E_MEMBERNOTFOUND);
}

}  // namespace
