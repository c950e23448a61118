// `tarvomdrv soak`: the driver against misbehaving registers for a given time.
//
// The driver runs in this process, created through the module's class
// factory and driven late-bound on this thread, as a point-of-sale program
// would use it. Up to four simulated registers (SoakRegister) on
// pseudo-terminals, linked as COM1..COM4 in a private device folder, send
// numbered online messages at the line's full rate and put faults on the line
// at random, including a hang-up and replug of the device, after which the
// host closes and reopens the port (Init or PortOpen). Meanwhile the host
// answers the registers' requests from its event handlers and keeps calling
// GetStatus and EcrCheck.
//
// At the end the registers stop, the host waits until the driver has handed
// over everything it acknowledged, and the report compares, per port, what
// the registers sent with what reached the host, lists the commands and
// their results, and the process's CPU time, memory, descriptors and threads.
#include "tools/tarvomdrv/soak.h"

#include <CLI/CLI.hpp>

#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <vector>

#include "automation/TarvoMDrv_TLB.h"
#include "platform/com/com_runtime.h"
#include "tools/tarvomdrv/late_binding.h"
#include "tools/tarvomdrv/module_host.h"
#include "tools/tarvomdrv/soak_process.h"
#include "tools/tarvomdrv/soak_register.h"

namespace tarvo::tool {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Memory check: the resident size at the end may exceed the baseline taken
// after the warm-up by this much (allocator caches, the log buffer, thread
// stacks touched later) before the run counts as growing.
constexpr std::int64_t kRssToleranceKib = 4 * 1024;
constexpr double kRssToleranceRatio = 0.10;
// The host's pause between two commands, chosen at random in this range. A
// command that waits for an answer sleeps 300 ms between two turns of the
// message loop, so the dispatcher hands over fewer messages meanwhile.
constexpr int kCommandGapMinMs = 500;
constexpr int kCommandGapMaxMs = 2500;
// Draining: the driver hands over ten messages a second; the wait ends when
// everything sent has arrived or nothing new arrived for this long.
constexpr auto kDrainQuiet = 5s;
constexpr auto kDrainLimit = 600s;
constexpr auto kStopLimit = 120s;
constexpr int kLogSizeKib = 100;

// What the host saw of one port.
struct HostPort {
  std::map<std::int32_t, int> received;  // sequence number -> times received
  std::int32_t highest = 0;
  std::uint64_t out_of_order = 0;        // arrived after a higher number
  std::uint64_t numbered_events = 0;
  int connects = 0;
  std::map<std::string, int> other_events;
  std::map<std::string, std::map<std::int32_t, int>> commands;  // name -> Value -> calls
};

struct PortVerdict {
  std::uint64_t lost = 0;        // sent (acknowledged) but never received
  std::uint64_t duplicated = 0;  // received more than once
  std::uint64_t unexpected = 0;  // received but neither sent nor abandoned
  std::uint64_t abandoned_arrived = 0;  // the register gave up, the host got it anyway
};

std::string Join(const std::map<std::int32_t, int>& values) {
  std::ostringstream out;
  bool first = true;
  for (const auto& [value, count] : values) {
    out << (first ? "" : " ") << value << ":" << count;
    first = false;
  }
  return out.str();
}

class Soak {
 public:
  Soak(const std::string& module_path, const SoakOptions& options)
      : module_path_(module_path), options_(options) {}
  int Run();

 private:
  void Pump(std::chrono::milliseconds at_most);
  void OnEvent(const std::string& name, const Json& args);
  void Record(int port, std::int32_t seq);
  std::int32_t Call(int port, const std::string& method, Json args, Json* result = nullptr);
  std::int32_t OpenPort(int port, bool handshake = true);
  void ServeReopenRequests();
  void CallACommand();
  bool AllArrived() const;
  PortVerdict Judge(int index) const;
  int Report(const ProcessSample& start, const ProcessSample& warm, const ProcessSample& end,
             double run_seconds, double drain_seconds);

