#include "automation/class_factory.h"

#include "automation/module_state.h"
#include "automation/tarvo_control.h"

namespace tarvo::automation {

TClassFactory& TClassFactory::Instance() {
  static TClassFactory factory;
  return factory;
}

HRESULT STDMETHODCALLTYPE TClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IClassFactory) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE TClassFactory::AddRef() {
  return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG STDMETHODCALLTYPE TClassFactory::Release() {
  // The module keeps one reference for good: the factory is never freed.
  const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  return left == 0 ? 1 : left;
}

HRESULT STDMETHODCALLTYPE TClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                        void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  *ppvObject = nullptr;
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  return TTarvo::Create(riid, ppvObject);
}

HRESULT STDMETHODCALLTYPE TClassFactory::LockServer(BOOL fLock) {
  if (fLock)
    LockModule();
  else if (ServerLocks() > 0)
    UnlockModule();
  return S_OK;
}

}  // namespace tarvo::automation
