// The per-thread message loop, owned by the runtime so that a host and every
// module it loads pump the same loop on a thread.
#include "platform/com/com_runtime.h"
#include "platform/message_loop.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tarvo::com {
namespace {

#if defined(_WIN32)
// On Windows the runtime is part of the control's module, and a thread's loop
// (its message-only window and timers, whose procedures are in the module)
// lives until the thread ends, which may be after the host released every
// control and asked the module whether it can go (DllCanUnloadNow). The
// module therefore stays loaded for the rest of the process once a loop
// exists. A failure leaves the module unpinned, as before.
void KeepModuleLoaded() {
  static const bool pinned = [] {
    HMODULE module = nullptr;
    return ::GetModuleHandleExW(
               GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
               reinterpret_cast<LPCWSTR>(&KeepModuleLoaded), &module) != 0;
  }();
  (void)pinned;
}
#else
// On Linux the loops live in the shared runtime library, which hosts link.
void KeepModuleLoaded() {}
#endif

}  // namespace

platform::MessageLoop& ThreadMessageLoop() {
  KeepModuleLoaded();
  thread_local platform::MessageLoop loop;
  return loop;
}

}  // namespace tarvo::com

extern "C" void TarvoProcessPendingMessages() {
  tarvo::com::ThreadMessageLoop().ProcessPendingMessages();
}

extern "C" int TarvoMessageLoopFd() { return tarvo::com::ThreadMessageLoop().ReadinessFd(); }

extern "C" int TarvoMessageLoopTimeoutMs() {
  return static_cast<int>(tarvo::com::ThreadMessageLoop().NextTimeoutMs());
}
