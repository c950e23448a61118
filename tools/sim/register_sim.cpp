// The simulated register: line thread, host input, answers, counters, faults.
#include "tools/sim/register_sim.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

#include "link/frame.h"

namespace tarvo::sim {

using Clock = std::chrono::steady_clock;
using link::kAck;
using link::kDle;
using link::kEnq;
using link::kEtx;
using link::kNak;
using link::kStx;

namespace {

constexpr std::size_t kTable6Size = 600;
constexpr std::size_t kCurrencyBlock = 480;
constexpr std::size_t kCurrencySize = 20;
constexpr std::size_t kClerkSize = 21;
constexpr std::size_t kMaxRecords = 4096;  // host records kept for the caller

inline std::uint8_t U8(char c) { return static_cast<std::uint8_t>(c); }

std::string StripZeros(std::string s) {
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

bool Matches(Answer what, std::uint8_t kind) {
  switch (what) {
    case Answer::kPlu: return kind == msg::kHostPluRecord;
    case Answer::kOperation: return kind == msg::kHostOperation;
    case Answer::kClerk: return kind == msg::kHostClerkRecord;
    case Answer::kCustomer: return kind == msg::kHostCustomerRecord;
    case Answer::kAny:
      return kind == msg::kHostPluRecord || kind == msg::kHostOperation ||
             kind == msg::kHostClerkRecord || kind == msg::kHostCustomerRecord;
  }
  return false;
}

}  // namespace

// --- tables -----------------------------------------------------------------

std::string DefaultTable4() {
  std::string t(35, '\0');
  t[3] = 1;  // default clerk
  t[4] = 1;  // clerk does not stay logged in
  return t;
}

std::vector<Currency> DefaultCurrencies() {
  return {{"HUF", 1, 0}, {"EUR", 390, 0}, {"USD", 360, 0}, {"GBP", 450, 0}};
}

std::string BuildTable6(const std::vector<Currency>& currencies) {
  std::string t(kTable6Size, '\0');
  for (std::size_t k = 0; k < currencies.size() && k < 4; ++k) {
    const std::string rec = msg::Field(currencies[k].caption, 12) + msg::Le32(currencies[k].rate) +
                            msg::Le32(currencies[k].nod);
    t.replace(kCurrencyBlock + kCurrencySize * k, kCurrencySize, rec);
  }
  return t;
}

std::vector<Clerk> DefaultClerks() {
  return {{"ANNA", 1111, {0, 0}, {0, 1}}, {"BELA", 2222, {0, 0}, {0, 1}}, {"CSABA", 3333, {0, 0}, {0, 1}}};
}

std::string BuildTable7(const std::vector<Clerk>& clerks) {
  std::string t;
  for (const Clerk& c : clerks) {
    t += msg::Field(c.name, 13);
    t.push_back(static_cast<char>(c.kept1[0]));
    t.push_back(static_cast<char>(c.kept1[1]));
    t += msg::Le32(c.secret_code);
    t.push_back(static_cast<char>(c.kept2[0]));
    t.push_back(static_cast<char>(c.kept2[1]));
  }
  return t;
}

std::vector<Currency> ParseTable6(std::string_view data) {
  std::vector<Currency> out;
  for (std::size_t k = 0; k < 4; ++k) {
    const std::size_t o = kCurrencyBlock + kCurrencySize * k;
    if (o + kCurrencySize > data.size()) break;
    out.push_back({StripZeros(std::string(data.substr(o, 12))), msg::ReadLe32(data, o + 12),
                   msg::ReadLe32(data, o + 16)});
  }
  return out;
}

std::vector<Clerk> ParseTable7(std::string_view data) {
  std::vector<Clerk> out;
  for (std::size_t o = 0; o + kClerkSize <= data.size(); o += kClerkSize) {
    Clerk c;
    c.name = StripZeros(std::string(data.substr(o, 13)));
    c.kept1 = {U8(data[o + 13]), U8(data[o + 14])};
    c.secret_code = msg::ReadLe32(data, o + 15);
    c.kept2 = {U8(data[o + 19]), U8(data[o + 20])};
    out.push_back(c);
  }
  return out;
}

const char* ToString(SendStatus s) {
  switch (s) {
    case SendStatus::kAcked: return "acknowledged";
    case SendStatus::kTimeout: return "no acknowledgement";
    case SendStatus::kNakLimit: return "rejected with NAK too often";
    case SendStatus::kRejected: return "rejected with DLE NAK";
    case SendStatus::kSilent: return "register silent";
    case SendStatus::kLineDown: return "line down";
  }
  return "?";
}

const char* ToString(Answer a) {
  switch (a) {
    case Answer::kPlu: return "PLU record";
    case Answer::kOperation: return "operation message";
    case Answer::kClerk: return "clerk record";
    case Answer::kCustomer: return "customer record";
    case Answer::kAny: return "host answer";
  }
  return "?";
}

// --- internal types -----------------------------------------------------------

// One frame the register sends. `done` and `status` are under mu_; the rest
// is fixed at creation or touched by the line thread only.
struct RegisterSimulator::Outgoing {
  std::string body;
  std::string frame;
  std::string name;
  int resends = 0;  // line thread
  bool done = false;
  SendStatus status = SendStatus::kTimeout;
  Clock::time_point not_before{};  // a late answer waits until then
};

// Line-thread state: the host input parser, the queue of writes waiting for
// the turnaround, the acknowledgement clock of the frame in flight and the
// last silence setting taken up. Touched by the line thread only.
struct RegisterSimulator::Parser {
  enum class State { kIdle, kDle, kBody, kBodyDle, kChecksum };
  State state = State::kIdle;
  std::string body;  // undoubled
  std::string raw;   // as received
  Clock::time_point last_byte{};

