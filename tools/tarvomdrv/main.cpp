// tarvomdrv: the command-line front door of the driver.
//
//   tarvomdrv --version              the module's version
//   tarvomdrv regsvr [-u] [--system] [MODULE]
//                                    register / unregister the module
//   tarvomdrv ports [--link COMn DEVICE]
//                                    the serial devices and their COMn names
//   tarvomdrv bridge                 JSON lines on stdin/stdout
//   tarvomdrv simulate ...           a register on a pseudo-terminal
//   tarvomdrv demo                   a business day on the built-in simulator
//   tarvomdrv soak ...               the driver against misbehaving registers
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

#include "tools/tarvomdrv/bridge.h"
#include "tools/tarvomdrv/commands.h"
#include "tools/tarvomdrv/module_host.h"
#include "tools/tarvomdrv/ports.h"
#include "tools/tarvomdrv/soak.h"
#include "platform/com/system_registry.h"

int main(int argc, char** argv) {
  CLI::App app{"TarvoMDrv: cash registers on serial ports, for point-of-sale programs"};
  app.require_subcommand(0, 1);
  std::string module_path = tarvo::tool::DefaultModulePath();
  app.add_option("--module", module_path, "the driver module (default: beside this program)");
  bool version = false;
  app.add_flag("--version", version, "print the module version and exit");

  auto* regsvr = app.add_subcommand("regsvr", "register (or with -u unregister) the module");
  bool unregister = false;
  std::string regsvr_module;
  regsvr->add_flag("-u,--unregister", unregister, "unregister instead");
  regsvr->add_option("MODULE", regsvr_module, "module file (default: the installed one)");
  bool system_store = false;
  regsvr->add_flag("--system", system_store,
                   "write the system registry file instead of the user's");

  tarvo::tool::PortsOptions ports_options;
  auto* ports = app.add_subcommand("ports", "the serial devices and the COMn names they are reached as");
  tarvo::tool::AddPortsOptions(*ports, ports_options);

  auto* bridge = app.add_subcommand("bridge", "JSON-lines bridge on standard input and output");

  tarvo::tool::SimulateOptions sim;
  auto* simulate = app.add_subcommand("simulate", "a cash register on a pseudo-terminal");
  tarvo::tool::AddSimulateOptions(*simulate, sim);

  tarvo::tool::DemoOptions demo_options;
  auto* demo = app.add_subcommand("demo", "a business day against the built-in register simulator");
  tarvo::tool::AddDemoOptions(*demo, demo_options);

  tarvo::tool::SoakOptions soak_options;
  auto* soak = app.add_subcommand("soak", "the driver against misbehaving simulated registers");
  tarvo::tool::AddSoakOptions(*soak, soak_options);

  CLI11_PARSE(app, argc, argv);

  try {
    if (version) {
      tarvo::tool::ModuleHost module(module_path);
      std::cout << module.Version() << "\n";
      return 0;
    }
    if (*regsvr) {
      if (system_store) tarvo::com::registry::WriteSystemStore();
      tarvo::tool::ModuleHost module(regsvr_module.empty() ? module_path : regsvr_module);
      const HRESULT hr = unregister ? module.Unregister() : module.Register();
      const char* what = unregister ? "DllUnregisterServer" : "DllRegisterServer";
      if (FAILED(hr)) {
        std::cerr << what << " in " << module.path() << " failed: "
                  << tarvo::tool::HresultText(hr) << "\n";
        return 1;
      }
      std::cout << what << " in " << module.path() << " succeeded.\n";
      return 0;
    }
    if (*ports) return tarvo::tool::RunPorts(ports_options);
    if (*bridge) return tarvo::tool::RunBridge(module_path);
    if (*simulate) return tarvo::tool::RunSimulate(sim);
    if (*demo) return tarvo::tool::RunDemo(module_path, demo_options);
    if (*soak) return tarvo::tool::RunSoak(module_path, soak_options);
  } catch (const std::exception& e) {
    std::cerr << "tarvomdrv: " << e.what() << "\n";
    return 1;
  }
  std::cout << app.help();
  return 0;
}
