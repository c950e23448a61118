#pragma once
// The pieces of self-registration (registration.h) that its parts share. The
// steps that depend on the system have twins: registration_posix.cpp writes
// the type library's keys into the registry store like a type-library
// registration does and registers paths as they are; registration_win32.cpp
// has the system register the type library and shortens paths with spaces.
// The class's part is the same everywhere (registration.cpp).
#include <string>
#include <vector>

#include "platform/com/com_abi.h"

namespace tarvo::automation {

// One text value to write; an empty name is the key's default value.
struct RegistryWrite {
  std::string key;
  std::string name;
  std::string value;
};

// Writes the values in order and stops at the first that cannot be written:
// it then prints kRegistryWriteError with the key and the code to stderr and
// returns E_FAIL.
HRESULT WriteAll(const std::vector<RegistryWrite>& writes);
// Deletes the keys in order; a missing key or one that cannot go (it still
// has subkeys, or the store is not writable) is passed over.
void DeleteAll(const std::vector<std::string>& keys);

// "major.minor".
std::string VersionText(unsigned major, unsigned minor);

// Registers the type library that the module file `module_path` carries, with
// its automation interfaces. S_OK, or E_FAIL after printing
// kRegistryWriteError.
HRESULT RegisterTypeLibrary(const std::string& module_path);
// Removes what RegisterTypeLibrary wrote; what is missing is passed over.
void UnregisterTypeLibrary();

// The module's file name as InprocServer32 carries it: its short form when
// it contains a space and the system has short names, else as it is.
std::string InprocServerPath(const std::string& module_path);

}  // namespace tarvo::automation
