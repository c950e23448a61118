// The module's own path on POSIX: dladdr of a function in this code.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include "platform/module_path.h"

namespace tarvo::platform {

std::string ModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 || info.dli_fname == nullptr)
    return {};
  std::string path = info.dli_fname;
  if (!path.empty() && path.front() != '/') {
    // Loaded by a relative name: the loader resolved it against the working
    // directory of that moment; realpath gives the same file absolutely.
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) path = resolved;
  }
  return path;
}

std::string ModuleDirectory() {
  const std::string path = ModulePath();
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace tarvo::platform
