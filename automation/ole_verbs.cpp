#include "automation/ole_verbs.h"

#include <atomic>
#include <cstring>
#include <new>

#include "automation/module_state.h"

namespace tarvo::automation {
namespace {

struct VerbDef {
  LONG verb;
  const OLECHAR* name;
  DWORD flags;    // menu flags
  DWORD attribs;  // OLEVERBATTRIB_*
};

const VerbDef kVerbs[] = {
    {kPropertiesVerb, OLESTR("Properties"), MF_STRING, OLEVERBATTRIB_ONCONTAINERMENU},
};
constexpr ULONG kVerbCount = sizeof kVerbs / sizeof kVerbs[0];

LPOLESTR TaskCopy(const OLECHAR* text) {
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc((length + 1) * sizeof(OLECHAR)));
  if (copy != nullptr) std::memcpy(copy, text, (length + 1) * sizeof(OLECHAR));
  return copy;
}

class TVerbEnum final : public IEnumOLEVERB {
 public:
  explicit TVerbEnum(ULONG position) : position_(position) { ObjectCreated(); }
  ~TVerbEnum() { ObjectDestroyed(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IEnumOLEVERB) {
      *ppv = static_cast<IEnumOLEVERB*>(this);
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

  HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLEVERB rgelt, ULONG* pceltFetched) override {
    if (rgelt == nullptr || (celt > 1 && pceltFetched == nullptr)) return E_POINTER;
    ULONG fetched = 0;
    while (fetched < celt && position_ < kVerbCount) {
      const VerbDef& def = kVerbs[position_];
      LPOLESTR name = TaskCopy(def.name);
      if (name == nullptr) {
        for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(rgelt[i].lpszVerbName);
        return E_OUTOFMEMORY;
      }
      rgelt[fetched] = OLEVERB{def.verb, name, def.flags, def.attribs};
      ++fetched;
      ++position_;
    }
    if (pceltFetched != nullptr) *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    const ULONG left = kVerbCount - position_;
    position_ += celt < left ? celt : left;
    return celt <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumOLEVERB** ppenum) override {
    if (ppenum == nullptr) return E_POINTER;
    *ppenum = new (std::nothrow) TVerbEnum(position_);
    return *ppenum == nullptr ? E_OUTOFMEMORY : S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
  ULONG position_;  // the enumerator's user's thread
};

}  // namespace

HRESULT CreateVerbEnumerator(IEnumOLEVERB** out) {
  if (out == nullptr) return E_POINTER;
  *out = new (std::nothrow) TVerbEnum(0);
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

}  // namespace tarvo::automation
