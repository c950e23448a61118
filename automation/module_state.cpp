#include "automation/module_state.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <atomic>

#include "platform/com/com_runtime.h"

namespace tarvo::automation {
namespace {

std::atomic<std::int32_t> g_objects{0};
std::atomic<std::int32_t> g_locks{0};

}  // namespace

void ObjectCreated() { g_objects.fetch_add(1, std::memory_order_relaxed); }
void ObjectDestroyed() { g_objects.fetch_sub(1, std::memory_order_acq_rel); }
void LockModule() { g_locks.fetch_add(1, std::memory_order_relaxed); }
void UnlockModule() { g_locks.fetch_sub(1, std::memory_order_acq_rel); }
std::int32_t LiveObjects() { return g_objects.load(std::memory_order_acquire); }
std::int32_t ServerLocks() { return g_locks.load(std::memory_order_acquire); }
bool CanUnloadNow() { return LiveObjects() == 0 && ServerLocks() == 0; }

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

platform::MessageLoop& ThreadLoop() { return com::ThreadMessageLoop(); }

}  // namespace tarvo::automation
