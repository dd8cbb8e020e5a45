#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tolmi_gcp/estate.hpp"

namespace tolmi_gcp::cli {

// What differs between two estates, resource by resource: a route or peering end only in
// `before` is removed, only in `after` added, in both but otherwise replaced (routes cannot be
// changed in place); a router whose advertisements differ is changed.
struct EstateChanges {
  struct RouteChange {
    std::optional<Route> before, after;
  };
  struct PeeringChange {
    NetworkKey network;  // the end's own network
    std::optional<Peering> before, after;
  };
  struct RouterChange {
    Router before, after;
  };
  std::vector<RouteChange> routes;
  std::vector<PeeringChange> peerings;
  std::vector<RouterChange> routers;

  bool empty() const { return routes.empty() && peerings.empty() && routers.empty(); }
};

EstateChanges changesBetween(const Estate& before, const Estate& after);

// A route's next hop for people: "instance gw-use1-b (us-east1-c)", "ip 10.0.0.9", "gateway
// default-internet-gateway".
std::string nextHopText(const NextHop& hop);

// Of `router`'s advertisements: "CUSTOM: 10.100.0.0/20, 10.100.16.0/20; groups ALL_SUBNETS".
std::string advertisedText(const Router& router);

}  // namespace tolmi_gcp::cli
