#pragma once
// One misbehaving register of the soak run.
//
// A SoakRegister owns a simulated register (tools/sim) on a pseudo-terminal
// linked as COMn, and a thread that plays it: numbered online messages (a
// receipt course with sales, PLU inquiries and department sell requests) mixed
// at random with line faults. Every numbered message carries its sequence
// number in a field its event passes on to the host:
//
//   receipt opening / closing   receipt number   OnOpenReceipt / OnCloseReceipt
//   sale line                   unit price       OnSell
//   PLU inquiry (long form)     PLU code         OnPluInquire841
//   department sell request     multiplier       OnSellRequest
//
// so that the host can tell, per port, what was lost, duplicated or
// reordered. A message counts as sent only when the driver acknowledged it
// (after as many resends as its NAKs asked for); a message the register gives
// up on is counted as abandoned, not as lost by the driver.
//
// Faults (each between two numbered messages, never while one is in flight,
// so that an acknowledgement can only belong to the frame it answers):
// garbage bytes, a cut frame followed at once by the next frame, an enquiry,
// a stray acknowledgement, a NAK storm (NAK bytes to the host and NAKs for the
// host's next frames), silence in the middle of a frame, and a hang-up with a
// replug of the device (the pseudo-terminal closed, a new one linked under the
// same COMn, after which the host reopens the port).
//
// Threads: the register thread owns the simulator and the tally while it
// runs; the host's thread talks to it only through the reopen hand-shake
// (under `mu_`). The tally is read after Join().
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "tools/sim/register_sim.h"

namespace tarvo::tool {

struct SoakRegisterOptions {
  int port = 1;
  std::string device_dir;
  int baud = 19200;
  std::uint64_t seed = 1;
  bool hangup = true;        // include hang-up and replug among the faults
  int pause_ms = 0;          // think time between messages (0: full line rate)
  int fault_percent = 10;    // chance that the next step is a fault
  int hangup_interval_s = 30;  // about one replug in this many seconds
};

// What the register side saw. Filled by the register thread.
struct RegisterTally {
  std::set<std::int32_t> sent;       // acknowledged by the driver
  std::set<std::int32_t> abandoned;  // given up after repeated failures
  std::map<std::string, int> failed_sends;  // why a Send() did not end in an acknowledgement
  std::uint64_t naks_received = 0;   // NAK bytes from the driver
  std::uint64_t resends = 0;         // frames repeated after a NAK
  std::uint64_t frames_written = 0;
  std::uint64_t bytes_written = 0;
  std::map<std::string, int> faults;  // fault name -> times injected
  int replugs = 0;
  int replugs_unanswered = 0;         // the host did not reopen the port in time
  int requests = 0;                   // inquiries and sell requests sent
  int requests_answered = 0;          // ... that got the host's answer
  double cpu_seconds = 0;             // register and simulator threads
};

class SoakRegister {
 public:
  explicit SoakRegister(SoakRegisterOptions options);
  ~SoakRegister();  // stops the thread
  SoakRegister(const SoakRegister&) = delete;
  SoakRegister& operator=(const SoakRegister&) = delete;

  int port() const { return options_.port; }
  const std::string& ap() const { return ap_; }

  void Start();
  // Asks the thread to end after its current step (no more faults or
  // messages). The host keeps pumping its message loop until Finished(),
  // since the step may wait for the host's answer, then calls Join().
  void RequestStop();
  bool Finished() const { return finished_.load(); }
  void Join();
  const RegisterTally& tally() const { return tally_; }  // after Join()

  // Reopen hand-shake with the host's thread: after a replug the register
  // waits until the host has closed and reopened the port.
  bool TakeReopenRequest();
  void ReportReopened(std::int32_t value);

 private:
  void Run();
  enum class Prelude { kNone, kCutFrame, kSilenceMidFrame };
  void NextMessage(Prelude prelude);
  bool SendNumbered(const std::string& body, std::int32_t seq);
  bool AwaitAnswer(sim::Answer what, std::uint64_t mark);
  void InjectFault();
  void Replug();
  std::unique_ptr<sim::RegisterSimulator> NewSimulator();
  void Fold(const sim::RegisterSimulator& sim);  // adds a simulator's counters to the tally
  std::string CutFrame(const std::string& body);
  bool Stopping();
  // Waits `ms` or until stopped; false when stopped.
  bool Pause(int ms);

  const SoakRegisterOptions options_;
  const std::string ap_;
  std::mt19937_64 rng_;

  // --- register thread only (and after Stop) ---
  std::unique_ptr<sim::RegisterSimulator> sim_;
  RegisterTally tally_;
  std::int32_t next_seq_ = 1;
  bool receipt_open_ = false;
  int lines_in_receipt_ = 0;
  std::chrono::steady_clock::time_point next_hangup_{};

  // --- shared with the host's thread, under mu_ ---
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool reopen_requested_ = false;
  bool reopened_ = false;

  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace tarvo::tool
