#pragma once
// RegisterSimulator: a cash register in software, for demos and as the far
// end of integration tests.
//
// The simulator owns one serial line (a new pseudo-terminal, or a device
// path given in the options) and one line thread that does all I/O on it:
//
//  - Host input is parsed byte by byte: DLE STX, body with doubled DLEs,
//    DLE ETX, checksum; outside frames DLE ACK, NAK (15), DLE NAK, ENQ.
//    A good frame is answered DLE ACK, a bad checksum NAK. Then the register
//    acts on it: link reset (nothing more), identification (the connection
//    message with the AP number), status query (day-open flag), table read
//    and write (tables 4, 6 and 7 and any other it was given), check request
//    (the check answer from its own counters). PLU, customer, clerk and
//    operation records are recorded for the caller.
//  - Every frame the register sends waits for the host's DLE ACK. A NAK
//    makes it resend (up to `max_resends` times); no acknowledgement within
//    `ack_timeout_ms` gives up. A frame never follows another write closer
//    than `turnaround_ms`, because the host reads whatever has arrived in one
//    go and drops bytes that trail an acknowledgement in the same read.
//  - Online messages (sales, inquiries, reports ...) are sent with Send(),
//    one frame at a time in call order; answers to host frames go before
//    them. The register keeps its counters (receipts, amounts, cancels,
//    grand total, sales per PLU) from every message the host acknowledged.
//
// Threads and ownership: the line thread owns the line, the input parser and
// the frame in flight. Everything shared with callers -- the send queues,
// the fault settings, the tables, the counters and the recorded host records
// -- sits under one mutex (`mu_`); callers wait on its condition variable
// (`cv_`) in Send(), WaitFor() and HangUp(), and wake the line thread through
// an eventfd when they queue work for it. All public methods are thread-safe. The trace callback runs on the line thread and
// must not call back into the simulator's blocking methods.
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/sim/messages.h"
#include "tools/sim/sim_line.h"

namespace tarvo::sim {

struct Script;
struct ScriptResult;

struct Currency {
  std::string caption;  // up to 12 bytes
  std::int32_t rate = 0;
  std::int32_t nod = 0;
};

struct Clerk {
  std::string name;  // up to 13 bytes
  std::int32_t secret_code = 0;
  std::array<std::uint8_t, 2> kept1{0, 0};
  std::array<std::uint8_t, 2> kept2{0, 1};
};

// Register tables 4, 6 and 7 as a register leaves the factory.
std::string DefaultTable4();                                        // 35 bytes
std::vector<Currency> DefaultCurrencies();                          // HUF, EUR, USD, GBP
std::string BuildTable6(const std::vector<Currency>& currencies);   // 600 bytes, block at 480
std::vector<Clerk> DefaultClerks();                                 // three clerks
std::string BuildTable7(const std::vector<Clerk>& clerks);          // 21 bytes per clerk
std::vector<Currency> ParseTable6(std::string_view data);
std::vector<Clerk> ParseTable7(std::string_view data);

struct SimOptions {
  int port = 1;                           // n of "COMn"
  std::string ap = "AP0000001";           // 9 characters
  bool day_open = true;
  std::int32_t opened_day = 1;
  std::uint8_t key_position = 2;
  char status_digit = '0';
  std::int32_t first_receipt = 1;
  std::int64_t grand_total = 0;           // grand total before the first receipt
  std::string table4 = DefaultTable4();
  std::vector<Currency> currencies = DefaultCurrencies();
  std::vector<Clerk> clerks = DefaultClerks();

  // The line: empty `device_path` creates a pseudo-terminal.
  std::string device_path;
  int baud = 9600;
  // Where to link the host's path as "COMn"; empty: $TARVO_DEVICE_DIR if set.
  std::string device_dir;