  std::string module_path_;
  SoakOptions options_;
  std::mt19937_64 rng_;
  std::filesystem::path device_dir_;
  std::filesystem::path log_dir_;
  LateBoundControl* control_ = nullptr;
  std::vector<std::unique_ptr<SoakRegister>> registers_;
  std::map<int, HostPort> host_;  // by port number
  Clock::time_point last_numbered_{};
};

void Soak::Pump(std::chrono::milliseconds at_most) {
  int timeout = TarvoMessageLoopTimeoutMs();
  if (timeout < 0 || timeout > at_most.count()) timeout = static_cast<int>(at_most.count());
  pollfd fd{TarvoMessageLoopFd(), POLLIN, 0};
  ::poll(&fd, 1, timeout);
  TarvoProcessPendingMessages();
}

std::int32_t Soak::Call(int port, const std::string& method, Json args, Json* result) {
  args["port_num"] = port;
  const auto outcome = control_->CallMethod(method, args);
  // Negative values stand for calls that did not return normally.
  std::int32_t value = -1;
  if (outcome.request_error) {
    value = -1000;
  } else if (FAILED(outcome.hr)) {
    value = -1001;
  } else {
    value = outcome.result.value("Value", 0);  // PortClose has no Value: 0 when it returned
  }
  host_[port].commands[method][value] += 1;
  if (result) *result = outcome.result;
  return value;
}

std::int32_t Soak::OpenPort(int port, bool handshake) {
  return Call(port, handshake ? "Init" : "PortOpen",
              Json{{"baudrate", options_.baud}, {"log_size", kLogSizeKib}, {"sn_path", log_dir_.string()}});
}

void Soak::Record(int port, std::int32_t seq) {
  HostPort& h = host_[port];
  ++h.numbered_events;
  last_numbered_ = Clock::now();
  const int times = ++h.received[seq];
  if (times == 1 && seq < h.highest) ++h.out_of_order;
  if (seq > h.highest) h.highest = seq;
}

void Soak::OnEvent(const std::string& name, const Json& args) {
  const int port = args.value("port_num", 0);
  if (name == "OnOpenReceipt" || name == "OnCloseReceipt") {
    Record(port, args.value("receipt_num", 0));
  } else if (name == "OnSell") {
    Record(port, args.value("unit_price", 0));
  } else if (name == "OnPluInquire841") {
    const std::string code = args.value("plu_code", "");
    Record(port, static_cast<std::int32_t>(std::strtol(code.c_str(), nullptr, 10)));
    Call(port, "SendPlu",
         Json{{"plu_code", code}, {"desc", "Soak"}, {"group1", 1}, {"group2", 0}, {"group3", 0},
              {"status", "110000000011"}, {"vtsz", "0"}, {"link", "0"}, {"price1", 100},
              {"price2", 0}, {"price3", 0}});
  } else if (name == "OnSellRequest") {
    Record(port, args.value("multiplier", 0));
    Call(port, "OperationEnabled", Json{{"en", true}, {"disp_msg", ""}});
  } else if (name == "OnConnect") {
    ++host_[port].connects;
  } else if (port != 0) {
    ++host_[port].other_events[name];
  }
}

void Soak::ServeReopenRequests() {
  for (auto& reg : registers_) {
    if (!reg->TakeReopenRequest()) continue;
    // The device was replugged: close the dead line and open the new one,
    // with the handshake (Init) or without it (PortOpen).
    Call(reg->port(), "PortClose", Json::object());
    reg->ReportReopened(OpenPort(reg->port(), rng_() % 2 == 0));
  }
}

void Soak::CallACommand() {
  const int port = registers_[rng_() % registers_.size()]->port();
  Call(port, rng_() % 2 == 0 ? "GetStatus" : "EcrCheck", Json::object());
}

bool Soak::AllArrived() const {
  for (const auto& reg : registers_) {
    const auto it = host_.find(reg->port());
    for (const std::int32_t seq : reg->tally().sent) {
      if (it == host_.end() || !it->second.received.count(seq)) return false;
    }
  }
  return true;
}

PortVerdict Soak::Judge(int index) const {
  const SoakRegister& reg = *registers_[static_cast<std::size_t>(index)];
  const RegisterTally& t = reg.tally();
  PortVerdict v;
  const auto it = host_.find(reg.port());
  static const HostPort kNone;
  const HostPort& h = it == host_.end() ? kNone : it->second;
  for (const std::int32_t seq : t.sent)
    if (!h.received.count(seq)) ++v.lost;
  for (const auto& [seq, times] : h.received) {
    if (times > 1) v.duplicated += static_cast<std::uint64_t>(times - 1);
    if (t.abandoned.count(seq)) {
      ++v.abandoned_arrived;
    } else if (!t.sent.count(seq)) {
      ++v.unexpected;
    }
  }
  return v;
}

int Soak::Run() {
  std::uint64_t seed = options_.seed;
  if (seed == 0) seed = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
  rng_.seed(seed);
  const int ports = std::clamp(options_.ports, 1, 4);

  device_dir_ = std::filesystem::temp_directory_path() / ("tarvo-soak-" + std::to_string(::getpid()));
  std::filesystem::create_directories(device_dir_);
  ::setenv("TARVO_DEVICE_DIR", device_dir_.c_str(), 1);
  log_dir_ = options_.log_dir.empty() ? device_dir_ / "log" : std::filesystem::path(options_.log_dir);
  std::filesystem::create_directories(log_dir_);

  std::cout << "TarvoMDrv soak: " << ports << " register(s) at " << options_.baud << " baud for "
            << options_.seconds << " s, seed " << seed
            << (options_.hangup ? "" : ", without hang-ups") << "\n";

  for (int p = 1; p <= ports; ++p) {
    SoakRegisterOptions o;
    o.port = p;
    o.device_dir = device_dir_.string();
    o.baud = options_.baud;
    o.seed = seed * 31 + static_cast<std::uint64_t>(p);
    o.hangup = options_.hangup;
    o.pause_ms = options_.pause_ms;
    registers_.push_back(std::make_unique<SoakRegister>(o));
  }

  ModuleHost module(module_path_);
  IDispatch* raw = nullptr;
  const HRESULT hr = module.CreateControl(CLSID_Tarvo, &raw);
  if (FAILED(hr) || !raw) {
    std::cerr << "cannot create the control: " << HresultText(hr) << "\n";
    return 1;
  }
  LateBoundControl control(raw);
  raw->Release();
  control_ = &control;
  control.ConnectEvents([this](const std::string& name, const Json& args) { OnEvent(name, args); });
  control.Put("Mode650", false);  // the 841 mode: long PLU inquiries and sell requests
  for (const auto& reg : registers_) {
    const std::int32_t value = OpenPort(reg->port());
    if (value != 0) {
      std::cerr << "Init of COM" << reg->port() << " returned " << value << "\n";
      return 1;
    }
  }
  // Let the connection events of the handshakes arrive before counting.
  const auto settle_deadline = Clock::now() + 10s;
  while (Clock::now() < settle_deadline) {
    bool all = true;
    for (const auto& reg : registers_) all = all && host_[reg->port()].connects > 0;
    if (all) break;
    Pump(50ms);
  }

  const ProcessSample start = SampleProcess();
  const auto started = Clock::now();
  const auto end = started + std::chrono::seconds(options_.seconds);
  const auto warm_at = started + std::chrono::seconds(std::min(30, std::max(1, options_.seconds / 4)));
  std::optional<ProcessSample> warm;
  for (auto& reg : registers_) reg->Start();

  auto next_command = started + 300ms;
  auto next_progress = started + 10s;
  while (Clock::now() < end) {
    Pump(50ms);
    ServeReopenRequests();
    const auto now = Clock::now();
    if (!warm && now >= warm_at) warm = SampleProcess();
    if (now >= next_command) {
      CallACommand();
      next_command = Clock::now() + std::chrono::milliseconds(
                                        kCommandGapMinMs + rng_() % (kCommandGapMaxMs - kCommandGapMinMs));
    }
    if (now >= next_progress) {
      std::uint64_t events = 0;
      for (const auto& [port, h] : host_) events += h.numbered_events;
      std::cout << "  " << std::chrono::duration_cast<std::chrono::seconds>(now - started).count()
                << " s: " << events << " numbered events" << std::endl;
      next_progress += 10s;
    }
  }
  const double run_seconds = std::chrono::duration<double>(Clock::now() - started).count();
  if (!warm) warm = SampleProcess();

  // Stop the registers; their last step may wait for the host's answer.
  for (auto& reg : registers_) reg->RequestStop();
  const auto stop_deadline = Clock::now() + kStopLimit;
  for (;;) {
    bool finished = true;
    for (const auto& reg : registers_) finished = finished && reg->Finished();
    if (finished || Clock::now() >= stop_deadline) break;
    Pump(50ms);
    ServeReopenRequests();
  }
  for (auto& reg : registers_) reg->Join();

  // Drain: the driver still holds what it acknowledged but has not handed over.
  const auto drain_started = Clock::now();
  last_numbered_ = drain_started;
  while (!AllArrived() && Clock::now() - last_numbered_ < kDrainQuiet &&
         Clock::now() - drain_started < kDrainLimit) {
    Pump(50ms);
  }
  const double drain_seconds = std::chrono::duration<double>(Clock::now() - drain_started).count();
  const ProcessSample finish = SampleProcess();

  control.Release();
  control_ = nullptr;
  const int status = Report(start, *warm, finish, run_seconds, drain_seconds);
  registers_.clear();
  std::error_code ec;
  std::filesystem::remove_all(device_dir_, ec);  // the links, and the log unless --log-dir kept it
  return status;
}

int Soak::Report(const ProcessSample& start, const ProcessSample& warm, const ProcessSample& end,
                 double run_seconds, double drain_seconds) {
  std::cout << "\nPer port (numbered messages; sent = acknowledged by the driver)\n";
  std::cout << std::left << std::setw(6) << "port" << std::right << std::setw(8) << "sent"
            << std::setw(8) << "events" << std::setw(6) << "lost" << std::setw(6) << "dup"
            << std::setw(7) << "order" << std::setw(10) << "abandoned" << std::setw(7) << "NAKs"
            << std::setw(9) << "resends" << std::setw(8) << "faults" << std::setw(8) << "replugs"
            << std::setw(9) << "connects" << std::setw(10) << "requests" << "\n";
  bool clean = true;
  double register_cpu = 0;
  std::map<std::string, int> fault_totals;
  for (std::size_t i = 0; i < registers_.size(); ++i) {
    const SoakRegister& reg = *registers_[i];
    const RegisterTally& t = reg.tally();
    const HostPort& h = host_[reg.port()];
    const PortVerdict v = Judge(static_cast<int>(i));
    int faults = 0;
    for (const auto& [name, n] : t.faults) {
      faults += n;
      fault_totals[name] += n;
    }
    register_cpu += t.cpu_seconds;
    std::cout << std::left << std::setw(6) << ("COM" + std::to_string(reg.port())) << std::right
              << std::setw(8) << t.sent.size() << std::setw(8) << h.numbered_events << std::setw(6)
              << v.lost << std::setw(6) << v.duplicated << std::setw(7) << h.out_of_order
              << std::setw(10) << t.abandoned.size() << std::setw(7) << t.naks_received
              << std::setw(9) << t.resends << std::setw(8) << faults << std::setw(8) << t.replugs
              << std::setw(9) << h.connects << std::setw(10)
              << (std::to_string(t.requests_answered) + "/" + std::to_string(t.requests)) << "\n";
    if (v.lost || v.duplicated || h.out_of_order || v.unexpected) clean = false;
    if (!t.failed_sends.empty()) {
      std::cout << "      COM" << reg.port() << " sends without acknowledgement:";
      for (const auto& [why, n] : t.failed_sends) std::cout << "  " << why << " " << n;
      std::cout << "\n";
    }
    if (v.unexpected || v.abandoned_arrived || t.replugs_unanswered) {
      std::cout << "      COM" << reg.port() << ": " << v.unexpected << " received that were never sent, "
                << v.abandoned_arrived << " abandoned by the register but received, "
                << t.replugs_unanswered << " replug(s) the host did not reopen in time\n";
    }
  }

  std::cout << "\nFaults injected (all ports):";
  for (const auto& [name, n] : fault_totals) std::cout << "  " << name << " " << n;
  std::cout << "\n\nCommands per port (Value:calls)\n";
  for (const auto& reg : registers_) {
    const HostPort& h = host_[reg->port()];
    std::cout << "  COM" << reg->port() << ":";
    for (const auto& [name, values] : h.commands) std::cout << "  " << name << " " << Join(values);
    std::cout << "\n";
  }
  std::cout << "\nOther events per port:";
  for (const auto& reg : registers_) {
    const HostPort& h = host_[reg->port()];
    int n = 0;
    for (const auto& [name, count] : h.other_events) n += count;
    std::cout << "  COM" << reg->port() << " " << n;
  }
  std::cout << "\n";

  const double process_cpu = end.cpu_seconds - start.cpu_seconds;
  const double host_cpu = std::max(0.0, process_cpu - register_cpu);
  const std::int64_t peak_rss = std::max({start.peak_rss_kib, warm.peak_rss_kib, end.peak_rss_kib,
                                          start.rss_kib, warm.rss_kib, end.rss_kib});
  const std::int64_t rss_limit =
      warm.rss_kib + std::max<std::int64_t>(kRssToleranceKib, static_cast<std::int64_t>(warm.rss_kib * kRssToleranceRatio));
  const bool fds_ok = end.descriptors == start.descriptors;
  const bool threads_ok = end.threads == start.threads;
  const bool rss_ok = end.rss_kib <= rss_limit;
  std::cout << std::fixed << std::setprecision(2) << "\nProcess\n"
            << "  run " << run_seconds << " s, drain " << drain_seconds << " s\n"
            << "  CPU: host and driver " << host_cpu << " s (" << 100.0 * host_cpu / run_seconds
            << " % of one core), simulated registers " << register_cpu << " s\n"
            << "  RSS: start " << start.rss_kib << " KiB, warmed up " << warm.rss_kib << " KiB, end "
            << end.rss_kib << " KiB (limit " << rss_limit << "), peak " << peak_rss << " KiB"
            << (rss_ok ? "" : "  GROWING") << "\n"
            << "  descriptors: start " << start.descriptors << ", end " << end.descriptors
            << (fds_ok ? "" : "  LEAK") << "\n"
            << "  threads: start " << start.threads << ", end " << end.threads
            << (threads_ok ? "" : "  LEAK") << "\n";
  const bool pass = clean && fds_ok && threads_ok && rss_ok;
  std::cout << "\n" << (pass ? "PASS" : "FAIL")
            << ": " << (clean ? "no message lost, duplicated or reordered" : "messages lost, duplicated or reordered")
            << "; resources " << (fds_ok && threads_ok && rss_ok ? "back where they started" : "not back where they started")
            << "\n";
  return pass ? 0 : 1;
}

}  // namespace

void AddSoakOptions(CLI::App& command, SoakOptions& options) {
  command.add_option("--seconds", options.seconds, "how long the registers send (default 60)");
  command.add_option("--ports", options.ports, "registers on COM1..COMn, 1 to 4 (default 4)");
  command.add_option("--seed", options.seed, "random seed (default: from the clock, printed)");
  command.add_option("--baud", options.baud, "line rate, 9600 or 19200 (default 19200)");
  command.add_flag("!--no-hangup", options.hangup, "leave out the hang-up and replug fault");
  command.add_option("--pause-ms", options.pause_ms, "registers' pause between messages (default 0)");
  command.add_option("--log-dir", options.log_dir, "keep the diagnostic log in this folder");
}

int RunSoak(const std::string& module_path, const SoakOptions& options) {
  Soak soak(module_path, options);
  return soak.Run();
}

}  // namespace tarvo::tool
