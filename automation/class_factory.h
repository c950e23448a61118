#pragma once
// The module's single class factory for the class Tarvo. It lives as long as
// the module is loaded (a static object: its AddRef/Release only count and
// never free it). Instancing is multiple: every CreateInstance makes a new,
// independent control. Aggregation is not supported. LockServer counts in
// the module state, so that DllCanUnloadNow answers S_FALSE while a lock is
// held.
//
// Threading: free-threaded; the reference count is atomic and the factory
// has no other state. A control belongs to the thread that created it.
#include <atomic>

#include "platform/com/com_abi.h"

namespace tarvo::automation {

class TClassFactory final : public IClassFactory {
 public:
  static TClassFactory& Instance();

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IClassFactory
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                           void** ppvObject) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

 private:
  TClassFactory() = default;
  std::atomic<ULONG> refs_{1};  // the module's own reference
};

}  // namespace tarvo::automation
