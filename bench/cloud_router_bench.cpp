// The library's own cost of changing and restoring router advertisements, with a transport that
// answers at once from memory: what remains is request building, parsing, matching and logging.

#include <benchmark/benchmark.h>

#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

// Answers a router read with `router` and any other request with a small operation.
class CannedTransport : public HttpTransport {
 public:
  explicit CannedTransport(std::string router) : router_(std::move(router)) {}
  HttpResponse send(const HttpRequest& request) override {
    return {200, {}, request.method == "GET" ? router_ : R"({"name":"op-1","status":"DONE"})"};
  }

 private:
  std::string router_;
};

// One transit router advertising `ranges` /24 ranges, half of them configured for removal.
ResourceDocument setUp(int ranges) {
  ResourceDocument advertised = ResourceDocument::array();
  ResourceDocument removed = ResourceDocument::array();
  for (int i = 0; i < ranges; ++i) {
    std::string range = "10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".0/24";
    advertised.push_back({{"range", range}, {"description", "range " + std::to_string(i)}});
    if (i % 2 == 0) removed.push_back(range);
  }
  YamlContext::setContext({{"project_id", "spoke-proj"},
                           {"vpc_name", "spoke-1"},
                           {"transit_vpcs",
                            {{{"vpc_name", "hub-proj::hub"},
                              {"cloud_routers",
                               {{{"region", "us-east1"},
                                 {"router_name", "r1"},
                                 {"remove_advertised_routes", removed},
                                 {"add_advertised_routes", {"192.168.0.0/16"}},
                                 {"remove_advertised_groups", {"ALL_SUBNETS"}}}}}}}}});
  return {
      {"name", "r1"},
      {"network", "https://www.googleapis.com/compute/v1/projects/hub-proj/global/networks/hub"},
      {"bgp",
       {{"asn", 64512},
        {"advertiseMode", "CUSTOM"},
        {"advertisedGroups", {"ALL_SUBNETS"}},
        {"advertisedIpRanges", advertised}}}};
}

void BM_ManageRouter(benchmark::State& state) {
  Globals::reset();
  ResourceDocument router = setUp(static_cast<int>(state.range(0)));
  ComputeService service(std::make_shared<CannedTransport>(router.dump()), "http://bench/",
                         nullptr);
  for (auto _ : state) GcpLib::manageCloudRouterAdvertisedRoutePerVpc(service);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ManageRouter)->Arg(1)->Arg(16)->Arg(256);

void BM_RestoreRouter(benchmark::State& state) {
  Globals::reset();
  ResourceDocument router = setUp(static_cast<int>(state.range(0)));
  Globals::getRevertInfo()["cloud_routers"]["spoke-proj::spoke-1"]["hub-proj::hub::us-east1::r1"] =
      router["bgp"];
  ComputeService service(std::make_shared<CannedTransport>("{}"), "http://bench/", nullptr);
  for (auto _ : state) GcpLib::restoreCloudRouterAdvertisedRoutePerVpc(service);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RestoreRouter)->Arg(1)->Arg(16)->Arg(256);

}  // namespace
}  // namespace tolmi_gcp
