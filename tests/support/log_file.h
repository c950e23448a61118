#pragma once
// The diagnostic log as the tests read it: a fixed time for its stamps, a
// flush of everything logged so far, and the file's text and lines.
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/diag_log.h"

namespace tarvo::test {

// 7 May 2009, 09:03:12: every line then starts with "2009:5:7 9:3:12 ".
inline std::tm FixedLogTime() {
  std::tm tm{};
  tm.tm_year = 2009 - 1900;
  tm.tm_mon = 5 - 1;
  tm.tm_mday = 7;
  tm.tm_hour = 9;
  tm.tm_min = 3;
  tm.tm_sec = 12;
  return tm;
}

// Has the log's writer put out everything logged so far.
inline void FlushLog() {
  auto& log = core::DiagLog::Instance();
  log.RequestFinalFlush();
  log.WaitIdleForTest();
}

// The whole file at `path`, byte for byte; empty when there is none.
inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// `text` cut at every CR LF; a last line without one counts too.
inline std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

}  // namespace tarvo::test
