#include "automation/module_state.h"

#include <atomic>

#include "platform/com/com_runtime.h"
#include "platform/module_path.h"

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

std::string ModulePath() { return platform::ModulePath(); }

std::string ModuleDirectory() { return platform::ModuleDirectory(); }

platform::MessageLoop& ThreadLoop() { return com::ThreadMessageLoop(); }

}  // namespace tarvo::automation
