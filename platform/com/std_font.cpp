// The standard font object: a property bag reached late-bound through
// IFontDisp (Name, Size, Bold, Italic, Underline, Strikethrough, Weight,
// Charset).
#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "platform/com/com_runtime.h"

namespace {

constexpr SHORT kWeightNormal = 400;
constexpr SHORT kWeightBold = 700;
constexpr SHORT kBoldFrom = 551;  // heavier than this reads as bold

struct Property {
  std::u16string_view name;
  DISPID id;
  VARTYPE vt;
};

constexpr Property kProperties[] = {
    {u"Name", DISPID_FONT_NAME, VT_BSTR},
    {u"Size", DISPID_FONT_SIZE, VT_CY},
    {u"Bold", DISPID_FONT_BOLD, VT_BOOL},
    {u"Italic", DISPID_FONT_ITALIC, VT_BOOL},
    {u"Underline", DISPID_FONT_UNDER, VT_BOOL},
    {u"Strikethrough", DISPID_FONT_STRIKE, VT_BOOL},
    {u"Weight", DISPID_FONT_WEIGHT, VT_I2},
    {u"Charset", DISPID_FONT_CHARSET, VT_I2},
};

const Property* FindProperty(DISPID id) {
  for (const Property& p : kProperties)
    if (p.id == id) return &p;
  return nullptr;
}

bool SameName(std::u16string_view a, const OLECHAR* b) {
  auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; };
  std::size_t i = 0;
  for (; i < a.size(); ++i)
    if (b[i] == 0 || lower(a[i]) != lower(b[i])) return false;
  return b[i] == 0;
}

VARIANT_BOOL AsBool(bool b) { return b ? VARIANT_TRUE : VARIANT_FALSE; }

class StdFont final : public IFontDisp {
 public:
  explicit StdFont(const FONTDESC& desc)
      : size_(desc.cySize),
        weight_(desc.sWeight),
        charset_(desc.sCharset),
        italic_(desc.fItalic != 0),
        underline_(desc.fUnderline != 0),
        strike_(desc.fStrikethrough != 0) {
    if (desc.lpstrName != nullptr) name_ = desc.lpstrName;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IFontDisp) {
      *ppv = static_cast<IFontDisp*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
    if (pctinfo == nullptr) return E_POINTER;
    *pctinfo = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
    if (ppTInfo != nullptr) *ppTInfo = nullptr;
    return DISP_E_BADINDEX;
  }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                          DISPID* rgDispId) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (rgszNames == nullptr || rgDispId == nullptr || cNames == 0) return E_INVALIDARG;
    HRESULT hr = S_OK;
    rgDispId[0] = DISPID_UNKNOWN;
    for (const Property& p : kProperties)
      if (rgszNames[0] != nullptr && SameName(p.name, rgszNames[0])) rgDispId[0] = p.id;
    if (rgDispId[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    for (UINT i = 1; i < cNames; ++i) {  // properties take no named arguments
      rgDispId[i] = DISPID_UNKNOWN;
      hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD wFlags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                   UINT* puArgErr) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    const Property* prop = FindProperty(id);
    if (prop == nullptr) return DISP_E_MEMBERNOTFOUND;
    if (params == nullptr) return E_INVALIDARG;
    if ((wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0) {
      if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
      if (params->cNamedArgs > 1 ||
          (params->cNamedArgs == 1 && params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT))
        return DISP_E_NONAMEDARGS;
      VARIANT value;
      VariantInit(&value);
      const HRESULT hr = VariantChangeType(&value, &params->rgvarg[0], 0, prop->vt);
      if (FAILED(hr)) {
        if (puArgErr != nullptr) *puArgErr = 0;
        return hr;
      }
      Put(id, value);
      VariantClear(&value);
      return S_OK;
    }
    if ((wFlags & DISPATCH_PROPERTYGET) != 0) {
      if (params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
      if (result == nullptr) return E_INVALIDARG;
      VariantClear(result);
      return Get(id, *result);
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  ~StdFont() = default;

  HRESULT Get(DISPID id, VARIANT& out) {
    std::lock_guard lock(mutex_);
    switch (id) {
      case DISPID_FONT_NAME:
        out.bstrVal = tarvo::com::AllocBstr(name_);
        if (out.bstrVal == nullptr) return E_OUTOFMEMORY;
        out.vt = VT_BSTR;
        break;
      case DISPID_FONT_SIZE: out.vt = VT_CY; out.cyVal = size_; break;
      case DISPID_FONT_BOLD: out.vt = VT_BOOL; out.boolVal = AsBool(weight_ >= kBoldFrom); break;
      case DISPID_FONT_ITALIC: out.vt = VT_BOOL; out.boolVal = AsBool(italic_); break;
      case DISPID_FONT_UNDER: out.vt = VT_BOOL; out.boolVal = AsBool(underline_); break;
      case DISPID_FONT_STRIKE: out.vt = VT_BOOL; out.boolVal = AsBool(strike_); break;
      case DISPID_FONT_WEIGHT: out.vt = VT_I2; out.iVal = weight_; break;
      default: out.vt = VT_I2; out.iVal = charset_; break;
    }
    return S_OK;
  }

  // `value` has the property's type already.
  void Put(DISPID id, const VARIANT& value) {
    std::lock_guard lock(mutex_);
    switch (id) {
      case DISPID_FONT_NAME: name_ = tarvo::com::BstrText(value.bstrVal); break;
      case DISPID_FONT_SIZE: size_ = value.cyVal; break;
      case DISPID_FONT_BOLD: weight_ = value.boolVal != 0 ? kWeightBold : kWeightNormal; break;
      case DISPID_FONT_ITALIC: italic_ = value.boolVal != 0; break;
      case DISPID_FONT_UNDER: underline_ = value.boolVal != 0; break;
      case DISPID_FONT_STRIKE: strike_ = value.boolVal != 0; break;
      case DISPID_FONT_WEIGHT: weight_ = value.iVal; break;
      default: charset_ = value.iVal; break;
    }
  }

  std::atomic<ULONG> refs_{1};
  std::mutex mutex_;
  std::u16string name_;
  CY size_;
  SHORT weight_;
  SHORT charset_;
  bool italic_;
  bool underline_;
  bool strike_;
};

}  // namespace

extern "C" HRESULT OleCreateFontIndirect(FONTDESC* lpFontDesc, REFIID riid, void** lplpvObj) {
  if (lplpvObj == nullptr) return E_POINTER;
  *lplpvObj = nullptr;
  if (lpFontDesc == nullptr) return E_POINTER;
  auto* font = new (std::nothrow) StdFont(*lpFontDesc);
  if (font == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = font->QueryInterface(riid, lplpvObj);
  font->Release();
  return hr;
}
