#pragma once
// Helpers of the event tests: payload builders, a receiver that records each
// event as one line of text, a capture of the diagnostic log, and harnesses
// that run a control's dispatcher against a port entry (without a device) or
// against a port opened on a pseudo-terminal.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/diag_log.h"
#include "core/driver_state.h"
#include "core/port_entry.h"
#include "events/control_driver.h"
#include "events/event_receiver.h"
#include "link/com_port.h"
#include "link/frame.h"
#include "platform/message_loop.h"
#include "tests/support/log_file.h"
#include "tests/support/pty_pair.h"
#include "tests/support/wait.h"

namespace tarvo::events::test {

// ---------------------------------------------------------------------------
// Payload builders.

inline std::string Le32(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
  return s;
}
inline std::string Le16(std::uint16_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}
// A 14-digit code as the register sends it: high part, then low part.
inline std::string Code14(std::int32_t high, std::int32_t low) { return Le32(high) + Le32(low); }
// `text` padded on the right with `pad` to `n` bytes.
inline std::string Pad(std::string text, std::size_t n, char pad = ' ') {
  if (text.size() < n) text.append(n - text.size(), pad);
  return text;
}
inline std::string Byte(std::uint8_t b) { return std::string(1, static_cast<char>(b)); }
inline std::string Zeros(std::size_t n) { return std::string(n, '\0'); }

// Bytes below 0x20 and from 0x7F shown as <hh>, so that expectations stay
// readable when a log line carries a raw byte.
inline std::string Printable(std::string_view s) {
  std::string out;
  for (char ch : s) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x20 || b >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "<%02X>", b);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Records every event as "Name(arg, arg, ...)": numbers in decimal, texts in
// double quotes (through Printable), booleans as true/false.
class RecordingReceiver : public EventReceiver {
 public:
  std::vector<std::string> calls;

