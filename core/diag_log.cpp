// The diagnostic log: line formatting, the in-memory buffer and the writer
// thread (TLogThread) that moves the buffer to "KV500M.log".
//
// Ownership and synchronisation:
//  - `mu` guards `busy`, `pending`, `time_source` and the right to touch
//    `buffer`. Whoever holds `mu` while `busy` is clear may read or append to
//    `buffer`. The writer sets `busy` (under `mu`) and then owns `buffer`
//    alone, without the lock, while it removes the prefix it has written;
//    appenders that find `busy` set leave `buffer` alone and try again 10 ms
//    later (LogBusy). `pending` mirrors the buffer's size for readers that
//    must not look at `buffer` while it is busy.
//  - `cfg_mu` guards `log_dir`; `max_log_size` is atomic. Both are read by the
//    writer at every flush.
//  - `lifecycle_mu` serialises StartWriter/StopWriter (held across the join,
//    which the writer thread never waits for). `writer_mu` guards the pointer
//    to the running writer, which WriteLog uses to post flush requests.
//  - `dropped` (lines refused because the buffer was full) is guarded by
//    `mu` with the buffer.
//  - The write position in the file and the failure streak of the file
//    belong to the writer thread alone.
//
// Bounds and failures. The buffer never holds more than kMaxBufferBytes:
// when the writer cannot run or cannot keep up, further lines are dropped,
// reported once on stderr, and counted; the first line that fits again is
// preceded by a line in the log that says how many were lost. A file that
// cannot be opened or written is reported once on stderr (its name and the
// system's reason) per streak of failing flushes; the chunk is dropped as
// before and the next flush tries again, so logging resumes by itself once
// the directory is usable.
#include "core/diag_log.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/log_file.h"
#include "platform/mailbox.h"

