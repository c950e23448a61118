#pragma once
// Where the file that holds this code lies: the loadable module when the code
// is built into one, the program otherwise.
//
// Twins: module_path_posix.cpp (dladdr, made absolute with realpath) and
// module_path_win32.cpp (GetModuleHandleExW of an address in this code, then
// GetModuleFileNameW; returned as UTF-8).
//
// Threads: any thread.
#include <string>

namespace tarvo::platform {

// The absolute path of the file that holds this code; empty when the system
// cannot tell.
std::string ModulePath();
// The directory of ModulePath() without a trailing separator ("/" for a file
// in the root on Linux); empty when unknown.
std::string ModuleDirectory();

}  // namespace tarvo::platform
