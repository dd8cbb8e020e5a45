#include "emulator/route_rules.hpp"

#include "emulator/operations.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/ipv4_network.hpp"

namespace tolmi_gcp::emulator {

namespace {

Ipv4Network rangeOf(const ResourceDocument& resource, const char* field) {
  return Ipv4Network::parse(resource[field].get<std::string>()).network;
}

std::string relativeOf(const ResourceDocument& resource) {
  return resource["selfLink"].get<std::string>().substr(kLinkPrefix.size());
}

ResourceDocument quotaExceeded(const std::string& quota, long long limit) {
  return operationError(
      "QUOTA_EXCEEDED",
      "Quota '" + quota + "' exceeded.  Limit: " + std::to_string(limit) + ".0 globally.", 403);
}

// The API's words for a range of the peer that the local network cannot take in: it clashes with
// a range that a local subnetwork or static route holds.
std::string overlapMessage(const std::string& peerRange, const std::string& localRange,
                           const ResourceDocument& localHolder) {
  return "An IP range in the peer network (" + peerRange +
         ") overlaps with an IP range in the local network (" + localRange +
         ") allocated by resource (" + relativeOf(localHolder) + ").";
}

// Static routes in the peering group of `network`: its own and those of its ACTIVE peers.
long long peeringGroupRoutes(const Store& store, const ResourceDocument& network) {
  auto count = static_cast<long long>(store.staticRoutesOf(network).size());
  for (const ResourceDocument* peer : store.activePeersOf(network))
    count += static_cast<long long>(store.staticRoutesOf(*peer).size());
  return count;
}

}  // namespace

std::optional<std::string> peeringConflict(const Store& store, const ResourceDocument& network,
                                           const ResourceDocument& peer) {
  const auto ourSubnets = store.subnetworksOf(network);
  const auto theirSubnets = store.subnetworksOf(peer);
  for (const ResourceDocument* theirs : theirSubnets) {
    Ipv4Network range = rangeOf(*theirs, "ipCidrRange");
    for (const ResourceDocument* ours : ourSubnets)
      if (rangeOf(*ours, "ipCidrRange").overlaps(range))
        return overlapMessage((*theirs)["ipCidrRange"], (*ours)["ipCidrRange"], *ours);
    for (const ResourceDocument* route : store.staticRoutesOf(network))
      if (range.contains(rangeOf(*route, "destRange")))
        return overlapMessage((*theirs)["ipCidrRange"], (*route)["destRange"], *route);
  }
  for (const ResourceDocument* route : store.staticRoutesOf(peer))
    for (const ResourceDocument* ours : ourSubnets)
      if (rangeOf(*ours, "ipCidrRange").contains(rangeOf(*route, "destRange")))
        return overlapMessage((*route)["destRange"], (*ours)["ipCidrRange"], *ours);
  return std::nullopt;
}

void checkRouteDestination(const Store& store, const ResourceDocument& route) {
  const ResourceDocument* network = store.findNetwork(route["network"].get<std::string>());
  if (!network) return;
  Ipv4Network destination = rangeOf(route, "destRange");
  auto refuse = [&](const std::string& subnetRange) {
    const std::string& dest = route["destRange"].get_ref<const std::string&>();
    if (Ipv4Network::parse(subnetRange).network.contains(destination))
      throwInvalid("destRange", dest,
                   dest + " hides the address space of the network (" + subnetRange +
                       "). Cannot change the routing of packets destined for the network.");
  };
  for (const ResourceDocument* subnet : store.subnetworksOf(*network))
    refuse((*subnet)["ipCidrRange"]);
  for (const ResourceDocument* peer : store.activePeersOf(*network))
    for (const ResourceDocument* subnet : store.subnetworksOf(*peer))
      refuse((*subnet)["ipCidrRange"]);
  // An external peer's subnet ranges are those the topology says it exports.
  for (const ResourceDocument& peering : arrayOrEmpty(*network, "peerings"))
    if (const auto* exported = store.routesFromExternalPeer(peering);
        exported && peering["state"] == "ACTIVE")
      for (const ExternalRoute& sent : *exported)
        if (sent.type == "SUBNET") refuse(sent.destRange);
}

std::optional<ResourceDocument> routeQuotaRefusal(const Store& store, const QuotaOptions& quotas,
                                                  const ResourceDocument& network) {
  if (static_cast<long long>(store.staticRoutesOf(network).size()) >= quotas.routesPerNetwork)
    return quotaExceeded("STATIC_ROUTES_PER_NETWORK", quotas.routesPerNetwork);
  // The route counts in the peering group of its network and in that of each of its peers.
  bool spent = peeringGroupRoutes(store, network) >= quotas.staticRoutesPerPeeringGroup;
  for (const ResourceDocument* peer : store.activePeersOf(network))
    spent = spent || peeringGroupRoutes(store, *peer) >= quotas.staticRoutesPerPeeringGroup;
  if (spent)
    return quotaExceeded("STATIC_ROUTES_PER_PEERING_GROUP", quotas.staticRoutesPerPeeringGroup);
  return std::nullopt;
}

std::optional<ResourceDocument> peeringQuotaRefusal(const QuotaOptions& quotas,
                                                    const ResourceDocument& network) {
  if (static_cast<long long>(arrayOrEmpty(network, "peerings").size()) >= quotas.peeringsPerNetwork)
    return quotaExceeded("PEERINGS_PER_NETWORK", quotas.peeringsPerNetwork);
  return std::nullopt;
}

void checkTopologyRules(const Store& store, const ResourceDocument& topology) {
  for (const auto& [id, resources] : topology["projects"].items()) {
    std::string prefix = "projects." + id + ".";
    const ResourceDocument& routes = arrayOrEmpty(resources, "routes");
    for (std::size_t i = 0; i < routes.size(); ++i) {
      try {
        checkRouteDestination(store, *store.find(linkOf("projects/" + id + "/global/routes/" +
                                                        routes[i]["name"].get<std::string>()),
                                                 "global/routes/*", &Project::routes));
      } catch (const ApiError& problem) {
        throw ConfigError(prefix + "routes[" + std::to_string(i) + "]: " + problem.what());
      }
    }
    const ResourceDocument& networks = arrayOrEmpty(resources, "networks");
    for (std::size_t i = 0; i < networks.size(); ++i) {
      const ResourceDocument* network = store.findNetwork(
          linkOf("projects/" + id + "/global/networks/" + networks[i]["name"].get<std::string>()));
      const ResourceDocument& peerings = arrayOrEmpty(*network, "peerings");
      for (std::size_t j = 0; j < peerings.size(); ++j) {
        const ResourceDocument* peer = store.findNetwork(peerings[j]["network"].get<std::string>());
        if (peerings[j]["state"] != "ACTIVE" || !peer) continue;
        if (auto conflict = peeringConflict(store, *network, *peer))
          throw ConfigError(prefix + "networks[" + std::to_string(i) + "].peerings[" +
                            std::to_string(j) + "]: " + *conflict);
      }
    }
  }
}

}  // namespace tolmi_gcp::emulator
