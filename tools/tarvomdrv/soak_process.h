#pragma once
// Figures of this process for the soak's resource check.
#include <cstdint>

namespace tarvo::tool {

struct ProcessSample {
  double cpu_seconds = 0;       // user + system, all threads so far
  std::int64_t rss_kib = 0;     // resident now
  std::int64_t peak_rss_kib = 0;
  int descriptors = 0;          // entries of /proc/self/fd
  int threads = 0;              // entries of /proc/self/task
};

ProcessSample SampleProcess();

}  // namespace tarvo::tool
