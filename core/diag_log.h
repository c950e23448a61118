#pragma once
// The diagnostic log: one text file "KV500M.log" in LogDir, shared by all
// ports of the loaded driver.
//
// WriteLog formats a line on the caller's thread and appends it to an
// in-memory buffer; a writer thread (TLogThread) moves the buffer to the file
// when asked (a flush request once the buffer holds 1024 bytes, and a final
// flush when the last logging port closes). Neither the host's thread nor the
// read thread ever touches the disk.
//
// Line: "Y:M:D h:m:s " + prefix + port name + ": " + text + CR LF, numbers
// without leading zeros; prefix "WRITE: " for kind 'W', "READ:  " for 'R',
// "CLEAR: " for 'C', none for any other kind.
//
// The buffer holds at most a few MiB: lines beyond it are dropped, reported
// once on stderr, and a line in the log says how many were lost once lines
// fit again. A file that cannot be written (missing directory, no rights,
// disk full) is reported once on stderr per streak of failing flushes.
//
// File size limit: MaxLogSize KiB. A chunk that would pass it is written from
// offset 0 over the oldest text; when old text still lies beyond the write
// position the file is emptied first.
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tarvo::core {

class DiagLog {
 public:
  // The driver-wide log.
  static DiagLog& Instance();

  // The most bytes of lines waiting for the writer; lines beyond are dropped.
  static constexpr std::size_t kMaxBufferBytes = 4 * 1024 * 1024;

  DiagLog();
  ~DiagLog();  // stops the writer
  DiagLog(const DiagLog&) = delete;
  DiagLog& operator=(const DiagLog&) = delete;

  // Formats and appends one line; posts a flush request to the writer when the
  // buffer holds 1024 bytes or more. A line that cannot get the buffer within
  // 101 attempts 10 ms apart is dropped.
  void WriteLog(char kind, std::string_view port_name, std::string_view text);

  // Directory of the file, without a trailing "/" (read at every flush).
  void SetLogDir(std::string dir);
  std::string LogDir() const;
  // The file's full name: LogDir + "/KV500M.log".
  std::string FilePath() const;

  // Raises MaxLogSize (KiB) to `kib` if larger; it never decreases.
  void RaiseMaxLogSize(std::int32_t kib);
  std::int32_t MaxLogSize() const;

  // Starts the writer thread if none runs (it continues at the end of an
  // existing file). Returns true when a writer runs afterwards.
  bool StartWriter();
  bool WriterRunning() const;
  // Asks the writer to flush everything logged so far (asynchronous).
  void RequestFinalFlush();
  // Stops the writer and waits for it. With flush_first the writer moves the
  // pending lines to the file before it ends; otherwise they are discarded.
  void StopWriter(bool flush_first = false);

  // Bytes appended and not yet written (for tests and diagnostics).
  std::size_t PendingBytes() const;

  // Test hooks: the local time used in time stamps, and a way to wait until
  // the writer has processed every request posted so far.
  void SetTimeSource(std::function<std::tm()> now);
  void WaitIdleForTest();
  // Marks the buffer busy (or clears the mark) as the writer does while it
  // removes a written prefix, so tests can see WriteLog wait and give up.
  void SetBusyForTest(bool busy);

  // Back to the state of a freshly loaded driver (writer stopped, buffer
  // empty, MaxLogSize 0, LogDir empty). For tests.
  void ResetForTest();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarvo::core
