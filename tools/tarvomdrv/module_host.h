#pragma once
// Loads the driver module (TarvoMDrv.so) the way a COM host loads an
// in-process server: dlopen, then its four exported entry points.
#include <string>

#include "platform/com/com_abi.h"

namespace tarvo::tool {

// The module next to this program, unless TARVO_MODULE names another file.
std::string DefaultModulePath();

class ModuleHost {
 public:
  // Loads the module; throws std::runtime_error with the loader's message.
  explicit ModuleHost(const std::string& path = DefaultModulePath());
  ~ModuleHost();  // the module stays loaded: objects from it may outlive us
  ModuleHost(const ModuleHost&) = delete;
  ModuleHost& operator=(const ModuleHost&) = delete;

  const std::string& path() const { return path_; }
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const;
  HRESULT CanUnloadNow() const;
  HRESULT Register() const;
  HRESULT Unregister() const;
  // The module's version text ("3.0.2.2").
  std::string Version() const;
  // Creates a control through the module's class factory and returns its
  // IDispatch.
  HRESULT CreateControl(REFCLSID clsid, IDispatch** out) const;

 private:
  void* Symbol(const char* name) const;
  std::string path_;
  void* handle_ = nullptr;
};

// "0x80004005" style text of an HRESULT.
std::string HresultText(HRESULT hr);

}  // namespace tarvo::tool
