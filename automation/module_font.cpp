#include "automation/module_font.h"

#include <atomic>
#include <new>

#include "automation/module_state.h"

namespace tarvo::automation {
namespace {

class ModuleFont final : public IFontDisp {
 public:
  explicit ModuleFont(IDispatch* inner) : inner_(inner) { ObjectCreated(); }

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
  ULONG STDMETHODCALLTYPE AddRef() override {
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    return inner_->GetTypeInfoCount(count);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    return inner_->GetTypeInfo(index, lcid, info);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override {
    return inner_->GetIDsOfNames(riid, names, count, lcid, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                   UINT* argErr) override {
    return inner_->Invoke(id, riid, lcid, flags, params, result, excep, argErr);
  }

 private:
  ~ModuleFont() {
    inner_->Release();
    ObjectDestroyed();
  }
  IDispatch* inner_;  // owned reference
  std::atomic<ULONG> refs_{1};
};

}  // namespace

HRESULT CreateModuleFont(FONTDESC* desc, IFontDisp** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  IDispatch* inner = nullptr;
  const HRESULT hr = OleCreateFontIndirect(desc, IID_IDispatch, reinterpret_cast<void**>(&inner));
  if (FAILED(hr)) return hr;
  if (inner == nullptr) return E_UNEXPECTED;
  auto* font = new (std::nothrow) ModuleFont(inner);
  if (font == nullptr) {
    inner->Release();
    return E_OUTOFMEMORY;
  }
  *out = font;
  return S_OK;
}

}  // namespace tarvo::automation
