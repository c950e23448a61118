// The driver on the line: event latency, four registers at full rate, and the
// acknowledgement turnaround against a minimal acknowledger.
//
// The driver runs in this process, created through the module's class factory
// and driven late-bound on the main thread, as a point-of-sale program uses
// it; registers sit on pseudo-terminals linked as COMn in a private device
// folder. This is a plain program (not Google Benchmark): each measurement
// needs the control's message loop on the main thread and takes seconds of
// line time, not microseconds of CPU.
//
//   tarvo_line_bench [--latency-messages N] [--rate-seconds S] [--turnarounds N]
//
// It prints one Markdown table; timings from a shared machine are noisy.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "automation/TarvoMDrv_TLB.h"
#include "link/frame.h"
#include "platform/com/com_runtime.h"
#include "tools/sim/messages.h"
#include "tools/sim/register_sim.h"
#include "tools/sim/sim_line.h"
#include "tools/tarvomdrv/late_binding.h"
#include "tools/tarvomdrv/module_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using tarvo::tool::Json;
using tarvo::tool::LateBoundControl;

constexpr double kDispatcherTickMs = 100.0;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double ProcessCpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// p in [0, 100] of the sorted values.
double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto i = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

std::string Fixed(double v, int digits = 1) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

// A device folder for COMn links, and TARVO_DEVICE_DIR pointing at it.
class DeviceDir {
 public:
  DeviceDir() {
    path_ = std::filesystem::temp_directory_path() / ("tarvo-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path_);
    ::setenv("TARVO_DEVICE_DIR", path_.c_str(), 1);
  }
  ~DeviceDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string Link(int port, const std::string& target) const {
    const auto link = path_ / ("COM" + std::to_string(port));
    std::filesystem::remove(link);
    std::filesystem::create_symlink(target, link);
    return link.string();
  }
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// The control on this thread, with its message loop.
class Host {
 public:
  explicit Host(const tarvo::tool::ModuleHost& module) {
    IDispatch* raw = nullptr;
    if (FAILED(module.CreateControl(CLSID_Tarvo, &raw)) || !raw) throw std::runtime_error("no control");
    control_ = std::make_unique<LateBoundControl>(raw);
    raw->Release();
    control_->ConnectEvents([this](const std::string& name, const Json& args) {
      if (on_event) on_event(name, args);
    });
  }
  ~Host() { control_->Release(); }

  std::int32_t PortOpen(int port, int baud) {
    auto o = control_->CallMethod("PortOpen", Json{{"port_num", port}, {"baudrate", baud}, {"log_size", 0},
                                                  {"sn_path", ""}});
    return o.result.value("Value", -1);
  }
  void PortClose(int port) { control_->CallMethod("PortClose", Json{{"port_num", port}}); }

  // Runs the message loop (timers, dispatcher, events) until `done` or `limit`.
  bool PumpUntil(const std::function<bool()>& done, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
      if (Clock::now() >= deadline) return false;
      int timeout = TarvoMessageLoopTimeoutMs();
      if (timeout < 0 || timeout > 20) timeout = 20;
      pollfd fd{TarvoMessageLoopFd(), POLLIN, 0};
      ::poll(&fd, 1, timeout);
      TarvoProcessPendingMessages();
    }
    return true;
  }

  std::function<void(const std::string&, const Json&)> on_event;

 private:
  std::unique_ptr<LateBoundControl> control_;
};

// Reads from `fd` until `want` bytes came or `timeout` passed.
std::string ReadSome(int fd, std::size_t want, std::chrono::milliseconds timeout) {
  std::string got;
  const auto deadline = Clock::now() + timeout;
  char buf[256];
  while (got.size() < want) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    else if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
  }
  return got;
}

// --- event latency --------------------------------------------------------------

struct LatencyResult {
  std::vector<double> ms;
  int sent = 0;
};

// One register writes numbered sale lines, spaced at random so that they
// meet the dispatcher's tick at every phase; each latency runs from the
// moment the frame's last byte was written to the pseudo-terminal to the
// host's event handler.
LatencyResult MeasureEventLatency(const tarvo::tool::ModuleHost& module, const DeviceDir& dir, int messages) {
  auto line = tarvo::sim::SimLine::OpenPty();
  dir.Link(1, line.host_path());
  Host host(module);
  if (host.PortOpen(1, 19200) != 0) throw std::runtime_error("PortOpen failed");

  std::mutex mu;
  std::map<std::int32_t, Clock::time_point> written;  // under mu
  std::vector<double> latencies;                      // main thread
  host.on_event = [&](const std::string& name, const Json& args) {
    if (name != "OnSell") return;
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mu);
    const auto it = written.find(args.value("unit_price", -1));
    if (it != written.end()) latencies.push_back(Ms(now - it->second));
  };

  std::atomic<bool> done{false};
  int sent = 0;
  std::thread reg([&] {
    std::mt19937 rng(7);
    for (int i = 1; i <= messages; ++i) {
      const std::string frame =
          tarvo::link::BuildFrame(tarvo::sim::msg::Sale({0, 'P', "5998", i, i, 1000}));
      {
        std::lock_guard<std::mutex> lock(mu);
        if (!line.WriteAll(frame)) break;
        written[i] = Clock::now();
      }
      ReadSome(line.fd(), 2, 2000ms);  // the acknowledgement
      ++sent;
      // 120 to 260 ms apart: slower than the dispatcher, at every phase of its tick.
      std::this_thread::sleep_for(std::chrono::milliseconds(120 + rng() % 141));
    }
    done = true;
  });
  host.PumpUntil([&] { return done.load(); }, std::chrono::seconds(messages) + 30s);
  reg.join();
  host.PumpUntil([&] { return latencies.size() >= static_cast<std::size_t>(sent); }, 5s);
  host.PortClose(1);
  return {latencies, sent};
}

