// The library's own cost of the discovery report per piece: forming a table line, parsing a
// 500-route page as the API sends it (and through nlohmann's parser, for comparison), and a whole
// route-table page (parse, next hops, lines).

#include <benchmark/benchmark.h>

#include "emulator/emulator.hpp"
#include "tolmi_gcp/commonlib.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/gcplib/frame.hpp"

namespace tolmi_gcp {
namespace {

constexpr int kPageSize = 500;

// A network with one page of routes through each kind of next hop, as the emulator renders them.
ResourceDocument topology() {
  ResourceDocument routes = ResourceDocument::array();
  for (int i = 0; i < kPageSize; ++i) {
    ResourceDocument route = {
        {"name", "route-" + std::to_string(i)},
        {"network", "n"},
        {"destRange", "10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".0/24"}};
    if (i % 3 == 0)
      route["nextHopIp"] = "10.255.0.1";
    else if (i % 3 == 1)
      route["nextHopGateway"] = "global/gateways/default-internet-gateway";
    else
      route["nextHopInstance"] = "zones/us-east1-b/instances/gw";
    routes.push_back(std::move(route));
  }
  return {
      {"projects",
       {{"p",
         {{"networks", {{{"name", "n"}}}},
          {"instances",
           {{{"name", "gw"}, {"zone", "us-east1-b"}, {"networkInterfaces", {{{"network", "n"}}}}}}},
          {"routes", routes}}}}}};
}

// Answers every request with the same page.
class PageTransport : public HttpTransport {
 public:
  explicit PageTransport(std::string page) : page_(std::move(page)) {}
  HttpResponse send(const HttpRequest&) override { return {200, {}, page_}; }

 private:
  std::string page_;
};

// The emulator's answer to the route list of network "n": one full page, made the last.
std::string routePage() {
  auto emulator = std::make_shared<emulator::Emulator>(topology());
  HttpRequest request;
  request.method = "GET";
  request.baseUrl = "http://emulator.test/compute/v1/";
  request.path = "projects/p/global/routes";
  request.query = {{"maxResults", std::to_string(kPageSize)}};
  ResourceDocument page =
      ResourceDocument::parse(emulator::InProcessTransport(emulator).send(request).body);
  page.erase("nextPageToken");
  return page.dump();
}

void BM_LogTableRow(benchmark::State& state) {
  ResourceDocument subnetwork = {
      {"name", "subnet-1"},
      {"ipCidrRange", "10.0.0.0/24"},
      {"region", "https://www.googleapis.com/compute/v1/projects/p/regions/us-east1"}};
  for (auto _ : state) Common::logSubnet(subnetwork);
}
BENCHMARK(BM_LogTableRow);

void BM_LogTableHead(benchmark::State& state) {
  for (auto _ : state) frame::writeTableHead("CIDR", "REGION", "subnet");
}
BENCHMARK(BM_LogTableHead);

template <typename Parse>
void parseRoutePage(benchmark::State& state, Parse parse) {
  std::string page = routePage();
  for (auto _ : state) benchmark::DoNotOptimize(parse(page));
  state.SetItemsProcessed(state.iterations() * kPageSize);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(page.size()));
}

void BM_ParseRoutePage(benchmark::State& state) { parseRoutePage(state, parseDocument); }
BENCHMARK(BM_ParseRoutePage)->Unit(benchmark::kMicrosecond);

// The same page through nlohmann's own parser, which parseDocument stands in for.
void BM_ParseRoutePageNlohmann(benchmark::State& state) {
  parseRoutePage(state, [](const std::string& page) { return ResourceDocument::parse(page); });
}
BENCHMARK(BM_ParseRoutePageNlohmann)->Unit(benchmark::kMicrosecond);

// A route-table report of one 500-route page: request, parse, next hop and line of each route.
void BM_RouteTablePage(benchmark::State& state) {
  ComputeService service(std::make_shared<PageTransport>(routePage()), "http://bench/", nullptr);
  ResourceDocument network = {
      {"selfLink", "https://www.googleapis.com/compute/v1/projects/p/global/networks/n"}};
  for (auto _ : state) benchmark::DoNotOptimize(GcpLib::listRouteTable("p", service, network));
  state.SetItemsProcessed(state.iterations() * kPageSize);
}
BENCHMARK(BM_RouteTablePage)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tolmi_gcp
