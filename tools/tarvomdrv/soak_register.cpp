// One misbehaving register of the soak run: numbered messages and faults.
#include "tools/tarvomdrv/soak_register.h"

#include <time.h>

#include <utility>

#include "link/frame.h"
#include "tools/sim/messages.h"

namespace tarvo::tool {

namespace {

using Clock = std::chrono::steady_clock;

// A frame the driver leaves unacknowledged is tried this many times before
// the register gives up on it; between tries the register backs off a little
// longer each time, so that a fragment stuck in the driver's buffer grows old
// enough to be dropped.
constexpr int kSendAttempts = 6;
constexpr int kBackoffStepMs = 1000;
// A full message queue answers NAK until the dispatcher catches up: the
// register keeps resending as long as that lasts.
constexpr int kMaxResends = 200;
constexpr int kAckTimeoutMs = 1500;
// Silence in mid-frame outlasts the driver's ageing of partial input (more
// than three one-second ticks).
constexpr int kMidFrameSilenceMs = 4500;
// How long the host has to answer a request, and to reopen a replugged port.
constexpr auto kAnswerTimeout = std::chrono::seconds(10);
constexpr auto kReopenTimeout = std::chrono::seconds(30);

constexpr std::int32_t kClerkCode = 1111;

double ThreadCpuSeconds() {
  timespec ts{};
  if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0.0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string ApFor(int port) {
  std::string n = std::to_string(port);
  return "AP" + std::string(7 - n.size(), '0') + n;
}

}  // namespace

SoakRegister::SoakRegister(SoakRegisterOptions options)
    : options_(std::move(options)), ap_(ApFor(options_.port)), rng_(options_.seed) {
  // The device link exists before the host opens the port.
  sim_ = NewSimulator();
}

SoakRegister::~SoakRegister() {
  RequestStop();
  Join();
}

std::unique_ptr<sim::RegisterSimulator> SoakRegister::NewSimulator() {
  sim::SimOptions o;
  o.port = options_.port;
  o.ap = ap_;
  o.device_dir = options_.device_dir;
  o.baud = options_.baud;
  o.line_rate_baud = options_.baud;
  o.ack_timeout_ms = kAckTimeoutMs;
  o.max_resends = kMaxResends;
  o.turnaround_ms = 20;
  return std::make_unique<sim::RegisterSimulator>(o);
}

void SoakRegister::Start() {
  // The first hang-up comes early enough for a short run to see one.
  const int interval_ms = options_.hangup_interval_s * 1000;
  next_hangup_ = Clock::now() + std::chrono::milliseconds(interval_ms / 4 + static_cast<int>(rng_() % (interval_ms / 2)));
  thread_ = std::thread([this] { Run(); });
}

void SoakRegister::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
}

void SoakRegister::Join() {
  if (thread_.joinable()) thread_.join();
}

bool SoakRegister::Stopping() {
  std::lock_guard<std::mutex> lock(mu_);
  return stop_;
}

bool SoakRegister::Pause(int ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop_; });
}

bool SoakRegister::TakeReopenRequest() {
  std::lock_guard<std::mutex> lock(mu_);
  return std::exchange(reopen_requested_, false);
}

void SoakRegister::ReportReopened(std::int32_t value) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    reopened_ = true;
  }
  cv_.notify_all();
}

void SoakRegister::Fold(const sim::RegisterSimulator& sim) {
  const sim::LineCounters c = sim.Counters();
  tally_.naks_received += c.naks_received;
  tally_.resends += c.resends;
  tally_.frames_written += c.frames_written;
  tally_.bytes_written += c.bytes_written;
  tally_.cpu_seconds += sim.LineThreadCpuSeconds();
}

void SoakRegister::Run() {
  while (!Stopping()) {
    if (options_.pause_ms > 0 && !Pause(options_.pause_ms)) break;
    if (options_.hangup && Clock::now() >= next_hangup_) {
      Replug();
      continue;
    }
    if (static_cast<int>(rng_() % 100) < options_.fault_percent) {
      InjectFault();
    } else {
      NextMessage(Prelude::kNone);
    }
  }
  Fold(*sim_);
  tally_.cpu_seconds += ThreadCpuSeconds();
  finished_ = true;
}

bool SoakRegister::SendNumbered(const std::string& body, std::int32_t seq) {
  for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
    if (attempt > 0 && !Pause(kBackoffStepMs * attempt)) break;
    const sim::SendStatus status = sim_->Send(body);
    if (status == sim::SendStatus::kAcked) {
      tally_.sent.insert(seq);
      return true;
    }
    ++tally_.failed_sends[sim::ToString(status)];
  }
  tally_.abandoned.insert(seq);
  return false;
}

bool SoakRegister::AwaitAnswer(sim::Answer what, std::uint64_t mark) {
  ++tally_.requests;
  const bool answered = sim_->WaitFor(what, mark, kAnswerTimeout);
  if (answered) ++tally_.requests_answered;
  return answered;
}

