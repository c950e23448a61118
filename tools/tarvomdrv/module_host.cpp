#include "tools/tarvomdrv/module_host.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

// The module's folder relative to the program's, in the installed tree.
#ifndef TARVO_MODULE_FROM_BINDIR
#define TARVO_MODULE_FROM_BINDIR "../lib/tarvomdrv"
#endif

namespace tarvo::tool {

namespace {
using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
using NoArgFn = HRESULT (*)();
using VersionFn = const char* (*)();
}  // namespace

std::string DefaultModulePath() {
  if (const char* env = std::getenv("TARVO_MODULE"); env && *env) return env;
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string dir = ".";
  if (n > 0) {
    std::string exe(buf, static_cast<std::size_t>(n));
    const auto slash = exe.rfind('/');
    if (slash != std::string::npos) dir = exe.substr(0, slash);
  }
  // Installed: <prefix>/bin/tarvomdrv and <prefix>/lib/tarvomdrv/TarvoMDrv.so;
  // in a build folder the module lies beside the program.
  const std::string installed = dir + "/" TARVO_MODULE_FROM_BINDIR "/TarvoMDrv.so";
  if (::access(installed.c_str(), R_OK) == 0) return installed;
  return dir + "/TarvoMDrv.so";
}

ModuleHost::ModuleHost(const std::string& path) : path_(path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) path_ = resolved;
  handle_ = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* err = ::dlerror();
    throw std::runtime_error("cannot load module " + path_ + ": " + (err ? err : "unknown error"));
  }
}

ModuleHost::~ModuleHost() = default;

void* ModuleHost::Symbol(const char* name) const {
  void* sym = ::dlsym(handle_, name);
  if (!sym) throw std::runtime_error(std::string("module ") + path_ + " lacks " + name);
  return sym;
}

HRESULT ModuleHost::GetClassObject(REFCLSID clsid, REFIID iid, void** out) const {
  return reinterpret_cast<GetClassObjectFn>(Symbol("DllGetClassObject"))(clsid, iid, out);
}

HRESULT ModuleHost::CanUnloadNow() const {
  return reinterpret_cast<NoArgFn>(Symbol("DllCanUnloadNow"))();
}

HRESULT ModuleHost::Register() const {
  return reinterpret_cast<NoArgFn>(Symbol("DllRegisterServer"))();
}

HRESULT ModuleHost::Unregister() const {
  return reinterpret_cast<NoArgFn>(Symbol("DllUnregisterServer"))();
}

std::string ModuleHost::Version() const {
  return reinterpret_cast<VersionFn>(Symbol("TarvoMDrvVersion"))();
}

HRESULT ModuleHost::CreateControl(REFCLSID clsid, IDispatch** out) const {
  *out = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr = GetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(out));
  factory->Release();
  return hr;
}

std::string HresultText(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

}  // namespace tarvo::tool
