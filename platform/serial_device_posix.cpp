// SerialDevice on POSIX: the tty, its line settings, the bounded writes, the
// reads that never wait and the event thread.
//
// The device is opened non-blocking and put in raw mode with VMIN = 0 and
// VTIME = 0, so a read returns at once with whatever is waiting. Writes loop
// over write() and poll(POLLOUT) until every byte is out or the write
// time-out has passed.
//
// Arrival detection: the event thread sleeps in epoll_wait on the tty
// (edge-triggered) and on an eventfd used to stop it. Edge-triggered means
// one wake-up per arrival even while earlier bytes are still unread by the
// read thread; each wake-up reports the count of all bytes waiting, so two
// notifications in a row may overlap (5, then 8 after 3 more arrive).
//
// Hang-up: when the far end goes away the tty reports EPOLLHUP/EPOLLERR on
// every wait from then on. The thread records the error, reports the hang-up
// once, takes the tty out of its epoll set and keeps waiting only for the stop
// signal, so it neither spins nor ends silently. Reads and writes then fail
// with the recorded error until the port is closed and opened again.
//
// Closing: a write returns once the kernel has the bytes, so a frame written
// just before the close may still be in the output queue (a 65-byte frame
// takes about 68 ms at 9600 baud). The close lets the output drain first,
// bounded by what is queued and the line speed so that a stalled line cannot
// hang it, and then discards only the input.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <thread>

#include "platform/serial_device.h"

namespace tarvo::platform {

// The state of one open tty.
struct SerialDevice::Impl {
  void RunEventThread(int tty_fd, int epoll_fd, bool notify_rx, Notify notify,
                      HangUpNotify hangup);
  void NoteHangUp(int os_error);
  void CloseDescriptors();

  // The tty. Changed only by Open/Close under an exclusive lock of fd_mu;
  // Read and Write hold it shared for as long as they use the descriptor.
  std::shared_mutex fd_mu;
  int fd = -1;
  std::atomic<bool> open{false};

  // Serialises writers, so the bytes of two writes never interleave.
  std::mutex tx_mu;

  // The OS error of a hang-up (0: none). Set by the event thread or by a
  // read that meets the hang-up; cleared by Open while nothing else runs.
  std::atomic<int> hangup_errno{0};
  // Why the event thread ended on its own, as step and OS error (errno 0: it
  // did not). Kept for inspection in a debugger or core file.
  std::atomic<SerialStep> thread_fault_step{SerialStep::kWait};
  std::atomic<int> thread_fault_errno{0};

  // The line speed of the open device, for the drain bound at close. Only
  // the owner's calls (Open, ApplyLine, Close) touch it.
  std::int32_t rate = 9600;

  // Event thread and its two descriptors; owner's thread only.
  std::thread thread;
  int epoll_fd = -1;
  int stop_fd = -1;
};

namespace {

constexpr std::uint64_t kStopTag = 1;
constexpr std::uint64_t kTtyTag = 2;

// The termios speed of a rate, or B0 when Linux has no such rate.
speed_t SpeedOf(std::int32_t rate) {
  switch (rate) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    default: return B0;
  }
}

tcflag_t SizeFlag(int bits) {
  switch (bits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

// Builds the raw termios of `line` on top of `tio`; throws kSetState
// (EINVAL) for what the line cannot do.
void BuildTermios(const SerialLine& line, termios& tio) {
  const speed_t speed = SpeedOf(line.rate);
  if (speed == B0) throw SerialError(SerialStep::kSetState, EINVAL);

  ::cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | HUPCL);
  tio.c_cflag |= CLOCAL | CREAD | SizeFlag(line.data_bits);
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);

  // A UART sends 1.5 stop bits only with 5 data bits (selected by CSTOPB).
  switch (line.stop_bits) {
    case SerialStopBits::kOne: break;
    case SerialStopBits::kOneAndHalf:
      if (line.data_bits != 5) throw SerialError(SerialStep::kSetState, EINVAL);
      tio.c_cflag |= CSTOPB;
      break;
    case SerialStopBits::kTwo: tio.c_cflag |= CSTOPB; break;
  }
  switch (line.parity) {
    case SerialParity::kNone: break;
    case SerialParity::kOdd: tio.c_cflag |= PARENB | PARODD; break;
    case SerialParity::kEven: tio.c_cflag |= PARENB; break;
    case SerialParity::kMark: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SerialParity::kSpace: tio.c_cflag |= PARENB | CMSPAR; break;
  }
  if (line.parity_check) tio.c_iflag |= INPCK;

  // Handshakes only when asked for; the driver asks for none.
  if (line.cts_handshake || line.rts_handshake) tio.c_cflag |= CRTSCTS;
  if (line.xon_xoff_out) tio.c_iflag |= IXON;
  if (line.xon_xoff_in) tio.c_iflag |= IXOFF;
  tio.c_cc[VSTART] = line.xon_char;
  tio.c_cc[VSTOP] = line.xoff_char;

  // Reads return at once with what is waiting, possibly nothing.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, speed);
  ::cfsetospeed(&tio, speed);
}

void SetLine(int fd, const SerialLine& line) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) throw SerialError(SerialStep::kSetState, errno);
  BuildTermios(line, tio);
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) throw SerialError(SerialStep::kSetState, errno);
}