namespace tarvo::core {
namespace {

using platform::ThreadMessage;

constexpr std::size_t kFlushThreshold = 1024;
constexpr int kAppendAttempts = 101;
constexpr auto kBusyRetryDelay = std::chrono::milliseconds(10);
constexpr const char* kFileName = "/KV500M.log";

// Parameters that mark a genuine flush request (other values are ignored).
constexpr std::int64_t kFlushParamA = 255;
constexpr std::int64_t kFlushParamB = 256;

// Messages private to the writer: a test marker (a = ticket) and the order to
// end after everything posted before it.
constexpr std::uint32_t kIdleMarker = 0xFFFF0001u;
constexpr std::uint32_t kStopWriter = 0xFFFF0002u;

std::tm LocalNow() { return platform::LocalTimeNow(); }

// "Y:M:D h:m:s ", numbers without leading zeros.
std::string TimeStamp(const std::tm& tm) {
  char text[96];
  const int n = std::snprintf(text, sizeof text, "%d:%d:%d %d:%d:%d ", tm.tm_year + 1900,
                              tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// One line on stderr, for failures of the log itself that nobody would see
// otherwise. Reporting must not fail the caller: the result is ignored.
void ReportOnStderr(const std::string& text) {
  const std::string line = "TarvoMDrv: " + text + "\n";
  platform::WriteToStderr(line);
}

std::string_view PrefixOf(char kind) {
  switch (kind) {
    case 'W':
      return "WRITE: ";
    case 'R':
      return "READ:  ";
    case 'C':
      return "CLEAR: ";
    default:
      return "";
  }
}

}  // namespace

struct DiagLog::Impl {
  struct Writer {
    platform::Mailbox<ThreadMessage> mailbox;
    std::thread thread;
    // Progress of the test markers, guarded by idle_mu.
    std::mutex idle_mu;
    std::condition_variable idle_cv;
    std::int64_t markers_done = 0;
    bool exited = false;
  };

  // The buffer and its busy mark (see the top of this file).
  mutable std::mutex mu;
  std::string buffer;
  bool busy = false;
  std::size_t pending = 0;
  std::size_t dropped = 0;  // lines refused since the buffer last had room
  std::function<std::tm()> time_source;

  mutable std::mutex cfg_mu;
  std::string log_dir;
  std::atomic<std::int32_t> max_log_size{0};

  std::mutex lifecycle_mu;
  mutable std::mutex writer_mu;
  std::shared_ptr<Writer> writer;
  std::atomic<std::int64_t> next_marker{0};
  bool file_failing = false;  // writer thread only: the last flush failed

  std::string FilePath() const {
    std::lock_guard<std::mutex> lock(cfg_mu);
    return log_dir + kFileName;
  }

  void PostToWriter(ThreadMessage msg) {
    std::lock_guard<std::mutex> lock(writer_mu);
    if (writer) writer->mailbox.Post(msg);
  }

  // TLogThread.
  void WriterMain(Writer* w) {
    // Continue at the end of a file left by an earlier run.
    std::int64_t pos = platform::FileSizeOf(FilePath());

    ThreadMessage msg;
    while (w->mailbox.Wait(msg)) {
      if (msg.code == kStopWriter) break;
      switch (msg.code) {
        case platform::kLogFlushRequest:
          if (msg.a == kFlushParamA && msg.b == kFlushParamB) FlushLog(pos);
          break;
        case platform::kLogFinalFlush:
          FlushLog(pos);
          break;
        case kIdleMarker: {
          std::lock_guard<std::mutex> lock(w->idle_mu);
          if (msg.a > w->markers_done) w->markers_done = msg.a;
          w->idle_cv.notify_all();
          break;
        }
        default:
          break;  // not for us
      }
    }
    std::lock_guard<std::mutex> lock(w->idle_mu);
    w->exited = true;
    w->idle_cv.notify_all();
  }

  // FlushLog: moves what the buffer holds now to the file. Runs on the writer.
  void FlushLog(std::int64_t& pos) {
    std::string chunk;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (busy || buffer.empty()) return;  // busy only when a test holds it
      chunk = buffer;
    }
    WriteChunk(chunk, pos);

    // Remove the written prefix. The lines appended meanwhile stay.
    {
      std::lock_guard<std::mutex> lock(mu);
      busy = true;
    }
    buffer.erase(0, chunk.size());  // cannot fail: the prefix is always there
    {
      std::lock_guard<std::mutex> lock(mu);
      busy = false;
      pending = buffer.size();
    }
  }

  // Writes `chunk` at the write position, holding the file under its size
  // limit by starting again at offset 0. A file that cannot be opened,
  // created or written is reported on stderr (once per streak) and otherwise
  // passed over: the log is a diagnostic aid and must never disturb the
  // driver or its host, and the caller drops the chunk all the same so that
  // logging goes on with the following lines.
  void WriteChunk(const std::string& chunk, std::int64_t& pos) {
    const std::string path = FilePath();
    std::int64_t size_found = 0;
    platform::LogFile file;
    if (file.OpenExisting(path) == 0) {
      size_found = file.Size();
    } else {
      if (const int error = file.Create(path); error != 0) {
        ReportFileFailure(path, error);
        return;
      }
      pos = 0;
    }

    const std::int64_t n = static_cast<std::int64_t>(chunk.size());
    const std::int64_t limit = static_cast<std::int64_t>(max_log_size.load()) * 1024;
    if (pos + n > limit) {
      // Old text beyond the position would end up out of order: empty the
      // file first. Otherwise the new text simply runs over the oldest.
      if (pos < size_found) {
        // Should cutting fail, the new text still goes to offset 0; at worst
        // old text stays behind it.
        [[maybe_unused]] const bool cut = file.Truncate();
      }
      pos = 0;
    }

    // Disk full, I/O error: the rest is lost.
    std::int64_t done = 0;
    if (const int error = file.WriteAt(chunk, pos, done); error != 0) ReportFileFailure(path, error);
    pos += done;
    file.Close();
    if (done == n) file_failing = false;
  }

  // The log cannot reach its file: said once, when a streak of failing
  // flushes begins, so that a missing or read-only directory does not go
  // unnoticed and does not flood stderr either.
  void ReportFileFailure(const std::string& path, int error) {
    if (file_failing) return;
    file_failing = true;
    ReportOnStderr("cannot write the diagnostic log " + path + ": " +
                   platform::SystemErrorText(error) +
                   "; its lines are lost until it can be written again");
  }
};

DiagLog& DiagLog::Instance() {
  // Never destroyed: other driver-wide objects may still log while they are
  // torn down at exit. The driver stops the writer itself when the control is
  // destroyed; a writer still running at exit simply ends with the process.
  static DiagLog* const log = new DiagLog;
  return *log;
}

DiagLog::DiagLog() : impl_(std::make_unique<Impl>()) {}

DiagLog::~DiagLog() { StopWriter(false); }

void DiagLog::WriteLog(char kind, std::string_view port_name, std::string_view text) {
  Impl& d = *impl_;
  const std::string_view prefix = PrefixOf(kind);
  std::string tail;
  tail.reserve(prefix.size() + port_name.size() + 2 + text.size() + 2);
  tail.append(prefix).append(port_name).append(": ").append(text).append("\r\n");

  std::size_t size = 0;
  bool overflow_began = false;
  for (int attempt = 1; attempt <= kAppendAttempts; ++attempt) {
    {
      std::lock_guard<std::mutex> lock(d.mu);
      if (!d.busy) {
        // The time stamp is taken when the line goes into the buffer, so the
        // lines of the file are in time order.
        const std::string stamp = TimeStamp(d.time_source ? d.time_source() : LocalNow());
        std::string lost;
        if (d.dropped > 0) {
          lost = stamp + "TarvoMDrv: " + std::to_string(d.dropped) +
                 " log line(s) lost, the log buffer was full\r\n";
        }
        // The bound is far above what a running writer ever leaves behind
        // (it is asked to flush every 1024 bytes, and the file itself holds
        // at most 500 KiB): it is reached only when the writer cannot run or
        // cannot keep up.
        if (d.buffer.size() + lost.size() + stamp.size() + tail.size() > kMaxBufferBytes) {
          overflow_began = d.dropped++ == 0;
        } else {
          d.buffer += lost;
          d.buffer += stamp;
          d.buffer += tail;
          d.dropped = 0;
        }
        d.pending = d.buffer.size();
        size = d.pending;
        break;
      }
      size = d.pending;
    }
    if (attempt < kAppendAttempts) std::this_thread::sleep_for(kBusyRetryDelay);
    // After the last attempt the line is dropped.
  }
  if (overflow_began) {
    ReportOnStderr("the diagnostic log buffer is full (" + std::to_string(kMaxBufferBytes) +
                   " bytes): log lines are dropped until the log writer catches up");
  }

  if (size >= kFlushThreshold) {
    d.PostToWriter(ThreadMessage{platform::kLogFlushRequest, kFlushParamA, kFlushParamB});
  }
}

void DiagLog::SetLogDir(std::string dir) {
  std::lock_guard<std::mutex> lock(impl_->cfg_mu);
  impl_->log_dir = std::move(dir);
}

std::string DiagLog::LogDir() const {
  std::lock_guard<std::mutex> lock(impl_->cfg_mu);
  return impl_->log_dir;
}

std::string DiagLog::FilePath() const { return impl_->FilePath(); }

void DiagLog::RaiseMaxLogSize(std::int32_t kib) {
  std::int32_t current = impl_->max_log_size.load();
  while (kib > current && !impl_->max_log_size.compare_exchange_weak(current, kib)) {
  }
}

std::int32_t DiagLog::MaxLogSize() const { return impl_->max_log_size.load(); }

bool DiagLog::StartWriter() {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> life(d.lifecycle_mu);
  std::lock_guard<std::mutex> lock(d.writer_mu);
  if (d.writer) return true;
  auto w = std::make_shared<Impl::Writer>();
  try {
    w->thread = std::thread([&d, raw = w.get()] { d.WriterMain(raw); });
  } catch (const std::system_error&) {
    return false;  // no thread: the driver runs on without a log
  }
  d.writer = std::move(w);
  return true;
}

bool DiagLog::WriterRunning() const {
  std::lock_guard<std::mutex> lock(impl_->writer_mu);
  return impl_->writer != nullptr;
}

void DiagLog::RequestFinalFlush() {
  impl_->PostToWriter(ThreadMessage{platform::kLogFinalFlush, kFlushParamA, kFlushParamB});
}

void DiagLog::StopWriter(bool flush_first) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> life(d.lifecycle_mu);
  std::shared_ptr<Impl::Writer> w;
  {
    std::lock_guard<std::mutex> lock(d.writer_mu);
    w = std::move(d.writer);  // from now on WriteLog posts nothing
  }
  if (!w) return;
  if (flush_first) {
    w->mailbox.Post(ThreadMessage{platform::kLogFinalFlush, kFlushParamA, kFlushParamB});
  }
  w->mailbox.Post(ThreadMessage{kStopWriter, 0, 0});
  w->thread.join();

