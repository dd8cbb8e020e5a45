// Every benchmark of the product, in one run and one table: the micro-benchmarks of the hot
// pieces (Google Benchmark), then discovery at three project sizes and at a distant API's round
// trip, a whole migration and the emulator under load, each against compute-emulator as a process.
//
//   tolmi_bench [--only micro,discovery,latency,migration,wave,emulator] [Google Benchmark flags]

#include <cstdio>
#include <cstring>
#include <exception>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>

#include "report.hpp"
#include "scenarios.hpp"

namespace tolmi_gcp::bench {
namespace {

const std::set<std::string> kParts = {"micro",     "discovery", "latency",
                                      "migration", "wave",      "emulator"};

// Collects each micro-benchmark's time per iteration (and rate, when it counts items) as rows.
class TableReporter : public benchmark::BenchmarkReporter {
 public:
  explicit TableReporter(Table& table) : table_(table) {}
  bool ReportContext(const Context&) override { return true; }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      std::string name = run.benchmark_name();
      if (run.error_occurred) throw std::runtime_error(name + " failed: " + run.error_message);
      progress(name);
      table_.add(name, "time per iteration",
                 number(run.GetAdjustedRealTime(), 3, benchmark::GetTimeUnitString(run.time_unit)));
      auto items = run.counters.find("items_per_second");
      if (items != run.counters.end())
        table_.add(name, "items per second", number(items->second.value, 0));
    }
  }

 private:
  Table& table_;
};

std::set<std::string> partsOf(const std::string& list) {
  std::set<std::string> parts;
  std::istringstream in(list);
  for (std::string part; std::getline(in, part, ',');) {
    if (!kParts.count(part))
      throw std::invalid_argument("--only: unknown part '" + part +
                                  "' (micro, discovery, latency, migration, wave, emulator)");
    parts.insert(part);
  }
  return parts;
}

int run(int argc, char** argv) {
  log4cplus::Initializer initializer;
  std::vector<char*> args(argv, argv + argc);
  std::set<std::string> parts = kParts;
  bool minTimeGiven = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (std::strcmp(args[i], "--only") == 0 && i + 1 < args.size()) {
      parts = partsOf(args[i + 1]);
      args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
      --i;
    } else if (std::strncmp(args[i], "--benchmark_min_time", 20) == 0) {
      minTimeGiven = true;
    }
  }
  // Enough for steady figures of calls that take micro- to milliseconds, and a short whole run.
  std::string minTime = "--benchmark_min_time=0.2";
  if (!minTimeGiven) args.push_back(minTime.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

  Table table;
  if (parts.count("micro")) {
    // Log lines are formed and handed to an appender as in the tool, but not written anywhere.
    log4cplus::SharedAppenderPtr null(new log4cplus::NullAppender());
    log4cplus::Logger::getRoot().addAppender(null);
    TableReporter reporter(table);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    log4cplus::Logger::getRoot().removeAppender(null);
  }
  if (parts.count("discovery")) {
    // Three sizes, each five times the one before, to show how the cost grows.
    discoveryAtScale(table, {4, 80, 2000}, 3, false);
    discoveryAtScale(table, {20, 400, 10000}, 3, false);
    discoveryAtScale(table, {100, 2000, 50000}, 3, false);
    // 40 networks of 30 subnetworks and 1,500 routes each, beside Google's Python client. Five
    // runs: on a shared machine each client's CPU varies by some 15% from one run to the next.
    discoveryAtScale(table, {40, 1200, 60000}, 5, true);
  }
  // Against a distant API: 40 networks of 20 subnetworks and 200 routes, one route page each.
  if (parts.count("latency")) discoveryAtLatency(table, {40, 800, 8000}, 50);
  if (parts.count("migration")) migrationCost(table);
  if (parts.count("wave")) waveCost(table);
  if (parts.count("emulator")) emulatorUnderLoad(table);
  benchmark::Shutdown();
  table.print(stdout);
  return 0;
}

}  // namespace
}  // namespace tolmi_gcp::bench

int main(int argc, char** argv) {
  try {
    // The measured processes of the discovery benchmark are this program started again.
    if (argc == 4 && std::strcmp(argv[1], "--client") == 0)
      return tolmi_gcp::bench::discoveryClient(argv[2], std::stoul(argv[3]));
    if (argc == 3 && std::strcmp(argv[1], "--floor") == 0)
      return tolmi_gcp::bench::discoveryFloor(argv[2]);
    return tolmi_gcp::bench::run(argc, argv);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "tolmi_bench: %s\n", failure.what());
    return 1;
  }
}
