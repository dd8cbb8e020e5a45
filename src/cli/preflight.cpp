#include "cli/preflight.hpp"

#include <algorithm>
#include <map>
#include <optional>

#include "cli/api_reads.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib/cloud_router.hpp"
#include "tolmi_gcp/gcplib/routes.hpp"
#include "tolmi_gcp/ipv4_network.hpp"
#include "tolmi_gcp/network_key.hpp"
#include "tolmi_gcp/res/Globals.hpp"
#include "tolmi_gcp/res/revert_record.hpp"

namespace tolmi_gcp::cli {

namespace {

bool runs(const std::vector<Part>& parts, Part::Kind kind) {
  for (const Part& part : parts)
    if (part.kind == kind) return true;
  return false;
}

// Whether the record holds the pair to `transitKey` that has an end named `name`.
bool recordedPairWith(const Setup& setup, const std::string& transitKey, const std::string& name) {
  // What an earlier run of the part, left half-way, did already.
  const ResourceDocument& pairs = RevertRecord{}.peeringPairs(setup.spoke);
  return std::any_of(pairs.begin(), pairs.end(), [&](const ResourceDocument& pair) {
    const ResourceDocument& local = memberOrNull(pair, "localPeeringProperties");
    return networkKeyOf(memberOrNull(local, "network")) == transitKey &&
           (memberOrNull(local, "name") == name ||
            memberOrNull(memberOrNull(pair, "remotePeeringProperties"), "name") == name);
  });
}

// A peering the switch would remove needs both ends; one end alone cannot be recorded, unless the
// record holds the pair (a run left half-way removed the other end).
void checkPeering(const Setup& setup, const std::string& where, const std::string& transitKey,
                  const ResourceDocument& transit, Findings& found) {
  std::string there = peeringTo(transit, setup.spoke),
              back = peeringTo(setup.spokeNetwork, transitKey);
  const std::string& left = there.empty() ? back : there;  // the end left, when one is gone
  if (there.empty() != back.empty() && recordedPairWith(setup, transitKey, left))
    found.plan.peeringEnds.push_back(left);
  else if (there.empty() != back.empty())
    found.problems.push_back(where + ".vpc_name: the peering between " + setup.spoke + " and " +
                             transitKey + " is missing on " +
                             (there.empty() ? transitKey : setup.spoke));
  else if (!there.empty())
    found.plan.peeringEnds.insert(found.plan.peeringEnds.end(), {back, there});
}

// What the switch of a router that it changes will read: a removal list for what the router
// advertises, and ranges that are networks it can match against that list.
void checkRouterEntry(const std::string& where, const std::string& name,
                      const ResourceDocument& bgp, const ResourceDocument& entry, Findings& found) {
  const ResourceDocument& ranges = arrayOrEmpty(bgp, "advertisedIpRanges");
  const ResourceDocument& groups = arrayOrEmpty(bgp, "advertisedGroups");
  auto needs = [&](const char* key, const ResourceDocument& advertised, const char* what) {
    if (advertised.empty() || has(entry, key)) return;
    std::vector<std::string> shown;
    for (const ResourceDocument& value : advertised)
      shown.push_back(textOf(value.is_object() ? memberOrNull(value, "range") : value));
    found.problems.push_back(where + ": the router " + name + " advertises " + what + " (" +
                             joined(shown, ", ") + "): " + key +
                             " is needed (an empty list keeps them all)");
  };
  needs("remove_advertised_routes", ranges, "ranges");
  needs("remove_advertised_groups", groups, "groups");
  for (const ResourceDocument& range : ranges) {
    Ipv4Network::Parsed parsed = Ipv4Network::parse(textOf(memberOrNull(range, "range")), true);
    if (!parsed.ok())
      found.problems.push_back(where + ": the router " + name + " advertises " +
                               textOf(memberOrNull(range, "range")) + ", which " + parsed.reason() +
                               ": it cannot be matched against the removals");
  }
}

// What the library skips on purpose: routers on another network, routers in DEFAULT mode.
void checkRouter(const std::string& where, const std::string& network,
                 const ResourceDocument& router, const ResourceDocument& entry, Findings& found) {
  std::string name = textOf(memberOrNull(router, "name"));
  NetworkKey on = networkOf(memberOrNull(router, "network"), "the network of the router " + name);
  const ResourceDocument& bgp = memberOrNull(router, "bgp");
  if (on.network != network) {
    found.warnings.push_back(where + ": the router " + name + " is on " + on.text() + ", not on " +
                             network + ": left alone");
  } else if (memberOrNull(bgp, "advertiseMode") == "DEFAULT") {
    found.warnings.push_back(where + ": the router " + name +
                             " is in DEFAULT advertise mode: left alone");
  } else {
    checkRouterEntry(where, name, bgp, entry, found);
    found.plan.routers.push_back(name);
  }
}

void checkTransit(const Setup& setup, const std::vector<Part>& parts, Findings& found) {
  const ComputeService& api = *Globals::service;
  std::size_t i = 0;
  for (const ResourceDocument& transit : YamlContext{}.getContext("transit_vpcs")) {
    std::string where = "transit_vpcs[" + std::to_string(i++) + "]";
    const std::optional<NetworkKey> key = transitNetwork(transit);
    if (!key) continue;
    const std::string name = key->text();
    std::optional<ResourceDocument> network =
        readIfExists(api.networks().get(key->project, key->network));
    if (!network) {
      found.problems.push_back(where + ".vpc_name: the network " + name + " does not exist");
      continue;
    }
    if (runs(parts, Part::kPeerings)) checkPeering(setup, where, name, *network, found);
    if (!runs(parts, Part::kRouters)) continue;
    std::size_t j = 0;
    for (const ResourceDocument& entry : arrayOrEmpty(transit, "cloud_routers")) {
      std::string at = where + ".cloud_routers[" + std::to_string(j++) + "]";
      const std::optional<RouterKey> router = transitRouter(*key, entry);
      if (!router) continue;
      std::optional<ResourceDocument> routerDoc =
          readIfExists(api.routers().get(key->project, router->region, router->router));
      if (!routerDoc)
        found.problems.push_back(at + ": the router " + router->router + " does not exist in " +
                                 key->project + " " + router->region);
      else
        checkRouter(at, key->network, *routerDoc, entry, found);
    }
  }
}

// Why a route through `instance` would carry no traffic of the network `spoke`, "" when it would.
// The API creates such a route all the same, with no more than a warning on it.
std::string whyNoGateway(const ResourceDocument& instance, const std::string& spoke) {
  if (memberOrNull(instance, "canIpForward") != true)
    return "IP forwarding is off (canIpForward false)";
  if (const ResourceDocument& status = memberOrNull(instance, "status"); status != "RUNNING")
    return "it is " + textOf(status) + ", not RUNNING";
  for (const ResourceDocument& nic : arrayOrEmpty(instance, "networkInterfaces"))
    if (networkOf(memberOrNull(nic, "network"), "the network of an interface of the instance " +
                                                    textOf(memberOrNull(instance, "name")))
            .text() == spoke)
      return "";
  return "it has no network interface in " + spoke;
}

std::vector<std::string> sortedTexts(const ResourceDocument& list) {
  std::vector<std::string> texts;
  for (const ResourceDocument& item : list) texts.push_back(textOf(item));
  std::sort(texts.begin(), texts.end());
  return texts;
}

// A tagged route under "delete" applies to some instances only; an "add" route for its
// destination without the same tags widens or moves that set, which the API does not question.
void warnOfDroppedTags(const Setup& setup, const std::string& where,
                       const ResourceDocument& entries, Findings& found) {
  const ResourceDocument& additions = arrayOrEmpty(entries, "add");
  if (additions.empty()) return;
  for (const ResourceDocument& name : arrayOrEmpty(entries, "delete")) {
    if (!name.is_string()) continue;  // refused by the file's check
    std::optional<ResourceDocument> route =
        readIfExists(Globals::service->routes().get(setup.project, textOf(name)));
    const std::vector<std::string> tags =
        route ? sortedTexts(arrayOrEmpty(*route, "tags")) : std::vector<std::string>();
    if (tags.empty()) continue;
    for (std::size_t k = 0; k < additions.size(); ++k) {
      const ResourceDocument& add = additions[k];
      const ResourceDocument& addTags = arrayOrEmpty(add, "tags");
      if (memberOrNull(add, "cidr") != memberOrNull(*route, "destRange") ||
          sortedTexts(addTags) == tags)
        continue;
      found.warnings.push_back(where + ".add[" + std::to_string(k) + "]: replaces the route " +
                               textOf(name) + " (tags " + joined(tags, ", ") + ") with a route " +
                               (addTags.empty()
                                    ? "without tags, for every instance of " + setup.spoke
                                    : "with tags " + joined(sortedTexts(addTags), ", ")));
    }
  }
}

// The instance an "add" entry routes through, unless the file's check refused its zone or name.
void checkGateway(const Setup& setup, const std::string& at, const ResourceDocument& add,
                  Findings& found) {
  const ResourceDocument& zone = memberOrNull(add, "zone");
  const ResourceDocument& instance = memberOrNull(add, "dest_instance");
  if (!zone.is_string() || !instance.is_string()) return;
  std::optional<ResourceDocument> gateway = readIfExists(
      Globals::service->instances().get(setup.project, textOf(zone), textOf(instance)));
  if (!gateway)
    found.problems.push_back(at + ": the instance " + textOf(instance) + " does not exist in " +
                             setup.project + " " + textOf(zone));
  else if (std::string why = whyNoGateway(*gateway, setup.spoke); !why.empty())
    found.problems.push_back(at + ": the instance " + textOf(instance) +
                             " cannot carry the route's traffic: " + why);
}

void checkStage(const Setup& setup, const std::string& stage, Findings& found) {
  const ComputeService& api = *Globals::service;
  const ResourceDocument entries = YamlContext{}.getContext("manage_routes")[stage];
  std::string where = "manage_routes." + stage;
  // A run of this stage left half-way deleted some routes and created some: not done again.
  const ResourceDocument& earlierDeleted = RevertRecord{}.deletedRoutes(stage, setup.spoke);
  const ResourceDocument& earlierAdded = RevertRecord{}.addedRoutes(stage, setup.spoke);
  std::vector<std::string> deleted;
  for (const ResourceDocument& name : arrayOrEmpty(entries, "delete")) {
    if (!name.is_string()) continue;  // refused by the file's check
    deleted.push_back(textOf(name));
    auto recorded = std::find_if(
        earlierDeleted.begin(), earlierDeleted.end(),
        [&](const ResourceDocument& route) { return memberOrNull(route, "name") == name; });
    std::optional<ResourceDocument> route =
        readIfExists(api.routes().get(setup.project, textOf(name)));
    if (!route && recorded == earlierDeleted.end())
      found.problems.push_back(where + ".delete: the route " + textOf(name) +
                               " does not exist in " + setup.project);
    else if (route &&
             (recorded == earlierDeleted.end() || !routes::replacedByTool(*route, *recorded)))
      found.plan.routesToDelete.push_back(textOf(name));
  }
  std::size_t k = 0;
  for (const ResourceDocument& add : arrayOrEmpty(entries, "add")) {
    std::string at = where + ".add[" + std::to_string(k++) + "]";
    checkGateway(setup, at, add, found);
    std::string name;
    try {
      name = routes::createdRouteName(setup.project, textOf(Globals::vpc["vpc_name"]), add);
    } catch (const Error&) {
      continue;  // the name would come from a value the file's check refused
    }
    std::optional<ResourceDocument> taken = readIfExists(api.routes().get(setup.project, name));
    bool ours = std::find(earlierAdded.begin(), earlierAdded.end(), name) != earlierAdded.end();
    if (taken && ours && routes::createdByTool(*taken)) continue;  // created already
    found.plan.routesToCreate.push_back(name);
    if (!taken || contains(deleted, name)) continue;  // deleted before it is created
    if (!routes::createdByTool(*taken))
      found.problems.push_back(at + ": the route name " + name + " is taken by a route " +
                               "this tool did not make");
    else if (!ours)
      found.problems.push_back(at + ": the route name " + name + " is taken by a route this " +
                               "tool made for another stage, spoke or revert file");
  }
  warnOfDroppedTags(setup, where, entries, found);
}

// The transit networks and the routers the migration file lists.
void scope(std::vector<std::string>& transits, std::map<std::string, RouterKey>& routers) {
  for (const ResourceDocument& transit : YamlContext{}.getContext("transit_vpcs")) {
    const std::optional<NetworkKey> network = transitNetwork(transit);
    if (!network) continue;
    transits.push_back(network->text());
    for (const ResourceDocument& entry : arrayOrEmpty(transit, "cloud_routers"))
      if (std::optional<RouterKey> router = transitRouter(*network, entry))
        routers[router->text()] = *router;
  }
}

// Whether the instance a route leads to ("projects/P/zones/Z/instances/I") exists.
bool instanceExists(const ResourceDocument& link) {
  std::optional<ResourceLink> at =
      ResourceLink::parse(link, ResourceLink::Scope::kZone, "instances");
  if (!at) return false;
  return readIfExists(Globals::service->instances().get(at->project(), at->location(), at->name()))
      .has_value();
}

void checkRecordedPeerings(const std::string& spoke, const std::vector<std::string>& transits,
                           Findings& found) {
  static const ResourceDocument::json_pointer kLocal("/localPeeringProperties/network"),
      kRemote("/remotePeeringProperties/network");
  const ResourceDocument& pairs = RevertRecord{}.peeringPairs(spoke);
  if (!pairs.is_array()) return;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const ResourceDocument& pair = pairs[i];
    std::string local = networkKeyOf(pair.contains(kLocal) ? pair[kLocal] : ResourceDocument()),
                remote = networkKeyOf(pair.contains(kRemote) ? pair[kRemote] : ResourceDocument());
    const std::string where = RevertStore::placeOfPeeringPair(spoke, i);
    if (!contains(transits, local) || remote != spoke)
      found.problems.push_back(where + ": the pair between " + (remote.empty() ? "?" : remote) +
                               " and " + (local.empty() ? "?" : local) + " is not one between " +
                               spoke + " and a transit network of the migration file");
    else if (const NetworkKey key = *NetworkKey::parse(local);
             !readIfExists(Globals::service->networks().get(key.project, key.network)))
      found.problems.push_back(where + ": the network " + local + " does not exist");
    else
      found.plan.peeringEnds.insert(found.plan.peeringEnds.end(),
                                    {textOf(pair["localPeeringProperties"]["name"]),
                                     textOf(pair["remotePeeringProperties"]["name"])});
  }
}

void checkRecordedRouters(const std::string& spoke, const std::map<std::string, RouterKey>& routers,
                          Findings& found) {
  const ResourceDocument& recorded = RevertRecord{}.routerEntries(spoke);
  if (!recorded.is_object()) return;
  for (const auto& entry : recorded.items()) {
    const std::string where = RevertStore::placeOfRouters(spoke) + ": the router " + entry.key();
    if (!routers.contains(entry.key())) {
      found.problems.push_back(where + " is not one the migration file lists");
      continue;
    }
    const RouterKey& router = routers.at(entry.key());
    std::optional<ResourceDocument> read = readIfExists(
        Globals::service->routers().get(router.network.project, router.region, router.router));
    if (!read) {
      found.problems.push_back(where + " does not exist");
      continue;
    }
    found.plan.routers.push_back(router.router);
    const std::optional<RouterChange> change = RevertRecord{}.routerChange(spoke, entry.key());
    if (!change) continue;
    const ResourceDocument& now = memberOrNull(*read, "bgp");
    ResourceDocument switched = cloud_router::switchedBgp(entry.value(), *change);
    if (!cloud_router::advertisesAsSwitched(now, switched))
      found.warnings.push_back(where + " has changed since this spoke's switch (" +
                               cloud_router::differenceFromSwitched(now, switched) +
                               "): only this spoke's change is taken back");
  }
}

void checkRecordedRoutes(const std::string& spoke, const std::string& stage, Findings& found) {
  for (const ResourceDocument& name : RevertRecord{}.addedRoutes(stage, spoke))
    found.plan.routesToDelete.push_back(textOf(name));
  std::size_t i = 0;
  for (const ResourceDocument& route : RevertRecord{}.deletedRoutes(stage, spoke)) {
    std::string network = networkKeyOf(memberOrNull(route, "network"));
    const std::string where = RevertStore::placeOfDeletedRoute(stage, spoke, i);
    if (network != spoke)
      found.problems.push_back(where + ": the route " + textOf(memberOrNull(route, "name")) +
                               " is on " + (network.empty() ? "no network" : network) +
                               ", not on " + spoke);
    else if (has(route, "nextHopInstance") && !instanceExists(route["nextHopInstance"]))
      found.problems.push_back(where + ": the instance " + textOf(route["nextHopInstance"]) +
                               " of the route " + textOf(memberOrNull(route, "name")) +
                               " does not exist");
    else
      found.plan.routesToCreate.push_back(textOf(memberOrNull(route, "name")));
    ++i;
  }
}

}  // namespace

