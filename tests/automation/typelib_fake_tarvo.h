#pragma once
// Test doubles for the ITarvo type library tests: a fake ITarvo whose every
// member records its call as text and produces out values, a counted font
// object, and VARIANT helpers.
//
// The fake is expanded from tarvo_tlb.def like ITarvo itself, so it follows
// the definition member by member; the tests check its order against an
// independent list.
#include <atomic>
#include <string>
#include <type_traits>
#include <vector>

#include "automation/TarvoMDrv_TLB.h"
#include "platform/com/com_runtime.h"

namespace tarvo::tlb::test {

inline std::string Narrow(const OLECHAR* text) {
  std::string out;
  for (; text && *text; ++text) out.push_back(static_cast<char>(*text));
  return out;
}

inline BSTR MakeBstr(const std::string& text) {
  return tarvo::com::AllocBstr(std::u16string(text.begin(), text.end()));
}

// An owned VARIANT.
struct Var {
  VARIANT v;
  Var() { VariantInit(&v); }
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;
  ~Var() { VariantClear(&v); }
};

inline VARIANT I4(LONG x) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = x;
  return v;
}
inline VARIANT Str(const std::string& text) {  // caller frees (VariantClear)
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = MakeBstr(text);
  return v;
}

// A standard-font stand-in that counts its references.
class CountedFont final : public IFontDisp {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IFontDisp) {
      *ppv = static_cast<IFontDisp*>(this);
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
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
  std::atomic<ULONG> refs{1};
};

enum class Dir { IN, INOUT, RETVAL, PUTVAL, PUTREFVAL };

template <Dir D, class T>
struct Tagged {
  T value;
};
template <Dir D, class T>
Tagged<D, T> Tag(T v) {
  return {v};
}

// Records every call as "name(arg,arg,...)": numbers in decimal, strings
// quoted, interface pointers as font/null, pointers as & and the value they
// point at on entry. Then writes out values: an in/out number goes up by
// one, an in/out VARIANT_BOOL flips, an in/out string gets "+" appended; a
// retval is 42 (long), -1 (VARIANT_BOOL), "Tarvo" (BSTR), 0xFF00 (colour),
// 2 (enumerations) or the fake's font.
class FakeTarvo : public ITarvo {
 public:
  std::vector<std::string> calls;
  HRESULT next = S_OK;  // returned by the next member called
  std::string errorDescription;  // published as error information on failure
  IFontDisp* font = nullptr;      // what get_Font hands out

  // IUnknown / IDispatch: not used by the tests through this object.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ITarvo) {
      *ppv = static_cast<ITarvo*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }

#define TARVO_TEST_PARENS ()
#define TARVO_TEST_EXPAND(...) TARVO_TEST_EXPAND3(TARVO_TEST_EXPAND3(TARVO_TEST_EXPAND3(__VA_ARGS__)))
#define TARVO_TEST_EXPAND3(...) TARVO_TEST_EXPAND2(TARVO_TEST_EXPAND2(TARVO_TEST_EXPAND2(__VA_ARGS__)))
#define TARVO_TEST_EXPAND2(...) TARVO_TEST_EXPAND1(TARVO_TEST_EXPAND1(TARVO_TEST_EXPAND1(__VA_ARGS__)))
#define TARVO_TEST_EXPAND1(...) __VA_ARGS__
#define TARVO_TEST_MAP(m, ...) __VA_OPT__(TARVO_TEST_EXPAND(TARVO_TEST_MAP_HELPER(m, __VA_ARGS__)))
#define TARVO_TEST_MAP_HELPER(m, a, ...) m a __VA_OPT__(, TARVO_TEST_MAP_AGAIN TARVO_TEST_PARENS(m, __VA_ARGS__))
#define TARVO_TEST_MAP_AGAIN() TARVO_TEST_MAP_HELPER

