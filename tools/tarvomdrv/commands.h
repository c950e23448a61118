#pragma once
// The `simulate` and `demo` commands of the tarvomdrv program.
#include <string>

namespace CLI {
class App;
}

namespace tarvo::tool {

struct SimulateOptions {
  int port = 1;
  std::string device_dir;   // where to link the pseudo-terminal as COMn
  std::string device;       // a real serial device instead of a pseudo-terminal
  int baud = 9600;
  std::string ap = "AP0000001";
  std::string script;       // a JSON script file
  std::string scenario;     // "day841" or "day650"
  bool quiet = false;       // no line trace
  bool exit_after_script = false;
};
void AddSimulateOptions(CLI::App& command, SimulateOptions& options);
// Runs a simulated register until SIGINT/SIGTERM (or, with
// exit_after_script, until its script ended); returns the exit code.
int RunSimulate(const SimulateOptions& options);

struct DemoOptions {
  std::string log_dir;  // where KV500M.log goes (default: ./tarvo-demo-log)
  bool trace = false;   // show the serial line as well
};
void AddDemoOptions(CLI::App& command, DemoOptions& options);
int RunDemo(const std::string& module_path, const DemoOptions& options);

}  // namespace tarvo::tool
