// The control's message loop on Windows: a message-only window owned by the
// constructing thread.
//
// The loop keeps the same timer table and task queue as on POSIX, with the
// same rules (window-timer semantics: a timer is due `interval` after it was
// added, enabled or last fired; a late timer fires once; due timers fire
// earliest first, ties in order of creation; a timer whose handler runs is
// not fired again by a nested pump; an interval of 0 or less never fires).
// The window carries the wake-ups:
//  - one system timer (SetTimer on the window) is armed to the next due timer
//    of the table; its WM_TIMER fires the due timers and re-arms it. It is
//    armed only on SystemClock(): with any other clock timers fire when the
//    owner pumps after moving the clock;
//  - Post() queues the task under `mu` and posts one private message to the
//    window (at most one is outstanding); the window runs the posted tasks
//    when the message is dispatched, by this loop or by the host's own loop.
//
// ProcessPendingMessages() peeks, translates and dispatches every message
// waiting for the thread -- the host's included, so a host that waits inside
// a call of the control stays responsive -- and then runs what is due. Tasks
// posted while a pump runs wait for the next pump (a task that posts itself
// again cannot keep a pump going forever). Run() waits in GetMessage until
// Quit(); a WM_QUIT of the host ends it as well and is posted again for the
// host's own loop.
//
// Handlers run inside the window procedure. An exception must not unwind
// through the system's frames, so the window procedure catches it and the
// pump that dispatched the message rethrows it (a message dispatched by the
// host's loop rethrows from this loop's next pump).
//
// Ownership and synchronisation: the task queue, `signalled` and `quit` are
// shared with any thread that calls Post() or Quit() and guarded by `mu`;
// everything else belongs to the owner thread.
#include <windows.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/message_loop.h"

namespace tarvo::platform {
namespace {

constexpr UINT kPostedMessage = WM_APP + 0x5A1;  // private to the loop's own window class
constexpr UINT_PTR kWakeTimer = 1;
constexpr wchar_t kWindowClass[] = L"TarvoMessageLoopWindow";

LRESULT CALLBACK LoopWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

// What the window procedure calls: the loop the window belongs to.
class LoopWindowTarget {
 public:
  virtual void OnPostedMessage() = 0;
  virtual void OnWakeTimer() = 0;

 protected:
  ~LoopWindowTarget() = default;
};

// The module that holds this code (the .ocx when built into it), which owns
// the window class.
HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&LoopWindowProc)), &module);
  return module;
}

// Registers the window class once per module; the class stays registered
// until the module unloads.
void RegisterLoopClass() {
  static std::once_flag once;
  static DWORD error = 0;
  std::call_once(once, [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &LoopWindowProc;
    wc.hInstance = ThisModule();
    wc.lpszClassName = kWindowClass;
    if (::RegisterClassExW(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
      error = ::GetLastError();
  });
  if (error != 0)
    throw std::system_error(static_cast<int>(error), std::system_category(),
                            "MessageLoop: RegisterClassExW");
}

}  // namespace

struct MessageLoop::Impl final : LoopWindowTarget {
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

  // The message-only window (created in the constructor, destroyed in the
  // destructor, both on the owner thread).
  HWND hwnd = nullptr;

  // Guarded by mu.
  std::mutex mu;
  std::deque<Task> tasks;
  std::uint64_t next_seq = 0;
  bool signalled = false;  // a kPostedMessage is on its way
  bool quit = false;

  // Owner thread only.
  std::map<TimerId, Timer> timers;
  TimerId next_id = 1;
  // Tasks numbered from here on wait for the next pump (no limit outside a
  // pump of this loop).
  std::uint64_t pump_limit = std::numeric_limits<std::uint64_t>::max();
  // An exception a handler threw inside the window procedure, for the pump.
  std::exception_ptr pending_error;

  bool Fireable(const Timer& t) const { return t.enabled && !t.running && t.interval > 0; }

  // Caller holds mu.
  void SignalLocked() {
    if (signalled) return;
    // Should the thread's queue be full, the tasks still run at the next pump
    // of this loop; `signalled` stays false so a later Post tries again.
    if (::PostMessageW(hwnd, kPostedMessage, 0, 0)) signalled = true;
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

  // Points the system timer at the next due timer (real clock only); with no
  // enabled timer it is killed. SetTimer on the same id replaces the timer.
  void ArmTimer() {
    if (!real_clock || hwnd == nullptr) return;
    const Millis timeout = NextTimeout();
    if (timeout < 0) {
      ::KillTimer(hwnd, kWakeTimer);
      return;
    }
    const Millis ms = std::clamp<Millis>(timeout, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
    ::SetTimer(hwnd, kWakeTimer, static_cast<UINT>(ms), nullptr);
  }

  void RunPostedTasks() {
    std::uint64_t limit;
    {
      std::lock_guard<std::mutex> lock(mu);
      signalled = false;
      limit = std::min(next_seq, pump_limit);
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

  // After handlers ran (even when one threw): the window gets a message for
  // tasks still queued and the system timer points at the next due timer.
  void Rearm() {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (!tasks.empty()) SignalLocked();
    }
    ArmTimer();
  }

  // Runs `work` inside the window procedure, keeping any exception for the
  // pump.
  template <typename Work>
  void Guarded(Work&& work) {
    try {
      work();
    } catch (...) {
      if (!pending_error) pending_error = std::current_exception();
    }
    try {
      Rearm();
    } catch (...) {
      if (!pending_error) pending_error = std::current_exception();
    }
  }

  void OnPostedMessage() override {
    Guarded([this] { RunPostedTasks(); });
  }
  void OnWakeTimer() override {
    Guarded([this] { FireDueTimers(); });
  }

  void RethrowPending() {
    if (!pending_error) return;
    std::exception_ptr error = std::move(pending_error);
    pending_error = nullptr;
    std::rethrow_exception(error);
  }
};

namespace {

LRESULT CALLBACK LoopWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* target = reinterpret_cast<LoopWindowTarget*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (target != nullptr) {
    if (msg == kPostedMessage) {
      target->OnPostedMessage();
      return 0;
    }
    if (msg == WM_TIMER && wp == kWakeTimer) {
      target->OnWakeTimer();
      return 0;
    }
  }
  return ::DefWindowProcW(hwnd, msg, wp, lp);
}

// Dispatches one message; a WM_QUIT is not dispatched but returned false.
bool Dispatch(MSG& msg) {
  if (msg.message == WM_QUIT) return false;
  ::TranslateMessage(&msg);
  ::DispatchMessageW(&msg);
  return true;
}

}  // namespace

MessageLoop::MessageLoop(Clock& clock)
    : clock_(clock), owner_(std::this_thread::get_id()), impl_(std::make_unique<Impl>(clock)) {
  RegisterLoopClass();
  Impl& d = *impl_;
  d.hwnd = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             ThisModule(), nullptr);
  if (d.hwnd == nullptr)
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                            "MessageLoop: CreateWindowExW");
  ::SetWindowLongPtrW(d.hwnd, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(static_cast<LoopWindowTarget*>(&d)));
}

MessageLoop::~MessageLoop() {
  Impl& d = *impl_;
  // Messages still queued for the window are discarded with it.
  ::SetWindowLongPtrW(d.hwnd, GWLP_USERDATA, 0);
  ::KillTimer(d.hwnd, kWakeTimer);
  {
    std::lock_guard<std::mutex> lock(d.mu);
    ::DestroyWindow(d.hwnd);
    d.hwnd = nullptr;  // Post() from now on only queues
  }
}

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
  d.ArmTimer();
  return id;
}

