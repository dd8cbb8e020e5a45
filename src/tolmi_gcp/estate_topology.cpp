// The estate written as a compute-emulator topology: the rehearsal of a migration offline.
#include <algorithm>
#include <map>

#include "tolmi_gcp/estate.hpp"

namespace tolmi_gcp {

namespace {

// The API's own routes that the emulator has no model of: through a hub, or dynamic routes through
// an interconnect attachment. A rehearsal goes without them.
const char* unmodelledNextHop(const Route& route) {
  if (route.nextHop.kind == NextHop::Kind::kHub) return "a hub";
  if (route.nextHop.kind == NextHop::Kind::kInterconnectAttachment)
    return "an interconnect attachment";
  return nullptr;
}

// The router's document with what it learned from each BGP peer as that peer's learned_routes.
ResourceDocument withLearnedRoutes(const Router& router, std::vector<std::string>& leftOut) {
  ResourceDocument document = router.document;
  for (const LearnedRoute& route : router.learnedRoutes) {
    std::optional<std::size_t> peer = router.peerOf(route);
    if (!peer) {
      leftOut.push_back("the route " + route.destRange + " that the router " + router.name +
                        " learned from " + route.nextHopIp + ", which is none of its BGP peers");
      continue;
    }
    document["bgpPeers"][*peer]["learned_routes"].push_back(
        {{"destRange", route.destRange}, {"priority", route.priority}});
  }
  return document;
}

// What the route `route` over a peering with an external peer says that peer exports, as an entry
// of its exported_routes.
ResourceDocument exportedRoute(const Route& route) {
  if (route.fromPeerSubnet()) return {{"destRange", route.destRange}, {"type", "SUBNET"}};
  return {{"destRange", route.destRange},
          {"type", memberOrNull(route.document, "routeType") == "BGP" ? "DYNAMIC" : "STATIC"},
          {"priority", route.priority}};
}

// Adds to the external peer `entry` what `network` holds over its ACTIVE peering `peering` with it,
// each route once, in the order of their ranges: the emulator names them its own way.
void addExportedRoutes(ResourceDocument& entry, const Estate& estate, const Network& network,
                       const Peering& peering) {
  for (const Route& route : estate.routes) {
    if (route.network != network.key() || route.nextHop.kind != NextHop::Kind::kPeering ||
        route.nextHop.target != peering.name)
      continue;
    ResourceDocument exported = exportedRoute(route);
    ResourceDocument& list = entry["exported_routes"];
    if (std::find(list.begin(), list.end(), exported) == list.end()) list.push_back(exported);
  }
  if (entry.contains("exported_routes"))
    std::sort(entry["exported_routes"].begin(), entry["exported_routes"].end(),
              [](const ResourceDocument& a, const ResourceDocument& b) {
                return a["destRange"] < b["destRange"];
              });
}

}  // namespace

Topology topologyOf(const Estate& estate, const EstateScope& scope) {
  Topology topology;
  ResourceDocument projects = ResourceDocument::object();
  auto add = [&](const std::string& project, const char* collection,
                 const ResourceDocument& resource) {
    projects[project][collection].push_back(resource);
  };
  // With their subnetworks: the routes the emulator derives from them follow the peerings.
  for (const Network& network : estate.networks) {
    add(network.project, "networks", network.document);
    for (const Subnetwork& subnetwork : network.subnetworks)
      add(subnetwork.project, "subnetworks", subnetwork.document);
  }
  // The emulator makes the derived routes again.
  for (const Route& route : estate.routes) {
    if (route.derived()) continue;
    if (const char* hop = unmodelledNextHop(route)) {
      topology.leftOut.push_back("the route " + route.name + ", whose next hop is " + hop);
      continue;
    }
    add(route.network.project, "routes", route.document);
  }
  for (const Instance& instance : estate.instances)
    add(instance.key.project, "instances", instance.document);
  std::vector<const Router*> routers;
  for (const RouterKey& key : scope.routers)
    if (const Router* router = estate.router(key)) routers.push_back(router);
  for (const Router& router : estate.routers)
    if (estate.network(router.network) &&
        std::find(routers.begin(), routers.end(), &router) == routers.end())
      routers.push_back(&router);
  for (const Router* router : routers)
    add(router->project, "routers", withLearnedRoutes(*router, topology.leftOut));

  // Peers outside the networks, peered with those whose peering with them is ACTIVE.
  std::map<std::string, ResourceDocument> external;  // by the peer's link
  for (const Network& network : estate.networks) {
    const ResourceDocument& documents = arrayOrEmpty(network.document, "peerings");
    for (std::size_t index = 0; index < network.peerings.size(); ++index) {
      const Peering& peering = network.peerings[index];
      if (estate.network(peering.network)) continue;
      const ResourceDocument& link = documents[index]["network"];
      ResourceDocument& entry = external[link.get<std::string>()];
      if (entry.is_null())
        entry = {{"network", link},
                 {"peered_with", ResourceDocument::array()},
                 {"mtu", peering.peerMtu ? ResourceDocument(*peering.peerMtu) : nullptr}};
      if (peering.state != "ACTIVE") continue;
      entry["peered_with"].push_back(network.selfLink);
      addExportedRoutes(entry, estate, network, peering);
    }
  }
  topology.document = {{"projects", std::move(projects)}};
  if (!external.empty()) {
    topology.document["external_peers"] = ResourceDocument::array();
    for (auto& [link, entry] : external) topology.document["external_peers"].push_back(entry);
  }
  return topology;
}

}  // namespace tolmi_gcp
