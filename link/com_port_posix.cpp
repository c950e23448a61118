// POSIX backend of the serial port adapter: the tty, its line settings, the
// bounded writes, the reads that never wait and the event thread.
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
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <system_error>

#include "link/com_port_impl.h"

namespace tarvo::link::detail {
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

std::int32_t RateOf(const LineSettings& line) {
  switch (line.baud) {
    case TBaudRate::brCustom: return line.custom_baud;
    case TBaudRate::br110: return 110;
    case TBaudRate::br300: return 300;
    case TBaudRate::br600: return 600;
    case TBaudRate::br1200: return 1200;
    case TBaudRate::br2400: return 2400;
    case TBaudRate::br4800: return 4800;
    case TBaudRate::br9600: return 9600;
    case TBaudRate::br14400: return 14400;
    case TBaudRate::br19200: return 19200;
    case TBaudRate::br38400: return 38400;
    case TBaudRate::br56000: return 56000;
    case TBaudRate::br57600: return 57600;
    case TBaudRate::br115200: return 115200;
    case TBaudRate::br128000: return 128000;
    case TBaudRate::br256000: return 256000;
  }
  return 0;
}

tcflag_t SizeFlag(TDataBits bits) {
  switch (bits) {
    case TDataBits::dbFive: return CS5;
    case TDataBits::dbSix: return CS6;
    case TDataBits::dbSeven: return CS7;
    case TDataBits::dbEight: return CS8;
  }
  return CS8;
}

// Builds the raw termios of `line` on top of `tio`; throws code 7 (EINVAL)
// for what the line cannot do.
void BuildTermios(const LineSettings& line, termios& tio) {
  const speed_t speed = SpeedOf(RateOf(line));
  if (speed == B0) throw EComPort(CError_SetStateFailed, EINVAL);

  ::cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | HUPCL);
  tio.c_cflag |= CLOCAL | CREAD | SizeFlag(line.data_bits);
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);

  // A UART sends 1.5 stop bits only with 5 data bits (selected by CSTOPB).
  switch (line.stop_bits) {
    case TStopBits::sbOneStopBit: break;
    case TStopBits::sbOne5StopBits:
      if (line.data_bits != TDataBits::dbFive) throw EComPort(CError_SetStateFailed, EINVAL);
      tio.c_cflag |= CSTOPB;
      break;
    case TStopBits::sbTwoStopBits: tio.c_cflag |= CSTOPB; break;
  }
  switch (line.parity.Bits) {
    case TParityBits::prNone: break;
    case TParityBits::prOdd: tio.c_cflag |= PARENB | PARODD; break;
    case TParityBits::prEven: tio.c_cflag |= PARENB; break;
    case TParityBits::prMark: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case TParityBits::prSpace: tio.c_cflag |= PARENB | CMSPAR; break;
  }
  if (line.parity.Check) tio.c_iflag |= INPCK;

  // Handshakes only when asked for; the driver asks for none.
  const TComFlowControl& flow = line.flow;
  if (flow.OutCTSFlow || flow.ControlRTS == TRTSFlowControl::rtsHandshake) tio.c_cflag |= CRTSCTS;
  if (flow.XonXoffOut) tio.c_iflag |= IXON;
  if (flow.XonXoffIn) tio.c_iflag |= IXOFF;
  tio.c_cc[VSTART] = flow.XonChar;
  tio.c_cc[VSTOP] = flow.XoffChar;

  // Reads return at once with what is waiting, possibly nothing.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, speed);
  ::cfsetospeed(&tio, speed);
}

void SetLine(int fd, const LineSettings& line) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) throw EComPort(CError_SetStateFailed, errno);
  BuildTermios(line, tio);
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) throw EComPort(CError_SetStateFailed, errno);
}