  void OnPluInquire(std::uint8_t p, const std::string& code) override {
    Add("OnPluInquire", p, Q(code));
  }
  void OnPluInquireEx(std::uint8_t p, const std::string& code, const std::string& ap,
                      bool demo) override {
    Add("OnPluInquireEx", p, Q(code), Q(ap), B(demo));
  }
  void OnPluInquire841(std::uint8_t p, std::int32_t multiplier, const std::string& code,
                       std::uint8_t tr_type, const std::string& clerk, std::int32_t day,
                       const std::string& ap, bool demo) override {
    Add("OnPluInquire841", p, N(multiplier), Q(code), N(tr_type), Q(clerk), N(day), Q(ap),
        B(demo));
  }
  void OnSellRequest(std::uint8_t p, std::int32_t multiplier, std::int32_t dept,
                     std::uint8_t tr_type, const std::string& clerk, std::int32_t day,
                     const std::string& ap, bool demo) override {
    Add("OnSellRequest", p, N(multiplier), N(dept), N(tr_type), Q(clerk), N(day), Q(ap), B(demo));
  }
  void OnCloseWaste(std::uint8_t p) override { Add("OnCloseWaste", p); }
  void OnCustInquire(std::uint8_t p, const std::string& id) override {
    Add("OnCustInquire", p, Q(id));
  }
  void OnPaidInOutRequest(std::uint8_t p, std::uint8_t tr_type, std::uint8_t title,
                          std::uint8_t clerk, std::int32_t day, const std::string& ap) override {
    Add("OnPaidInOutRequest", p, N(tr_type), N(title), N(clerk), N(day), Q(ap));
  }
  void OnIDPress(std::uint8_t p, const std::string& id) override { Add("OnIDPress", p, Q(id)); }
  void OnClerkLogin(std::uint8_t p, const std::string& code) override {
    Add("OnClerkLogin", p, Q(code));
  }
  void OnModifyRequest(std::uint8_t p, std::uint8_t type, std::uint8_t mode, bool percent,
                       std::int32_t amount) override {
    Add("OnModifyRequest", p, N(type), N(mode), B(percent), N(amount));
  }
  void OnConnect(std::uint8_t p, const std::string& ap, bool demo) override {
    Add("OnConnect", p, Q(ap), B(demo));
  }
  void OnDayOpen(std::uint8_t p, const std::string& date, const std::string& time,
                 std::uint8_t clerk, const std::string& ap) override {
    Add("OnDayOpen", p, Q(date), Q(time), N(clerk), Q(ap));
  }
  void OnOpenReceipt(std::uint8_t p, const std::string& date, const std::string& time,
                     std::uint8_t clerk, std::int32_t num, const std::string& ap) override {
    Add("OnOpenReceipt", p, Q(date), Q(time), N(clerk), N(num), Q(ap));
  }
  void OnSell(std::uint8_t p, std::uint8_t tr_type, std::uint8_t item_type,
              const std::string& code, std::int32_t unit, std::int32_t total,
              std::int32_t count) override {
    Add("OnSell", p, N(tr_type), N(item_type), Q(code), N(unit), N(total), N(count));
  }
  void OnWaste(std::uint8_t p, std::uint8_t tr_type, std::uint8_t item_type,
               const std::string& code, std::int32_t unit, std::int32_t total,
               std::int32_t count) override {
    Add("OnWaste", p, N(tr_type), N(item_type), Q(code), N(unit), N(total), N(count));
  }
  void OnModify(std::uint8_t p, std::uint8_t type, std::uint8_t mode,
                std::int32_t amount) override {
    Add("OnModify", p, N(type), N(mode), N(amount));
  }
  void OnTender(std::uint8_t p, std::uint8_t type, std::int32_t amount, std::int32_t home,
                std::int32_t change) override {
    Add("OnTender", p, N(type), N(amount), N(home), N(change));
  }
  void OnTender841(std::uint8_t p, std::uint8_t type, std::int32_t amount, std::int32_t home,
                   std::int32_t change, std::uint8_t change_id) override {
    Add("OnTender841", p, N(type), N(amount), N(home), N(change), N(change_id));
  }
  void OnCloseReceipt(std::uint8_t p, const std::string& date, const std::string& time,
                      std::uint8_t clerk, std::int32_t num, const std::string& ap) override {
    Add("OnCloseReceipt", p, Q(date), Q(time), N(clerk), N(num), Q(ap));
  }
  void OnCancelReceipt(std::uint8_t p, const std::string& date, const std::string& time,
                       std::uint8_t clerk, std::int32_t num, const std::string& ap) override {
    Add("OnCancelReceipt", p, Q(date), Q(time), N(clerk), N(num), Q(ap));
  }
  void OnPaidInOut(std::uint8_t p, std::uint8_t type, std::int32_t cash, std::int32_t check,
                   const std::string& date, const std::string& time, std::uint8_t clerk,
                   const std::string& ap) override {
    Add("OnPaidInOut", p, N(type), N(cash), N(check), Q(date), Q(time), N(clerk), Q(ap));
  }
  void OnDailyReport(std::uint8_t p, const DailyReport& r) override {
    Add("OnDailyReport", p, Q(r.report_date), Q(r.report_time), N(r.report_num), Q(r.taxable_a),
        Q(r.taxable_b), Q(r.taxable_c), Q(r.taxable_d), Q(r.taxable_e), Q(r.over_charge),
        Q(r.storno), Q(r.discount), Q(r.return_goods), N(r.receipt_num), N(r.cancel_num),
        N(r.empties_num), Q(r.empties), Q(r.gt));
  }

 protected:
  static std::string Q(const std::string& s) { return "\"" + Printable(s) + "\""; }
  static std::string N(std::int64_t v) { return std::to_string(v); }
  static std::string B(bool b) { return b ? "true" : "false"; }

  template <class... Args>
  void Add(const char* name, std::uint8_t port, const Args&... args) {
    std::string call = std::string(name) + "(" + std::to_string(port);
    ((call += ", ", call += args), ...);
    calls.push_back(call + ")");
  }
};

// ---------------------------------------------------------------------------
// Points the driver-wide log at a temporary directory with a fixed clock and
// hands back the lines written, without their time stamp.
class LogCapture {
 public:
  LogCapture() {
    char tmpl[] = "/tmp/tarvo-events-log-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = made;
    auto& log = core::DiagLog::Instance();
    log.ResetForTest();
    log.SetTimeSource(tarvo::test::FixedLogTime);
    log.SetLogDir(dir_);
    log.RaiseMaxLogSize(500);
    log.StartWriter();
  }
  ~LogCapture() {
    core::DiagLog::Instance().ResetForTest();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::string& dir() const { return dir_; }

  // Every line logged so far ("COM12: text"), made Printable.
  std::vector<std::string> Lines() {
    tarvo::test::FlushLog();
    const std::string stamp = "2009:5:7 9:3:12 ";
    std::vector<std::string> lines;
    for (std::string line :
         tarvo::test::CrLfLines(tarvo::test::ReadWholeFile(core::DiagLog::Instance().FilePath()))) {
      if (line.rfind(stamp, 0) == 0) line.erase(0, stamp.size());
      lines.push_back(Printable(line));
    }
    return lines;
  }

 private:
  std::string dir_;
};

// ---------------------------------------------------------------------------
// A control whose dispatcher is fed by hand with messages of one port entry
// that has no device behind it (the entry is not registered, so automatic
// replies find no open port and send nothing). The log is on for the entry.
class DispatchHarness {
 public:
  explicit DispatchHarness(const std::string& port_name = "COM12", bool mode650 = true)
      : control_(loop_, state_) {
    auto port = std::make_shared<link::TComPort>();
    port->SetPort(port_name);
    entry_ = std::make_shared<core::PortEntry>(port, 12, &control_.impl());
    entry_->LogSize = 1;
    control_.SetReceiver(&receiver_);
    SetMode650(mode650);
  }

