// Where the system registry file lies, and look-ups that read the user's
// file first and the system file second.
#include "platform/com/system_registry.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cstdlib>
#include <string_view>

#include "platform/com/com_runtime.h"

#ifndef TARVO_INSTALL_LIBDIR
#define TARVO_INSTALL_LIBDIR "lib"
#endif

namespace tarvo::com::registry {
namespace {

constexpr std::string_view kFileBelowSysconfdir = "/tarvomdrv/registry.reg";
constexpr std::string_view kDefaultSysconfdir = "/etc";

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

// The folder of the installed tree this library was loaded from, or "" when
// it was not loaded from <prefix>/<libdir> (a build folder).
std::string InstalledPrefix() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&SystemStorePath), &info) == 0 || info.dli_fname == nullptr)
    return {};
  char resolved[PATH_MAX];
  if (::realpath(info.dli_fname, resolved) == nullptr) return {};
  const std::string dir = DirectoryOf(resolved);
  const std::string libdir = std::string("/") + TARVO_INSTALL_LIBDIR;
  if (dir.size() < libdir.size() || dir.compare(dir.size() - libdir.size(), libdir.size(), libdir) != 0)
    return {};
  const std::string prefix = dir.substr(0, dir.size() - libdir.size());
  return prefix.empty() ? std::string("/") : prefix;
}

}  // namespace

std::string SysconfdirOfPrefix(const std::string& prefix) {
  if (prefix == "/" || prefix == "/usr" || prefix.empty()) return std::string(kDefaultSysconfdir);
  if (prefix.rfind("/opt/", 0) == 0) return std::string(kDefaultSysconfdir) + prefix;
  return prefix + "/etc";
}

std::string SystemStorePath() {
  if (const char* p = std::getenv("TARVO_SYSTEM_REGISTRY"); p != nullptr && *p != '\0') return p;
  const std::string prefix = InstalledPrefix();
  const std::string etc = prefix.empty() ? std::string(kDefaultSysconfdir) : SysconfdirOfPrefix(prefix);
  return etc + std::string(kFileBelowSysconfdir);
}

bool LookUpValue(const std::string& key, const std::string& name, std::string& value) {
  if (GetValue(key, name, value)) return true;
  const std::string system = SystemStorePath();
  if (system == StorePath()) return false;  // one file serves as both
  return GetValueIn(system, key, name, value);
}

void WriteSystemStore() {
  // The process's own environment: the module's registration functions reach
  // the store through StorePath(), which reads TARVO_REGISTRY first.
  ::setenv("TARVO_REGISTRY", SystemStorePath().c_str(), 1);
}

}  // namespace tarvo::com::registry
