// The log's file and clock services on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/log_file.h"

namespace tarvo::platform {
namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

LogFile::~LogFile() { Close(); }

int LogFile::OpenExisting(const std::string& path) {
  Close();
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return errno;
  handle_ = fd;
  return 0;
}

int LogFile::Create(const std::string& path) {
  Close();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  handle_ = fd;
  return 0;
}

std::int64_t LogFile::Size() const {
  struct stat st {};
  if (!IsOpen() || ::fstat(Fd(handle_), &st) != 0) return 0;
  return st.st_size;
}

bool LogFile::Truncate() { return IsOpen() && ::ftruncate(Fd(handle_), 0) == 0; }

int LogFile::WriteAt(std::string_view bytes, std::int64_t offset, std::int64_t& written) {
  written = 0;
  if (!IsOpen()) return EBADF;
  const auto n = static_cast<std::int64_t>(bytes.size());
  while (written < n) {
    const ssize_t w = ::pwrite(Fd(handle_), bytes.data() + written,
                               static_cast<std::size_t>(n - written),
                               static_cast<off_t>(offset + written));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return errno;
    if (w == 0) return ENOSPC;
    written += w;
  }
  return 0;
}

void LogFile::Close() {
  if (!IsOpen()) return;
  ::close(Fd(handle_));
  handle_ = kNoHandle;
}

std::int64_t FileSizeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_size;
}

std::tm LocalTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return tm;
}

void WriteToStderr(std::string_view line) {
  [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

std::string SystemErrorText(int os_error) { return std::generic_category().message(os_error); }

}  // namespace tarvo::platform
