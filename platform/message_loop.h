#pragma once
// The control's thread loop: the stand-in for a window's message loop.
//
// It owns named timers (interval, enabled flag) that behave like window
// timers -- a timer that is late fires once, not once per missed interval --
// and a queue of posted tasks. ProcessPendingMessages() runs everything that
// is due right now and returns without blocking; it may be called from inside
// a timer handler or a task (nested pumping, as a command that waits for the
// register does). Run()/Quit() serve a host without a loop of its own, and
// ReadinessFd() lets a host drive the loop from its own poll/epoll loop: the
// descriptor is readable whenever ProcessPendingMessages() has work.
//
// Threading: everything but Post() and Quit() must be called on the thread
// that owns the loop (the thread that constructed it).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/clock.h"

namespace tarvo::platform {

class MessageLoop {
 public:
  using TimerId = int;

  explicit MessageLoop(Clock& clock = SystemClock());
  ~MessageLoop();
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // Adds a timer. An enabled timer first fires `interval_ms` after it was
  // added (or enabled) and then every interval; a late timer fires once.
  TimerId AddTimer(std::string name, Millis interval_ms, std::function<void()> handler,
                   bool enabled = true);
  void RemoveTimer(TimerId id);
  // Enabling a disabled timer restarts its interval from now; enabling an
  // enabled one changes nothing.
  void SetTimerEnabled(TimerId id, bool enabled);
  bool TimerEnabled(TimerId id) const;
  void SetTimerInterval(TimerId id, Millis interval_ms);

  // Thread-safe: queues a task for the loop's thread.
  void Post(std::function<void()> task);

  // Runs posted tasks and due timers once; never blocks. Nestable.
  void ProcessPendingMessages();

  // Runs the loop until Quit() (waits in the OS between events).
  void Run();
  // Thread-safe: makes Run() return after the current message.
  void Quit();

  // A descriptor that polls readable while work is pending (a posted task or
  // a due timer). The host then calls ProcessPendingMessages().
  // Timers wake it only on SystemClock(): with any other clock (a
  // VirtualClock) only posted tasks and Quit() make it readable, and Run()
  // waits for those alone.
  int ReadinessFd() const;
  // Milliseconds until the next enabled timer is due (0 if one is due now),
  // or -1 when no timer is enabled.
  Millis NextTimeoutMs();

  Clock& clock() { return clock_; }
  std::thread::id owner() const { return owner_; }

 private:
  struct Impl;
  Clock& clock_;
  std::thread::id owner_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarvo::platform
