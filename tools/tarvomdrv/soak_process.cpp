// Figures of this process: CPU time, resident memory, descriptors, threads.
#include "tools/tarvomdrv/soak_process.h"

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace tarvo::tool {

namespace {

int CountEntries(const char* dir) {
  std::error_code ec;
  int n = 0;
  for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    ++n;
  }
  return n;
}

std::int64_t ResidentKib() {
  std::ifstream statm("/proc/self/statm");
  std::int64_t size = 0;
  std::int64_t resident = 0;
  if (!(statm >> size >> resident)) return 0;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

ProcessSample SampleProcess() {
  ProcessSample s;
  rusage ru{};
  if (::getrusage(RUSAGE_SELF, &ru) == 0) {
    s.cpu_seconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                    static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    s.peak_rss_kib = ru.ru_maxrss;
  }
  s.rss_kib = ResidentKib();
  // The directory listing holds a descriptor of its own while it runs: the
  // count is one higher than at rest, the same at every sample.
  s.descriptors = CountEntries("/proc/self/fd");
  s.threads = CountEntries("/proc/self/task");
  return s;
}

}  // namespace tarvo::tool
