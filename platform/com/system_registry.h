#pragma once
// The two registry files, as the system and the user hive of the classes
// root:
//
//   user    $TARVO_REGISTRY, or $XDG_CONFIG_HOME/tarvomdrv/registry.reg
//           (~/.config/tarvomdrv/registry.reg): registry::StorePath()
//   system  $TARVO_SYSTEM_REGISTRY, or <sysconfdir>/tarvomdrv/registry.reg of
//           the tree this runtime is installed in (/etc for /usr, <prefix>/etc
//           otherwise; /etc when it runs from a build folder)
//
// Registration writes one of them (the user's unless asked for the system
// file); class look-ups read the user's file first, then the system file.
#include <string>

namespace tarvo::com::registry {

// The system registry file.
std::string SystemStorePath();
// The system folder for configuration of a runtime installed under `prefix`
// ("/usr" -> "/etc", "/opt/x" -> "/etc/opt/x", otherwise prefix + "/etc").
std::string SysconfdirOfPrefix(const std::string& prefix);

// GetValue on the store file `store_path` instead of the user's file.
bool GetValueIn(const std::string& store_path, const std::string& key, const std::string& name,
                std::string& value);

// A value as a class look-up sees it: from the user's file if it has the
// key's value there, else from the system file.
bool LookUpValue(const std::string& key, const std::string& name, std::string& value);

// Makes every registry change of this process go to the system file (the
// registration functions of a module write through the runtime's registry
// functions, which follow TARVO_REGISTRY). Call before loading a module.
void WriteSystemStore();

}  // namespace tarvo::com::registry
