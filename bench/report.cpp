#include "report.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace tolmi_gcp::bench {

void Table::add(std::string benchmark, std::string figure, std::string value) {
  rows_.push_back({std::move(benchmark), std::move(figure), std::move(value)});
}

void Table::print(std::FILE* out) const {
  std::array<std::string, 3> head = {"benchmark", "figure", "value"};
  std::array<std::size_t, 3> width{};
  for (std::size_t c = 0; c < 3; ++c) {
    width[c] = head[c].size();
    for (const auto& row : rows_) width[c] = std::max(width[c], row[c].size());
  }
  auto line = [&](const std::array<std::string, 3>& cells) {
    // Values are right-aligned so that their units line up.
    std::fprintf(out, "| %-*s | %-*s | %*s |\n", static_cast<int>(width[0]), cells[0].c_str(),
                 static_cast<int>(width[1]), cells[1].c_str(), static_cast<int>(width[2]),
                 cells[2].c_str());
  };
  line(head);
  std::fprintf(out, "|%s|%s|%s:|\n", std::string(width[0] + 2, '-').c_str(),
               std::string(width[1] + 2, '-').c_str(), std::string(width[2] + 1, '-').c_str());
  // A benchmark's name is shown on its first row only.
  std::string previous;
  for (auto row : rows_) {
    if (row[0] == previous)
      row[0].clear();
    else
      previous = row[0];
    line(row);
  }
}

std::string number(double value, int decimals, const std::string& unit) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return unit.empty() ? text : std::string(text) + " " + unit;
}

double processCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  if (text.empty()) throw std::runtime_error("cannot read /proc/" + std::to_string(pid) + "/stat");
  // Fields 14 and 15 (utime, stime) count from the ")" that closes the command name.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i >= 14) ticks += std::stod(field);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ownCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Not getrusage's ru_maxrss: a child spawned through vfork inherits the parent's peak there.
long ownPeakKib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  throw std::runtime_error("no VmHWM in /proc/self/status");
}

double percentile(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  auto index = static_cast<std::size_t>(std::ceil(fraction * samples.size()));
  return samples[std::min(samples.size() - 1, index == 0 ? 0 : index - 1)];
}

std::size_t discardBody(char*, std::size_t size, std::size_t count, void*) { return size * count; }

void progress(const std::string& what) { std::fprintf(stderr, "tolmi_bench: %s\n", what.c_str()); }

}  // namespace tolmi_gcp::bench
