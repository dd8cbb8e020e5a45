#include "cli/estate.hpp"

#include <algorithm>

#include "tolmi_gcp/estate.hpp"
#include "tolmi_gcp/gcplib.hpp"
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

ResourceDocument described(const Network& network, const Estate& estate) {
  ResourceDocument subnetworks = ResourceDocument::array();
  for (const Subnetwork& subnetwork : network.subnetworks) {
    subnetworks.push_back(kept(subnetwork.document, [](const std::string& key) {
      return key == "name" || key == "ipCidrRange" || key == "secondaryIpRanges";
    }));
    subnetworks.back()["region"] = subnetwork.region;
  }
  ResourceDocument routes = ResourceDocument::array();
  for (const Route& route : estate.routes)
    if (route.network == network.key())
      routes.push_back(kept(route.document, [](const std::string& key) {
        return key == "name" || key == "destRange" || key == "priority" || key == "tags" ||
               key == "description" || key.starts_with("nextHop");
      }));
  return {{"name", memberOrNull(network.document, "name")},
          {"project", network.project},
          {"selfLink", memberOrNull(network.document, "selfLink")},
          {"subnetworks", std::move(subnetworks)},
          {"routes", std::move(routes)},
          {"peerings", arrayOrEmpty(network.document, "peerings")}};
}

}  // namespace

ResourceDocument estateDocument(const Setup& setup) {
  EstateScope scope = EstateScope::of(setup.migration);
  Estate estate = readEstate(*Globals::service, scope);
  // The networks of routers that are neither the project's nor transit networks are not the
  // document's.
  ResourceDocument networks = ResourceDocument::array();
  for (const Network& network : estate.networks)
    if (network.project == setup.project || std::find(scope.transits.begin(), scope.transits.end(),
                                                      network.key()) != scope.transits.end())
      networks.push_back(described(network, estate));
  ResourceDocument routers = ResourceDocument::array();
  for (const Router& router : estate.routers)
    routers.push_back({{"name", memberOrNull(router.document, "name")},
                       {"project", router.project},
                       {"region", router.region},
                       {"network", router.network.text()},
                       {"bgp", router.bgp()},
                       {"bgpPeers", router.bgpPeers()}});
  // The spoke's GKE routes count among its ranges: its route table is read for them, as discover's
  // report reads it, without writing it.
  Globals::routeInfo =
      GcpLib::listRouteTable(setup.project, *Globals::service, setup.spokeNetwork, false);
  return {{"project", setup.project},
          {"spoke", setup.spoke},
          {"networks", std::move(networks)},
          {"routers", std::move(routers)},
          {"advertisements", spokeAdvertisements(setup)}};
}

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