// --- four registers at full line rate ------------------------------------------

struct RateResult {
  double seconds = 0;
  double host_cpu = 0;  // the driver and the host, without the simulated registers
  std::uint64_t acked = 0;
  std::uint64_t naks = 0;
  std::uint64_t events = 0;
};

RateResult MeasureFullRate(const tarvo::tool::ModuleHost& module, const DeviceDir& dir, int seconds) {
  std::vector<std::unique_ptr<tarvo::sim::RegisterSimulator>> regs;
  for (int p = 1; p <= 4; ++p) {
    tarvo::sim::SimOptions o;
    o.port = p;
    o.device_dir = dir.path();
    o.baud = 19200;
    o.line_rate_baud = 19200;
    o.max_resends = 1000;
    o.ack_timeout_ms = 2000;
    regs.push_back(std::make_unique<tarvo::sim::RegisterSimulator>(o));
  }
  Host host(module);
  for (int p = 1; p <= 4; ++p)
    if (host.PortOpen(p, 19200) != 0) throw std::runtime_error("PortOpen failed");
  std::uint64_t events = 0;
  host.on_event = [&](const std::string& name, const Json&) {
    if (name == "OnSell") ++events;
  };

  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> acked{0};
  std::atomic<int> finished{0};
  std::vector<double> sender_cpu(4, 0.0);
  std::vector<std::thread> senders;
  const double cpu_before = ProcessCpuSeconds();
  double sims_before = 0;
  for (auto& r : regs) sims_before += r->LineThreadCpuSeconds();
  const auto started = Clock::now();
  for (int i = 0; i < 4; ++i) {
    senders.emplace_back([&, i] {
      for (std::int32_t n = 1; !stop; ++n) {
        if (regs[static_cast<std::size_t>(i)]->Send(tarvo::sim::msg::Sale({0, 'P', "5998", n, n, 1000})) ==
            tarvo::sim::SendStatus::kAcked)
          ++acked;
      }
      sender_cpu[static_cast<std::size_t>(i)] = ThreadCpuSeconds();
      ++finished;
    });
  }
  const auto end = started + std::chrono::seconds(seconds);
  host.PumpUntil([&] { return Clock::now() >= end; }, std::chrono::seconds(seconds) + 1s);
  const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
  const std::uint64_t events_in_time = events;
  const std::uint64_t acked_in_time = acked;
  stop = true;
  host.PumpUntil([&] { return finished.load() == 4; }, 30s);
  for (auto& t : senders) t.join();
  double sims = -sims_before;
  std::uint64_t naks = 0;
  for (auto& r : regs) {
    sims += r->LineThreadCpuSeconds();
    naks += r->Counters().naks_received;
  }
  for (double c : sender_cpu) sims += c;
  const double process = ProcessCpuSeconds() - cpu_before;
  for (int p = 1; p <= 4; ++p) host.PortClose(p);
  RateResult r;
  r.seconds = elapsed;
  r.host_cpu = std::max(0.0, process - sims);
  r.acked = acked_in_time;
  r.naks = naks;
  r.events = events_in_time;
  return r;
}

// --- acknowledgement turnaround ------------------------------------------------

struct TurnaroundResult {
  std::vector<double> ms;
  int acks = 0;
  int naks = 0;
};

// Writes frames on the register's side and times each until the answer (DLE
// ACK, or NAK from a driver whose queue is full) is read back.
TurnaroundResult RoundTrips(tarvo::sim::SimLine& line, int count, const std::atomic<bool>* abort) {
  TurnaroundResult r;
  for (int i = 1; i <= count && !(abort && *abort); ++i) {
    // A kind the dispatcher ignores, without DLE bytes in the body.
    const std::string frame = tarvo::link::BuildFrame(std::string("\x8B\x01\x02\x03\x04", 5));
    const auto t0 = Clock::now();
    if (!line.WriteAll(frame)) break;
    const std::string answer = ReadSome(line.fd(), 1, 2000ms);
    const auto t1 = Clock::now();
    if (answer.empty()) continue;
    if (answer[0] == '\x15') {
      ++r.naks;
    } else {
      if (answer.size() < 2) ReadSome(line.fd(), 1, 100ms);
      ++r.acks;
    }
    r.ms.push_back(Ms(t1 - t0));
    std::this_thread::sleep_for(2ms);
  }
  return r;
}

