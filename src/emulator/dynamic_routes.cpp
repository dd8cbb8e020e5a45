#include "emulator/dynamic_routes.hpp"

#include <algorithm>

#include "tolmi_gcp/resource_link.hpp"

namespace tolmi_gcp::emulator {

namespace {

std::string lastSegment(const std::string& link) { return link.substr(link.rfind('/') + 1); }

// A client's patch may leave anything in a BGP peer: what is not text reads as "".
std::string textAt(const ResourceDocument& document, const char* field) {
  const ResourceDocument& value = memberOrNull(document, field);
  return value.is_string() ? value.get<std::string>() : "";
}

// The router's learned routes by BGP peer, as the topology gave them.
const std::map<std::string, std::vector<LearnedRoute>>* learnedRoutesOf(
    const Store& store, const ResourceDocument& router) {
  std::optional<ResourceLink> link =
      ResourceLink::parse(router["selfLink"].get<std::string>().substr(kLinkPrefix.size()));
  auto project = store.projects().find(link->project());
  if (project == store.projects().end()) return nullptr;
  auto found = project->second.learnedRoutes.find(link->location() + "/" + link->name());
  return found == project->second.learnedRoutes.end() ? nullptr : &found->second;
}

bool enabled(const ResourceDocument& peer) { return memberOrNull(peer, "enable") != "FALSE"; }

// The link of the VPN tunnel the interface of `peer` is on, "" for none.
std::string tunnelOf(const ResourceDocument& router, const ResourceDocument& peer) {
  const ResourceDocument& name = memberOrNull(peer, "interfaceName");
  for (const ResourceDocument& interface : arrayOrEmpty(router, "interfaces")) {
    if (memberOrNull(interface, "name") != name || name.is_null()) continue;
    const ResourceDocument& tunnel = memberOrNull(interface, "linkedVpnTunnel");
    if (!tunnel.is_string()) return "";
    std::string project =
        ResourceLink::parse(router["selfLink"].get<std::string>().substr(kLinkPrefix.size()))
            ->project();
    auto relative = relativeName(tunnel.get<std::string>(), project, "regions/*/vpnTunnels/*");
    return relative ? linkOf(*relative) : tunnel.get<std::string>();
  }
  return "";
}

// The end of `network`'s peering that points at `peer`, or null.
const ResourceDocument* endTowards(const ResourceDocument& network, const ResourceDocument& peer) {
  for (const ResourceDocument& peering : arrayOrEmpty(network, "peerings"))
    if (peering["network"] == peer["selfLink"]) return &peering;
  return nullptr;
}

bool flag(const ResourceDocument* peering, const char* name) {
  return peering && memberOrNull(*peering, name) == true;
}

}  // namespace

ResourceDocument DynamicRoute::document() const {
  ResourceDocument route = {{"kind", "compute#route"},
                            {"creationTimestamp", (*router)["creationTimestamp"]},
                            {"destRange", destRange},
                            {"network", (*router)["network"]},
                            {"nextHopIp", nextHopIp}};
  if (!nextHopVpnTunnel.empty()) route["nextHopVpnTunnel"] = nextHopVpnTunnel;
  route["priority"] = priority;
  route["routeType"] = "BGP";
  return route;
}

std::vector<DynamicRoute> learnedBy(const Store& store, const ResourceDocument& router) {
  std::vector<DynamicRoute> routes;
  const auto* learned = learnedRoutesOf(store, router);
  if (!learned) return routes;
  // A peer a client has since removed from the router teaches it nothing.
  for (const ResourceDocument& peer : arrayOrEmpty(router, "bgpPeers")) {
    auto of = learned->find(textAt(peer, "name"));
    std::string address = textAt(peer, "peerIpAddress");
    if (of == learned->end() || !enabled(peer) || address.empty()) continue;
    for (const LearnedRoute& route : of->second)
      routes.push_back({route.destRange, route.priority, address, tunnelOf(router, peer), &router});
  }
  return routes;
}

std::vector<DynamicRoute> dynamicRoutesIn(const Store& store, const ResourceDocument& network,
                                          const std::string& region) {
  std::vector<DynamicRoute> routes;
  bool global = network["routingConfig"]["routingMode"] == "GLOBAL";
  std::optional<ResourceLink> link =
      ResourceLink::parse(network["selfLink"].get<std::string>().substr(kLinkPrefix.size()));
  auto project = store.projects().find(link->project());
  if (project == store.projects().end()) return routes;
  for (const auto& [key, router] : project->second.routers) {
    if (router["network"] != network["selfLink"]) continue;
    if (!global && lastSegment(router["region"]) != region) continue;
    std::vector<DynamicRoute> learned = learnedBy(store, router);
    routes.insert(routes.end(), learned.begin(), learned.end());
  }
  return routes;
}

std::vector<DynamicRoute> bestOf(std::vector<DynamicRoute> routes) {
  std::erase_if(routes, [&](const DynamicRoute& route) {
    return std::any_of(routes.begin(), routes.end(), [&](const DynamicRoute& other) {
      return other.destRange == route.destRange && other.priority < route.priority;
    });
  });
  return routes;
}

ResourceDocument bgpPeerStatus(const Store& store, const ResourceDocument& router) {
  ResourceDocument statuses = ResourceDocument::array();
  std::vector<DynamicRoute> learned = learnedBy(store, router);
  for (const ResourceDocument& peer : arrayOrEmpty(router, "bgpPeers")) {
    ResourceDocument status = {{"name", memberOrNull(peer, "name")}};
    for (const char* field : {"ipAddress", "peerIpAddress"})
      if (memberOrNull(peer, field).is_string()) status[field] = peer[field];
    if (std::string tunnel = tunnelOf(router, peer); !tunnel.empty())
      status["linkedVpnTunnel"] = tunnel;
    bool up = enabled(peer);
    status["status"] = up ? "UP" : "DOWN";
    status["state"] = up ? "Established" : "Idle";
    status["numLearnedRoutes"] =
        std::count_if(learned.begin(), learned.end(), [&](const DynamicRoute& route) {
          return route.nextHopIp == textAt(peer, "peerIpAddress");
        });
    statuses.push_back(std::move(status));
  }
  return statuses;
}

ResourceDocument ExchangedRoute::document() const {
  ResourceDocument route = {{"destRange", destRange}, {"type", type}};
  if (!nextHopRegion.empty()) route["nextHopRegion"] = nextHopRegion;
  route["priority"] = priority;
  route["imported"] = imported;
  return route;
}

std::vector<ExchangedRoute> exchangedRoutes(const Store& store, const ResourceDocument& exporter,
                                            const ResourceDocument& importer,
                                            const std::string& region) {
  std::vector<ExchangedRoute> routes;
  for (const ResourceDocument* subnet : store.subnetworksOf(exporter)) {
    routes.push_back({(*subnet)["ipCidrRange"], "SUBNET_PEERING_ROUTE", 0, "", true});
    for (const ResourceDocument& secondary : arrayOrEmpty(*subnet, "secondaryIpRanges"))
      if (memberOrNull(secondary, "ipCidrRange").is_string())
        routes.push_back({secondary["ipCidrRange"], "SUBNET_PEERING_ROUTE", 0, "", true});
  }
  if (!flag(endTowards(exporter, importer), "exportCustomRoutes")) return routes;
  bool imported = flag(endTowards(importer, exporter), "importCustomRoutes");
  for (const ResourceDocument* route : store.staticRoutesOf(exporter))
    if (!has(*route, "tags") && !has(*route, "nextHopGateway"))
      routes.push_back(
          {(*route)["destRange"], "STATIC_PEERING_ROUTE", (*route)["priority"], "", imported});
  for (const DynamicRoute& route : bestOf(dynamicRoutesIn(store, exporter, region)))
    routes.push_back({route.destRange, "DYNAMIC_PEERING_ROUTE", route.priority,
                      lastSegment((*route.router)["region"]), imported});
  return routes;
}

std::vector<ExchangedRoute> exchangedFromExternalPeer(const Store& store,
                                                      const ResourceDocument& peering,
                                                      const std::string& region) {
  std::vector<ExchangedRoute> routes;
  const std::vector<ExternalRoute>* sent = store.routesFromExternalPeer(peering);
  if (!sent) return routes;
  for (const ExternalRoute& route : *sent)
    if (route.nextHopRegion.empty() || route.nextHopRegion == region)
      routes.push_back({route.destRange, route.type + "_PEERING_ROUTE", route.priority,
                        route.nextHopRegion, route.importedOver(peering)});
  return routes;
}

}  // namespace tolmi_gcp::emulator
