#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/network_key.hpp"
#include "tolmi_gcp/resource_link.hpp"

namespace tolmi_gcp {

// An instance named with its project and zone.
struct InstanceKey {
  std::string project;
  std::string zone;
  std::string name;

  bool operator==(const InstanceKey&) const = default;
  auto operator<=>(const InstanceKey&) const = default;
};

// What a migration file scopes: the spoke, its transit networks, the routers it names and the
// instances its stages route through.
// The network a network link in an API answer names; throws Error naming `what` the link is
// ("the network of the router r1") when it is not one.
NetworkKey networkOf(const ResourceDocument& link, const std::string& what);

// The link `link` of `network`'s "subnetworks"; throws Error naming both when it is not one.
ResourceLink subnetworkLink(const ResourceDocument& network, const ResourceDocument& link);

struct EstateScope {
  NetworkKey spoke;
  std::vector<NetworkKey> transits;
  std::vector<RouterKey> routers;
  std::vector<InstanceKey> instances;

  // The scope of a migration file (its configuration keys "project_id", "vpc_name",
  // "transit_vpcs", "manage_routes"). Throws ConfigError naming the key that is missing or not
  // text.
  static EstateScope of(const ResourceDocument& migration);

  // Adds the transit networks, routers and instances of `more` that this scope does not name.
  void include(const EstateScope& more);
};

// The typed fields below are read from `document`, the resource as the API gave it, which is
// kept for writing it out whole. Absent fields read as empty, false or zero.

struct Peering {
  std::string name;
  NetworkKey network;  // the peer
  std::string state;   // "ACTIVE" while both ends point at each other
  bool importCustomRoutes = false;
  bool exportCustomRoutes = false;
  bool importSubnetRoutesWithPublicIp = false;
  bool exportSubnetRoutesWithPublicIp = false;
  std::optional<std::int64_t> peerMtu;

  bool operator==(const Peering&) const = default;
};

struct SecondaryRange {
  std::string rangeName;
  std::string ipCidrRange;

  bool operator==(const SecondaryRange&) const = default;
};

struct Subnetwork {
  std::string project;
  std::string region;
  std::string name;
  std::string ipCidrRange;
  std::vector<SecondaryRange> secondaryIpRanges;
  ResourceDocument document;

  bool operator==(const Subnetwork&) const = default;
};

struct Network {
  std::string project;
  std::string name;
  std::string selfLink;
  std::vector<Peering> peerings;
  std::vector<Subnetwork> subnetworks;  // in the order of the network's links
  ResourceDocument document;

  NetworkKey key() const { return {project, name}; }
  bool operator==(const Network&) const = default;

  // The network of `project` that `document` is, with its peerings and no subnetworks. Throws
  // Error naming a peering whose network is not a network link.
  static Network of(const std::string& project, ResourceDocument document);
};

struct NextHop {
  enum class Kind {
    kNone,
    kInstance,
    kIp,
    kGateway,
    kVpnTunnel,
    kIlb,
    kPeering,
    kNetwork,
    kHub,
    kInterconnectAttachment
  };
  Kind kind = Kind::kNone;
  std::string target;                   // the link, address or peering name the API gives
  std::optional<InstanceKey> instance;  // for kInstance, the instance `target` names

  bool operator==(const NextHop&) const = default;
};

struct Route {
  std::string name;
  NetworkKey network;
  std::string destRange;
  std::int64_t priority = 0;
  std::vector<std::string> tags;
  NextHop nextHop;
  std::string description;
  ResourceDocument document;

  // A route the API makes itself: to a subnetwork, over a peering, or a new network's route to
  // the internet.
  bool derived() const;
  // Over a peering, the route to a subnet range of the peer rather than a custom route it
  // exports: as its routeType says or, when it says neither, at priority 0 as subnet routes are.
  bool fromPeerSubnet() const;
  bool operator==(const Route&) const = default;

  // The route `document` is. Throws Error naming a network or instance link that does not fit.
  static Route of(ResourceDocument document);
};

struct NetworkInterface {
  NetworkKey network;
  std::string subnetwork;  // the link as the API gives it
  std::string networkIP;

  bool operator==(const NetworkInterface&) const = default;
};

struct Instance {
  InstanceKey key;
  std::string status;  // "RUNNING", "TERMINATED", ...
  bool canIpForward = false;
  std::vector<std::string> tags;
  std::vector<NetworkInterface> networkInterfaces;
  ResourceDocument document;

  bool operator==(const Instance&) const = default;
};

struct AdvertisedRange {
  std::string range;
  std::string description;

  bool operator==(const AdvertisedRange&) const = default;
};

// A route a router learned over BGP, as its status shows it: the best for its destination.
struct LearnedRoute {
  std::string destRange;
  std::string nextHopIp;  // the address of the BGP peer it was learned from
  std::int64_t priority = 0;

