#pragma once
// Self-registration of the module in the registry store (tarvo::com::registry;
// the system registry on Windows): the type library, its interfaces and the
// class Tarvo with its ProgID. On Windows the system registers the type
// library and its interfaces (RegisterTypeLib); see registration_steps.h.
//
// RegisterServer writes every key and value in a fixed order and stops at the
// first one that cannot be written: it then prints "Error creating system
// registry entry" to stderr and returns E_FAIL; what was written before
// stays. Writing again what is already there changes nothing, so registering
// twice leaves the store as registering once.
//
// UnregisterServer removes the same keys, children before parents; a key
// that is missing or cannot be deleted is passed over, and the result is S_OK.
//
// Threading: any thread; the store serialises its own changes.
#include <string>

#include "platform/com/com_abi.h"

namespace tarvo::automation {

inline constexpr char kProgId[] = "TarvoMDrv.Tarvo";
inline constexpr char kClassDescription[] = "Tarvo Control";
inline constexpr char kThreadingModel[] = "Apartment";
inline constexpr char kMiscStatus[] = "205201";
inline constexpr char kVerbProperties[] = "Properties,0,2";
inline constexpr char kRegistryWriteError[] = "Error creating system registry entry";

// Registers the module file `module_path` (absolute).
HRESULT RegisterServer(const std::string& module_path);
HRESULT UnregisterServer();

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case, as keys spell it.
std::string GuidText(const GUID& guid);

}  // namespace tarvo::automation