#define TARVO_TEST_PTYPE_IN(type) ::tarvo::tlb::ctype::type
#define TARVO_TEST_PTYPE_PUTVAL(type) ::tarvo::tlb::ctype::type
#define TARVO_TEST_PTYPE_INOUT(type) ::tarvo::tlb::ctype::type*
#define TARVO_TEST_PTYPE_RETVAL(type) ::tarvo::tlb::ctype::type*
#define TARVO_TEST_PTYPE_PUTREFVAL(type) ::tarvo::tlb::ctype::type*
#define TARVO_TEST_DECL(dir, type, name) TARVO_TEST_PTYPE_##dir(type) name
#define TARVO_TEST_USE(dir, type, name) Tag<Dir::dir>(name)
#define TARVO_TLB_IN(type, name) (IN, type, name)
#define TARVO_TLB_INOUT(type, name) (INOUT, type, name)
#define TARVO_TLB_RETVAL(type, name) (RETVAL, type, name)
#define TARVO_TLB_PUTVAL(type) (PUTVAL, type, Value)
#define TARVO_TLB_PUTREFVAL(type) (PUTREFVAL, type, Value)
#define TARVO_TLB_FUNC(iface, kind, name, dispid, flag, ...)                     \
  HRESULT STDMETHODCALLTYPE TARVO_TLB_CXXNAME(kind, name)(                       \
      TARVO_TEST_MAP(TARVO_TEST_DECL, __VA_ARGS__)) override {                   \
    return Record(__func__ __VA_OPT__(, TARVO_TEST_MAP(TARVO_TEST_USE, __VA_ARGS__))); \
  }
#include "automation/tarvo_tlb.def"

 private:
  template <class... A>
  HRESULT Record(const char* name, A... args) {
    std::string text = std::string(name) + "(";
    bool first = true;
    ((text += (first ? "" : ","), text += Text(args.value), first = false), ...);
    calls.push_back(text + ")");
    (Produce(args), ...);
    if (FAILED(next) && !errorDescription.empty()) Publish();
    return next;
  }

  void Publish() {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create))) return;
    std::u16string source = u"TarvoMDrv.Tarvo";
    std::u16string description(errorDescription.begin(), errorDescription.end());
    create->SetSource(source.data());
    create->SetDescription(description.data());
    IErrorInfo* info = nullptr;
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
  }

  static std::string Text(BSTR s) { return s ? "\"" + Narrow(s) + "\"" : "null"; }
  static std::string Text(IFontDisp* f) { return f ? "font" : "null"; }
  template <class T>
  static std::string Text(T x) {
    if constexpr (std::is_pointer_v<T>)
      return "&" + Text(*x);
    else
      return std::to_string(static_cast<long long>(x));
  }

  template <Dir D, class T>
  void Produce(Tagged<D, T> arg) {
    if constexpr (D == Dir::INOUT) {
      using V = std::remove_pointer_t<T>;
      V& x = *arg.value;
      if constexpr (std::is_same_v<V, BSTR>) {
        BSTR grown = MakeBstr(Narrow(x) + "+");
        SysFreeString(x);
        x = grown;
      } else if constexpr (std::is_same_v<V, VARIANT_BOOL>) {
        x = x ? VARIANT_FALSE : VARIANT_TRUE;
      } else {
        x = static_cast<V>(x + 1);
      }
    } else if constexpr (D == Dir::RETVAL) {
      using V = std::remove_pointer_t<T>;
      V& x = *arg.value;
      if constexpr (std::is_same_v<V, BSTR>) {
        x = MakeBstr("Tarvo");
      } else if constexpr (std::is_same_v<V, IFontDisp*>) {
        x = font;
        if (font) font->AddRef();
      } else if constexpr (std::is_enum_v<V>) {
        x = static_cast<V>(2);
      } else if constexpr (std::is_same_v<V, VARIANT_BOOL>) {
        x = VARIANT_TRUE;
      } else if constexpr (std::is_same_v<V, OLE_COLOR>) {
        x = 0xFF00;
      } else {
        x = 42;
      }
    }
  }
};

}  // namespace tarvo::tlb::test
