#pragma once
// The file and clock services of the diagnostic log: a file written at chosen
// offsets, the local time of day, a line on the standard error stream, and
// the text of a system error number.
//
// Twins: log_file_posix.cpp (open/pwrite/ftruncate, localtime_r) and
// log_file_win32.cpp (CreateFileW/SetFilePointerEx/WriteFile, GetLocalTime).
//
// Threads: a LogFile belongs to one thread at a time (the log's writer); the
// free functions may be called from any thread.
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace tarvo::platform {

class LogFile {
 public:
  LogFile() = default;
  ~LogFile();  // closes
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens an existing file for reading and writing; 0 or the system's error
  // number (also when the file does not exist).
  int OpenExisting(const std::string& path);
  // Creates the file, or empties an existing one; 0 or the error number.
  int Create(const std::string& path);
  bool IsOpen() const { return handle_ != kNoHandle; }
  // The file's size in bytes, or 0 when it cannot be told.
  std::int64_t Size() const;
  // Cuts the file to 0 bytes; false when that failed.
  bool Truncate();
  // Writes all of `bytes` at `offset`. Returns 0, or the system's error
  // number of the write that failed (a write that takes no byte counts as a
  // full disk); `written` holds the bytes that did go out.
  int WriteAt(std::string_view bytes, std::int64_t offset, std::int64_t& written);
  void Close();

 private:
  // A descriptor on POSIX, a HANDLE on Windows, held as an integer.
  static constexpr std::intptr_t kNoHandle = -1;
  std::intptr_t handle_ = kNoHandle;
};

// The size in bytes of the file at `path`, or 0 when it cannot be told (no
// such file).
std::int64_t FileSizeOf(const std::string& path);
// The local time now (year, month, day, hour, minute, second filled in).
std::tm LocalTimeNow();
// Writes `line` to the standard error stream as it is; a failure is ignored
// (reporting must never fail the caller).
void WriteToStderr(std::string_view line);
// The text of a system error number, as the system words it.
std::string SystemErrorText(int os_error);

}  // namespace tarvo::platform
