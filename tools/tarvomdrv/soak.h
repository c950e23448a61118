#pragma once
// `tarvomdrv soak`: the driver against misbehaving registers for a given time.
#include <cstdint>
#include <string>

namespace CLI {
class App;
}

namespace tarvo::tool {

struct SoakOptions {
  int seconds = 60;
  int ports = 4;             // COM1 .. COMn, at most 4
  std::uint64_t seed = 0;    // 0: taken from the clock (and printed)
  int baud = 19200;
  bool hangup = true;        // --no-hangup leaves out the hang-up and replug fault
  int pause_ms = 0;          // think time of the registers between messages
  std::string log_dir;       // keep the diagnostic log here (default: a temporary folder)
};
void AddSoakOptions(CLI::App& command, SoakOptions& options);
// Runs the soak and prints its report; 0 when nothing was lost, duplicated or
// reordered and the process's descriptors, threads and memory ended where
// they started.
int RunSoak(const std::string& module_path, const SoakOptions& options);

}  // namespace tarvo::tool
