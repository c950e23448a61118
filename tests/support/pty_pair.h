#pragma once
// Pseudo-terminal helpers for tests that need a real tty on the driver's side.
//
// PtyPair opens a pseudo-terminal and keeps its master end. The driver (or a
// TComPort) opens the slave path like any serial device; the test plays the
// far end through the master: it writes what the register would send and
// reads what the driver wrote. The master is in raw mode, so every byte goes
// through unchanged in both directions.
//
// DeviceDir makes a port name such as "COM3" resolve to any path: it creates
// a temporary directory, points TARVO_DEVICE_DIR at it for its lifetime and
// holds one symbolic link per port name.
//
// PtyPair also keeps one descriptor of its own on the slave (raw as well), so
// the master never sees a hang-up while the driver closes and reopens the
// port, and bytes written before the driver opens wait in the slave's queue.
//
// Neither class is thread-safe; use one object from one thread at a time
// (a peer thread may own a PtyPair and do all its I/O itself).
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::test {

class PtyPair {
 public:
  // Opens the master and unlocks the slave; throws std::runtime_error (with
  // the OS error text) when the system has no pseudo-terminal to give.
  PtyPair();
  ~PtyPair();  // closes the master if still open
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int master_fd() const { return master_fd_; }
  // The path of the slave end, e.g. "/dev/pts/7".
  const std::string& slave_path() const { return slave_path_; }
  // The pair's own descriptor on the slave. Line settings are held per tty,
  // so tcgetattr on it shows what the driver's side configured. Do not read
  // from it: the bytes belong to the driver.
  int slave_fd() const { return slave_keep_fd_; }

  // Writes all bytes to the master (waiting while the tty queue is full);
  // throws std::runtime_error on failure.
  void WriteMaster(std::string_view bytes);
  // Returns the bytes that arrive on the master: waits up to `timeout` for
  // the first one, then takes whatever is waiting, at most `max` bytes.
  // Returns "" when nothing arrived in time.
  std::string ReadMaster(std::size_t max, std::chrono::milliseconds timeout);
  // Collects bytes until `n` arrived or `timeout` passed; returns what came
  // (shorter than n on time-out, or at once when the master is closed).
  std::string ReadMasterExactly(std::size_t n, std::chrono::milliseconds timeout);
  // Closes the master: every descriptor on the slave sees a hang-up (reads
  // give 0 or EIO, poll reports POLLHUP). Idempotent.
  void CloseMaster();

 private:
  int master_fd_ = -1;
  int slave_keep_fd_ = -1;  // held open for the pair's lifetime (see above)
  std::string slave_path_;
};

class DeviceDir {
 public:
  // Creates the directory and sets TARVO_DEVICE_DIR to it (remembering the
  // previous value); throws std::runtime_error on failure.
  DeviceDir();
  // Restores TARVO_DEVICE_DIR and removes the directory with its links.
  ~DeviceDir();
  DeviceDir(const DeviceDir&) = delete;
  DeviceDir& operator=(const DeviceDir&) = delete;

  const std::string& path() const { return path_; }
  // Creates (or re-points) the link `port_name` -> `target_path`.
  void Link(const std::string& port_name, const std::string& target_path);
  // Removes the link of `port_name` if present.
  void Unlink(const std::string& port_name);

 private:
  std::string path_;
  std::optional<std::string> previous_env_;
};

}  // namespace tarvo::test