// DTR and RTS follow the flow settings: inactive unless enabled. A device
// without modem lines (a pseudo-terminal) answers ENOTTY or EINVAL; that is
// not an error, there is simply nothing to set.
void SetModemLines(int fd, const SerialLine& line) {
  int raise = 0;
  int drop = 0;
  (line.dtr_on ? raise : drop) |= TIOCM_DTR;
  (line.rts_on ? raise : drop) |= TIOCM_RTS;
  for (const auto& [request, bits] : {std::pair{TIOCMBIC, drop}, std::pair{TIOCMBIS, raise}}) {
    if (bits == 0) continue;
    if (::ioctl(fd, request, &bits) != 0 && errno != ENOTTY && errno != EINVAL) {
      throw SerialError(SerialStep::kSetState, errno);
    }
  }
}

// Releases everything an open tty holds: the exclusive mode, the lock and
// the descriptor. Unread input is discarded first (the output has been
// drained or given up on by then); that fails with EIO after a hang-up, which
// must not keep the port from closing.
void ReleaseTty(int fd) {
  ::tcflush(fd, TCIFLUSH);
  ::ioctl(fd, TIOCNXCL);
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

// Milliseconds until `deadline`, rounded up so a wait never ends early.
int MsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

// Waits until the output queue of `fd` is on the line, for at most the time
// the queued bytes need. tcdrain itself has no time limit, so it runs on a
// helper thread with a descriptor of its own; when the bound passes, the
// output is discarded, which ends the drain. Should a driver not wake the
// drain even then, the helper is left to finish on its own: it only holds its
// own descriptor, never one that this port will close or reuse.
void DrainOutput(int fd, std::int32_t rate) {
  int queued = 0;
  if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;  // nothing (or no count) to wait for
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return;  // cannot wait safely: close as before

  struct Drain {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
  };
  auto state = std::make_shared<Drain>();
  std::thread helper;
  try {
    helper = std::thread([own, state] {
      ::tcdrain(own);
      ::close(own);
      {
        std::lock_guard lock(state->mu);
        state->done = true;
      }
      state->cv.notify_all();
    });
  } catch (const std::system_error&) {
    ::close(own);
    return;  // no thread to wait with: close as before
  }
  std::unique_lock lock(state->mu);
  if (!state->cv.wait_for(lock, DrainBound(queued, rate), [&] { return state->done; })) {
    ::tcflush(fd, TCOFLUSH);  // the line is stalled: give the rest up
    state->cv.wait_for(lock, kDrainMargin, [&] { return state->done; });
  }
  const bool finished = state->done;
  lock.unlock();
  if (finished)
    helper.join();
  else
    helper.detach();
}

}  // namespace

std::string SerialDevicePath(const std::string& port_name) {
  if (const char* dir = std::getenv("TARVO_DEVICE_DIR"); dir != nullptr && *dir != '\0') {
    const std::string entry = std::string(dir) + "/" + port_name;
    struct stat st {};
    if (!port_name.empty() && port_name.find('/') == std::string::npos &&
        ::lstat(entry.c_str(), &st) == 0) {
      return entry;
    }
  }
  // "COMn" is the n-th serial port, /dev/ttyS<n-1>.
  if (port_name.size() > 3 && port_name.compare(0, 3, "COM") == 0) {
    int number = 0;
    bool digits = true;
    for (std::size_t i = 3; i < port_name.size() && digits; ++i) {
      const char c = port_name[i];
      digits = c >= '0' && c <= '9' && number < 100000;
      number = number * 10 + (c - '0');
    }
    if (digits && number >= 1) return "/dev/ttyS" + std::to_string(number - 1);
  }
  // Anything else is taken as a path (absolute) or a name under /dev.
  if (!port_name.empty() && port_name.front() == '/') return port_name;
  return "/dev/" + port_name;
}

bool IsPermissionError(int os_error) { return os_error == EACCES || os_error == EPERM; }

