// The register's end of a serial line: pseudo-terminal master or a device.
#include "tools/sim/sim_line.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace tarvo::sim {

namespace {

[[noreturn]] void Fail(const std::string& what, int err) {
  throw std::runtime_error(what + ": " + std::strerror(err));
}

void MakeRaw(int fd, speed_t speed) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return;  // not a tty (a pipe in a test): nothing to set
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (speed != B0) {
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
  }
  ::tcsetattr(fd, TCSANOW, &tio);
}

}  // namespace

SimLine SimLine::OpenPty() {
  SimLine line;
  line.pty_ = true;
  line.fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (line.fd_ < 0) Fail("posix_openpt", errno);
  char name[128];
  if (::grantpt(line.fd_) != 0 || ::unlockpt(line.fd_) != 0 ||
      ::ptsname_r(line.fd_, name, sizeof name) != 0) {
    Fail("pseudo-terminal slave", errno);  // the destructor closes fd_
  }
  line.host_path_ = name;
  line.keep_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (line.keep_fd_ < 0) Fail("open " + line.host_path_, errno);
  MakeRaw(line.fd_, B0);
  MakeRaw(line.keep_fd_, B9600);
  return line;
}

SimLine SimLine::OpenDevice(const std::string& path, int baud) {
  if (baud != 9600 && baud != 19200) throw std::runtime_error("baud rate must be 9600 or 19200");
  SimLine line;
  line.host_path_ = path;
  line.fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (line.fd_ < 0) Fail("open " + path, errno);
  MakeRaw(line.fd_, baud == 9600 ? B9600 : B19200);
  return line;
}

SimLine::SimLine(SimLine&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      keep_fd_(std::exchange(other.keep_fd_, -1)),
      pty_(other.pty_),
      host_path_(std::move(other.host_path_)) {}

SimLine& SimLine::operator=(SimLine&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    keep_fd_ = std::exchange(other.keep_fd_, -1);
    pty_ = other.pty_;
    host_path_ = std::move(other.host_path_);
  }
  return *this;
}

SimLine::~SimLine() { Close(); }

bool SimLine::WriteAll(std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (fd_ < 0) return false;
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, 2000) <= 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

void SimLine::Close() {
  if (fd_ >= 0) ::close(fd_);
  if (keep_fd_ >= 0) ::close(keep_fd_);
  fd_ = -1;
  keep_fd_ = -1;
}

}  // namespace tarvo::sim
