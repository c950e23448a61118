// The entry points of the Windows control TarvoMDrv.ocx: the four standard
// in-process server functions (exported by name through TarvoMDrv.def) and
// DllMain.
#include "automation/TarvoMDrv_TLB.h"
#include "automation/class_factory.h"
#include "automation/module_state.h"
#include "automation/registration.h"
#include "link/com_port.h"

// Module start-up: the serial adapter's texts are prepared once, and the
// class factory exists from the moment the module is loaded. Nothing else
// may run under the loader lock.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    // The driver's threads need no per-thread notifications.
    ::DisableThreadLibraryCalls(instance);
    tarvo::link::InitComPortTexts();
    tarvo::automation::TClassFactory::Instance();
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_Tarvo) return CLASS_E_CLASSNOTAVAILABLE;
  return tarvo::automation::TClassFactory::Instance().QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return tarvo::automation::CanUnloadNow() ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
  return tarvo::automation::RegisterServer(tarvo::automation::ModulePath());
}

STDAPI DllUnregisterServer() { return tarvo::automation::UnregisterServer(); }