  int ack_timeout_ms = 3000;
  int max_resends = 3;
  int turnaround_ms = 30;
  int partial_frame_ms = 2000;  // an unfinished host frame is dropped after this silence
  // Paces the register's writes to what a real line carries: a write of n
  // bytes keeps the line busy for n * 10 bits at this rate (0: unpaced, a
  // pseudo-terminal takes everything at once).
  int line_rate_baud = 0;
  // Late answers: the answer to a host table transfer whose function starts
  // with the given byte (03 table read, 05 identification, 06 status query)
  // goes out this many milliseconds after the request was acknowledged
  // instead of at once; the register's own messages may go first meanwhile.
  std::map<std::uint8_t, int> answer_delay_ms;

  // Line trace ("host> 10 02 ... [status query]", "reg > 10 06 [ACK]"); off when empty.
  std::function<void(std::string_view line)> trace;
};

// What happened on the line so far, for soak runs and benchmarks.
struct LineCounters {
  std::uint64_t frames_written = 0;  // frames the register wrote, resends included
  std::uint64_t resends = 0;         // frames written again after the host's NAK
  std::uint64_t naks_received = 0;   // NAK bytes from the host
  std::uint64_t bytes_written = 0;   // everything the register wrote
};

enum class SendStatus {
  kAcked,      // the host answered DLE ACK
  kTimeout,    // no acknowledgement within ack_timeout_ms
  kNakLimit,   // NAKed more often than max_resends allows
  kRejected,   // the host answered DLE NAK
  kSilent,     // the register is silent (fault) and sends nothing
  kLineDown,   // hung up, line failed or simulator stopping
};
const char* ToString(SendStatus s);

// What the host may answer a register request with.
enum class Answer { kPlu, kOperation, kClerk, kCustomer, kAny };
const char* ToString(Answer a);

struct PluTotal {
  std::int64_t count = 0;   // raw counts summed
  std::int64_t amount = 0;  // total prices summed
};

// The register's own figures, kept from the messages the host acknowledged.
struct Totals {
  bool receipt_open = false;
  std::int32_t receipt_no = 0;        // current or last receipt number
  std::int32_t receipt_amount = 0;    // amount of the open receipt so far
  std::int32_t last_receipt_amount = 0;
  std::int32_t receipts_closed = 0;   // today
  std::int32_t cancels = 0;           // today
  std::int64_t day_sales = 0;         // closed receipts today
  std::int64_t discounts = 0;         // 'D' modifier amounts today
  std::int64_t waste = 0;             // waste line totals today
  std::int64_t paid_in = 0;
  std::int64_t paid_out = 0;          // as a positive amount
  std::int64_t tendered = 0;
  std::int64_t change = 0;
  std::int64_t grand_total = 0;
  std::int32_t reports = 0;           // daily reports sent
  std::int32_t clerk_code = 0;        // the last logged-in clerk's code
  std::map<std::string, PluTotal> plu;  // sales per item code, today
};

class RegisterSimulator {
 public:
  // Opens the line, links it into the device directory and starts the line
  // thread; throws std::runtime_error when the line cannot be opened.
  explicit RegisterSimulator(SimOptions options = {});
  ~RegisterSimulator();  // stops the thread, closes the line, removes the link
  RegisterSimulator(const RegisterSimulator&) = delete;
  RegisterSimulator& operator=(const RegisterSimulator&) = delete;

  // The path the host opens (pseudo-terminal slave or the device), and the
  // device-directory link ("" when none was made).
  const std::string& host_path() const { return host_path_; }
  const std::string& slave_path() const { return host_path_; }
  const std::string& link_path() const { return link_path_; }
  std::string port_name() const { return "COM" + std::to_string(options_.port); }
  const SimOptions& options() const { return options_; }

  // Sends one body (kind first) and waits until the host acknowledged it or
  // the attempt failed. Counters follow acknowledged messages only.
  SendStatus Send(std::string body);
  // Frames waiting behind the one in flight (answers and Send() callers).
  std::size_t QueuedFrames() const;
  // Sends a request and waits for the host's answer to it; false when the
  // frame was not acknowledged or no answer came within `timeout`.
  bool Request(std::string body, Answer what, std::chrono::milliseconds timeout);

  // Host records: a mark before a request, then a wait for the answer that
  // arrived after the mark.
  std::uint64_t Mark() const;
  bool WaitFor(Answer what, std::uint64_t since, std::chrono::milliseconds timeout) const;

