#pragma once
// The COM runtime: on Linux the stand-in libtarvocom.so with the OLE
// automation functions a host and the module both use (their usual names and
// semantics, com_runtime_posix.h); on Windows ole32 and oleaut32 themselves.
// On both, the driver's helpers below (registry, BSTR text, the thread's
// message loop).
#include <string>
#include <vector>

#include "platform/com/abi_cast.h"
#include "platform/com/com_abi.h"

#if !defined(_WIN32)
// The runtime functions themselves (the system provides them on Windows).
#include "platform/com/com_runtime_posix.h"
#endif

namespace tarvo::com {

// The registry of classes. On Windows it is the system registry below
// HKEY_CLASSES_ROOT (StorePath() says so; Keys() is not offered there).
// Elsewhere it is a stand-in: a text file in the registry-export format
//   Windows Registry Editor Version 5.00
//   [HKEY_CLASSES_ROOT\CLSID\{...}]
//   @="default value"
//   "Name"="value"
// at $TARVO_REGISTRY, or $XDG_CONFIG_HOME/tarvomdrv/registry.reg (default
// ~/.config/tarvomdrv/registry.reg). Keys are paths below HKEY_CLASSES_ROOT
// with "\" separators, compared case-insensitively; the value name "" is the
// default value. Every change is one read-modify-write under an exclusive
// lock, written atomically (temporary file + rename). Strings are UTF-8.
namespace registry {

std::string StorePath();
// Creates the key (and its parents) if missing. S_OK or E_ACCESSDENIED/E_FAIL.
HRESULT CreateKey(const std::string& key);
// Creates the key if missing and sets a text value.
HRESULT SetValue(const std::string& key, const std::string& name, const std::string& value);
// True when the key exists and has the value; `value` receives it.
bool GetValue(const std::string& key, const std::string& name, std::string& value);
bool KeyExists(const std::string& key);
// Deletes one key with its values; a key with subkeys is not deleted
// (E_ACCESSDENIED); a missing key gives S_FALSE.
HRESULT DeleteKey(const std::string& key);
#if !defined(_WIN32)
// Every key in the store, in file order (for tests and tools).
std::vector<std::string> Keys();
#endif

}  // namespace registry

// UTF-16 <-> BSTR conveniences.
BSTR AllocBstr(const std::u16string& text);
std::u16string BstrText(BSTR bstr);

}  // namespace tarvo::com

// --- The thread's message loop ----------------------------------------------
// Each thread has one message loop, created on first use: the stand-in for a
// thread's window message queue. Controls created on a thread put their timers
// on it; the host pumps it (or hands its descriptor to its own event loop).
namespace tarvo::platform {
class MessageLoop;
}
namespace tarvo::com {
platform::MessageLoop& ThreadMessageLoop();
}  // namespace tarvo::com

extern "C" {
// Runs what is due on the calling thread's loop; never blocks.
void TarvoProcessPendingMessages();
// Readable while the calling thread's loop has work (see MessageLoop).
int TarvoMessageLoopFd();
// Milliseconds until the calling thread's next timer is due, -1 for none.
int TarvoMessageLoopTimeoutMs();
}
