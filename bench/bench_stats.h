// Figures of a benchmark's samples, and the CPU time of this process.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

// CPU seconds used so far by every thread of this process.
inline double BenchCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The sample below which `percent` of the samples lie (0 without samples).
inline double BenchPercentile(std::vector<double> samples, size_t percent) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[std::min(samples.size() - 1, samples.size() * percent / 100)];
}

inline double BenchMedian(std::vector<double> samples) { return BenchPercentile(std::move(samples), 50); }

inline double BenchMax(const std::vector<double>& samples) {
  return samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
}

// Where a benchmark prints its own summary: standard output, unless the
// benchmark figures go there in a machine format (JSON, CSV), which the
// summary must not break.
inline FILE* BenchSummaryStream(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--benchmark_format=", 19) == 0 &&
        std::strcmp(argv[i] + 19, "console") != 0)
      return stderr;
  return stdout;
}