// The first part of the frame of `body`, cut where the driver cannot take
// the fragment and the frame behind it for one good frame: either the
// fragment holds an odd number of DLE bytes (then no DLE ETX behind it can
// end a frame), or its bytes, less 8 for every DLE, do not sum to 0 modulo
// 256 (then the checksum of the joined bytes cannot match).
std::string SoakRegister::CutFrame(const std::string& body) {
  const std::string frame = link::BuildFrame(body);
  std::size_t len = 3 + rng_() % (frame.size() - 5);
  for (; len >= 3; --len) {
    unsigned dles = 0;
    unsigned sum = 0;
    for (std::size_t i = 0; i < len; ++i) {
      const auto b = static_cast<std::uint8_t>(frame[i]);
      sum += b;
      if (b == link::kDle) ++dles;
    }
    if (dles % 2 == 1 || (sum - 8 * dles) % 256 != 0) break;
  }
  return frame.substr(0, len);
}

void SoakRegister::NextMessage(Prelude prelude) {
  const std::int32_t seq = next_seq_++;
  const sim::msg::Stamp at = sim::RegisterSimulator::Now();
  std::string body;
  sim::Answer answer = sim::Answer::kAny;
  bool request = false;
  enum { kOpen, kClose, kLine } what = kLine;
  if (!receipt_open_) {
    what = kOpen;
    body = sim::msg::ReceiptOpen(at, seq, ap_);
  } else if (lines_in_receipt_ >= 4 || (lines_in_receipt_ > 0 && rng_() % 100 < 30)) {
    what = kClose;
    body = sim::msg::ReceiptClose(at, seq, ap_);
  } else {
    const auto pick = rng_() % 100;
    if (pick < 60) {
      body = sim::msg::Sale({0, 'P', "5998", seq, seq, 1000});
    } else if (pick < 85) {
      sim::msg::LongInquiry q;
      q.clerk_code = kClerkCode;
      q.code = std::to_string(seq);
      body = sim::msg::PluInquiryLong(q, ap_, sim_->opened_day());
      answer = sim::Answer::kPlu;
      request = true;
    } else {
      sim::msg::LongInquiry q;
      q.clerk_code = kClerkCode;
      q.department = 1;
      q.multiplier = seq;
      body = sim::msg::PluInquiryLong(q, ap_, sim_->opened_day());
      answer = sim::Answer::kOperation;
      request = true;
    }
  }

  if (prelude != Prelude::kNone) {
    sim_->SendGarbage(CutFrame(body));
    if (prelude == Prelude::kSilenceMidFrame && !Pause(kMidFrameSilenceMs)) {
      next_seq_ = seq;  // stopped before the message went out: it was never sent
      return;
    }
  }
  const std::uint64_t mark = sim_->Mark();
  if (!SendNumbered(body, seq)) return;
  if (what == kOpen) {
    receipt_open_ = true;
    lines_in_receipt_ = 0;
  } else if (what == kClose) {
    receipt_open_ = false;
  } else {
    ++lines_in_receipt_;
  }
  if (request) AwaitAnswer(answer, mark);
}

void SoakRegister::InjectFault() {
  // Silence in mid-frame costs seconds of line time: it comes less often.
  static const char* const kFaults[] = {"garbage",   "cut frame", "enquiry",          "stray ACK",
                                        "NAK storm", "garbage",   "cut frame",        "enquiry",
                                        "stray ACK", "NAK storm", "silence mid-frame"};
  const char* fault = kFaults[rng_() % std::size(kFaults)];
  ++tally_.faults[fault];
  const std::string_view name(fault);
  if (name == "garbage") {
    // Bytes that are no control sequence and start no frame.
    std::string bytes(1 + rng_() % 16, '\0');
    for (char& c : bytes) {
      do {
        c = static_cast<char>(rng_() & 0xFF);
      } while (static_cast<std::uint8_t>(c) == link::kDle);
    }
    sim_->SendGarbage(bytes);
  } else if (name == "cut frame") {
    NextMessage(Prelude::kCutFrame);
  } else if (name == "enquiry") {
    sim_->SendGarbage(std::string(1, static_cast<char>(link::kEnq)));
  } else if (name == "stray ACK") {
    sim_->SendGarbage(std::string(link::kDleAck));
  } else if (name == "NAK storm") {
    // NAKs for the host's next frames, and NAK bytes that make the driver
    // repeat its last frame.
    const int naks = 2 + static_cast<int>(rng_() % 7);
    sim_->NakNext(naks);
    for (int i = 0; i < naks; ++i) sim_->SendGarbage(std::string(link::kNakByte));
  } else {
    NextMessage(Prelude::kSilenceMidFrame);
  }
}

void SoakRegister::Replug() {
  ++tally_.faults["hang-up"];
  sim_->HangUp();
  Fold(*sim_);
  sim_.reset();  // removes the device link
  {
    std::lock_guard<std::mutex> lock(mu_);
    reopened_ = false;
  }
  sim_ = NewSimulator();  // a new pseudo-terminal under the same COMn
  ++tally_.replugs;
  {
    std::unique_lock<std::mutex> lock(mu_);
    reopen_requested_ = true;
    cv_.wait_for(lock, kReopenTimeout, [&] { return reopened_ || stop_; });
    if (!reopened_ && !stop_) ++tally_.replugs_unanswered;
  }
  // A receipt left open before the hang-up stays open on the register.
  const int interval_ms = options_.hangup_interval_s * 1000;
  next_hangup_ = Clock::now() + std::chrono::milliseconds(interval_ms / 2 + static_cast<int>(rng_() % interval_ms));
}

}  // namespace tarvo::tool
