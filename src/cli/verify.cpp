#include "cli/verify.hpp"

#include <algorithm>
#include <map>
#include <optional>

#include "cli/api_reads.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib/cloud_router.hpp"
#include "tolmi_gcp/gcplib/peering.hpp"
#include "tolmi_gcp/gcplib/routes.hpp"
#include "tolmi_gcp/network_key.hpp"
#include "tolmi_gcp/res/Globals.hpp"
#include "tolmi_gcp/res/revert_record.hpp"

namespace tolmi_gcp::cli {

namespace {

// The API leaves empty lists out of what it returns: absent and empty compare equal.
ResourceDocument comparable(const ResourceDocument& value) {
  return value.is_array() && value.empty() ? ResourceDocument() : value;
}

std::string shown(const ResourceDocument& value) {
  return value.is_null() ? "nothing" : jsonText(value);
}

// The reads of one verification, each network read once.
class ReadBack {
 public:
  explicit ReadBack(const Setup& setup) : setup_(setup), api_(*Globals::service) {}

  std::vector<std::string> found;

  const ResourceDocument* network(const std::string& key) {
    auto known = networks_.find(key);
    if (known == networks_.end()) {
      std::optional<NetworkKey> parsed = NetworkKey::parse(key);
      std::optional<ResourceDocument> read;
      if (parsed) read = readIfExists(api_.networks().get(parsed->project, parsed->network));
      if (!read) found.push_back("the network " + key + " cannot be found");
      known = networks_.emplace(key, std::move(read)).first;
    }
    return known->second ? &*known->second : nullptr;
  }

  std::optional<ResourceDocument> route(const std::string& name) {
    return readIfExists(api_.routes().get(setup_.project, name));
  }

  // How `route` differs from what `meant` routes like.
  void compareRoute(const std::string& name, const ResourceDocument& route,
                    const ResourceDocument& meant, const char* meantAs) {
    for (const std::string& field : routes::routingDifferences(route, meant))
      found.push_back("the route " + name + " has " + field + " " +
                      shown(comparable(memberOrNull(route, field))) + " (" + meantAs + " " +
                      shown(comparable(memberOrNull(meant, field))) + ")");
  }

  std::optional<ResourceDocument> router(const RouterKey& key) {
    std::optional<ResourceDocument> read =
        readIfExists(api_.routers().get(key.network.project, key.region, key.router));
    if (!read) found.push_back("the router " + key.text() + " cannot be found");
    return read;
  }

  void peeringsSwitched();
  void peeringsReverted();
  void routesSwitched(const std::string& stage);
  void routesReverted(const std::string& stage);
  void routersSwitched();
  void routersReverted();

 private:
  void changeTakenBack(const std::string& router, const ResourceDocument& bgp,
                       const RouterChange& change);
  void peeringEndAsRecorded(const std::string& key, const ResourceDocument& recorded);

