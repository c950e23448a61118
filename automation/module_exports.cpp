// The entry points of the loadable module TarvoMDrv.so: the four standard
// in-process server functions, DllGetVersion and the version text. (A host
// pumps the controls' timers and events through the COM runtime's loop of its
// thread: TarvoProcessPendingMessages and TarvoMessageLoopFd.)
//
// Only the functions below leave the module (see the version script next to
// the build file); everything else stays private to it.
#include <cstdio>

#include "automation/class_factory.h"
#include "automation/module_state.h"
#include "automation/registration.h"
#include "automation/TarvoMDrv_TLB.h"
#include "link/com_port.h"

#define TARVO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Module start-up: the serial adapter's texts are translated once, and the
// class factory exists from the moment the module is loaded.
[[gnu::constructor]] void ModuleStartUp() {
  tarvo::link::InitComPortTexts();
  tarvo::automation::TClassFactory::Instance();
}

}  // namespace

TARVO_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_Tarvo) return CLASS_E_CLASSNOTAVAILABLE;
  return tarvo::automation::TClassFactory::Instance().QueryInterface(riid, ppv);
}

TARVO_EXPORT HRESULT DllCanUnloadNow() {
  return tarvo::automation::CanUnloadNow() ? S_OK : S_FALSE;
}

TARVO_EXPORT HRESULT DllRegisterServer() {
  return tarvo::automation::RegisterServer(tarvo::automation::ModulePath());
}

TARVO_EXPORT HRESULT DllUnregisterServer() {
  return tarvo::automation::UnregisterServer();
}

TARVO_EXPORT HRESULT DllGetVersion(DLLVERSIONINFO* pdvi) {
  if (pdvi == nullptr) return E_POINTER;
  if (pdvi->cbSize < sizeof(DLLVERSIONINFO)) return E_INVALIDARG;
  pdvi->dwMajorVersion = tarvo::automation::kVersionMajor;
  pdvi->dwMinorVersion = tarvo::automation::kVersionMinor;
  pdvi->dwBuildNumber = tarvo::automation::kVersionRelease;
  pdvi->dwPlatformID = DLLVER_PLATFORM_NT;
  return S_OK;
}

TARVO_EXPORT const char* TarvoMDrvVersion() { return tarvo::automation::kVersionText; }

