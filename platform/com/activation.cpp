// Class activation through the registry stand-in.
//
// Both registry files are read, the user's first and then the system's
// (platform/com/system_registry.h), as the classes root merges the user's and
// the machine's classes.
// "<ProgID>\Clsid" names the class; "CLSID\{clsid}\InprocServer32" names the
// module, which is loaded once per path and never unloaded (objects it made
// may outlive every reference the runtime knows of).
#include <dlfcn.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/codepage.h"
#include "platform/com/com_internal.h"
#include "platform/com/com_runtime.h"
#include "platform/com/system_registry.h"

namespace {

constexpr std::string_view kSource = "TarvoMDrv activation";

using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);

std::string GuidText(REFGUID guid) {
  OLECHAR text[39];
  StringFromGUID2(guid, text, 39);
  return tarvo::platform::Utf16ToUtf8(text);
}

// Loaded modules by path. Handles stay open for the life of the process.
void* LoadModule(const std::string& path, std::string& error) {
  static std::mutex mutex;
  static std::map<std::string, void*> modules;
  std::lock_guard lock(mutex);
  if (auto it = modules.find(path); it != modules.end()) return it->second;
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    error = why != nullptr ? why : "cannot load " + path;
    return nullptr;
  }
  modules.emplace(path, handle);
  return handle;
}

}  // namespace

extern "C" {

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid) {
  if (lpszProgID == nullptr || lpclsid == nullptr) return E_INVALIDARG;
  const std::string progid = tarvo::platform::Utf16ToUtf8(lpszProgID);
  std::string text;
  if (progid.empty() || !tarvo::com::registry::LookUpValue(progid + "\\Clsid", "", text))
    return tarvo::com::detail::Fail(CO_E_CLASSSTRING, kSource,
                                    "ProgID " + progid + " is not registered");
  const std::u16string wide = tarvo::com::detail::Utf16FromUtf8(text);
  if (FAILED(CLSIDFromString(wide.c_str(), lpclsid)))
    return tarvo::com::detail::Fail(CO_E_CLASSSTRING, kSource,
                                    "ProgID " + progid + " names a malformed class id: " + text);
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* /*pvReserved*/,
                         REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  const std::string clsid = GuidText(rclsid);
  std::string path;
  if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0 ||
      !tarvo::com::registry::LookUpValue("CLSID\\" + clsid + "\\InprocServer32", "", path) ||
      path.empty())
    return tarvo::com::detail::Fail(REGDB_E_CLASSNOTREG, kSource,
                                    "class " + clsid + " is not registered as in-process server");
  std::string error;
  void* module = LoadModule(path, error);
  if (module == nullptr) return tarvo::com::detail::Fail(CO_E_DLLNOTFOUND, kSource, error);
  auto get = reinterpret_cast<GetClassObjectFn>(::dlsym(module, "DllGetClassObject"));
  if (get == nullptr)
    return tarvo::com::detail::Fail(CO_E_ERRORINDLL, kSource,
                                    path + " does not export DllGetClassObject");
  return get(rclsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  if (factory == nullptr) return E_UNEXPECTED;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  return hr;
}

}  // extern "C"
