// The library's own cost of removing a spoke's transit peerings and re-creating them, with a
// transport that answers at once from memory: what remains is request building, parsing, the
// per-pair record updates and logging.

#include <map>

#include <benchmark/benchmark.h>

#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

std::string networkLink(const std::string& project, const std::string& network) {
  return "https://www.googleapis.com/compute/v1/projects/" + project + "/global/networks/" +
         network;
}

ResourceDocument peeringTo(const std::string& name, const std::string& link) {
  return {{"name", name},
          {"network", link},
          {"state", "ACTIVE"},
          {"autoCreateRoutes", true},
          {"exportCustomRoutes", true},
          {"importCustomRoutes", false},
          {"exchangeSubnetRoutes", true},
          {"exportSubnetRoutesWithPublicIp", true},
          {"importSubnetRoutesWithPublicIp", false},
          {"stackType", "IPV4_ONLY"},
          {"peerMtu", 1460}};
}

// Answers each network read from a fixed set of documents, any other request with a done operation.
class NetworkTransport : public HttpTransport {
 public:
  std::map<std::string, std::string> networks;  // path → body
  HttpResponse send(const HttpRequest& request) override {
    if (request.method == "GET") return {200, {}, networks.at(request.path)};
    return {200, {}, R"({"name":"op-1","status":"DONE"})"};
  }
};

// A spoke peered with `count` transit networks, each holding two other peerings before the one
// that points back; returns the transport and fills the configuration and the settings.
std::shared_ptr<NetworkTransport> setUp(int count) {
  Globals::reset();
  auto transport = std::make_shared<NetworkTransport>();
  ResourceDocument transit = ResourceDocument::array();
  ResourceDocument spokePeerings = ResourceDocument::array();
  for (int i = 0; i < count; ++i) {
    std::string hub = "hub-" + std::to_string(i);
    transit.push_back({{"vpc_name", "hub-proj::" + hub}});
    spokePeerings.push_back(peeringTo("to-" + hub, networkLink("hub-proj", hub)));
    ResourceDocument hubPeerings = {
        peeringTo("a", networkLink("x", "a")), peeringTo("b", networkLink("x", "b")),
        peeringTo(hub + "-to-spoke", networkLink("spoke-proj", "spoke"))};
    transport->networks["projects/hub-proj/global/networks/" + hub] =
        ResourceDocument{{"name", hub}, {"peerings", hubPeerings}}.dump();
  }
  transport->networks["projects/spoke-proj/global/networks/spoke"] =
      ResourceDocument{{"name", "spoke"}, {"peerings", spokePeerings}}.dump();
  YamlContext::setContext({{"transit_vpcs", transit}});
  Globals::project = "spoke-proj";
  Globals::vpc = {{"vpc_name", "spoke"}};
  Globals::service = std::make_shared<ComputeService>(transport, "http://bench/", nullptr);
  GcpLib::sleeper() = [] {};
  return transport;
}

void BM_SwitchPeerings(benchmark::State& state) {
  auto transport = setUp(static_cast<int>(state.range(0)));
  for (auto _ : state) GcpLib::managePeerings(true);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SwitchPeerings)->Arg(1)->Arg(16)->Arg(128);

void BM_RestorePeerings(benchmark::State& state) {
  auto transport = setUp(static_cast<int>(state.range(0)));
  GcpLib::managePeerings(true);
  for (auto _ : state) GcpLib::managePeerings(false);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RestorePeerings)->Arg(1)->Arg(16)->Arg(128);

}  // namespace
}  // namespace tolmi_gcp