  struct Write {
    std::string bytes;
    std::string note;
    bool inflight = false;  // the frame in flight: its acknowledgement clock starts when written
  };
  std::deque<Write> writes;
  bool inflight_written = false;
  Clock::time_point inflight_deadline{};
  bool was_silent = false;

  void Reset() {
    state = State::kIdle;
    body.clear();
    raw.clear();
  }
};

// --- construction -------------------------------------------------------------

RegisterSimulator::RegisterSimulator(SimOptions options)
    : options_(std::move(options)),
      line_(options_.device_path.empty() ? SimLine::OpenPty()
                                         : SimLine::OpenDevice(options_.device_path, options_.baud)),
      parser_(std::make_unique<Parser>()),
      day_open_(options_.day_open),
      opened_day_(options_.opened_day) {
  host_path_ = line_.host_path();
  tables_[4] = options_.table4;
  tables_[6] = BuildTable6(options_.currencies);
  tables_[7] = BuildTable7(options_.clerks);
  clerk_count_ = static_cast<std::uint16_t>(options_.clerks.size());
  totals_.receipt_no = options_.first_receipt - 1;
  totals_.grand_total = options_.grand_total;
  if (!options_.clerks.empty()) totals_.clerk_code = options_.clerks.front().secret_code;

  std::string dir = options_.device_dir;
  if (dir.empty()) {
    if (const char* env = std::getenv("TARVO_DEVICE_DIR")) dir = env;
  }
  if (!dir.empty() && options_.device_path.empty()) {
    const std::string link = dir + "/" + port_name();
    ::unlink(link.c_str());
    if (::symlink(host_path_.c_str(), link.c_str()) != 0) {
      throw std::runtime_error("cannot link " + link + " to " + host_path_);
    }
    link_path_ = link;
  }

  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) {
    if (!link_path_.empty()) ::unlink(link_path_.c_str());
    throw std::runtime_error("eventfd failed");
  }
  thread_ = std::thread([this] { LineThread(); });
}

RegisterSimulator::~RegisterSimulator() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  Wake();
  if (thread_.joinable()) thread_.join();
  line_.Close();
  ::close(wake_fd_);
  if (!link_path_.empty()) {
    // Remove the link only while it is still ours.
    char target[512];
    const ssize_t n = ::readlink(link_path_.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == host_path_) {
      ::unlink(link_path_.c_str());
    }
  }
}

