#pragma once
// What the loaded module knows about itself: how many control objects and
// server locks are alive (for DllCanUnloadNow), where its file lies (for
// registration), its version, and the message loop of each thread that hosts
// controls.
//
// Threading: the counters are atomics and may be touched from any thread
// (AddRef/Release of a control are free-threaded). ThreadLoop() belongs to the
// calling thread.
#include <cstdint>
#include <string>

#include "platform/com/com_abi.h"
#include "platform/message_loop.h"

// The version block that DllGetVersion fills (the layout of DLLVERSIONINFO).
struct DLLVERSIONINFO {
  DWORD cbSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformID;
};
inline constexpr DWORD DLLVER_PLATFORM_WINDOWS = 0x1;
inline constexpr DWORD DLLVER_PLATFORM_NT = 0x2;

namespace tarvo::automation {

// File and product version of the module: 3.0.2.2.
inline constexpr DWORD kVersionMajor = 3;
inline constexpr DWORD kVersionMinor = 0;
inline constexpr DWORD kVersionRelease = 2;
inline constexpr DWORD kVersionBuild = 2;
inline constexpr char kVersionText[] = "3.0.2.2";

// Objects of the module that keep it from being unloaded: controls, the
// enumerators, fonts, type libraries, type informations and type comps it
// hands out (connection points share their control's count).
void ObjectCreated();
void ObjectDestroyed();
// IClassFactory::LockServer.
void LockModule();
void UnlockModule();
std::int32_t LiveObjects();
std::int32_t ServerLocks();
// True when no object lives and no lock is held.
bool CanUnloadNow();

// The absolute path of the file that holds this code (the loadable module
// when the code is built into it; see platform/module_path.h), and its
// directory (without a trailing separator). Empty when the system cannot tell.
std::string ModulePath();
std::string ModuleDirectory();

// The calling thread's message loop: the stand-in for the thread's window
// message loop. It is the COM runtime's loop of the thread, so the host (with
// TarvoProcessPendingMessages or the loop's descriptor) and every control of
// the thread share one loop whatever the number of controls and modules. The
// loop ends with its thread: a control must be released on its thread before
// the thread ends, as the apartment model requires anyway.
platform::MessageLoop& ThreadLoop();

}  // namespace tarvo::automation