  const Setup& setup_;
  const ComputeService& api_;
  std::map<std::string, std::optional<ResourceDocument>> networks_;
};

void ReadBack::peeringsSwitched() {
  for (const ResourceDocument& transit : YamlContext{}.getContext("transit_vpcs")) {
    const std::string key = textOf(transit["vpc_name"]);
    for (const auto& [holder, peer] : {std::pair{setup_.spoke, key}, std::pair{key, setup_.spoke}})
      if (const ResourceDocument* held = network(holder)) {
        std::string name = peeringTo(*held, peer);
        if (!name.empty())
          found.push_back("the peering " + name + " of " + holder + " to " + peer +
                          " is still there");
      }
  }
}

void ReadBack::peeringEndAsRecorded(const std::string& key, const ResourceDocument& recorded) {
  const ResourceDocument* held = network(key);
  if (!held) return;
  const std::string name = textOf(memberOrNull(recorded, "name"));
  const ResourceDocument& peerings = arrayOrEmpty(*held, "peerings");
  auto end = std::find_if(peerings.begin(), peerings.end(), [&](const ResourceDocument& peering) {
    return memberOrNull(peering, "name") == name;
  });
  if (end == peerings.end()) {
    found.push_back("the peering " + name + " of " + key + " is missing");
    return;
  }
  ResourceDocument meant = peering::createdPeering(recorded), now = peering::createdPeering(*end);
  for (const auto& member : meant.items())
    if (now[member.key()] != member.value())
      found.push_back("the peering " + name + " of " + key + " has " + member.key() + " " +
                      jsonText(now[member.key()]) + " (recorded " + jsonText(member.value()) + ")");
}

// A pair's local end is the spoke's peering, which leads to the transit network; the remote end is
// the transit network's, which leads back.
void ReadBack::peeringsReverted() {
  const ResourceDocument& pairs = RevertRecord{}.peeringPairs(setup_.spoke);
  if (!pairs.is_array()) return;
  for (const ResourceDocument& pair : pairs) {
    const ResourceDocument& local = memberOrNull(pair, "localPeeringProperties");
    peeringEndAsRecorded(setup_.spoke, local);
    peeringEndAsRecorded(networkKeyOf(memberOrNull(local, "network")),
                         memberOrNull(pair, "remotePeeringProperties"));
  }
}

void ReadBack::routesSwitched(const std::string& stage) {
  const ResourceDocument entries = YamlContext{}.getContext("manage_routes")[stage];
  const std::string vpc = textOf(Globals::vpc["vpc_name"]);
  std::vector<std::pair<std::string, ResourceDocument>> created;
  for (const ResourceDocument& entry : arrayOrEmpty(entries, "add")) {
    try {
      ResourceDocument body = routes::createdRouteBody(setup_.project, vpc, entry);
      created.emplace_back(textOf(body["name"]), std::move(body));
    } catch (const Error&) {
      // The entry failed in the switch itself, which logged why.
    }
  }
  for (const ResourceDocument& name : arrayOrEmpty(entries, "delete")) {
    bool recreated = std::any_of(created.begin(), created.end(),
                                 [&](const auto& route) { return route.first == textOf(name); });
    if (!recreated && route(textOf(name)))
      found.push_back("the route " + textOf(name) + " is still there");
  }
  for (auto& [name, body] : created) {
    std::optional<ResourceDocument> instance = readIfExists(api_.instances().get(
        setup_.project, textOf(body["zone"]), textOf(body["nextHopInstance"])));
    if (instance) body["nextHopInstance"] = memberOrNull(*instance, "selfLink");
    std::optional<ResourceDocument> now = route(name);
    if (!now)
      found.push_back("the route " + name + " is missing");
    else
      compareRoute(name, *now, body, "meant");
  }
}

void ReadBack::routesReverted(const std::string& stage) {
  const RevertRecord record{};
  std::vector<std::string> restored;
  for (const ResourceDocument& recorded : record.deletedRoutes(stage, setup_.spoke)) {
    std::string name = textOf(memberOrNull(recorded, "name"));
    restored.push_back(name);
    std::optional<ResourceDocument> now = route(name);
    if (!now)
      found.push_back("the route " + name + " is missing");
    else
      compareRoute(name, *now, recorded, "recorded");
  }
  for (const ResourceDocument& added : record.addedRoutes(stage, setup_.spoke)) {
    if (std::find(restored.begin(), restored.end(), textOf(added)) != restored.end()) continue;
    // A route of that name that the tool did not make is not the tool's to remove.
    std::optional<ResourceDocument> now = route(textOf(added));
    if (now && routes::createdByTool(*now))
      found.push_back("the route " + textOf(added) + " is still there");
  }
}

using cloud_router::canonicalRange;

void ReadBack::routersSwitched() {
  const ResourceDocument& recorded = RevertRecord{}.routerEntries(setup_.spoke);
  for (const ResourceDocument& transit : YamlContext{}.getContext("transit_vpcs"))
    for (const ResourceDocument& entry : arrayOrEmpty(transit, "cloud_routers")) {
      RouterKey key{*NetworkKey::parse(textOf(transit["vpc_name"])), textOf(entry["region"]),
                    textOf(entry["router_name"])};
      // Routers the switch left alone (another network, DEFAULT mode) have no record.
      if (!has(recorded, key.text())) continue;
      std::optional<ResourceDocument> read = router(key);
      if (!read) continue;
      const ResourceDocument& bgp = memberOrNull(*read, "bgp");
      std::vector<std::string> advertised, groups;
      for (const ResourceDocument& range : arrayOrEmpty(bgp, "advertisedIpRanges"))
        advertised.push_back(canonicalRange(memberOrNull(range, "range")));
      for (const ResourceDocument& group : arrayOrEmpty(bgp, "advertisedGroups"))
        groups.push_back(textOf(group));
      std::vector<std::string> added;
      for (const ResourceDocument& range : arrayOrEmpty(entry, "add_advertised_routes")) {
        added.push_back(canonicalRange(range));
        if (!contains(advertised, added.back()))
          found.push_back("the router " + key.text() + " does not advertise " + textOf(range));
      }
      for (const ResourceDocument& range : arrayOrEmpty(entry, "remove_advertised_routes"))
        if (!contains(added, canonicalRange(range)) && contains(advertised, canonicalRange(range)))
          found.push_back("the router " + key.text() + " still advertises " + textOf(range));
      for (const ResourceDocument& group : arrayOrEmpty(entry, "remove_advertised_groups"))
        if (contains(groups, textOf(group)))
          found.push_back("the router " + key.text() + " still advertises the group " +
                          textOf(group));
    }
}

// What this spoke's switch added is gone and what it removed is back; the rest of the router is
// other spokes' to change.
void ReadBack::changeTakenBack(const std::string& router, const ResourceDocument& bgp,
                               const RouterChange& change) {
  const ResourceDocument& ranges = arrayOrEmpty(bgp, "advertisedIpRanges");
  const ResourceDocument& groups = arrayOrEmpty(bgp, "advertisedGroups");
  std::vector<std::string> networks;
  for (const ResourceDocument& range : ranges)
    networks.push_back(canonicalRange(memberOrNull(range, "range")));
  for (const ResourceDocument& added : change.addedRanges)
    if (std::find(ranges.begin(), ranges.end(), added) != ranges.end())
      found.push_back("the router " + router + " still advertises " +
                      textOf(memberOrNull(added, "range")) + " as this spoke's switch added it");
  for (const ResourceDocument& removed : change.removedRanges)
    if (!contains(networks, canonicalRange(memberOrNull(removed, "range"))))
      found.push_back("the router " + router + " does not advertise " +
                      textOf(memberOrNull(removed, "range")) + " again");
  for (const ResourceDocument& group : change.removedGroups)
    if (std::find(groups.begin(), groups.end(), group) == groups.end())
      found.push_back("the router " + router + " does not advertise the group " + textOf(group) +
                      " again");
}

void ReadBack::routersReverted() {
  const ResourceDocument& recorded = RevertRecord{}.routerEntries(setup_.spoke);
  if (!recorded.is_object()) return;
  for (const auto& entry : recorded.items()) {
    std::optional<RouterKey> key = RouterKey::parse(entry.key());
    if (!key) continue;  // the check before the revert refused such keys
    std::optional<ResourceDocument> read = router(*key);
    if (!read) continue;
    const ResourceDocument& bgp = memberOrNull(*read, "bgp");
    if (std::optional<RouterChange> change =
            RevertRecord{}.routerChange(setup_.spoke, entry.key())) {
      changeTakenBack(entry.key(), bgp, *change);
      continue;
    }
    for (const char* field : {"advertiseMode", "advertisedGroups", "advertisedIpRanges"}) {
      ResourceDocument now = comparable(memberOrNull(bgp, field)),
                       meant = comparable(memberOrNull(entry.value(), field));
      if (now != meant)
        found.push_back("the router " + entry.key() + " has " + field + " " + shown(now) +
                        " (recorded " + shown(meant) + ")");
    }
  }
}

}  // namespace

std::vector<std::string> verifyPart(const Setup& setup, const Part& part, bool switching) {
  ReadBack back(setup);
  try {
    switch (part.kind) {
      case Part::kPeerings:
        switching ? back.peeringsSwitched() : back.peeringsReverted();
        break;
      case Part::kRoutes:
        switching ? back.routesSwitched(part.stage) : back.routesReverted(part.stage);
        break;
      case Part::kRouters:
        switching ? back.routersSwitched() : back.routersReverted();
        break;
    }
  } catch (const std::exception& failure) {
    back.found.push_back(std::string("reading back failed: ") + failure.what());
  }
  return back.found;
}

}  // namespace tolmi_gcp::cli