void RegisterSimulator::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

// --- sending ------------------------------------------------------------------

SendStatus RegisterSimulator::Send(std::string body) {
  auto out = std::make_shared<Outgoing>();
  out->name = msg::Describe(body, false);
  out->frame = link::BuildFrame(body);
  out->body = std::move(body);
  std::unique_lock<std::mutex> lock(mu_);
  if (stop_ || hung_up_) return SendStatus::kLineDown;
  if (silent_) return SendStatus::kSilent;
  outbox_.push_back(out);
  lock.unlock();
  Wake();
  lock.lock();
  cv_.wait(lock, [&] { return out->done; });
  return out->status;
}

void RegisterSimulator::Enqueue(std::string body, std::chrono::milliseconds delay) {
  auto out = std::make_shared<Outgoing>();
  if (delay.count() > 0) out->not_before = Clock::now() + delay;
  out->name = msg::Describe(body, false);
  out->frame = link::BuildFrame(body);
  out->body = std::move(body);
  answers_.push_back(std::move(out));
}

void RegisterSimulator::Complete(SendStatus status) {
  if (!inflight_) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    inflight_->status = status;
    inflight_->done = true;
    if (status == SendStatus::kAcked) Account(inflight_->body);
  }
  cv_.notify_all();
  inflight_.reset();
  parser_->inflight_written = false;
}

std::size_t RegisterSimulator::QueuedFrames() const {
  std::lock_guard<std::mutex> lock(mu_);
  return outbox_.size() + answers_.size();
}

bool RegisterSimulator::Request(std::string body, Answer what, std::chrono::milliseconds timeout) {
  const std::uint64_t mark = Mark();
  if (Send(std::move(body)) != SendStatus::kAcked) return false;
  return WaitFor(what, mark, timeout);
}

// --- host records ---------------------------------------------------------------

std::uint64_t RegisterSimulator::Mark() const {
  std::lock_guard<std::mutex> lock(mu_);
  return host_seq_;
}

bool RegisterSimulator::WaitFor(Answer what, std::uint64_t since,
                                std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] {
    for (auto it = host_records_.rbegin(); it != host_records_.rend() && it->first > since; ++it) {
      if (Matches(what, U8(it->second[0]))) return true;
    }
    return false;
  });
}

bool RegisterSimulator::WaitForLinkReset(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, timeout, [&] { return link_resets_ > 0 || hung_up_ || stop_; });
  return link_resets_ > 0;
}

std::vector<std::string> RegisterSimulator::HostBodies() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> out;
  out.reserve(host_records_.size());
  for (const auto& r : host_records_) out.push_back(r.second);
  return out;
}

namespace {
template <typename T, typename Decode>
std::optional<T> LastOf(const std::vector<std::pair<std::uint64_t, std::string>>& records,
                        std::uint8_t kind, Decode decode) {
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    if (U8(it->second[0]) == kind) return decode(it->second);
  }
  return std::nullopt;
}
}  // namespace