  // Lines the writer did not move to the file are lost.
  std::lock_guard<std::mutex> lock(d.mu);
  d.buffer.clear();
  d.pending = 0;
  d.dropped = 0;
}

std::size_t DiagLog::PendingBytes() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->pending;
}

void DiagLog::SetTimeSource(std::function<std::tm()> now) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->time_source = std::move(now);
}

void DiagLog::WaitIdleForTest() {
  Impl& d = *impl_;
  std::shared_ptr<Impl::Writer> w;
  {
    std::lock_guard<std::mutex> lock(d.writer_mu);
    w = d.writer;
  }
  if (!w) return;
  const std::int64_t ticket = ++d.next_marker;
  w->mailbox.Post(ThreadMessage{kIdleMarker, ticket, 0});
  std::unique_lock<std::mutex> lock(w->idle_mu);
  w->idle_cv.wait(lock, [&] { return w->exited || w->markers_done >= ticket; });
}

void DiagLog::SetBusyForTest(bool busy) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->busy = busy;
}

void DiagLog::ResetForTest() {
  Impl& d = *impl_;
  StopWriter(false);
  {
    std::lock_guard<std::mutex> lock(d.mu);
    d.buffer.clear();
    d.busy = false;
    d.pending = 0;
    d.dropped = 0;
    d.time_source = nullptr;
  }
  d.file_failing = false;  // no writer runs now
  SetLogDir(std::string());
  d.max_log_size.store(0);
}

}  // namespace tarvo::core
