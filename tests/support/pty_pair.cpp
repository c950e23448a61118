#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace tarvo::test {
namespace {

[[noreturn]] void Fail(const std::string& what, int err) {
  throw std::runtime_error(what + ": " + std::strerror(err));
}

// Milliseconds left until `deadline`, never negative.
int MsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

PtyPair::PtyPair() {
  master_fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_fd_ < 0) Fail("posix_openpt", errno);
  if (::grantpt(master_fd_) != 0 || ::unlockpt(master_fd_) != 0) {
    const int err = errno;
    ::close(master_fd_);
    Fail("grantpt/unlockpt", err);
  }
  char name[128];
  if (::ptsname_r(master_fd_, name, sizeof name) != 0) {
    const int err = errno;
    ::close(master_fd_);
    Fail("ptsname_r", err);
  }
  slave_path_ = name;
  slave_keep_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_keep_fd_ < 0) {
    const int err = errno;
    ::close(master_fd_);
    Fail("open " + slave_path_, err);
  }
  // Raw on both sides: no echo, no CR/LF mapping, no signal characters.
  for (const int fd : {master_fd_, slave_keep_fd_}) {
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
      ::cfmakeraw(&tio);
      ::tcsetattr(fd, TCSANOW, &tio);
    }
  }
  // Non-blocking, so a read after poll never hangs and the master never
  // blocks the test when the slave stops reading.
  const int flags = ::fcntl(master_fd_, F_GETFL);
  ::fcntl(master_fd_, F_SETFL, flags | O_NONBLOCK);
}

PtyPair::~PtyPair() {
  CloseMaster();
  if (slave_keep_fd_ >= 0) ::close(slave_keep_fd_);
}

void PtyPair::WriteMaster(std::string_view bytes) {
  if (master_fd_ < 0) throw std::runtime_error("WriteMaster: master closed");
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{master_fd_, POLLOUT, 0};
      if (::poll(&p, 1, 10000) <= 0) throw std::runtime_error("WriteMaster: tty queue stays full");
      continue;
    }
    Fail("WriteMaster", n < 0 ? errno : EIO);
  }
}

std::string PtyPair::ReadMaster(std::size_t max, std::chrono::milliseconds timeout) {
  std::string out;
  if (master_fd_ < 0 || max == 0) return out;
  pollfd p{master_fd_, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (r < 0 && errno == EINTR);
  if (r <= 0 || !(p.revents & POLLIN)) return out;
  out.resize(max);
  const ssize_t n = ::read(master_fd_, out.data(), max);
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

std::string PtyPair::ReadMasterExactly(std::size_t n, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string out;
  while (out.size() < n) {
    const std::string part =
        ReadMaster(n - out.size(), std::chrono::milliseconds(MsLeft(deadline)));
    // Nothing means the time ran out, or the master is closed or failed:
    // either way no more bytes will come within the deadline.
    if (part.empty()) break;
    out += part;
  }
  return out;
}

void PtyPair::CloseMaster() {
  if (master_fd_ >= 0) {
    ::close(master_fd_);
    master_fd_ = -1;
  }
}

DeviceDir::DeviceDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "tarvo-dev-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) Fail("mkdtemp", errno);
  path_ = templ;
  if (const char* old = ::getenv("TARVO_DEVICE_DIR")) previous_env_ = old;
  ::setenv("TARVO_DEVICE_DIR", path_.c_str(), 1);
}

DeviceDir::~DeviceDir() {
  if (previous_env_) {
    ::setenv("TARVO_DEVICE_DIR", previous_env_->c_str(), 1);
  } else {
    ::unsetenv("TARVO_DEVICE_DIR");
  }
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void DeviceDir::Link(const std::string& port_name, const std::string& target_path) {
  const std::string link = path_ + "/" + port_name;
  ::unlink(link.c_str());
  if (::symlink(target_path.c_str(), link.c_str()) != 0) Fail("symlink " + link, errno);
}

void DeviceDir::Unlink(const std::string& port_name) {
  const std::string link = path_ + "/" + port_name;
  ::unlink(link.c_str());
}

}  // namespace tarvo::test
