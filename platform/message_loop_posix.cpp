// The control's message loop: posted tasks plus window-style timers.
//
// Ownership and synchronisation:
//  - The task queue (`tasks`, `next_seq`) and the `quit` flag are shared with
//    any thread that calls Post() or Quit(); they are guarded by `mu`.
//  - Everything else (the timer table, the timerfd's arming) belongs to the
//    owner thread and is touched without locks.
//  - The eventfd is written by Post()/Quit() while `mu` is held and drained by
//    the owner while `mu` is held, so a task queued after a drain always
//    leaves the descriptor readable.
//
// Timers follow the rules of window timers: a timer is due `interval` after it
// was added, enabled or last fired; when it is late it fires once, and its
// next due time is counted from the moment it fired. Due timers fire earliest
// first, ties in order of creation. A timer whose handler is running is not
// fired again by a pump nested inside that handler. An interval of 0 or less
// keeps a timer from ever firing (like a window timer without interval).
//
// The readiness descriptor is an epoll set of two descriptors: an eventfd for
// posted tasks and a timerfd armed to the next due timer. The timerfd counts
// real time, so it is armed only when the loop runs on SystemClock(); on any
// other clock (a VirtualClock in tests) only posted tasks wake the descriptor
// and Run(), and timers fire when the owner pumps after moving the clock.
#include "platform/message_loop.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

namespace tarvo::platform {
namespace {

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

}  // namespace

struct MessageLoop::Impl {
  struct Task {
    std::uint64_t seq;
    std::function<void()> fn;
  };
  struct Timer {
    std::string name;
    Millis interval = 0;
    // Shared so that a handler removed (or replaced) while it runs stays alive
    // until it returns.
    std::shared_ptr<std::function<void()>> handler;
    bool enabled = false;
    bool running = false;
    Millis due = 0;
  };

  explicit Impl(Clock& c) : clock(c), real_clock(&c == &SystemClock()) {}

  Clock& clock;
  const bool real_clock;

  // Descriptors (set once in the constructor, closed in the destructor).
  Fd event_fd;
  Fd timer_fd;
  Fd epoll_fd;

  // Guarded by mu.
  std::mutex mu;
  std::deque<Task> tasks;
  std::uint64_t next_seq = 0;
  bool quit = false;

  // Owner thread only.
  std::map<TimerId, Timer> timers;
  TimerId next_id = 1;

  bool Fireable(const Timer& t) const { return t.enabled && !t.running && t.interval > 0; }

  // Caller holds mu.
  void SignalLocked() {
    std::uint64_t one = 1;
    // A full counter (impossible in practice) still leaves the fd readable.
    [[maybe_unused]] ssize_t n = ::write(event_fd.get(), &one, sizeof one);
  }
  // Caller holds mu.
  void DrainEventFdLocked() {
    std::uint64_t count;
    [[maybe_unused]] ssize_t n = ::read(event_fd.get(), &count, sizeof count);
  }

  Millis NextTimeout() {
    const Millis now = clock.NowMs();
    Millis best = -1;
    for (const auto& [id, t] : timers) {
      if (!Fireable(t)) continue;
      const Millis left = std::max<Millis>(0, t.due - now);
      if (best < 0 || left < best) best = left;
    }
    return best;
  }

  // Points the timerfd at the next due timer (real clock only); with no
  // enabled timer it is disarmed. Setting a timerfd also resets its expiration
  // count, so a stale expiry never leaves it readable.
  void ArmTimerFd() {
    if (!real_clock) return;
    const Millis timeout = NextTimeout();
    itimerspec setting{};
    if (timeout == 0) {
      setting.it_value.tv_nsec = 1;  // expire at once (all zeros would disarm)
    } else if (timeout > 0) {
      setting.it_value.tv_sec = timeout / 1000;
      setting.it_value.tv_nsec = (timeout % 1000) * 1000000;
    }
    ::timerfd_settime(timer_fd.get(), 0, &setting, nullptr);
  }

  void RunPostedTasks() {
    std::uint64_t limit;
    {
      std::lock_guard<std::mutex> lock(mu);
      DrainEventFdLocked();
      limit = next_seq;
    }
    // Tasks are taken one at a time so that a nested pump inside a task runs
    // the remaining older tasks first and the order stays first-in first-out.
    for (;;) {
      std::function<void()> fn;
      {
        std::lock_guard<std::mutex> lock(mu);
        if (tasks.empty() || tasks.front().seq >= limit) break;
        fn = std::move(tasks.front().fn);
        tasks.pop_front();
      }
      if (fn) fn();
    }
  }