  // Recorded host frames (bodies, in arrival order) and decoded last records.
  std::vector<std::string> HostBodies() const;
  std::optional<msg::PluRecord> LastPluRecord() const;
  std::optional<msg::OperationMessage> LastOperation() const;
  std::optional<msg::CustomerRecord> LastCustomerRecord() const;
  std::optional<msg::ClerkRecord> LastClerkRecord() const;
  int LinkResets() const;
  LineCounters Counters() const;
  // CPU time the line thread has used so far, in seconds.
  double LineThreadCpuSeconds() const;
  // Waits until the host has reset the link (opened the port with its
  // handshake), the line went down, or `timeout` passed; true on a reset.
  bool WaitForLinkReset(std::chrono::milliseconds timeout) const;

  // Register state.
  Totals totals() const;
  bool day_open() const;
  void SetDayOpen(bool open);
  std::int32_t opened_day() const;
  std::string Table(std::uint8_t table) const;  // "" when the register has none
  std::vector<Currency> Currencies() const;
  std::vector<Clerk> Clerks() const;
  // The check answer and the daily report as the register would send them now.
  msg::CheckData Check() const;
  msg::DailyReportData Report() const;
  // Current date (YYMMDD) and time (HHMM) of the register's clock.
  static msg::Stamp Now(std::uint8_t clerk = 1);

  // Faults.
  void NakNext(int frames);           // answer NAK instead of acting on them
  void WithholdAckNext(int frames);   // act on them, but send no acknowledgement
  void SendGarbage(std::string bytes);
  void SendPartialFrame(std::string body = {});  // the first part of a frame, never finished
  void FallSilent();                  // ignore all input, send nothing
  void WakeUp();
  void HangUp();                      // close the line for good
  bool hung_up() const;

  // Runs the steps in order; stops at the first failed step.
  ScriptResult RunScript(const Script& script);

 private:
  struct Outgoing;
  struct Parser;

  void LineThread();
  void Wake();
  void TraceLine(const char* dir, std::string_view bytes, const std::string& note);
  bool WriteNow(std::string_view bytes, const char* note_or_null, const std::string& note);
  void OnHostFrame(const std::string& body, const std::string& raw);
  void OnHostControl(std::uint8_t byte, bool after_dle);
  void Complete(SendStatus status);
  void Account(const std::string& body);  // under mu_
  // Under mu_: an answer to the host, nobody waits for it; not sent before
  // `delay` has passed.
  void Enqueue(std::string body, std::chrono::milliseconds delay = {});
  std::string AnswerFor(const std::string& body);  // under mu_: the reply a host frame earns
  msg::CheckData CheckLocked() const;              // under mu_: the check answer's data

  const SimOptions options_;
  SimLine line_;                // line thread only (after construction)
  std::string host_path_;
  std::string link_path_;
  int wake_fd_ = -1;

  // --- line thread only ---
  std::unique_ptr<Parser> parser_;
  std::shared_ptr<Outgoing> inflight_;
  std::chrono::steady_clock::time_point next_write_ok_{};

  // --- shared, under mu_ ---
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  bool stop_ = false;
  bool hung_up_ = false;
  bool hangup_requested_ = false;
  bool silent_ = false;
  int nak_next_ = 0;
  int withhold_next_ = 0;
  std::deque<std::shared_ptr<Outgoing>> outbox_;   // Send() callers, in order
  std::deque<std::shared_ptr<Outgoing>> answers_;  // answers to host frames; sent first
  std::deque<std::string> raw_out_;
  std::vector<std::pair<std::uint64_t, std::string>> host_records_;  // (seq, body)
  std::uint64_t host_seq_ = 0;
  int link_resets_ = 0;
  LineCounters counters_;
  bool day_open_;
  std::int32_t opened_day_;
  std::map<std::uint8_t, std::string> tables_;
  std::uint16_t clerk_count_ = 0;
  Totals totals_;
  std::uint16_t report_no_ = 0;

  std::thread thread_;
};

}  // namespace tarvo::sim
