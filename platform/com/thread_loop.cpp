// The per-thread message loop, owned by the runtime so that a host and every
// module it loads pump the same loop on a thread.
#include "platform/com/com_runtime.h"
#include "platform/message_loop.h"

namespace tarvo::com {

platform::MessageLoop& ThreadMessageLoop() {
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