std::string SerialOpenFailureHint(const std::string& path, int os_error) {
  if (!IsPermissionError(os_error)) return {};
  std::string hint = ": permission denied on " + path;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return hint;
  group gr{};
  group* found = nullptr;
  char buf[4096];
  if (::getgrgid_r(st.st_gid, &gr, buf, sizeof buf, &found) != 0 || found == nullptr ||
      st.st_gid == 0 || (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
    // No group that would give access: only the administrator can help.
    return hint + "; ask the administrator for read and write access to it";
  }
  const std::string name = gr.gr_name;
  return hint + ", which belongs to the group " + name + "; add the user to the group " + name +
         " and log in again";
}

SerialDevice::SerialDevice() : impl_(std::make_unique<Impl>()) {}

SerialDevice::~SerialDevice() { Close(); }

bool SerialDevice::IsOpen() const { return impl_->open.load(std::memory_order_acquire); }

void SerialDevice::Open(const std::string& path, const SerialLine& line, bool watch_events,
                        bool notify_rx, Notify notify, HangUpNotify hangup) {
  if (IsOpen()) return;
  Impl& d = *impl_;
  std::unique_lock lock(d.fd_mu);

  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const int open_errno = errno;
  if (fd < 0) {
    throw SerialError(SerialStep::kOpen, open_errno, SerialOpenFailureHint(path, open_errno));
  }
  // Exclusive use: TIOCEXCL keeps further opens out (except by root), the
  // lock keeps out everyone who asks for it, root included. A port held by
  // someone else is reported as busy whichever of the two refused it: the
  // open fails with EBUSY for an ordinary user, the lock with EWOULDBLOCK.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    throw SerialError(SerialStep::kOpen, err);
  }
  ::ioctl(fd, TIOCEXCL);

  try {
    SetLine(fd, line);
    SetModemLines(fd, line);
  } catch (...) {
    ReleaseTty(fd);
    throw;
  }

  d.hangup_errno.store(0);
  d.thread_fault_errno.store(0);
  d.rate = line.rate;

  // Open before the event thread starts: bytes already waiting are reported
  // at once (the tty is ready when it joins the epoll set), and the reader
  // they are handed to must find the port open. Reads and writes wait for
  // the lock held here until the open has finished.
  d.fd = fd;
  d.open.store(true, std::memory_order_release);

  if (watch_events) {
    // Failing to set up the wait counts as failing to open.
    int err = 0;
    d.stop_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d.stop_fd < 0) err = errno;
    if (err == 0 && (d.epoll_fd = ::epoll_create1(EPOLL_CLOEXEC)) < 0) err = errno;
    if (err == 0) {
      epoll_event stop_ev{};
      stop_ev.events = EPOLLIN;
      stop_ev.data.u64 = kStopTag;
      epoll_event tty_ev{};
      tty_ev.events = EPOLLIN | EPOLLET;
      tty_ev.data.u64 = kTtyTag;
      if (::epoll_ctl(d.epoll_fd, EPOLL_CTL_ADD, d.stop_fd, &stop_ev) != 0 ||
          ::epoll_ctl(d.epoll_fd, EPOLL_CTL_ADD, fd, &tty_ev) != 0) {
        err = errno;
      }
    }
    if (err == 0) {
      try {
        d.thread = std::thread(&Impl::RunEventThread, &d, fd, d.epoll_fd, notify_rx,
                               std::move(notify), std::move(hangup));
      } catch (const std::system_error& e) {
        err = e.code().value() ? e.code().value() : EAGAIN;
      }
    }
    if (err != 0) {
      d.CloseDescriptors();
      d.fd = -1;
      d.open.store(false, std::memory_order_release);
      ReleaseTty(fd);
      throw SerialError(SerialStep::kOpen, err);
    }
  }
}

void SerialDevice::Close() {
  if (!IsOpen()) return;
  Impl& d = *impl_;
  if (d.thread.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(d.stop_fd, &one, sizeof one);
    d.thread.join();
  }
  d.CloseDescriptors();

  // Writes in progress end first (each within its own time-out); then what
  // they left in the output queue goes out before the descriptor is closed.
  std::unique_lock lock(d.fd_mu);
  if (d.hangup_errno.load() == 0) DrainOutput(d.fd, d.rate);
  ReleaseTty(d.fd);
  d.fd = -1;
  d.open.store(false, std::memory_order_release);
}

bool SerialDevice::LineDown() {
  Impl& d = *impl_;
  if (d.hangup_errno.load() != 0) return true;
  std::shared_lock lock(d.fd_mu);
  if (d.fd < 0) return false;
  pollfd p{d.fd, POLLIN, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR))) {
    d.NoteHangUp(EIO);
    return true;
  }
  return false;
}

void SerialDevice::Impl::CloseDescriptors() {
  if (epoll_fd >= 0) ::close(epoll_fd);
  if (stop_fd >= 0) ::close(stop_fd);
  epoll_fd = -1;
  stop_fd = -1;
}