  void FireDueTimers() {
    const Millis start = clock.NowMs();
    std::vector<std::pair<Millis, TimerId>> due;
    for (const auto& [id, t] : timers) {
      if (Fireable(t) && t.due <= start) due.emplace_back(t.due, id);
    }
    std::sort(due.begin(), due.end());
    for (const auto& [when, id] : due) {
      auto it = timers.find(id);
      if (it == timers.end()) continue;  // removed by an earlier handler
      Timer& t = it->second;
      const Millis now = clock.NowMs();
      // Re-check: an earlier handler may have disabled it, or fired it in a
      // nested pump (then it is no longer due).
      if (!Fireable(t) || t.due > now) continue;
      t.due = now + t.interval;
      t.running = true;
      auto handler = t.handler;
      struct Done {
        Impl* self;
        TimerId id;
        ~Done() {
          auto again = self->timers.find(id);
          if (again != self->timers.end()) again->second.running = false;
        }
      } done{this, id};
      if (handler && *handler) (*handler)();
    }
  }
};

MessageLoop::MessageLoop(Clock& clock)
    : clock_(clock), owner_(std::this_thread::get_id()), impl_(std::make_unique<Impl>(clock)) {
  Impl& d = *impl_;
  d.event_fd.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (d.event_fd.get() < 0) ThrowErrno("MessageLoop: eventfd");
  // CLOCK_MONOTONIC is the clock behind steady_clock, i.e. SystemClock().
  d.timer_fd.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (d.timer_fd.get() < 0) ThrowErrno("MessageLoop: timerfd_create");
  d.epoll_fd.reset(::epoll_create1(EPOLL_CLOEXEC));
  if (d.epoll_fd.get() < 0) ThrowErrno("MessageLoop: epoll_create1");
  for (int fd : {d.event_fd.get(), d.timer_fd.get()}) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (::epoll_ctl(d.epoll_fd.get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
      ThrowErrno("MessageLoop: epoll_ctl");
    }
  }
}

MessageLoop::~MessageLoop() = default;

MessageLoop::TimerId MessageLoop::AddTimer(std::string name, Millis interval_ms,
                                           std::function<void()> handler, bool enabled) {
  assert(std::this_thread::get_id() == owner_);
  Impl& d = *impl_;
  const TimerId id = d.next_id++;
  Impl::Timer t;
  t.name = std::move(name);
  t.interval = interval_ms;
  t.handler = std::make_shared<std::function<void()>>(std::move(handler));
  t.enabled = enabled;
  t.due = clock_.NowMs() + interval_ms;
  d.timers.emplace(id, std::move(t));
  d.ArmTimerFd();
  return id;
}

void MessageLoop::RemoveTimer(TimerId id) {
  assert(std::this_thread::get_id() == owner_);
  impl_->timers.erase(id);
  impl_->ArmTimerFd();
}

void MessageLoop::SetTimerEnabled(TimerId id, bool enabled) {
  assert(std::this_thread::get_id() == owner_);
  auto it = impl_->timers.find(id);
  if (it == impl_->timers.end()) return;
  Impl::Timer& t = it->second;
  if (t.enabled == enabled) return;
  t.enabled = enabled;
  if (enabled) t.due = clock_.NowMs() + t.interval;
  impl_->ArmTimerFd();
}

bool MessageLoop::TimerEnabled(TimerId id) const {
  assert(std::this_thread::get_id() == owner_);
  auto it = impl_->timers.find(id);
  return it != impl_->timers.end() && it->second.enabled;
}

void MessageLoop::SetTimerInterval(TimerId id, Millis interval_ms) {
  assert(std::this_thread::get_id() == owner_);
  auto it = impl_->timers.find(id);
  if (it == impl_->timers.end()) return;
  // Like a window timer that is set again: the new interval counts from now.
  it->second.interval = interval_ms;
  it->second.due = clock_.NowMs() + interval_ms;
  impl_->ArmTimerFd();
}

void MessageLoop::Post(std::function<void()> task) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.mu);
  d.tasks.push_back({d.next_seq++, std::move(task)});
  d.SignalLocked();
}

void MessageLoop::ProcessPendingMessages() {
  assert(std::this_thread::get_id() == owner_);
  Impl& d = *impl_;
  // However the handlers leave (even by an exception), the descriptor ends up
  // readable for tasks still queued and the timerfd points at the next due
  // timer.
  struct Rearm {
    Impl& d;
    ~Rearm() {
      {
        std::lock_guard<std::mutex> lock(d.mu);
        if (!d.tasks.empty()) d.SignalLocked();
      }
      d.ArmTimerFd();
    }
  } rearm{d};
  d.RunPostedTasks();
  d.FireDueTimers();
}

void MessageLoop::Run() {
  assert(std::this_thread::get_id() == owner_);
  Impl& d = *impl_;
  for (;;) {
    ProcessPendingMessages();
    {
      std::lock_guard<std::mutex> lock(d.mu);
      if (d.quit) {
        d.quit = false;  // a later Run() starts afresh
        return;
      }
    }
    // With a real clock the timerfd wakes us for timers as well; the timeout
    // is a second guard. A virtual clock does not move by itself, so then
    // only posted tasks (and Quit) can make progress.
    const Millis timeout = d.real_clock ? d.NextTimeout() : -1;
    pollfd pfd{d.epoll_fd.get(), POLLIN, 0};
    const int wait_ms = timeout < 0 ? -1
                        : timeout > std::numeric_limits<int>::max()
                            ? std::numeric_limits<int>::max()
                            : static_cast<int>(timeout);
    ::poll(&pfd, 1, wait_ms);  // EINTR simply leads to another round
  }
}

void MessageLoop::Quit() {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.mu);
  d.quit = true;
  d.SignalLocked();
}

int MessageLoop::ReadinessFd() const { return impl_->epoll_fd.get(); }

Millis MessageLoop::NextTimeoutMs() {
  assert(std::this_thread::get_id() == owner_);
  return impl_->NextTimeout();
}

}  // namespace tarvo::platform
