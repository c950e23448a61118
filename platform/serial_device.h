#pragma once
// SerialDevice: one open serial device of the operating system.
//
// The device opens exclusively, takes the line settings, writes byte strings
// (bounded by a time-out), reads whatever has arrived without waiting, and
// reports arrivals and a hang-up of the far end from an event thread of its
// own. The settings, their rules and the error codes the driver reports
// belong to the serial port adapter (link/com_port.h); this layer only talks
// to the system. Every failure throws SerialError: the step that failed and
// the system's error number.
//
// Twins: serial_device_posix.cpp (a tty with epoll) and
// serial_device_win32.cpp (a COM device with overlapped I/O).
//
// Threads: Open, Close and ApplyLine are called by one thread at a time (the
// port's owner serialises them). Write and Read may run on any thread, also
// at the same time as each other; Close waits for calls in progress to
// finish. The event thread only reads the handle it was started with and the
// hang-up/fault fields (atomics).
//
// The device counts as open (IsOpen) from before its event thread starts, so
// an arrival reported at once -- bytes that were already waiting when the
// port was opened -- finds the port open and is read.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarvo::platform {

enum class SerialStopBits { kOne, kOneAndHalf, kTwo };
enum class SerialParity { kNone, kOdd, kEven, kMark, kSpace };

// The line configuration in plain values.
struct SerialLine {
  std::int32_t rate = 9600;  // bits per second; 0 when unknown
  int data_bits = 8;         // 5..8
  SerialStopBits stop_bits = SerialStopBits::kOne;
  SerialParity parity = SerialParity::kNone;
  bool parity_check = false;
  // Flow control: handshakes only when asked for.
  bool cts_handshake = false;  // output waits for CTS (also for RTS handshake)
  bool dsr_handshake = false;  // output waits for DSR (Windows only)
  bool dtr_on = false;         // DTR raised while open
  bool dtr_handshake = false;  // DTR as input handshake (Windows only)
  bool rts_on = false;         // RTS raised while open
  bool rts_handshake = false;
  bool rts_toggle = false;     // RTS raised while sending (Windows only)
  bool xon_xoff_out = false;
  bool xon_xoff_in = false;
  std::uint8_t xon_char = 0x11;
  std::uint8_t xoff_char = 0x13;
  // Sizes asked for the driver's input and output queues, in bytes, where
  // the system lets them be chosen (Windows; a tty's are fixed). Used at open.
  std::int32_t input_queue = 1024;
  std::int32_t output_queue = 1024;
};

// The write time-out: constant plus multiplier per byte, in milliseconds.
// Both zero means no time-out at all.
struct SerialWriteTimeout {
  std::int32_t constant_ms = 1000;
  std::int32_t per_byte_ms = 100;
};

// Which step of the work failed.
enum class SerialStep {
  kOpen,        // opening, locking, setting up the event wait
  kSetState,    // line settings
  kQueues,      // sizes of the driver's queues (Windows)
  kTimeouts,    // the device's time-outs (Windows)
  kWrite,
  kRead,
  kWait,        // waiting for events
  kCount,       // counting the bytes waiting
};

class SerialError : public std::runtime_error {
 public:
  // `os_error` is the system's error number; `detail` an optional text that
  // says what the user can do about it.
  SerialError(SerialStep step, int os_error, std::string detail = {});
  SerialStep Step() const { return step_; }
  int OsError() const { return os_error_; }
  const std::string& Detail() const { return detail_; }

 private:
  SerialStep step_;
  int os_error_;
  std::string detail_;
};

// How long the bytes still in the output queue may take to leave when a port
// closes: ten bit times per byte (8N1) at `rate`, plus kDrainMargin for the
// UART's own FIFO and the scheduler. The close waits at most this long.
inline constexpr std::chrono::milliseconds kDrainMargin{100};
std::chrono::milliseconds DrainBound(int queued, std::int32_t rate);

// The system's name of the device for a port name "COMn". On Linux: when the
// environment variable TARVO_DEVICE_DIR names a directory holding an entry
// called exactly like the port, that entry; otherwise /dev/ttyS<n-1>; any
// other name is a path (absolute) or a name under /dev. On Windows the
// device namespace name "\\.\COMn" (other names unchanged).
std::string SerialDevicePath(const std::string& port_name);

// What to do when opening `path` failed with `os_error`: for a device the
// user may not open, ": permission denied on <path>, ..." (see
// link::OpenFailureHint); "" for other errors.
std::string SerialOpenFailureHint(const std::string& path, int os_error);

// True for an OS error that means the user may not open the device.
bool IsPermissionError(int os_error);

class SerialDevice {
 public:
  using Notify = std::function<void(std::int32_t count)>;
  using HangUpNotify = std::function<void()>;

  SerialDevice();
  ~SerialDevice();
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  // Opens `path` exclusively, applies the line settings and, when
  // `watch_events` is set, starts the event thread, which calls `notify` on
  // arrivals (only when `notify_rx`), and `hangup` once when the line hangs
  // up. Throws SerialError; on failure nothing stays open. Does nothing when
  // already open.
  void Open(const std::string& path, const SerialLine& line, bool watch_events, bool notify_rx,
            Notify notify, HangUpNotify hangup);
  // Stops the event thread, lets the output drain (bounded by the bytes
  // queued and the line speed), discards the input and closes. No-op if
  // closed.
  void Close();
  bool IsOpen() const;
  // True when the far end has hung up: recorded by the event thread or a
  // read, or seen now with one look at the device.
  bool LineDown();

  // Re-applies the line settings to the open device (kSetState on failure).
  void ApplyLine(const SerialLine& line);

  // Writes all bytes within the time-out; returns the count written (short
  // on time-out, no error).
  std::int32_t Write(std::string_view bytes, const SerialWriteTimeout& timeout);
  // At most `count` waiting bytes, at once (possibly none).
  std::string Read(std::int32_t count);

 private:
  struct Impl;  // the twin's state
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarvo::platform
