// The routing model's cost on the largest estate the discovery benchmarks read (100 networks,
// 2,000 subnetworks, 50,000 routes): where traffic from one network goes to each of its routes'
// destinations and subnet ranges, as the plan asks each state of a run.

#include <benchmark/benchmark.h>

#include <memory>

#include "discovery_estate.hpp"
#include "emulator/emulator.hpp"
#include "tolmi_gcp/reachability.hpp"

namespace tolmi_gcp {
namespace {

struct Question {
  const Estate* estate;
  NetworkKey from;
  std::vector<std::string> destinations;
};

const Question& largest() {
  static const Estate estate = [] {
    ComputeService api(
        std::make_shared<emulator::InProcessTransport>(std::make_shared<emulator::Emulator>(
            bench::discoveryEstate({100, 2000, 50000}, "bench-proj"))),
        "http://emulator.test/compute/v1/", nullptr);
    return readEstate(api, {{"bench-proj", "net-0"}, {}, {}, {}});
  }();
  static const Question question = [] {
    Question asked{&estate, {"bench-proj", "net-0"}, {}};
    for (const Route& route : estate.routes)
      if (route.network == asked.from) asked.destinations.push_back(route.destRange);
    for (const SubnetRange& subnet : subnetRangesOf(estate, asked.from))
      asked.destinations.push_back(subnet.range);
    return asked;
  }();
  return question;
}

void BM_PathsToEveryDestinationOfANetwork(benchmark::State& state) {
  const Question& question = largest();
  for (auto _ : state) {
    const RoutingTable table(*question.estate, question.from);
    for (const std::string& destination : question.destinations)
      benchmark::DoNotOptimize(table.pathsTo(destination));
  }
  state.counters["destinations"] = static_cast<double>(question.destinations.size());
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(question.destinations.size()));
}
BENCHMARK(BM_PathsToEveryDestinationOfANetwork)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tolmi_gcp