  void SetMode650(bool on) { control_.impl().Mode650 = on ? -1 : 0; }
  void Dispatch(std::uint8_t kind, const std::string& payload) {
    control_.dispatcher().ProcessQueuedMessage({Byte(kind) + "0" + payload, entry_});
  }

  LogCapture& log() { return log_; }
  RecordingReceiver& receiver() { return receiver_; }
  core::PortEntry& entry() { return *entry_; }
  std::shared_ptr<core::PortEntry>& entry_ptr() { return entry_; }
  core::DriverState& state() { return state_; }
  ControlDriver& control() { return control_; }

 private:
  LogCapture log_;  // first in, last out: the control's destruction still logs
  platform::MessageLoop loop_;
  core::DriverState state_;
  ControlDriver control_;
  RecordingReceiver receiver_;
  std::shared_ptr<core::PortEntry> entry_;
};

// ---------------------------------------------------------------------------
// A control with port COM3 open on a pseudo-terminal: the test plays the
// register through the master end and reads the frames the driver writes.
class PtyHarness {
 public:
  static constexpr std::uint8_t kPort = 3;

  explicit PtyHarness(bool mode650) : control_(loop_, state_) {
    devices_.Link("COM3", pty_.slave_path());
    control_.SetReceiver(&receiver_);
    control_.impl().Mode650 = mode650 ? -1 : 0;
    const std::int32_t result = control_.impl().PortOpen(kPort, 9600, 1, log_.dir());
    if (result != 0) throw std::runtime_error("PortOpen failed: " + std::to_string(result));
    entry_ = control_.impl().Entry(control_.impl().FindPortEntry(kPort));
  }

  // Hands a message of this port straight to the dispatcher.
  void Dispatch(std::uint8_t kind, const std::string& payload) {
    control_.dispatcher().ProcessQueuedMessage({Byte(kind) + "0" + payload, entry_});
  }

  // Reads what the driver wrote until `expected` bytes came (or a generous
  // deadline passed).
  std::string ReadFromDriver(std::size_t expected) {
    return pty_.ReadMasterExactly(expected, std::chrono::milliseconds(10000));
  }
  // Nothing more arrives within a short grace period.
  bool DriverSilent() { return pty_.ReadMaster(1, std::chrono::milliseconds(200)).empty(); }

  platform::MessageLoop& loop() { return loop_; }
  LogCapture& log() { return log_; }
  tarvo::test::PtyPair& pty() { return pty_; }
  RecordingReceiver& receiver() { return receiver_; }
  core::PortEntry& entry() { return *entry_; }
  ControlDriver& control() { return control_; }

 private:
  LogCapture log_;
  tarvo::test::DeviceDir devices_;
  tarvo::test::PtyPair pty_;
  platform::MessageLoop loop_;
  core::DriverState state_;
  ControlDriver control_;
  RecordingReceiver receiver_;
  std::shared_ptr<core::PortEntry> entry_;
};

// The frames of the driver's automatic replies.
inline std::string EnableFrame() {
  return link::BuildFrame("\x96" + Zeros(32) + "1");
}
inline std::string RefusalFrame() {
  return link::BuildFrame("\x96" + Pad("Tiltott m\x17velet!", 32, '\0') + "0");
}
// The placeholder PLU record in the long layout (the port's multiplier in
// front; 1000 travels as 0).
inline std::string PlaceholderPluFrame(std::int32_t multiplier) {
  std::string body = "\x80" + Le32(multiplier == 1000 ? 0 : multiplier);
  body += Zeros(8);                 // code "0"
  body += Pad(" ", 24, '\0');       // description " "
  body += Zeros(1);
  body += Byte(1) + Zeros(2);       // groups 1, 0, 0
  body += "\x30" + Zeros(1) + "\x01\x01";  // status 110000000011
  body += Zeros(12);                // no vtsz, terminator
  body += Zeros(8);                 // link "0"
  body += Zeros(12);                // three prices of 0
  return link::BuildFrame(body);
}

}  // namespace tarvo::events::test
