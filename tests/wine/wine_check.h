#pragma once
// Tiny check and report helpers for the test programs that run under Wine.
// Each check writes one line ("PASS name" or "FAIL name: detail") to the log
// file and to standard output; the program exits 0 only when every check
// passed. There is no test framework here on purpose: these programs are
// plain static Windows executables that must run on a bare Wine prefix.
#include <cstdio>
#include <string>

namespace tarvo::wine {

class Report {
 public:
  explicit Report(const char* log_path) : log_(std::fopen(log_path, "a")) {}
  ~Report() {
    if (log_) std::fclose(log_);
  }
  Report(const Report&) = delete;
  Report& operator=(const Report&) = delete;

  // Records one check; returns `ok` so a caller can stop a section early.
  bool Check(bool ok, const std::string& name, const std::string& detail = {}) {
    std::string line = (ok ? "PASS " : "FAIL ") + name;
    if (!ok && !detail.empty()) line += ": " + detail;
    Write(line);
    ok ? ++passed_ : ++failed_;
    return ok;
  }
  void Note(const std::string& text) { Write("NOTE " + text); }

  int passed() const { return passed_; }
  int failed() const { return failed_; }
  int ExitCode() {
    Write("SUMMARY " + std::to_string(passed_) + " passed, " + std::to_string(failed_) + " failed");
    return failed_ == 0 && passed_ > 0 ? 0 : 1;
  }

 private:
  void Write(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (log_) {
      std::fprintf(log_, "%s\n", line.c_str());
      std::fflush(log_);
    }
  }

  std::FILE* log_;
  int passed_ = 0;
  int failed_ = 0;
};

inline std::string Hex(long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

}  // namespace tarvo::wine
