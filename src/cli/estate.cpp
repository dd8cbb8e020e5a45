#include "cli/estate.hpp"

#include <optional>
#include <set>

#include "cli/api_reads.hpp"
#include "tolmi_gcp/compute/read_ahead.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/network_key.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp::cli {

namespace {

// The members of `document` that `keep` accepts, in the document's order.
template <typename Keep>
ResourceDocument kept(const ResourceDocument& document, Keep keep) {
  ResourceDocument out = ResourceDocument::object();
  for (const auto& member : document.items())
    if (keep(member.key())) out[member.key()] = member.value();
  return out;
}

class EstateReader {
 public:
  explicit EstateReader(const Setup& setup) : setup_(setup), api_(*Globals::service) {}

  ResourceDocument read() {
    ResourceDocument networks = ResourceDocument::array();
    std::optional<Request> request = api_.networks().list(setup_.project);
    while (request) {
      ResourceDocument page = request->execute();
      for (const ResourceDocument& network : arrayOrEmpty(page, "items"))
        networks.push_back(described(setup_.project, network));
      request = api_.networks().list_next(*request, page);
    }
    for (const ResourceDocument& transit : YamlContext{}.getContext("transit_vpcs")) {
      // The file was validated: every transit vpc_name is a network key.
      NetworkKey key = *NetworkKey::parse(textOf(transit["vpc_name"]));
      for (const ResourceDocument& router : arrayOrEmpty(transit, "cloud_routers"))
        regions_.insert({key.project, textOf(router["region"])});
      if (key.project == setup_.project) continue;
      if (std::optional<ResourceDocument> network =
              readIfExists(api_.networks().get(key.project, key.network)))
        networks.push_back(described(key.project, *network));
    }
    return {{"project", setup_.project},
            {"spoke", setup_.spoke},
            {"networks", std::move(networks)},
            {"routers", routers()},
            {"advertisements", advertisements()}};
  }

 private:
  ResourceDocument described(const std::string& project, const ResourceDocument& network) {
    ResourceDocument subnetworks = ResourceDocument::array();
    ReadAhead ahead(api_, subnetworkReads(api_, network));
    for (const ResourceDocument& link : arrayOrEmpty(network, "subnetworks")) {
      ResourceLink at = subnetworkLink(network, link);
      regions_.insert({at.project(), at.location()});
      ResourceDocument subnetwork =
          api_.subnetworks().get(at.project(), at.location(), at.name()).execute();
      subnetworks.push_back(kept(subnetwork, [](const std::string& key) {
        return key == "name" || key == "ipCidrRange" || key == "secondaryIpRanges";
      }));
      subnetworks.back()["region"] = at.location();
    }
    return {{"name", memberOrNull(network, "name")},
            {"project", project},
            {"selfLink", memberOrNull(network, "selfLink")},
            {"subnetworks", std::move(subnetworks)},
            {"routes", routes(project, network)},
            {"peerings", arrayOrEmpty(network, "peerings")}};
  }

  ResourceDocument routes(const std::string& project, const ResourceDocument& network) {
    ResourceDocument routes = ResourceDocument::array();
    std::optional<Request> request =
        api_.routes().listOfNetwork(project, textOf(memberOrNull(network, "selfLink")));
    while (request) {
      ResourceDocument page = request->execute();
      for (const ResourceDocument& route : arrayOrEmpty(page, "items"))
        routes.push_back(kept(route, [](const std::string& key) {
          return key == "name" || key == "destRange" || key == "priority" || key == "tags" ||
                 key == "description" || key.starts_with("nextHop");
        }));
      request = api_.routes().list_next(*request, page);
    }
    return routes;
  }

  // The spoke's GKE routes count among its ranges: its route table is read for them, as discover's
  // report reads it, without writing it.
  ResourceDocument advertisements() {
    Globals::routeInfo =
        GcpLib::listRouteTable(setup_.project, *Globals::service, setup_.spokeNetwork, false);
    return spokeAdvertisements(setup_);
  }

  ResourceDocument routers() {
    ResourceDocument routers = ResourceDocument::array();
    for (const auto& [project, region] : regions_) {
      std::optional<Request> request = api_.routers().list(project, region);
      while (request) {
        ResourceDocument page = request->execute();
        for (const ResourceDocument& router : arrayOrEmpty(page, "items"))
          routers.push_back({{"name", memberOrNull(router, "name")},
                             {"project", project},
                             {"region", region},
                             {"network", networkOf(memberOrNull(router, "network"),
                                                   "the network of the router " +
                                                       textOf(memberOrNull(router, "name")))
                                             .text()},
                             {"bgp", memberOrNull(router, "bgp")},
                             {"bgpPeers", arrayOrEmpty(router, "bgpPeers")}});
        request = api_.routers().list_next(*request, page);
      }
    }
    return routers;
  }

  const Setup& setup_;
  const ComputeService& api_;
  std::set<std::pair<std::string, std::string>> regions_;  // (project, region)
};

}  // namespace

ResourceDocument readEstate(const Setup& setup) { return EstateReader(setup).read(); }

ResourceDocument spokeAdvertisements(const Setup& setup) {
  ResourceDocument byRegion = ResourceDocument::object();
  for (const ResourceDocument& link : arrayOrEmpty(setup.spokeNetwork, "subnetworks")) {
    std::string region = subnetworkLink(setup.spokeNetwork, link).location();
    if (byRegion.contains(region)) continue;
    ResourceDocument cidrs =
        GcpLib::composeVpcCidrs(*Globals::service, setup.spokeNetwork, {{"region", region}});
    byRegion[region] = cidrs.is_array() ? cidrs : ResourceDocument::array();
  }
  return byRegion;
}

}  // namespace tolmi_gcp::cli
