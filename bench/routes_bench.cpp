// The library's own cost of static routes: naming a created route, and switching and restoring a
// stage with a transport that answers at once from memory, so that what remains is request
// building, parsing, the per-route record updates and saves, and logging.

#include <benchmark/benchmark.h>

#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/gcplib/routes.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

const std::string kApi = "https://www.googleapis.com/compute/v1/projects/proj-1/";

ResourceDocument addEntry(int i) {
  return {{"cidr", "10." + std::to_string(i % 256) + ".0.0/16"},
          {"zone", "us-central1-a"},
          {"dest_instance", "gw-1"},
          {"priority", 200},
          {"name", nullptr}};
}

// Route reads get a route of that name, instance reads an instance, changes a done operation.
class RouteTransport : public HttpTransport {
 public:
  HttpResponse send(const HttpRequest& request) override {
    if (request.method != "GET") return {200, {}, R"({"name":"op-1","status":"DONE"})"};
    std::string name = request.path.substr(request.path.rfind('/') + 1);
    ResourceDocument body = {{"name", name}, {"selfLink", kApi + request.path}};
    if (request.path.find("/routes/") != std::string::npos) {
      body["destRange"] = "10.200.0.0/16";
      body["nextHopIp"] = "10.0.0.9";
      body["priority"] = 1000;
    }
    return {200, {}, body.dump()};
  }
};

// A stage that deletes `count` routes and creates `count`; the record saver serialises the whole
// record each time, as the tool's revert file does.
ResourceDocument setUp(int count) {
  Globals::reset();
  YamlContext::setContext({{"project_id", "proj-1"}, {"vpc_name", "spoke-a"}});
  Globals::networkLink = kApi + "global/networks/spoke-a";
  Globals::service = std::make_shared<ComputeService>(std::make_shared<RouteTransport>(),
                                                      "http://bench/", nullptr);
  Globals::setRevertInfoSaver(
      [](const ResourceDocument& record) { benchmark::DoNotOptimize(record.dump()); });
  GcpLib::sleeper() = [] {};
  ResourceDocument stage = {{"delete", ResourceDocument::array()},
                            {"add", ResourceDocument::array()}};
  for (int i = 0; i < count; ++i) {
    stage["delete"].push_back("r-" + std::to_string(i));
    stage["add"].push_back(addEntry(i));
  }
  return stage;
}

void BM_RouteName(benchmark::State& state) {
  ResourceDocument entry = addEntry(1);
  for (auto _ : state)
    benchmark::DoNotOptimize(routes::generatedRouteName("proj-1", "spoke-a", entry));
}
BENCHMARK(BM_RouteName);

void BM_SwitchRoutes(benchmark::State& state) {
  ResourceDocument stage = setUp(static_cast<int>(state.range(0)));
  for (auto _ : state) GcpLib::manageRoute(*Globals::service, stage, "stage-1");
  state.SetItemsProcessed(state.iterations() * state.range(0) * 2);
}
BENCHMARK(BM_SwitchRoutes)->Arg(1)->Arg(16)->Arg(128);

void BM_RestoreRoutes(benchmark::State& state) {
  ResourceDocument stage = setUp(static_cast<int>(state.range(0)));
  GcpLib::manageRoute(*Globals::service, stage, "stage-1");
  for (auto _ : state) GcpLib::restoreRoute(*Globals::service, "stage-1");
  state.SetItemsProcessed(state.iterations() * state.range(0) * 2);
}
BENCHMARK(BM_RestoreRoutes)->Arg(1)->Arg(16)->Arg(128);

}  // namespace
}  // namespace tolmi_gcp