std::optional<msg::PluRecord> RegisterSimulator::LastPluRecord() const {
  std::lock_guard<std::mutex> lock(mu_);
  return LastOf<msg::PluRecord>(host_records_, msg::kHostPluRecord, msg::DecodePluRecord);
}
std::optional<msg::OperationMessage> RegisterSimulator::LastOperation() const {
  std::lock_guard<std::mutex> lock(mu_);
  return LastOf<msg::OperationMessage>(host_records_, msg::kHostOperation, msg::DecodeOperation);
}
std::optional<msg::CustomerRecord> RegisterSimulator::LastCustomerRecord() const {
  std::lock_guard<std::mutex> lock(mu_);
  return LastOf<msg::CustomerRecord>(host_records_, msg::kHostCustomerRecord,
                                     msg::DecodeCustomerRecord);
}
std::optional<msg::ClerkRecord> RegisterSimulator::LastClerkRecord() const {
  std::lock_guard<std::mutex> lock(mu_);
  return LastOf<msg::ClerkRecord>(host_records_, msg::kHostClerkRecord, msg::DecodeClerkRecord);
}
int RegisterSimulator::LinkResets() const {
  std::lock_guard<std::mutex> lock(mu_);
  return link_resets_;
}
LineCounters RegisterSimulator::Counters() const {
  std::lock_guard<std::mutex> lock(mu_);
  return counters_;
}
double RegisterSimulator::LineThreadCpuSeconds() const {
  clockid_t clock{};
  timespec ts{};
  // thread_ is set once in the constructor and joined only in the destructor.
  if (::pthread_getcpuclockid(const_cast<std::thread&>(thread_).native_handle(), &clock) != 0 ||
      ::clock_gettime(clock, &ts) != 0) {
    return 0.0;
  }
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// --- register state -------------------------------------------------------------

Totals RegisterSimulator::totals() const {
  std::lock_guard<std::mutex> lock(mu_);
  return totals_;
}
bool RegisterSimulator::day_open() const {
  std::lock_guard<std::mutex> lock(mu_);
  return day_open_;
}
void RegisterSimulator::SetDayOpen(bool open) {
  std::lock_guard<std::mutex> lock(mu_);
  day_open_ = open;
}
std::int32_t RegisterSimulator::opened_day() const {
  std::lock_guard<std::mutex> lock(mu_);
  return opened_day_;
}
std::string RegisterSimulator::Table(std::uint8_t table) const {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = tables_.find(table);
  return it == tables_.end() ? std::string() : it->second;
}
std::vector<Currency> RegisterSimulator::Currencies() const { return ParseTable6(Table(6)); }
std::vector<Clerk> RegisterSimulator::Clerks() const { return ParseTable7(Table(7)); }

msg::CheckData RegisterSimulator::Check() const {
  std::lock_guard<std::mutex> lock(mu_);
  return CheckLocked();
}

msg::CheckData RegisterSimulator::CheckLocked() const {
  msg::CheckData c;
  c.receipt_no = totals_.receipt_no;
  c.receipt_amount = totals_.receipt_open ? totals_.receipt_amount : totals_.last_receipt_amount;
  c.cancels = totals_.cancels;
  c.clerk_code = totals_.clerk_code;
  c.key_position = options_.key_position;
  c.status_digit = options_.status_digit;
  c.ap = options_.ap;
  c.opened_day = opened_day_;
  return c;
}

msg::DailyReportData RegisterSimulator::Report() const {
  const msg::Stamp now = Now();
  std::lock_guard<std::mutex> lock(mu_);
  msg::DailyReportData r;
  r.date = now.date;
  r.time = static_cast<std::uint16_t>(now.time);
  r.report_no = static_cast<std::uint16_t>(report_no_ + 1);
  r.taxable[0] = totals_.day_sales;
  r.discount = totals_.discounts < 0 ? -totals_.discounts : totals_.discounts;
  r.receipts = totals_.receipts_closed;
  r.cancels = totals_.cancels;
  r.grand_total = totals_.grand_total;
  return r;
}

msg::Stamp RegisterSimulator::Now(std::uint8_t clerk) {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  msg::Stamp s;
  s.date = (tm.tm_year % 100) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
  s.time = tm.tm_hour * 100 + tm.tm_min;
  s.clerk = clerk;
  return s;
}

// The register's counters follow what the host acknowledged.
void RegisterSimulator::Account(const std::string& body) {
  const std::uint8_t kind = U8(body[0]);
  Totals& t = totals_;
  switch (kind) {
    case msg::kDayOpen:
      day_open_ = true;
      break;
    case msg::kReceiptOpen:
      t.receipt_open = true;
      t.receipt_no = msg::ReadLe32(body, 10);
      t.receipt_amount = 0;
      break;
    case 0x83: case 0x84: case 0x85: {
      const std::int32_t total = msg::ReadLe32(body, 14);
      t.receipt_amount += total;
      const std::string_view code = std::string_view(body).substr(std::min<std::size_t>(2, body.size()), 8);
      PluTotal& p = t.plu[msg::LongNumberText(code)];
      p.count += msg::ReadLe32(body, 18);
      p.amount += total;
      break;
    }
    case 0x8E: case 0x8F: case 0x90:
      t.waste += msg::ReadLe32(body, 14);
      break;
    case msg::kModifierD:
    case msg::kModifierS: {
      const std::int32_t amount = msg::ReadLe32(body, 2);
      t.receipt_amount += amount;
      if (kind == msg::kModifierD) t.discounts += amount;
      break;
    }
    case msg::kTender:
      t.tendered += msg::ReadLe32(body, 2);
      t.change += msg::ReadLe32(body, 10);
      break;
    case msg::kReceiptClose:
      t.receipt_open = false;
      t.receipt_no = msg::ReadLe32(body, 10);
      t.receipts_closed += 1;
      t.last_receipt_amount = t.receipt_amount;
      t.day_sales += t.receipt_amount;
      t.grand_total += t.receipt_amount;
      t.receipt_amount = 0;
      break;
    case msg::kReceiptCancel:
      t.receipt_open = false;
      t.receipt_no = msg::ReadLe32(body, 10);
      t.cancels += 1;
      t.receipt_amount = 0;
      break;
    case msg::kPaidInOut: {
      const std::int64_t sum = static_cast<std::int64_t>(msg::ReadLe32(body, 2)) + msg::ReadLe32(body, 6);
      if (sum >= 0) t.paid_in += sum; else t.paid_out -= sum;
      break;
    }
    case msg::kClerkLogin:
      t.clerk_code = msg::ReadLe32(body, 1);
      break;
    case msg::kDailyReport:
      // The report closes the day: the day's figures start again at zero.
      t.reports += 1;
      report_no_ += 1;
      day_open_ = false;
      opened_day_ += 1;
      t.receipts_closed = 0;
      t.cancels = 0;
      t.day_sales = 0;
      t.discounts = 0;
      t.waste = 0;
      t.paid_in = 0;
      t.paid_out = 0;
      t.tendered = 0;
      t.change = 0;
      t.plu.clear();
      break;
    default:
      break;
  }
}

// The frame a host message earns besides its acknowledgement ("" for none).
std::string RegisterSimulator::AnswerFor(const std::string& body) {
  const std::uint8_t kind = U8(body[0]);
  if (kind == msg::kHostCheckRequest) return msg::CheckAnswer(CheckLocked());
  if (kind != msg::kTableTransfer || body.size() < link::kTableDataOffset) return {};
  const std::uint8_t f0 = U8(body[8]);
  const std::uint8_t table = U8(body[12]);
  const auto count = static_cast<std::uint16_t>(U8(body[17]) | (U8(body[18]) << 8));
  const std::string data = body.substr(link::kTableDataOffset);
  switch (f0) {
    case 0x09:
      ++link_resets_;
      return {};
    case 0x05:
      return msg::ConnectionMessage(options_.ap);
    case 0x06:
      return msg::StatusAnswer(day_open_);
    case 0x03: {
      const auto it = tables_.find(table);
      if (it == tables_.end()) return {};
      return msg::TableAnswer(table, table == 7 ? clerk_count_ : 1, it->second);
    }
    case 0x02:
      tables_[table] = data;
      if (table == 7) clerk_count_ = count;
      return {};
    default:
      return {};
  }
}

// --- faults -----------------------------------------------------------------------

void RegisterSimulator::NakNext(int frames) {
  std::lock_guard<std::mutex> lock(mu_);
  nak_next_ = frames;
}
void RegisterSimulator::WithholdAckNext(int frames) {
  std::lock_guard<std::mutex> lock(mu_);
  withhold_next_ = frames;
}
void RegisterSimulator::SendGarbage(std::string bytes) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    raw_out_.push_back(std::move(bytes));
  }
  Wake();
}
void RegisterSimulator::SendPartialFrame(std::string body) {
  if (body.empty()) body = msg::Sale({0, 'P', "1", 100, 100, 1000});
  const std::string frame = link::BuildFrame(body);
  SendGarbage(frame.substr(0, frame.size() / 2));
}
void RegisterSimulator::FallSilent() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    silent_ = true;
  }
  Wake();
}
void RegisterSimulator::WakeUp() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    silent_ = false;
  }
  Wake();
}
void RegisterSimulator::HangUp() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    hangup_requested_ = true;
  }
  Wake();
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return hung_up_ || stop_; });
}
bool RegisterSimulator::hung_up() const {
  std::lock_guard<std::mutex> lock(mu_);
  return hung_up_;
}