// DTR and RTS follow the flow settings: inactive unless enabled. A device
// without modem lines (a pseudo-terminal) answers ENOTTY or EINVAL; that is
// not an error, there is simply nothing to set.
void SetModemLines(int fd, const TComFlowControl& flow) {
  int raise = 0;
  int drop = 0;
  (flow.ControlDTR == TDTRFlowControl::dtrEnable ? raise : drop) |= TIOCM_DTR;
  (flow.ControlRTS == TRTSFlowControl::rtsEnable ? raise : drop) |= TIOCM_RTS;
  for (const auto& [request, bits] : {std::pair{TIOCMBIC, drop}, std::pair{TIOCMBIS, raise}}) {
    if (bits == 0) continue;
    if (::ioctl(fd, request, &bits) != 0 && errno != ENOTTY && errno != EINVAL) {
      throw EComPort(CError_SetStateFailed, errno);
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

std::chrono::milliseconds DrainBound(int queued, std::int32_t rate) {
  const std::int64_t bits = std::int64_t{queued} * 10;
  const std::int64_t ms = rate > 0 ? (bits * 1000 + rate - 1) / rate : 0;
  return std::chrono::milliseconds(ms) + kDrainMargin;
}

ComDevice::~ComDevice() { Close(); }

void ComDevice::Open(const std::string& path, const LineSettings& line, TComEvents events,
                     Notify notify, HangUpNotify hangup) {
  if (IsOpen()) return;
  std::unique_lock lock(fd_mu_);

  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const int open_errno = errno;
  if (fd < 0) throw EComPort(CError_OpenFailed, open_errno, OpenFailureHint(path, open_errno));
  // Exclusive use: TIOCEXCL keeps further opens out (except by root), the
  // lock keeps out everyone who asks for it, root included. A port held by
  // someone else is reported as busy whichever of the two refused it: the
  // open fails with EBUSY for an ordinary user, the lock with EWOULDBLOCK.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    throw EComPort(CError_OpenFailed, err);
  }
  ::ioctl(fd, TIOCEXCL);

  try {
    SetLine(fd, line);
    SetModemLines(fd, line.flow);
  } catch (...) {
    ReleaseTty(fd);
    throw;
  }

  hangup_errno_.store(0);
  thread_fault_code_.store(0);
  thread_fault_errno_.store(0);
  rate_ = RateOf(line);

  // Open before the event thread starts: bytes already waiting are reported
  // at once (the tty is ready when it joins the epoll set), and the reader
  // they are handed to must find the port open. Reads and writes wait for
  // the lock held here until the open has finished.
  fd_ = fd;
  open_.store(true, std::memory_order_release);

  if (events != 0) {
    // Failing to set up the wait counts as failing to open (code 1).
    int err = 0;
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd_ < 0) err = errno;
    if (err == 0 && (epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC)) < 0) err = errno;
    if (err == 0) {
      epoll_event stop_ev{};
      stop_ev.events = EPOLLIN;
      stop_ev.data.u64 = kStopTag;
      epoll_event tty_ev{};
      tty_ev.events = EPOLLIN | EPOLLET;
      tty_ev.data.u64 = kTtyTag;
      if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, stop_fd_, &stop_ev) != 0 ||
          ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &tty_ev) != 0) {
        err = errno;
      }
    }
    if (err == 0) {
      try {
        thread_ = std::thread(&ComDevice::RunEventThread, this, fd, epoll_fd_,
                              (events & evRxChar) != 0, std::move(notify), std::move(hangup));
      } catch (const std::system_error& e) {
        err = e.code().value() ? e.code().value() : EAGAIN;
      }
    }
    if (err != 0) {
      CloseDescriptors();
      fd_ = -1;
      open_.store(false, std::memory_order_release);
      ReleaseTty(fd);
      throw EComPort(CError_OpenFailed, err);
    }
  }
}

void ComDevice::Close() {
  if (!IsOpen()) return;
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(stop_fd_, &one, sizeof one);
    thread_.join();
  }
  CloseDescriptors();

  // Writes in progress end first (each within its own time-out); then what
  // they left in the output queue goes out before the descriptor is closed.
  std::unique_lock lock(fd_mu_);
  if (hangup_errno_.load() == 0) DrainOutput(fd_, rate_);
  ReleaseTty(fd_);
  fd_ = -1;
  open_.store(false, std::memory_order_release);
}

