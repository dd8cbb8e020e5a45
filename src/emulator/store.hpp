#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::emulator {

// Every link the emulator hands out has the real service's form, whatever address it listens on.
inline constexpr std::string_view kLinkPrefix = "https://www.googleapis.com/compute/v1/";

// A failure answered to the caller as a Google-style error: HTTP status, reason, message.
class ApiError : public std::runtime_error {
 public:
  ApiError(int status, std::string reason, const std::string& message)
      : std::runtime_error(message), status_(status), reason_(std::move(reason)) {}
  int status() const { return status_; }
  const std::string& reason() const { return reason_; }

 private:
  int status_;
  std::string reason_;
};

[[noreturn]] void throwNotFound(const std::string& relativeName);
// 400 invalid: "Invalid value for field 'resource.FIELD': 'VALUE'. WHY"
[[noreturn]] void throwInvalid(const std::string& field, const ResourceDocument& value,
                               const std::string& why);

std::string linkOf(std::string_view relativeName);

// The relative name ("projects/P/global/networks/N") of a reference given as a full URL on any
// host, "projects/P/...", a path within `project` ("global/networks/N") or a bare name. `pattern`
// is the expected path after "projects/P/", with "*" for each variable segment; a bare name fills
// the last "*" and only fits a pattern without other "*". Nullopt when the reference does not fit.
std::optional<std::string> relativeName(std::string_view reference, std::string_view project,
                                        std::string_view pattern);

// The key of a resource in its Project map: the name, or "scope/name" for regional and zonal ones.
std::string storeKey(std::string_view relativeName);

// FNV-1a: a hash that is stable across runs and platforms.
std::uint64_t fingerprint(std::string_view text);

// A stable decimal id for a resource, derived from its link, so that a resource made again
// under the same name keeps its id.
std::string resourceId(std::string_view link);

// RFC 3339 with milliseconds, as the API writes times.
std::string timestamp(
    std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

// A route a router learned from one of its BGP peers, as the topology gives it: the API has no
// way to make one, so it is not part of the router.
struct LearnedRoute {
  std::string destRange;
  std::int64_t priority = 0;  // the MED the peer sends
};

// A route an external peer sends over its peerings, as the topology gives it.
struct ExternalRoute {
  std::string destRange;
  std::string type;  // SUBNET, STATIC or DYNAMIC
  std::int64_t priority = 0;
  std::string nextHopRegion;  // a DYNAMIC route's region, "" when not given

  // Whether the end `peering` of a network here takes it in: a subnet route always, a custom
  // route when that end imports custom routes.
  bool importedOver(const ResourceDocument& peering) const;
};

// One project's resources, keyed for listing in name order within a scope.
struct Project {
  std::map<std::string, ResourceDocument> networks;     // name
  std::map<std::string, ResourceDocument> subnetworks;  // "region/name"
  std::map<std::string, ResourceDocument> routes;       // name
  std::map<std::string, ResourceDocument> instances;    // "zone/name"
  std::map<std::string, ResourceDocument> routers;      // "region/name"
  // By router key, then by the name of the BGP peer it was learned from.
  std::map<std::string, std::map<std::string, std::vector<LearnedRoute>>> learnedRoutes;
  std::set<std::string> generatedRoutes;  // routes made from subnetworks and active peerings
  // The names of the routes of each network (by link), so that a network's routes are listed
  // without a look at every route of the project.
  std::map<std::string, std::set<std::string>> routesByNetwork;

  // Routes go in and out through these, which keep routesByNetwork.
  void putRoute(ResourceDocument route);
  void eraseRoute(const std::string& name);
};

// The emulated estate: every project and resource, with the rules that keep it consistent
// (references resolve, peering states follow both ends, generated routes follow subnetworks and
// peerings). Not thread-safe: the emulator serialises access.
class Store {
 public:
  // Builds the estate of a topology document. Throws ConfigError naming the element
  // ("projects.p.routes[2]") and what is wrong with it.
  static Store fromTopology(const ResourceDocument& topology);

  // Every resource, as the API shows it, by project and collection.
  ResourceDocument dump() const;

  Project& project(const std::string& id);  // 404 for an unknown project
  const std::map<std::string, Project>& projects() const { return projects_; }
  ResourceDocument& network(const std::string& project, const std::string& name);
  using Collection = std::map<std::string, ResourceDocument> Project::*;
  // The resource a link names (`pattern` as for relativeName), or null.
  const ResourceDocument* find(std::string_view link, std::string_view pattern,
                               Collection collection) const;
  const ResourceDocument* findNetwork(std::string_view link) const;

  // Validated, complete documents from API-style input; throw ApiError.
  // `fromTopology` accepts what only the API shows: an internal load balancer's next-hop address.
  ResourceDocument makeRoute(const std::string& project, const ResourceDocument& body,
                             bool fromTopology = false) const;
  ResourceDocument makePeering(const std::string& project, const ResourceDocument& body) const;
  static void checkRouterBgp(const ResourceDocument& bgp);

  // Adds a route; 409 when its name is taken.
  void addRoute(const std::string& project, ResourceDocument route);

  // Recomputes every peering's state and the routes made from subnetworks and active peerings.
  void refreshNetworks();

  // What a network has and is joined to: its subnetworks, its static routes (not those made
  // from subnetworks and peerings, nor the route to the internet it was made with) and the
  // networks of the estate its ACTIVE peerings reach.
  std::vector<const ResourceDocument*> subnetworksOf(const ResourceDocument& network) const;
  std::vector<const ResourceDocument*> staticRoutesOf(const ResourceDocument& network) const;
  std::vector<const ResourceDocument*> activePeersOf(const ResourceDocument& network) const;

  // What the external peer at the other end of `peering`, an end of a network here, sends over
  // it; null when that peer is not an external one.
  const std::vector<ExternalRoute>* routesFromExternalPeer(const ResourceDocument& peering) const;

 private:
  // Where a regional or zonal resource goes: the link of its region or zone, its key in the
  // Project map and its own link. 409 when the name is taken in that scope.
  struct Placement {
    std::string scope;
    std::string key;
    std::string link;
  };
  Placement place(const std::string& project, const ResourceDocument& body,
                  const std::string& scopeField, const std::string& collection,
                  Collection items) const;
  void addNetwork(const std::string& project, const ResourceDocument& body);
  void addSubnetwork(const std::string& project, const ResourceDocument& body);
  void addInstance(const std::string& project, const ResourceDocument& body);
  void addRouter(const std::string& project, const ResourceDocument& body);
  std::string networkReference(const std::string& project, const ResourceDocument& body,
                               const std::string& field, bool sameProject) const;

  void loadExternalPeers(const ResourceDocument& peers);

  std::map<std::string, Project> projects_;
  struct ExternalPeer {
    std::set<std::string> peeredWith;  // links of the networks it peers with
    ResourceDocument mtu;              // null when unknown
    std::vector<ExternalRoute> exported;
  };
  std::map<std::string, ExternalPeer> externalPeers_;  // by network link
};

}  // namespace tolmi_gcp::emulator