void SerialDevice::ApplyLine(const SerialLine& line) {
  Impl& d = *impl_;
  std::shared_lock lock(d.fd_mu);
  if (d.fd < 0) return;
  SetLine(d.fd, line);
  SetModemLines(d.fd, line);
  d.rate = line.rate;
}

void SerialDevice::Impl::NoteHangUp(int os_error) {
  int none = 0;
  hangup_errno.compare_exchange_strong(none, os_error != 0 ? os_error : EIO);
}

std::int32_t SerialDevice::Write(std::string_view bytes, const SerialWriteTimeout& timeout) {
  if (bytes.empty()) return 0;
  Impl& d = *impl_;
  std::shared_lock lock(d.fd_mu);
  if (d.fd < 0) throw SerialError(SerialStep::kWrite, EBADF);
  std::lock_guard tx(d.tx_mu);
  if (const int err = d.hangup_errno.load()) throw SerialError(SerialStep::kWrite, err);

  // Both zero means no time-out at all: the write waits until every byte is
  // out.
  const bool unlimited = timeout.constant_ms == 0 && timeout.per_byte_ms == 0;
  std::int64_t total_ms = std::int64_t{timeout.constant_ms} +
                          std::int64_t{timeout.per_byte_ms} *
                              static_cast<std::int64_t>(bytes.size());
  if (total_ms < 0) total_ms = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total_ms);

  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(d.fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) throw SerialError(SerialStep::kWrite, errno);

    // The output queue is full: wait until it drains or time runs out.
    const int wait_ms = unlimited ? -1 : MsUntil(deadline);
    if (wait_ms == 0) break;
    pollfd p{d.fd, POLLOUT, 0};
    const int r = ::poll(&p, 1, wait_ms);
    if (r < 0 && errno != EINTR) throw SerialError(SerialStep::kWrite, errno);
    if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p.revents & POLLOUT)) {
      throw SerialError(SerialStep::kWrite, EIO);
    }
  }
  return static_cast<std::int32_t>(done);
}

std::string SerialDevice::Read(std::int32_t count) {
  if (count <= 0) return {};
  Impl& d = *impl_;
  std::shared_lock lock(d.fd_mu);
  if (d.fd < 0) throw SerialError(SerialStep::kRead, EBADF);
  if (const int err = d.hangup_errno.load()) throw SerialError(SerialStep::kRead, err);

  std::string out(static_cast<std::size_t>(count), '\0');
  ssize_t n;
  do {
    n = ::read(d.fd, out.data(), out.size());
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    out.resize(static_cast<std::size_t>(n));
    return out;
  }
  if (n < 0) {
    if (errno == EAGAIN) return {};
    const int err = errno;
    if (err == EIO) d.NoteHangUp(err);
    throw SerialError(SerialStep::kRead, err);
  }
  // Nothing waiting (VMIN = 0 reads return 0), unless the line hung up: a
  // hung-up tty also reads 0 but reports POLLHUP. One look, no waiting.
  pollfd p{d.fd, POLLIN, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR))) {
    d.NoteHangUp(EIO);
    throw SerialError(SerialStep::kRead, d.hangup_errno.load());
  }
  return {};
}

// The event thread. Runs from Open until Close signals the eventfd.
// The handler is called here, on this thread.
void SerialDevice::Impl::RunEventThread(int tty_fd, int epoll_fd, bool notify_rx, Notify notify,
                                        HangUpNotify hangup) {
  for (;;) {
    epoll_event ev[2];
    const int n = ::epoll_wait(epoll_fd, ev, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      thread_fault_step.store(SerialStep::kWait);
      thread_fault_errno.store(errno);
      return;
    }
    std::uint32_t tty_events = 0;
    for (int i = 0; i < n; ++i) {
      if (ev[i].data.u64 == kStopTag) return;
      tty_events |= ev[i].events;
    }
    if (tty_events & (EPOLLHUP | EPOLLERR)) {
      // The far end is gone. Stop watching the tty (it would report the
      // hang-up on every wait) and wait for Close alone.
      NoteHangUp(EIO);
      ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, tty_fd, nullptr);
      if (hangup) {
        try {
          hangup();
        } catch (...) {
          // As for arrivals: nothing may escape this thread.
        }
      }
      continue;
    }
    if (!(tty_events & EPOLLIN) || !notify_rx) continue;

    int count = 0;
    if (::ioctl(tty_fd, FIONREAD, &count) != 0) {
      // Counting failed: no further notifications until the port reopens.
      thread_fault_step.store(SerialStep::kCount);
      thread_fault_errno.store(errno);
      return;
    }
    if (count > 0 && notify) {
      // A throwing handler must not end the process from this thread; the
      // driver's handler does not throw.
      try {
        notify(count);
      } catch (...) {
      }
    }
  }
}

}  // namespace tarvo::platform
