#pragma once

// The routes Cloud Routers learn from their BGP peers (dynamic routes), and what two peered
// networks exchange: subnet routes always; static and dynamic routes where one end exports custom
// routes and the other imports them.

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/store.hpp"

namespace tolmi_gcp::emulator {

struct DynamicRoute {
  std::string destRange;
  std::int64_t priority = 0;
  std::string nextHopIp;         // the BGP peer's address
  std::string nextHopVpnTunnel;  // the tunnel of the peer's interface, "" for none
  const ResourceDocument* router = nullptr;

  // As the API shows it in a router's status.
  ResourceDocument document() const;
};

// The routes `router` learned, from each of its BGP peers that is enabled.
std::vector<DynamicRoute> learnedBy(const Store& store, const ResourceDocument& router);

// The dynamic routes of `network` programmed in the region named `region`: those its routers
// there learned, and with GLOBAL dynamic routing those of its routers in every region.
std::vector<DynamicRoute> dynamicRoutesIn(const Store& store, const ResourceDocument& network,
                                          const std::string& region);

// Of `routes`, the best for each destination: the lowest priority, equals all kept.
std::vector<DynamicRoute> bestOf(std::vector<DynamicRoute> routes);

// The API's status of each BGP peer of `router`.
ResourceDocument bgpPeerStatus(const Store& store, const ResourceDocument& router);

// One route `exporter` sends its ACTIVE peer `importer`, as networks.listPeeringRoutes shows it.
struct ExchangedRoute {
  std::string destRange;
  std::string type;  // SUBNET_PEERING_ROUTE, STATIC_PEERING_ROUTE or DYNAMIC_PEERING_ROUTE
  std::int64_t priority = 0;
  std::string nextHopRegion;  // for dynamic routes: the region of the router that learned it
  bool imported = false;      // the importer takes it in

  ResourceDocument document() const;
};

// What `exporter` sends `importer` over their peering for the region named `region`: its subnet
// routes, and when its end exports custom routes its static routes (not tag-scoped ones, nor those
// to the internet gateway) and its dynamic routes in that region.
std::vector<ExchangedRoute> exchangedRoutes(const Store& store, const ResourceDocument& exporter,
                                            const ResourceDocument& importer,
                                            const std::string& region);

// What the external peer at the other end of the ACTIVE `peering`, an end of a network here,
// sends over it for the region named `region`, as the topology says; a dynamic route with a
// region is sent for that region alone.
std::vector<ExchangedRoute> exchangedFromExternalPeer(const Store& store,
                                                      const ResourceDocument& peering,
                                                      const std::string& region);

}  // namespace tolmi_gcp::emulator
