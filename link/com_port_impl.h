#pragma once
// Internal to the serial port adapter: the device backend behind TComPort.
//
// TComPort (com_port.cpp) keeps the settings and their rules; ComDevice
// (com_port_posix.cpp) owns the open tty, its exclusive lock and the event
// thread, and does the reading and writing.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>

#include "link/com_port.h"

namespace tarvo::link::detail {

// The settings that make up the line configuration of an open device.
struct LineSettings {
  TBaudRate baud = TBaudRate::br9600;
  std::int32_t custom_baud = 9600;
  TDataBits data_bits = TDataBits::dbEight;
  TStopBits stop_bits = TStopBits::sbOneStopBit;
  TComParity parity;
  TComFlowControl flow;
};

// How long the bytes still in the output queue may take to leave when a port
// closes: ten bit times per byte (8N1) at `rate`, plus kDrainMargin for the
// UART's own FIFO and the scheduler. The close waits at most this long.
inline constexpr std::chrono::milliseconds kDrainMargin{100};
std::chrono::milliseconds DrainBound(int queued, std::int32_t rate);

// One open tty.
//
// Threads: Open, Close and ApplyLineSettings are called by one thread at a
// time (the port's owner serialises them). Write and Read may run on any
// thread, also at the same time as each other; Close waits for calls in
// progress to finish. The event thread only reads the descriptor it was
// started with and the hang-up/fault fields (atomics).
//
// The device counts as open (IsOpen) from before its event thread starts, so
// an arrival reported at once -- bytes that were already waiting when the
// port was opened -- finds the port open and is read.
class ComDevice {
 public:
  using Notify = std::function<void(std::int32_t count)>;
  using HangUpNotify = std::function<void()>;

  ComDevice() = default;
  ~ComDevice();
  ComDevice(const ComDevice&) = delete;
  ComDevice& operator=(const ComDevice&) = delete;

  // Opens `path` exclusively, applies the line settings and, when `events`
  // is not empty, starts the event thread, which calls `notify` on arrivals
  // (only when `events` holds evRxChar), and `hangup` once when the line
  // hangs up. Throws EComPort; on failure nothing stays open. Does nothing
  // when already open.
  void Open(const std::string& path, const LineSettings& line, TComEvents events, Notify notify,
            HangUpNotify hangup);
  // Stops the event thread, lets the output drain (bounded by the bytes
  // queued and the line speed), discards the input and closes. No-op if
  // closed.
  void Close();
  bool IsOpen() const { return open_.load(std::memory_order_acquire); }
  // True when the far end has hung up: recorded by the event thread or a
  // read, or seen now with one look at the descriptor.
  bool LineDown();

  // Re-applies the line settings to the open device (code 7 on failure).
  void ApplyLineSettings(const LineSettings& line);

  std::int32_t Write(std::string_view bytes, const TComTimeouts& timeouts);
  std::string Read(std::int32_t count);

 private:
  void RunEventThread(int tty_fd, int epoll_fd, bool notify_rx, Notify notify,
                      HangUpNotify hangup);
  void NoteHangUp(int os_error);
  void CloseDescriptors();

  // The tty. Changed only by Open/Close under an exclusive lock of fd_mu_;
  // Read and Write hold it shared for as long as they use the descriptor.
  std::shared_mutex fd_mu_;
  int fd_ = -1;
  std::atomic<bool> open_{false};

  // Serialises writers, so the bytes of two TransmitBytes never interleave.
  std::mutex tx_mu_;

  // The OS error of a hang-up (0: none). Set by the event thread or by a
  // read that meets the hang-up; cleared by Open while nothing else runs.
  std::atomic<int> hangup_errno_{0};
  // Why the event thread ended on its own, as code and OS error (0: it did
  // not). Kept for inspection in a debugger or core file.
  std::atomic<int> thread_fault_code_{0};
  std::atomic<int> thread_fault_errno_{0};

  // The line speed of the open device, for the drain bound at close. Only
  // the owner's calls (Open, ApplyLineSettings, Close) touch it.
  std::int32_t rate_ = 9600;

  // Event thread and its two descriptors; owner's thread only.
  std::thread thread_;
  int epoll_fd_ = -1;
  int stop_fd_ = -1;
};

}  // namespace tarvo::link::detail