TurnaroundResult MeasureDriverTurnaround(const tarvo::tool::ModuleHost& module, const DeviceDir& dir, int count) {
  auto line = tarvo::sim::SimLine::OpenPty();
  dir.Link(1, line.host_path());
  Host host(module);
  if (host.PortOpen(1, 19200) != 0) throw std::runtime_error("PortOpen failed");
  std::atomic<bool> done{false};
  TurnaroundResult r;
  std::thread reg([&] {
    r = RoundTrips(line, count, nullptr);
    done = true;
  });
  host.PumpUntil([&] { return done.load(); }, std::chrono::seconds(count) + 30s);
  reg.join();
  host.PortClose(1);
  return r;
}

// The least any host can do: a thread that reads the pseudo-terminal's other
// end and answers DLE ACK as soon as a frame's checksum byte is in.
TurnaroundResult MeasureMinimalTurnaround(int count) {
  auto line = tarvo::sim::SimLine::OpenPty();
  const int fd = ::open(line.host_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + line.host_path());
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  ::tcsetattr(fd, TCSANOW, &tio);
  std::atomic<bool> stop{false};
  std::thread acker([&] {
    std::string buf;
    char chunk[256];
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n <= 0) break;
      buf.append(chunk, static_cast<std::size_t>(n));
      const auto etx = buf.find("\x10\x03");
      if (etx != std::string::npos && buf.size() >= etx + 3) {
        [[maybe_unused]] const ssize_t w = ::write(fd, "\x10\x06", 2);
        buf.erase(0, etx + 3);
      }
    }
  });
  TurnaroundResult r = RoundTrips(line, count, nullptr);
  stop = true;
  acker.join();
  ::close(fd);
  return r;
}

int IntArg(int argc, char** argv, const char* name, int fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const int latency_messages = IntArg(argc, argv, "--latency-messages", 200);
  const int rate_seconds = IntArg(argc, argv, "--rate-seconds", 20);
  const int turnarounds = IntArg(argc, argv, "--turnarounds", 300);
  try {
    DeviceDir dir;
    tarvo::tool::ModuleHost module(tarvo::tool::DefaultModulePath());

    std::cerr << "event latency: " << latency_messages << " messages ..." << std::endl;
    const LatencyResult lat = MeasureEventLatency(module, dir, latency_messages);
    std::cerr << "four registers at 19200 baud for " << rate_seconds << " s ..." << std::endl;
    const RateResult rate = MeasureFullRate(module, dir, rate_seconds);
    std::cerr << "acknowledgement turnaround: " << turnarounds << " frames each ..." << std::endl;
    const TurnaroundResult drv = MeasureDriverTurnaround(module, dir, turnarounds);
    const TurnaroundResult min = MeasureMinimalTurnaround(turnarounds);

    const double drv50 = Percentile(drv.ms, 50), drv99 = Percentile(drv.ms, 99);
    const double min50 = Percentile(min.ms, 50), min99 = Percentile(min.ms, 99);
    std::cout << "| Measurement | Result |\n|---|---|\n";
    std::cout << "| Event latency, frame's last byte written -> host's event handler (" << lat.ms.size()
              << " of " << lat.sent << " messages) | p50 " << Fixed(Percentile(lat.ms, 50)) << " ms, p99 "
              << Fixed(Percentile(lat.ms, 99)) << " ms, max " << Fixed(Percentile(lat.ms, 100))
              << " ms; dispatcher tick " << Fixed(kDispatcherTickMs, 0) << " ms (p50 = "
              << Fixed(Percentile(lat.ms, 50) / kDispatcherTickMs, 2) << " tick) |\n";
    std::cout << "| Four registers at 19200 baud, " << Fixed(rate.seconds) << " s: host and driver CPU | "
              << Fixed(1000.0 * rate.host_cpu / rate.seconds, 1) << " ms per second of line time ("
              << Fixed(100.0 * rate.host_cpu / rate.seconds, 2) << " % of one core) |\n";
    std::cout << "| Four registers at 19200 baud: events per second | " << Fixed(rate.events / rate.seconds)
              << " (frames acknowledged " << Fixed(rate.acked / rate.seconds) << "/s, NAKs "
              << Fixed(rate.naks / rate.seconds) << "/s; the dispatcher takes at most 10/s) |\n";
    std::cout << "| Acknowledgement turnaround, driver (" << drv.acks << " ACK, " << drv.naks
              << " NAK) | p50 " << Fixed(drv50, 3) << " ms, p99 " << Fixed(drv99, 3) << " ms |\n";
    std::cout << "| Acknowledgement turnaround, minimal acknowledger (" << min.acks << " ACK) | p50 "
              << Fixed(min50, 3) << " ms, p99 " << Fixed(min99, 3) << " ms |\n";
    std::cout << "| Turnaround ratio, driver / minimal | p50 " << Fixed(min50 > 0 ? drv50 / min50 : 0, 2)
              << "x, p99 " << Fixed(min99 > 0 ? drv99 / min99 : 0, 2) << "x |\n";
  } catch (const std::exception& e) {
    std::cerr << "tarvo_line_bench: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
