// What the benchmarks read about their own process: CPU time, peak memory
// and the number of threads.
#pragma once

#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace bench {

// User plus system CPU seconds of the whole process so far.
inline double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The process's peak resident set size so far, in KiB.
inline long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The process's current thread count (Linux), or -1 when it cannot be read.
inline int thread_count() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  }
  return -1;
}

}  // namespace bench