// --- line thread ---------------------------------------------------------------------

void RegisterSimulator::TraceLine(const char* dir, std::string_view bytes, const std::string& note) {
  if (!options_.trace) return;
  options_.trace(std::string(dir) + link::HexDump(bytes) + "[" + note + "]");
}

void RegisterSimulator::OnHostFrame(const std::string& body, const std::string& raw) {
  TraceLine("host> ", raw, msg::Describe(body, true));
  bool nak = false;
  bool ack = true;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (nak_next_ > 0) {
      --nak_next_;
      nak = true;
    } else if (withhold_next_ > 0) {
      --withhold_next_;
      ack = false;
    }
  }
  if (nak) {
    parser_->writes.push_back({link::kNakByte, "NAK (fault)"});
    return;
  }
  if (ack) parser_->writes.push_back({link::kDleAck, "ACK"});
  {
    std::lock_guard<std::mutex> lock(mu_);
    host_records_.emplace_back(++host_seq_, body);
    if (host_records_.size() > kMaxRecords) {
      host_records_.erase(host_records_.begin(), host_records_.begin() + kMaxRecords / 2);
    }
    std::string answer = AnswerFor(body);
    std::chrono::milliseconds delay{};
    if (U8(body[0]) == msg::kTableTransfer && body.size() > 8) {
      const auto it = options_.answer_delay_ms.find(U8(body[8]));
      if (it != options_.answer_delay_ms.end()) delay = std::chrono::milliseconds(it->second);
    }
    if (!answer.empty()) Enqueue(std::move(answer), delay);
  }
  cv_.notify_all();
}

