#include "discovery_estate.hpp"

namespace tolmi_gcp::bench {

namespace {

std::string ipv4(int a, int b, int c) {
  return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + ".0";
}

}  // namespace

ResourceDocument discoveryEstate(const ProjectSize& size, const std::string& project) {
  static const char* kRegions[] = {"us-east1", "us-west1", "europe-west1", "asia-east1"};
  ResourceDocument networks = ResourceDocument::array();
  ResourceDocument subnetworks = ResourceDocument::array();
  ResourceDocument instances = ResourceDocument::array();
  ResourceDocument routes = ResourceDocument::array();
  auto networkName = [](int i) { return "net-" + std::to_string(i); };
  auto instanceLink = [](int i) { return "zones/us-east1-b/instances/gw-" + std::to_string(i); };
  for (int n = 0; n < size.networks; ++n) {
    networks.push_back({{"name", networkName(n)}, {"autoCreateSubnetworks", false}});
    instances.push_back({{"name", "gw-" + std::to_string(n)},
                         {"zone", "us-east1-b"},
                         {"canIpForward", true},
                         {"networkInterfaces", {{{"network", networkName(n)}}}}});
  }
  for (int s = 0; s < size.subnetworks; ++s)
    subnetworks.push_back({{"name", "subnet-" + std::to_string(s)},
                           {"network", networkName(s % size.networks)},
                           {"region", kRegions[s % 4]},
                           {"ipCidrRange", ipv4(10, s / 256, s % 256) + "/24"}});
  for (int r = 0; r < size.routes; ++r) {
    int n = r % size.networks;
    ResourceDocument route = {{"name", "route-" + std::to_string(r)},
                              {"network", networkName(n)},
                              {"destRange", ipv4(100 + r / 65536, r / 256 % 256, r % 256) + "/24"},
                              {"priority", 1000}};
    switch (r % 4) {
      case 0:
        route["nextHopIp"] = "10.255.0." + std::to_string(r % 250 + 2);
        break;
      case 1:
        route["nextHopGateway"] = "global/gateways/default-internet-gateway";
        break;
      case 2:
        route["nextHopInstance"] = instanceLink(n);
        break;
      default:
        route["nextHopIlb"] = "regions/us-east1/forwardingRules/fr-" + std::to_string(n);
    }
    routes.push_back(std::move(route));
  }
  return {{"projects",
           {{project,
             {{"networks", networks},
              {"subnetworks", subnetworks},
              {"instances", instances},
              {"routes", routes}}}}}};
}

}  // namespace tolmi_gcp::bench
