// The log's file and clock services on Windows. Errors are Windows error
// codes (GetLastError), worded by the system (FormatMessage through
// std::system_category).
#include <windows.h>

#include <system_error>

#include "platform/codepage.h"
#include "platform/log_file.h"

namespace tarvo::platform {
namespace {

HANDLE Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::wstring Wide(const std::string& utf8) {
  const std::u16string text = Utf8ToUtf16(utf8);
  return std::wstring(text.begin(), text.end());
}

// Readers and writers of other processes may share the file (a user may look
// at the log while the driver writes it).
HANDLE OpenFile(const std::string& path, DWORD disposition) {
  return ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

LogFile::~LogFile() { Close(); }

int LogFile::OpenExisting(const std::string& path) {
  Close();
  const HANDLE h = OpenFile(path, OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) return static_cast<int>(::GetLastError());
  handle_ = reinterpret_cast<std::intptr_t>(h);
  return 0;
}

int LogFile::Create(const std::string& path) {
  Close();
  const HANDLE h = OpenFile(path, CREATE_ALWAYS);
  if (h == INVALID_HANDLE_VALUE) return static_cast<int>(::GetLastError());
  handle_ = reinterpret_cast<std::intptr_t>(h);
  return 0;
}

std::int64_t LogFile::Size() const {
  LARGE_INTEGER size{};
  if (!IsOpen() || !::GetFileSizeEx(Handle(handle_), &size)) return 0;
  return size.QuadPart;
}

bool LogFile::Truncate() {
  if (!IsOpen()) return false;
  LARGE_INTEGER zero{};
  return ::SetFilePointerEx(Handle(handle_), zero, nullptr, FILE_BEGIN) &&
         ::SetEndOfFile(Handle(handle_));
}

int LogFile::WriteAt(std::string_view bytes, std::int64_t offset, std::int64_t& written) {
  written = 0;
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  LARGE_INTEGER at{};
  at.QuadPart = offset;
  if (!::SetFilePointerEx(Handle(handle_), at, nullptr, FILE_BEGIN))
    return static_cast<int>(::GetLastError());
  const auto n = static_cast<std::int64_t>(bytes.size());
  while (written < n) {
    const std::int64_t left = n - written;
    const DWORD ask = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
    DWORD w = 0;
    if (!::WriteFile(Handle(handle_), bytes.data() + written, ask, &w, nullptr))
      return static_cast<int>(::GetLastError());
    if (w == 0) return ERROR_DISK_FULL;
    written += w;
  }
  return 0;
}

void LogFile::Close() {
  if (!IsOpen()) return;
  ::CloseHandle(Handle(handle_));
  handle_ = kNoHandle;
}

std::int64_t FileSizeOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::tm LocalTimeNow() {
  SYSTEMTIME st{};
  ::GetLocalTime(&st);
  std::tm tm{};
  tm.tm_year = st.wYear - 1900;
  tm.tm_mon = st.wMonth - 1;
  tm.tm_mday = st.wDay;
  tm.tm_hour = st.wHour;
  tm.tm_min = st.wMinute;
  tm.tm_sec = st.wSecond;
  tm.tm_wday = st.wDayOfWeek;
  tm.tm_isdst = -1;
  return tm;
}

void WriteToStderr(std::string_view line) {
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) return;  // a GUI host has none
  DWORD w = 0;
  ::WriteFile(err, line.data(), static_cast<DWORD>(line.size()), &w, nullptr);
}

std::string SystemErrorText(int os_error) { return std::system_category().message(os_error); }

}  // namespace tarvo::platform
