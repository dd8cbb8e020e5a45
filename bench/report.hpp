#pragma once

// What the benchmarks share: the one table that `tolmi_bench` prints, and the measurements of
// processes (CPU, peak memory) and of samples (median, percentiles) behind its figures.

#include <sys/types.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace tolmi_gcp::bench {

// Rows of benchmark, figure and value, printed together as one Markdown table.
class Table {
 public:
  void add(std::string benchmark, std::string figure, std::string value);
  void print(std::FILE* out) const;

 private:
  std::vector<std::array<std::string, 3>> rows_;
};

// `value` with `decimals` digits after the point, then " " and `unit` when there is one.
std::string number(double value, int decimals, const std::string& unit = "");

// CPU seconds (user and system, all threads) that process `pid` has used so far.
double processCpuSeconds(pid_t pid);

// This process's CPU seconds so far, and its peak resident memory (VmHWM) in KiB.
double ownCpuSeconds();
long ownPeakKib();

// The value below which `fraction` of the samples lie (0.5: the median). `samples` not empty.
double percentile(std::vector<double> samples, double fraction);

// A curl write callback that throws the body away: the floor clients read answers unparsed.
std::size_t discardBody(char* data, std::size_t size, std::size_t count, void* unused);

// Prints a progress line on standard error, so that a long run shows where it is.
void progress(const std::string& what);

}  // namespace tolmi_gcp::bench
