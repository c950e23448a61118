#include "tools/tarvomdrv/bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "automation/TarvoMDrv_TLB.h"
#include "platform/com/com_runtime.h"
#include "platform/message_loop.h"
#include "tools/tarvomdrv/bridge_describe.h"
#include "tools/tarvomdrv/bridge_request.h"
#include "tools/tarvomdrv/late_binding.h"
#include "tools/tarvomdrv/module_host.h"

namespace tarvo::tool {

namespace {

// Standard output, written only by the control's thread. Once a write fails
// (the reader went away: EPIPE), nothing more is written.
class Output {
 public:
  void Write(const Json& line) {
    if (failed_) return;
    std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
    text.push_back('\n');
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failed_ = true;
        error_ = n < 0 ? errno : EIO;
        return;
      }
      done += static_cast<std::size_t>(n);
    }
  }
  bool failed() const { return failed_; }
  int error() const { return error_; }

 private:
  bool failed_ = false;
  int error_ = 0;
};

// Takes standard input apart into lines on a thread of its own and hands each
// one to `deliver` (complete lines, in order; a line longer than
// kMaxLineBytes as an empty line with `overlong` set, its bytes skipped as
// they come), then calls `ended` at the end of input.
//
// Flow control: at most kMaxQueuedLines lines are handed over and not yet
// done (LineDone); the reader waits for the control thread beyond that, so a
// fast writer cannot fill the memory.
//
// Shared state: queued_ and stopping_ under mu_; everything else belongs to
// the reader thread.
class LineReader {
 public:
  using Deliver = std::function<void(std::string line, bool overlong)>;
  static constexpr std::size_t kMaxQueuedLines = 64;

  LineReader(Deliver deliver, std::function<void()> ended)
      : deliver_(std::move(deliver)), ended_(std::move(ended)) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
    thread_ = std::thread([this] { Run(); });
  }
  ~LineReader() { Stop(); }

  // The control thread finished one handed-over line.
  void LineDone() {
    std::lock_guard<std::mutex> lock(mu_);
    if (queued_ > 0) --queued_;
    cv_.notify_all();
  }

  // Ends the thread wherever it waits (input or flow control) and joins it.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
      cv_.notify_all();
    }
    if (wake_[1] >= 0) {
      const char byte = 1;
      // A full pipe means a wake-up is already pending.
      [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
    }
    if (thread_.joinable()) thread_.join();
    for (int& fd : wake_)
      if (fd >= 0) {
        ::close(fd);
        fd = -1;
      }
  }

 private:
  bool Hand(std::string line, bool overlong) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return stopping_ || queued_ < kMaxQueuedLines; });
    if (stopping_) return false;
    ++queued_;
    lock.unlock();
    deliver_(std::move(line), overlong);
    return true;
  }

  void Run() {
    std::string line;
    bool skipping = false;  // inside a line that passed kMaxLineBytes
    char buf[65536];
    for (;;) {
      pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(fds, wake_[0] >= 0 ? 2 : 1, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents) return;  // stopping
      const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) break;
      // Each byte is looked at once: reading is linear in the input.
      const char* p = buf;
      const char* end = buf + n;
      while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
        const char* stop = nl ? nl : end;
        const std::size_t piece = static_cast<std::size_t>(stop - p);
        if (!skipping) {
          if (line.size() + piece > kMaxLineBytes) {
            skipping = true;
            std::string().swap(line);
          } else {
            line.append(p, piece);
          }
        }
        if (!nl) break;
        if (!Hand(skipping ? std::string() : std::move(line), skipping)) return;
        line.clear();
        skipping = false;
        p = nl + 1;
      }
    }
    if ((!line.empty() || skipping) && !Hand(std::move(line), skipping)) return;
    ended_();
  }

  Deliver deliver_;
  std::function<void()> ended_;
  int wake_[2] = {-1, -1};
  std::mutex mu_;
  std::condition_variable cv_;
  std::size_t queued_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace

int RunBridge(const std::string& module_path) {
  // A reader that went away is a write error to handle, not a signal to die of.
  ::signal(SIGPIPE, SIG_IGN);

  ModuleHost module(module_path);
  IDispatch* raw = nullptr;
  HRESULT hr = module.CreateControl(CLSID_Tarvo, &raw);
  if (FAILED(hr) || !raw) {
    std::cerr << "tarvomdrv bridge: cannot create the control: " << HresultText(hr) << "\n";
    return 1;
  }
  Output out;
  LateBoundControl control(raw);
  raw->Release();
  hr = control.ConnectEvents(
      [&out](const std::string& name, const Json& args) {
        out.Write(Json{{"event", name}, {"args", args}});
      });
  if (FAILED(hr)) {
    std::cerr << "tarvomdrv bridge: cannot connect the event sink: " << HresultText(hr) << "\n";
    return 1;
  }

  // Everything below runs on this (the control's) thread, except the
  // reader's own loop; lines reach this thread as posted tasks.
  platform::MessageLoop& loop = com::ThreadMessageLoop();
  // {"describe":true}: the members, parameters and events, for client
  // libraries that know no member by name.
  const ExtraRequest extra_requests = [&control](const Json& request,
                                                 const Json& id) -> std::optional<Json> {
    if (!request.contains("describe")) return std::nullopt;
    return DescribeResponse(id, control);
  };
  bool input_ended = false;
  LineReader* reader_ptr = nullptr;
  LineReader reader(
      [&](std::string line, bool overlong) {
        loop.Post([&, line = std::move(line), overlong] {
          // After the output failed no further request is run.
          if (!out.failed()) {
            if (overlong)
              out.Write(OverlongLineError());
            else if (auto answer = AnswerLine(control, line, extra_requests))
              out.Write(*answer);
          }
          reader_ptr->LineDone();
        });
      },
      [&] { loop.Post([&] { input_ended = true; }); });
  reader_ptr = &reader;

  while (!input_ended && !out.failed()) {
    pollfd fd{TarvoMessageLoopFd(), POLLIN, 0};
    const int ready = ::poll(&fd, 1, TarvoMessageLoopTimeoutMs());
    if (ready < 0 && errno != EINTR) break;
    TarvoProcessPendingMessages();
  }
  reader.Stop();
  // The control goes, saying goodbye to the sink (if output still works) and
  // closing its ports.
  control.Release();
  if (out.failed()) {
    std::cerr << "tarvomdrv bridge: standard output failed (" << std::strerror(out.error())
              << "); the control was released\n";
    return kOutputClosedExit;
  }
  return 0;
}

}  // namespace tarvo::tool
