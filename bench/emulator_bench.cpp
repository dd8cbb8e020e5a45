// The emulator's own speed: small GETs over one kept-alive HTTP connection, and listing a large
// project page by page (which must cost time linear in the number of routes).

#include <benchmark/benchmark.h>

#include "emulator/emulator.hpp"
#include "emulator/server.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/compute/curl_transport.hpp"

namespace tolmi_gcp::emulator {
namespace {

ResourceDocument topologyWithRoutes(int routes) {
  ResourceDocument list = ResourceDocument::array();
  for (int i = 0; i < routes; ++i)
    list.push_back(
        {{"name", "route-" + std::to_string(i)},
         {"network", "n"},
         {"destRange", "10." + std::to_string(i / 65536 % 256) + "." +
                           std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + "/32"},
         {"nextHopIp", "10.255.0.1"}});
  return {{"projects", {{"p", {{"networks", {{{"name", "n"}}}}, {"routes", std::move(list)}}}}}};
}

void BM_SmallGetOnKeptAliveConnection(benchmark::State& state) {
  auto emulator = std::make_shared<Emulator>(topologyWithRoutes(10));
  Server server(emulator, "127.0.0.1", 0);
  ComputeService service(makeCurlTransport(),
                         "http://127.0.0.1:" + std::to_string(server.port()) + "/compute/v1/",
                         nullptr);
  Request get = service.routes().get("p", "route-7");
  for (auto _ : state) benchmark::DoNotOptimize(get.execute());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SmallGetOnKeptAliveConnection)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same request without sockets: the emulator's own share of the cost above.
void BM_SmallGetInProcess(benchmark::State& state) {
  auto emulator = std::make_shared<Emulator>(topologyWithRoutes(10));
  ComputeService service(std::make_shared<InProcessTransport>(emulator),
                         "http://emulator.test/compute/v1/", nullptr);
  Request get = service.routes().get("p", "route-7");
  for (auto _ : state) benchmark::DoNotOptimize(get.execute());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SmallGetInProcess)->Unit(benchmark::kMicrosecond);

void BM_ListAllRoutesPageByPage(benchmark::State& state) {
  auto emulator = std::make_shared<Emulator>(topologyWithRoutes(static_cast<int>(state.range(0))));
  ComputeService service(std::make_shared<InProcessTransport>(emulator),
                         "http://emulator.test/compute/v1/", nullptr);
  std::size_t listed = 0;
  for (auto _ : state) {
    listed = 0;
    std::optional<Request> page = service.routes().list("p", "");
    while (page) {
      ResourceDocument response = page->execute();
      listed += response["items"].size();
      page = service.routes().list_next(*page, response);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(listed));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ListAllRoutesPageByPage)
    ->RangeMultiplier(2)
    ->Range(12500, 100000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

// One page of a small network's routes by filter, as discovery asks for it, in a project whose
// other network grows: "network: LINK" is served from the routes' index by network and must cost
// the same at every size; the same selection by regular expression (arg 0) looks at every route.
void BM_FilteredRoutePage(benchmark::State& state) {
  ResourceDocument topology = topologyWithRoutes(static_cast<int>(state.range(0)));
  ResourceDocument& project = topology["projects"]["p"];
  project["networks"].push_back({{"name", "small"}});
  for (int i = 0; i < 100; ++i)
    project["routes"].push_back({{"name", "small-" + std::to_string(i)},
                                 {"network", "small"},
                                 {"destRange", "172.16." + std::to_string(i) + ".0/24"},
                                 {"nextHopIp", "10.255.0.1"}});
  auto emulator = std::make_shared<Emulator>(topology);
  ComputeService service(std::make_shared<InProcessTransport>(emulator),
                         "http://emulator.test/compute/v1/", nullptr);
  Request list = service.routes().list(
      "p", state.range(1) ? "network: \"https://www.googleapis.com/compute/v1/projects/p/global/"
                            "networks/small\""
                          : "network eq .*/networks/small");
  for (auto _ : state)  // its 100 routes and its route to the internet
    if (list.execute()["items"].size() != 101) state.SkipWithError("not the network's routes");
}
BENCHMARK(BM_FilteredRoutePage)
    ->ArgsProduct({{12500, 50000, 100000}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tolmi_gcp::emulator