void RegisterSimulator::OnHostControl(std::uint8_t byte, bool after_dle) {
  Parser& p = *parser_;
  const bool awaiting = inflight_ && p.inflight_written;
  if (after_dle && byte == kAck) {
    TraceLine("host> ", link::kDleAck, awaiting ? "ACK" : "ACK, nothing awaited");
    if (awaiting) Complete(SendStatus::kAcked);
  } else if (after_dle && byte == kNak) {
    TraceLine("host> ", link::kDleNak, "DLE NAK");
    if (awaiting) Complete(SendStatus::kRejected);
  } else if (byte == kNak) {
    TraceLine("host> ", link::kNakByte, awaiting ? "NAK" : "NAK, nothing to resend");
    {
      std::lock_guard<std::mutex> lock(mu_);
      counters_.naks_received += 1;
      if (awaiting && inflight_->resends < options_.max_resends) counters_.resends += 1;
    }
    if (!awaiting) return;
    if (inflight_->resends >= options_.max_resends) {
      Complete(SendStatus::kNakLimit);
      return;
    }
    inflight_->resends += 1;
    p.inflight_written = false;
    p.writes.push_back({inflight_->frame, inflight_->name + ", resend " + std::to_string(inflight_->resends), true});
  } else if (byte == kEnq) {
    TraceLine("host> ", std::string(1, static_cast<char>(kEnq)), "ENQ");
    p.writes.push_back({link::kDleAck, "ACK"});
  }
}

