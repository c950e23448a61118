// `tarvomdrv simulate`: a cash register on a pseudo-terminal (or a real
// device), for developing against the driver without hardware.
#include <CLI/CLI.hpp>

#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "tools/sim/register_sim.h"
#include "tools/sim/script.h"
#include "tools/tarvomdrv/commands.h"

namespace tarvo::tool {

void AddSimulateOptions(CLI::App& command, SimulateOptions& options) {
  command.add_option("-p,--port", options.port, "port number n of COMn (1..16)")
      ->check(CLI::Range(1, 16));
  command.add_option("--device-dir", options.device_dir,
                     "directory to link the line into as COMn (default: $TARVO_DEVICE_DIR)");
  command.add_option("--device", options.device, "use this serial device instead of a pseudo-terminal");
  command.add_option("--baud", options.baud, "line speed of a real device")->check(CLI::IsMember({9600, 19200}));
  command.add_option("--ap", options.ap, "the register's AP number (9 characters)");
  command.add_option("--script", options.script, "play this JSON script once the host has connected");
  command.add_option("--scenario", options.scenario, "play a built-in day: day841 or day650")
      ->check(CLI::IsMember({"day841", "day650"}));
  command.add_flag("-q,--quiet", options.quiet, "do not print the line trace");
  command.add_flag("--exit-after-script", options.exit_after_script,
                   "end when the script has been played");
}

int RunSimulate(const SimulateOptions& options) {
  // SIGINT/SIGTERM end the simulator; they are taken with sigwait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::optional<sim::Script> script;
  if (!options.script.empty()) {
    std::ifstream in(options.script);
    if (!in) {
      std::cerr << "tarvomdrv simulate: cannot read " << options.script << "\n";
      return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    script = sim::ParseScript(text.str());
  } else if (options.scenario == "day841") {
    script = sim::BusinessDay841();
  } else if (options.scenario == "day650") {
    script = sim::ShortDay650();
  }

  sim::SimOptions sim_options;
  sim_options.port = options.port;
  sim_options.device_path = options.device;
  sim_options.baud = options.baud;
  sim_options.device_dir = options.device_dir;
  sim_options.ap = options.ap;
  if (!options.quiet)
    sim_options.trace = [](std::string_view line) { std::cout << line << std::endl; };
  sim::RegisterSimulator reg(sim_options);
  std::cout << "register " << reg.port_name() << " on " << reg.host_path();
  if (!reg.link_path().empty()) std::cout << " (linked as " << reg.link_path() << ")";
  std::cout << std::endl;

  std::atomic<int> exit_code{0};
  std::atomic<bool> finished{false};
  std::thread player;
  if (script) {
    player = std::thread([&] {
      // A register speaks when spoken to: the script starts once the host
      // has reset the link.
      while (!reg.WaitForLinkReset(std::chrono::hours(1)) && !reg.hung_up()) {
      }
      const sim::ScriptResult result = reg.RunScript(*script);
      if (result.ok) {
        std::cout << "script done: " << result.steps_run << " steps" << std::endl;
      } else {
        std::cout << "script stopped at step " << result.failed_step << ": " << result.error << std::endl;
        exit_code = 1;
      }
      finished = true;
      if (options.exit_after_script) kill(getpid(), SIGTERM);
    });
  }
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  if (player.joinable()) {
    if (!finished) reg.HangUp();  // ends a script that still waits or plays
    player.join();
  }
  return exit_code;
}

}  // namespace tarvo::tool