bool ComDevice::LineDown() {
  if (hangup_errno_.load() != 0) return true;
  std::shared_lock lock(fd_mu_);
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR))) {
    NoteHangUp(EIO);
    return true;
  }
  return false;
}

void ComDevice::CloseDescriptors() {
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
  if (stop_fd_ >= 0) ::close(stop_fd_);
  epoll_fd_ = -1;
  stop_fd_ = -1;
}

void ComDevice::ApplyLineSettings(const LineSettings& line) {
  std::shared_lock lock(fd_mu_);
  if (fd_ < 0) return;
  SetLine(fd_, line);
  SetModemLines(fd_, line.flow);
  rate_ = RateOf(line);
}

void ComDevice::NoteHangUp(int os_error) {
  int none = 0;
  hangup_errno_.compare_exchange_strong(none, os_error != 0 ? os_error : EIO);
}

std::int32_t ComDevice::Write(std::string_view bytes, const TComTimeouts& timeouts) {
  if (bytes.empty()) return 0;
  std::shared_lock lock(fd_mu_);
  if (fd_ < 0) throw EComPort(CError_WriteFailed, EBADF);
  std::lock_guard tx(tx_mu_);
  if (const int err = hangup_errno_.load()) throw EComPort(CError_WriteFailed, err);

  // The write time-out: constant plus multiplier per byte. Both zero means
  // no time-out at all: the write waits until every byte is out.
  const bool unlimited = timeouts.WriteTotalConstant == 0 && timeouts.WriteTotalMultiplier == 0;
  std::int64_t total_ms = std::int64_t{timeouts.WriteTotalConstant} +
                          std::int64_t{timeouts.WriteTotalMultiplier} *
                              static_cast<std::int64_t>(bytes.size());
  if (total_ms < 0) total_ms = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total_ms);

  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) throw EComPort(CError_WriteFailed, errno);

    // The output queue is full: wait until it drains or time runs out.
    const int wait_ms = unlimited ? -1 : MsUntil(deadline);
    if (wait_ms == 0) break;
    pollfd p{fd_, POLLOUT, 0};
    const int r = ::poll(&p, 1, wait_ms);
    if (r < 0 && errno != EINTR) throw EComPort(CError_WriteFailed, errno);
    if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p.revents & POLLOUT)) {
      throw EComPort(CError_WriteFailed, EIO);
    }
  }
  return static_cast<std::int32_t>(done);
}

std::string ComDevice::Read(std::int32_t count) {
  if (count <= 0) return {};
  std::shared_lock lock(fd_mu_);
  if (fd_ < 0) throw EComPort(CError_ReadFailed, EBADF);
  if (const int err = hangup_errno_.load()) throw EComPort(CError_ReadFailed, err);

  std::string out(static_cast<std::size_t>(count), '\0');
  ssize_t n;
  do {
    n = ::read(fd_, out.data(), out.size());
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    out.resize(static_cast<std::size_t>(n));
    return out;
  }
  if (n < 0) {
    if (errno == EAGAIN) return {};
    const int err = errno;
    if (err == EIO) NoteHangUp(err);
    throw EComPort(CError_ReadFailed, err);
  }
  // Nothing waiting (VMIN = 0 reads return 0), unless the line hung up: a
  // hung-up tty also reads 0 but reports POLLHUP. One look, no waiting.
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR))) {
    NoteHangUp(EIO);
    throw EComPort(CError_ReadFailed, hangup_errno_.load());
  }
  return {};
}

// The event thread. Runs from Open until Close signals the eventfd.
// The handler is called here, on this thread, whatever the SyncMethod: the
// driver uses smNone, and this adapter has no window or thread queue to
// hand the call to for smThreadSync/smWindowSync.
void ComDevice::RunEventThread(int tty_fd, int epoll_fd, bool notify_rx, Notify notify,
                               HangUpNotify hangup) {
  for (;;) {
    epoll_event ev[2];
    const int n = ::epoll_wait(epoll_fd, ev, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      thread_fault_errno_.store(errno);
      thread_fault_code_.store(CError_WaitFailed);
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
      thread_fault_errno_.store(errno);
      thread_fault_code_.store(CError_ClearComFailed);
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

}  // namespace tarvo::link::detail