  bool operator==(const LearnedRoute&) const = default;
};

struct Router {
  std::string project;
  std::string region;
  std::string name;
  NetworkKey network;
  // Of its BGP settings: "DEFAULT" or "CUSTOM", and in CUSTOM mode what it advertises.
  std::string advertiseMode;
  std::vector<std::string> advertisedGroups;
  std::vector<AdvertisedRange> advertisedIpRanges;
  ResourceDocument document;
  // From its status (routers.getRouterStatus), read for a router with BGP peers only.
  std::vector<LearnedRoute> learnedRoutes;

  const ResourceDocument& bgp() const { return memberOrNull(document, "bgp"); }
  const ResourceDocument& bgpPeers() const { return arrayOrEmpty(document, "bgpPeers"); }
  // The index in bgpPeers() of the peer `route` was learned from (the one whose peerIpAddress is
  // its next hop), nullopt for none.
  std::optional<std::size_t> peerOf(const LearnedRoute& route) const;
  bool operator==(const Router&) const = default;

  // The router of `project` and `region` that `document` is. Throws Error naming a network link
  // that does not fit.
  static Router of(const std::string& project, const std::string& region,
                   ResourceDocument document);
  // The routes a router's status answer shows it learned (its bestRoutesForRouter).
  static std::vector<LearnedRoute> learnedFrom(const ResourceDocument& status);
};

// What a migration file scopes, as the API has it, read and only read.
struct Estate {
  // The spoke project's networks, then each transit network outside it, then the network of each
  // router of the file that is neither.
  std::vector<Network> networks;
  // The spoke project's routes, then those of each other network, in the API's order.
  std::vector<Route> routes;
  // The next hops of the routes, then the instances of the file's stages.
  std::vector<Instance> instances;
  // Every router of each region that the spoke project's and the transit networks have
  // subnetworks in or the file names a router in, by project and region.
  std::vector<Router> routers;
  // What the scope names and the API does not have, for people: "the network p::transit-b".
  std::vector<std::string> absent;

  const Network* network(const NetworkKey& key) const;
  const Router* router(const RouterKey& key) const;
  const Route* route(const std::string& project, const std::string& name) const;
  const Instance* instance(const InstanceKey& key) const;
  // The same, to change a copy (a predicted estate).
  Network* network(const NetworkKey& key);
  Router* router(const RouterKey& key);
  bool operator==(const Estate&) const = default;
};

// A subnet range whose route a network holds: of one of its own subnetworks, or imported over an
// ACTIVE peering.
struct SubnetRange {
  std::string range;
  NetworkKey network;      // whose subnetwork it is
  std::string subnetwork;  // its name, "" for a peer outside the estate
  std::string peering;     // the peering it comes over, "" for the network's own

  // For people: "the subnetwork s1 (10.0.0.0/20) of p::transit, over the ACTIVE peering x";
  // "a subnetwork (...) of ..." for a peer outside the estate.
  std::string described() const;
};

// The subnet ranges, primary and secondary, whose routes `network` of `estate` holds: its own,
// then those of each ACTIVE peering in order: of a peer in the estate from its subnetworks, of
// one outside it from the routes over that peering to its subnet ranges that the API listed for
// `network` (Route::fromPeerSubnet). Empty for a
// network outside the estate.
std::vector<SubnetRange> subnetRangesOf(const Estate& estate, const NetworkKey& network);

// Reads the estate `scope` names, each resource once, sending independent reads ahead up to
// api.maxInFlight(). A resource the scope names that does not exist (404) goes to `absent`; any
// other failure is thrown, as is Error "not a resource link: ..." naming where a link that does
// not fit came from.
Estate readEstate(const ComputeService& api, const EstateScope& scope);

// Adds to `into` what `more` holds and `into` does not (networks, routes, instances and routers by
// their keys, absent entries by their text), after what it holds: the estate of several files.
void addTo(Estate& into, const Estate& more);

// What to read again of an estate after a change: networks with their peerings (their
// subnetworks are kept as read), every route of a project, routers (their learned routes are kept
// as read: no change here touches a BGP session).
struct EstateRefresh {
  std::vector<NetworkKey> networks;
  std::string routesOf;  // a project, "" for none
  std::vector<RouterKey> routers;
};

// Reads again into `estate` what `what` names, sending the reads ahead; what is no longer there
// leaves the estate. Throws what a read throws, leaving `estate` as it was.
void rereadEstate(const ComputeService& api, Estate& estate, const EstateRefresh& what);

// The estate as a compute-emulator topology: every network with its subnetworks, the routes
// the API does not derive, the instances and the routers on these networks (the scope's first,
// in its order), as the API gave them, each BGP peer with the routes learned from it as its
// learned_routes. A peer outside the networks is an external peer: its peerings keep their state,
// and the routes over them that the networks hold are what it exports (its exported_routes: a
// subnet range, or a custom route with its priority, DYNAMIC when its routeType is BGP, STATIC
// otherwise).
struct Topology {
  ResourceDocument document;
  // The routes left out because the emulator has no model of their next hop (or, for a learned
  // route, no BGP peer has it), for people.
  std::vector<std::string> leftOut;
};
Topology topologyOf(const Estate& estate, const EstateScope& scope);

}  // namespace tolmi_gcp
