#pragma once
// The register's end of a serial line.
//
// Either a pseudo-terminal created for the purpose (the host opens its slave
// path like any serial device, the register works on the master) or an
// existing device such as /dev/ttyUSB0 or one end of a null-modem pair.
//
// In pseudo-terminal mode the line keeps a descriptor of its own on the slave
// (never read from), so the master does not report a hang-up while the host
// closes and reopens the port, and bytes written before the host opens wait
// in the slave's queue.
//
// The descriptor is non-blocking and in raw mode. The object is not
// thread-safe: one thread (the simulator's line thread) does all I/O, and
// Close() is called only by that thread or after it ended.
#include <string>
#include <string_view>

namespace tarvo::sim {

class SimLine {
 public:
  // Opens a new pseudo-terminal; throws std::runtime_error on failure.
  static SimLine OpenPty();
  // Opens `path` raw at `baud` (9600 or 19200); throws std::runtime_error.
  static SimLine OpenDevice(const std::string& path, int baud);

  SimLine(SimLine&& other) noexcept;
  SimLine& operator=(SimLine&& other) noexcept;
  SimLine(const SimLine&) = delete;
  SimLine& operator=(const SimLine&) = delete;
  ~SimLine();

  int fd() const { return fd_; }
  bool open() const { return fd_ >= 0; }
  // The path the host opens: the pseudo-terminal's slave or the device.
  const std::string& host_path() const { return host_path_; }
  bool is_pty() const { return pty_; }

  // Writes all of `bytes`, waiting (bounded, 2 s) while the queue is full.
  // Returns false when the line failed or is closed.
  bool WriteAll(std::string_view bytes);
  // Closes the register's end (the host sees a hang-up on a pseudo-terminal).
  void Close();

 private:
  SimLine() = default;
  int fd_ = -1;
  int keep_fd_ = -1;
  bool pty_ = false;
  std::string host_path_;
};

}  // namespace tarvo::sim