void RegisterSimulator::LineThread() {
  Parser& p = *parser_;
  const auto turnaround = std::chrono::milliseconds(options_.turnaround_ms);
  const auto ack_timeout = std::chrono::milliseconds(options_.ack_timeout_ms);
  const auto frame_age = std::chrono::milliseconds(options_.partial_frame_ms);
  std::string noise;
  auto flush_noise = [&] {
    if (!noise.empty()) TraceLine("host> ", noise, "noise");
    noise.clear();
  };
  // Fails the frame in flight and everything queued (line down, silent).
  auto fail_all = [&](SendStatus status) {
    Complete(status);
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto* queue : {&answers_, &outbox_}) {
        for (auto& out : *queue) {
          out->status = status;
          out->done = true;
        }
        queue->clear();
      }
    }
    cv_.notify_all();
    p.writes.clear();
  };
  auto line_down = [&](const char* why) {
    TraceLine("reg > ", {}, why);
    line_.Close();
    {
      std::lock_guard<std::mutex> lock(mu_);
      hung_up_ = true;
    }
    fail_all(SendStatus::kLineDown);
  };

  // Takes up a change of the silence fault; returns whether the register is silent.
  auto sync_silence = [&] {
    bool silent = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      silent = silent_;
    }
    if (silent && !p.was_silent) {
      TraceLine("reg > ", {}, "silent");
      p.Reset();
      fail_all(SendStatus::kSilent);
    } else if (!silent && p.was_silent) {
      TraceLine("reg > ", {}, "awake");
      p.Reset();
    }
    p.was_silent = silent;
    return silent;
  };

  char buf[512];
  for (;;) {
    bool hangup = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_) break;
      hangup = hangup_requested_ && line_.open();
      if (!hangup && line_.open()) {
        for (auto& raw : raw_out_) p.writes.push_back({std::move(raw), "raw"});
      }
      raw_out_.clear();
    }
    if (hangup) line_down("hang-up");
    bool silent = sync_silence();
    if (!line_.open()) {
      std::lock_guard<std::mutex> lock(mu_);
      if (!hung_up_) hung_up_ = true;
    }
    cv_.notify_all();

    Clock::time_point answer_due = Clock::time_point::max();
    if (!inflight_ && !silent && line_.open()) {
      std::lock_guard<std::mutex> lock(mu_);
      // Answers to the host go before the register's own messages, unless
      // the next answer is a late one that is not due yet.
      const bool answer_ready = !answers_.empty() && answers_.front()->not_before <= Clock::now();
      if (!answers_.empty() && !answer_ready) answer_due = answers_.front()->not_before;
      auto& queue = answer_ready ? answers_ : outbox_;
      if (!queue.empty()) {
        inflight_ = queue.front();
        queue.pop_front();
        p.writes.push_back({inflight_->frame, inflight_->name, true});
      }
    }

    // Writes, one at a time, never closer together than the turnaround.
    auto now = Clock::now();
    while (!p.writes.empty() && now >= next_write_ok_ && line_.open()) {
      Parser::Write w = std::move(p.writes.front());
      p.writes.pop_front();
      TraceLine("reg > ", w.bytes, w.note);
      if (!line_.WriteAll(w.bytes)) {
        line_down("write failed");
        break;
      }
      now = Clock::now();
      next_write_ok_ = now + turnaround;
      if (options_.line_rate_baud > 0) {
        // 8N1: ten bit times per byte on the line.
        next_write_ok_ += std::chrono::microseconds(
            static_cast<std::int64_t>(w.bytes.size()) * 10 * 1000000 / options_.line_rate_baud);
      }
      {
        std::lock_guard<std::mutex> lock(mu_);
        counters_.bytes_written += w.bytes.size();
        if (w.inflight) counters_.frames_written += 1;
      }
      if (w.inflight && inflight_) {
        p.inflight_written = true;
        p.inflight_deadline = now + ack_timeout;
      }
    }

    // Deadlines: the acknowledgement of the frame in flight, an unfinished
    // host frame, the next write.
    if (inflight_ && p.inflight_written && now >= p.inflight_deadline) {
      TraceLine("reg > ", {}, inflight_->name + ": no acknowledgement");
      Complete(SendStatus::kTimeout);
      continue;
    }
    if (p.state != Parser::State::kIdle && now - p.last_byte >= frame_age) {
      TraceLine("host> ", p.raw, "unfinished frame dropped");
      p.Reset();
    }
    Clock::time_point wake_at = Clock::time_point::max();
    if (!p.writes.empty() && line_.open()) wake_at = std::min(wake_at, next_write_ok_);
    if (inflight_ && p.inflight_written) wake_at = std::min(wake_at, p.inflight_deadline);
    if (p.state != Parser::State::kIdle) wake_at = std::min(wake_at, p.last_byte + frame_age);
    if (!inflight_) wake_at = std::min(wake_at, answer_due);
    int timeout_ms = -1;
    if (wake_at != Clock::time_point::max()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(wake_at - now).count();
      timeout_ms = static_cast<int>(std::max<long long>(0, left) + 1);
    }

    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {line_.fd(), POLLIN, 0}};
    const int nfds = line_.open() ? 2 : 1;
    const int r = ::poll(fds, nfds, timeout_ms);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    if (fds[0].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &count, sizeof count);
    }
    if (nfds < 2 || !(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const ssize_t n = ::read(line_.fd(), buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      line_down("line closed by the far end");
      continue;
    }
    const std::string_view chunk(buf, static_cast<std::size_t>(n));
    silent = sync_silence();  // the fault may have changed while waiting
    if (silent) {
      TraceLine("host> ", chunk, "ignored, silent");
      continue;
    }
    const auto arrived = Clock::now();
    if (p.state != Parser::State::kIdle && arrived - p.last_byte >= frame_age) {
      TraceLine("host> ", p.raw, "unfinished frame dropped");  // stale: the new input starts afresh
      p.Reset();
    }
    for (const char c : chunk) {
      const auto b = static_cast<std::uint8_t>(c);
      p.last_byte = arrived;
      switch (p.state) {
        case Parser::State::kIdle:
          if (b == kDle) {
            p.state = Parser::State::kDle;
          } else if (b == kNak || b == kEnq) {
            flush_noise();
            OnHostControl(b, false);
          } else {
            noise.push_back(c);
          }
          break;
        case Parser::State::kDle:
          if (b == kStx) {
            flush_noise();
            p.state = Parser::State::kBody;
            p.body.clear();
            p.raw.assign("\x10\x02", 2);
          } else if (b == kAck || b == kNak) {
            flush_noise();
            p.state = Parser::State::kIdle;
            OnHostControl(b, true);
          } else if (b == kDle) {
            noise.push_back(c);  // the first DLE was stray; this one may start something
          } else {
            noise.push_back(static_cast<char>(kDle));
            noise.push_back(c);
            p.state = Parser::State::kIdle;
          }
          break;
        case Parser::State::kBody:
          p.raw.push_back(c);
          if (b == kDle) {
            p.state = Parser::State::kBodyDle;
          } else {
            p.body.push_back(c);
          }
          break;
        case Parser::State::kBodyDle:
          p.raw.push_back(c);
          if (b == kDle) {
            p.body.push_back(c);
            p.state = Parser::State::kBody;
          } else if (b == kEtx) {
            p.state = Parser::State::kChecksum;
          } else if (b == kStx) {
            // A new frame starts inside the old one: the old one is lost.
            TraceLine("host> ", p.raw.substr(0, p.raw.size() - 2), "unfinished frame dropped");
            p.body.clear();
            p.raw.assign("\x10\x02", 2);
            p.state = Parser::State::kBody;
          } else {
            TraceLine("host> ", p.raw, "broken frame");
            p.writes.push_back({link::kNakByte, "NAK"});
            p.Reset();
          }
          break;
        case Parser::State::kChecksum: {
          p.raw.push_back(c);
          // NOT(sum of DLE STX, the undoubled body, DLE ETX).
          std::uint8_t sum = kDle + kStx + kDle + kEtx;
          for (const char bc : p.body) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(bc));
          const std::string body = std::move(p.body);
          const std::string raw = std::move(p.raw);
          p.Reset();
          if (b == static_cast<std::uint8_t>(~sum)) {
            OnHostFrame(body, raw);
          } else {
            TraceLine("host> ", raw, "bad checksum");
            p.writes.push_back({link::kNakByte, "NAK"});
          }
          break;
        }
      }
    }
    flush_noise();
  }
  fail_all(SendStatus::kLineDown);
  {
    std::lock_guard<std::mutex> lock(mu_);
    hung_up_ = hung_up_ || !line_.open();
  }
  cv_.notify_all();
}

}  // namespace tarvo::sim