void MessageLoop::RemoveTimer(TimerId id) {
  assert(std::this_thread::get_id() == owner_);
  impl_->timers.erase(id);
  impl_->ArmTimer();
}

void MessageLoop::SetTimerEnabled(TimerId id, bool enabled) {
  assert(std::this_thread::get_id() == owner_);
  auto it = impl_->timers.find(id);
  if (it == impl_->timers.end()) return;
  Impl::Timer& t = it->second;
  if (t.enabled == enabled) return;
  t.enabled = enabled;
  if (enabled) t.due = clock_.NowMs() + t.interval;
  impl_->ArmTimer();
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
  impl_->ArmTimer();
}

void MessageLoop::Post(std::function<void()> task) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.mu);
  d.tasks.push_back({d.next_seq++, std::move(task)});
  if (d.hwnd != nullptr) d.SignalLocked();
}

void MessageLoop::ProcessPendingMessages() {
  assert(std::this_thread::get_id() == owner_);
  Impl& d = *impl_;
  // Tasks posted from here on wait for the next pump; a nested pump sets its
  // own limit and gives the outer one back when it ends.
  struct Limit {
    Impl& d;
    std::uint64_t saved;
    ~Limit() { d.pump_limit = saved; }
  } limit{d, d.pump_limit};
  {
    std::lock_guard<std::mutex> lock(d.mu);
    d.pump_limit = d.next_seq;
  }
  struct Rearm {
    Impl& d;
    ~Rearm() { d.Rearm(); }
  } rearm{d};

  d.RethrowPending();
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (!Dispatch(msg)) {
      // The host's loop is to end: leave WM_QUIT for it.
      ::PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    d.RethrowPending();
  }
  // What is due but has no message yet (a timer due within the system
  // timer's resolution, a task whose message was left for the host).
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
    MSG msg;
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      ::PostQuitMessage(static_cast<int>(msg.wParam));  // for the host's loop
      return;
    }
    if (got > 0) Dispatch(msg);
    d.RethrowPending();
  }
}

void MessageLoop::Quit() {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.mu);
  d.quit = true;
  // Wakes Run() from GetMessage.
  if (d.hwnd != nullptr) ::PostMessageW(d.hwnd, kPostedMessage, 0, 0);
}

// Windows has no descriptor to poll: a host drives the loop through its own
// window message loop (the loop's window is served by it), so there is
// nothing to return.
int MessageLoop::ReadinessFd() const { return -1; }

Millis MessageLoop::NextTimeoutMs() {
  assert(std::this_thread::get_id() == owner_);
  return impl_->NextTimeout();
}

}  // namespace tarvo::platform
