#pragma once
// A blocking mailbox for one worker thread: the stand-in for posted thread
// messages. Any thread may Post; the owning worker waits in Wait until a
// message arrives or Quit is called. Messages are delivered in posting order.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace tarvo::platform {

// Codes of the thread messages the driver posts.
enum : std::uint32_t {
  kRxNotify = 0x8190,         // read thread: a = entry index, b = byte count
  kLogFlushRequest = 0x8191,  // log writer: a = 255, b = 256
  kLogFinalFlush = 0x8192,    // log writer: final flush (parameters ignored)
};

struct ThreadMessage {
  std::uint32_t code = 0;
  std::int64_t a = 0;
  std::int64_t b = 0;
};

template <class T>
class Mailbox {
 public:
  void Post(T msg) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.push_back(std::move(msg));
    }
    cv_.notify_one();
  }

  // Blocks until a message is available (returns true) or the mailbox was told
  // to quit (returns false; messages still queued are left undelivered).
  bool Wait(T& out) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return quit_ || !queue_.empty(); });
    if (quit_) return false;
    out = std::move(queue_.front());
    queue_.pop_front();
    return true;
  }

  void Quit() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      quit_ = true;
    }
    cv_.notify_all();
  }

  std::size_t Pending() const {
    std::lock_guard<std::mutex> lock(mu_);
    return queue_.size();
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<T> queue_;
  bool quit_ = false;
};

}  // namespace tarvo::platform