Findings switchFindings(const Setup& setup, const std::vector<Part>& parts) {
  Findings found;
  if (runs(parts, Part::kPeerings) || runs(parts, Part::kRouters))
    checkTransit(setup, parts, found);
  for (const Part& part : parts)
    if (part.kind == Part::kRoutes) checkStage(setup, part.stage, found);
  return found;
}

Findings revertFindings(const Setup& setup, const std::vector<Part>& parts) {
  Findings found;
  std::vector<std::string> transits;
  std::map<std::string, RouterKey> routers;
  scope(transits, routers);
  for (const Part& part : parts) {
    if (part.kind == Part::kPeerings) checkRecordedPeerings(setup.spoke, transits, found);
    if (part.kind == Part::kRouters) checkRecordedRouters(setup.spoke, routers, found);
    if (part.kind == Part::kRoutes) checkRecordedRoutes(setup.spoke, part.stage, found);
  }
  return found;
}

std::string Plan::line(bool switching) const {
  std::vector<std::string> steps;
  // `what` is the singular: one name takes it as it is, more an "s".
  auto step = [&](const std::string& verb, const std::vector<std::string>& names,
                  const std::string& what) {
    if (!names.empty())
      steps.push_back(verb + " " + std::to_string(names.size()) + " " + what +
                      (names.size() == 1 ? "" : "s") + " (" + joined(names, ", ") + ")");
  };
  step(switching ? "remove" : "re-create", peeringEnds, "peering end");
  step("delete", routesToDelete, "route");
  step("create", routesToCreate, "route");
  step("patch", routers, "router");
  return "plan: " + (steps.empty() ? std::string("no change") : joined(steps, ", "));
}

}  // namespace tolmi_gcp::cli
