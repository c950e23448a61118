// The `tarvomdrv ports` command.
#include "tools/tarvomdrv/ports.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>

namespace tarvo::tool {

void AddPortsOptions(CLI::App& command, PortsOptions& options) {
  command.add_option("--link", options.link,
                     "link DEVICE as COMn in the device directory ($TARVO_DEVICE_DIR)")
      ->expected(2)
      ->type_name("COMn DEVICE");
}

int RunPorts(const PortsOptions& options) {
  PortsRoots roots;
  if (const char* dir = std::getenv("TARVO_DEVICE_DIR"); dir != nullptr) roots.device_dir = dir;
  if (options.link.size() == 2) {
    const std::string error = LinkComPort(roots.device_dir, options.link[0], options.link[1]);
    if (!error.empty()) {
      std::cerr << "tarvomdrv ports: " << error << "\n";
      return 1;
    }
    std::cout << options.link[0] << " -> " << options.link[1] << " in " << roots.device_dir
              << "\n";
    return 0;
  }
  std::cout << FormatSerialDevices(ListSerialDevices(roots));
  return 0;
}

}  // namespace tarvo::tool
