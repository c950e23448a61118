#pragma once
// TarvoImpl1: the driver state of one control.
//
// A control has its own message loop (the thread that created it), the two
// form timers (Timer1 ages the partial input of this control's ports every
// second, Timer2 hands one queued message of this control's ports to the
// dispatcher every 100 ms), and the per-control settings (FieldSeparator,
// Mode650). The port registry, message queue and log are driver-wide
// (DriverState, DiagLog) and shared with every other control of the process;
// each port entry keeps its own answer slots and waste state.
//
// Each port the control registers has a reader of its own, owned by the port
// entry (core/port_entry.h): the arrivals of a port reach that reader whatever
// control opened or closed the port, and a register that stops reading holds
// up no other port. The entries a control created go with it.
//
// Every method except the constructor's helpers runs on the control's thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/driver_state.h"
#include "platform/message_loop.h"

namespace tarvo::core {

// Result codes of Init / PortOpen.
enum : std::int32_t {
  kOpenOk = 0,
  kOpenFailed = 1,
  kOpenBadArgument = 4,
  kOpenRegistryFull = 9,
};

class TarvoImpl1 {
 public:
  // ActiveFormCreate: starts both timers on `loop`.
  explicit TarvoImpl1(platform::MessageLoop& loop, DriverState& driver = DriverState::Instance());
  // ActiveFormDestroy: retires this control's entries (each port closed, its
  // reader stopped, the entry unregistered), and stops the log writer when no
  // other control remains.
  ~TarvoImpl1();
  TarvoImpl1(const TarvoImpl1&) = delete;
  TarvoImpl1& operator=(const TarvoImpl1&) = delete;

  // Host methods. `sn_path` is the log directory as the host gave it, in its
  // 8-bit code page: so it appears in the log line of the call (the log's
  // text is in that code page). `sn_path_utf8` is the same text in UTF-8,
  // the file system's encoding, and names the directory on disk. The forms
  // without it use `sn_path` for both (callers whose path is plain ASCII or
  // already UTF-8). Return the result code (0, 1, 4, 9).
  std::int32_t Init(std::uint8_t port_num, std::int32_t baudrate, std::int32_t log_size,
                    std::string_view sn_path, std::string_view sn_path_utf8);
  std::int32_t PortOpen(std::uint8_t port_num, std::int32_t baudrate, std::int32_t log_size,
                        std::string_view sn_path, std::string_view sn_path_utf8);
  std::int32_t Init(std::uint8_t port_num, std::int32_t baudrate, std::int32_t log_size,
                    std::string_view sn_path) {
    return Init(port_num, baudrate, log_size, sn_path, sn_path);
  }
  std::int32_t PortOpen(std::uint8_t port_num, std::int32_t baudrate, std::int32_t log_size,
                        std::string_view sn_path) {
    return PortOpen(port_num, baudrate, log_size, sn_path, sn_path);
  }
  void PortClose(std::uint8_t port_num);

  // Registry look-ups.
  int FindPortEntry(std::uint8_t port_num) const;
  std::shared_ptr<PortEntry> Entry(int index) const;

  // Writes a log line for the entry when its LogSize is above 0.
  void Log(const PortEntry& entry, char kind, std::string_view text);

  // Stores `frame` as the entry's LastFrame, clears Acked and writes the
  // frame, as one step with respect to the port's reader: a NAK read before
  // the step repeats the old frame, one read after it the new frame, and only
  // an acknowledgement read after the write sets Acked. Errors of the serial
  // port propagate (EComPort).
  void SendFrame(PortEntry& entry, const std::string& frame);

  // The pumped wait used by the handshake and the commands: up to `rounds`
  // times sleep 300 ms, process the loop's pending messages, and test `done`.
  // Returns true as soon as `done` holds.
  bool PumpWait(int rounds, const std::function<bool()>& done);

  // Form timer handlers.
  void Timer1Timer();
  void Timer2Timer();

  // Who processes queued messages (the dispatcher). Called from Timer2Timer.
  void SetMessageHandler(std::function<void(const QueuedMessage&)> handler);

  platform::MessageLoop& loop() { return loop_; }
  DriverState& driver() { return driver_; }
  platform::MessageLoop::TimerId timer1() const { return timer1_; }
  platform::MessageLoop::TimerId timer2() const { return timer2_; }

  // Per-control settings.
  std::uint8_t FieldSeparator() const { return field_separator_; }
  // VARIANT_BOOL semantics: any non-zero value counts as true; -1 at creation.
  std::int16_t Mode650 = -1;

  static constexpr platform::Millis kTimer1IntervalMs = 1000;
  static constexpr platform::Millis kTimer2IntervalMs = 100;
  static constexpr platform::Millis kPumpRoundMs = 300;
  static constexpr int kHandshakeRounds = 6;

 private:
  std::int32_t OpenPort(std::uint8_t port_num, std::int32_t baudrate, std::int32_t log_size,
                        std::string_view sn_path, std::string_view sn_path_utf8, bool handshake);
  // The open steps on an entry found or appended by OpenPort; `life` holds
  // the entry's life_mutex and is released before the handshake.
  std::int32_t OpenEntry(const std::shared_ptr<PortEntry>& entry, int index, bool appended,
                         std::unique_lock<std::mutex>& life, std::int32_t baudrate,
                         std::int32_t log_size, std::string_view sn_path, bool handshake);
  void Handshake(PortEntry& entry);

  platform::MessageLoop& loop_;
  DriverState& driver_;
  std::uint8_t field_separator_ = 0xFF;
  platform::MessageLoop::TimerId timer1_ = 0;
  platform::MessageLoop::TimerId timer2_ = 0;
  std::function<void(const QueuedMessage&)> message_handler_;
};

}  // namespace tarvo::core
