#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tolmi_gcp/estate.hpp"
#include "tolmi_gcp/ipv4_network.hpp"
#include "tolmi_gcp/network_key.hpp"

// Where traffic goes in an estate: for a network and a destination range, the route(s) that carry
// it, by the API's route selection. It reads nothing: an estate as read, or as a part would leave
// it (predicted), gives the same answer the API would.
namespace tolmi_gcp {

enum class Verdict {
  kLocal,         // a subnet route of the network itself
  kPeering,       // a subnet or custom route imported over an ACTIVE peering
  kInstance,      // a static route through an instance
  kIp,            // a static route through an address
  kIlb,           // a static route through an internal passthrough load balancer
  kVpnTunnel,     // a static or dynamic route through a VPN tunnel
  kInterconnect,  // a dynamic route through an interconnect attachment
  kHub,           // a route through a hub
  kInternet,      // the default internet gateway: a private range leaves or is dropped
  kNone,          // no route: traffic is dropped
  kUnknown,       // what the model cannot see (said in `why`)
};

// "local", "peering", "instance", "ip", "ilb", "vpn-tunnel", "interconnect", "hub", "internet",
// "none", "unknown".
std::string_view verdictName(Verdict verdict);

// Why `instance` cannot carry traffic of `network` as a next hop, "" when it can: IP forwarding
// off, not RUNNING, or no interface in the network. The API makes routes through such an
// instance all the same, with no more than a warning on them.
std::string whyNotForwarding(const Instance& instance, const NetworkKey& network);

// What carries traffic to a destination, or to the part of it that `range` names.
struct Path {
  std::string range;              // the destination, or a part that more specific routes take
  std::vector<std::string> tags;  // the instances it holds for: empty for all, else their tags
  Verdict verdict = Verdict::kNone;
  std::vector<std::string> routes;  // the route(s) chosen, each ECMP one; empty for kNone
  // For people: "pc-summary-10-8 via instance gw-pay-use1-a", "peering pay-core-to-hub",
  // "subnetwork pay-core-use1"; "" for kNone.
  std::string via;
  bool forwards = true;  // false when the next hop cannot carry the traffic
  std::string why;       // why it cannot, or what the model cannot see; "" otherwise

  // Traffic that was delivered would not be: dropped, sent to the internet, or to an instance that
  // cannot forward it.
  bool broken() const {
    return verdict == Verdict::kNone || verdict == Verdict::kInternet || !forwards;
  }
  bool operator==(const Path&) const = default;
};

// The paths from the network `from` to `destination` ("10.0.0.0/20") in `estate`, in the order
// of their ranges, the paths for all instances before those for tagged ones. Throws Error when
// `destination` is not an IPv4 network or `from` is not in the estate.
std::vector<Path> pathsTo(const Estate& estate, const NetworkKey& from,
                          const std::string& destination);

// The routes one network of an estate holds, gathered once to answer many destinations.
class RoutingTable {
 public:
  // Throws Error when `from` is not in the estate.
  RoutingTable(const Estate& estate, const NetworkKey& from);
  // As pathsTo, without gathering the routes again.
  std::vector<Path> pathsTo(const std::string& destination) const;

  // A route as route selection weighs it.
  struct Entry {
    Ipv4Network range;
    std::int64_t priority = 0;  // subnet routes beat any static route of the same range
    std::vector<std::string> tags;
    Path path;  // what the route makes of traffic it carries, its range aside
  };

 private:
  std::vector<Entry> entries_;
};

}  // namespace tolmi_gcp
