// The routers part: the BGP advertisements of the transit routers the migration file lists,
// patched by a switch and restored by a revert.

#include <algorithm>
#include <map>

#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/gcplib/cloud_router.hpp"
#include "tolmi_gcp/gcplib/part_type.hpp"
#include "tolmi_gcp/ipv4_network.hpp"
#include "tolmi_gcp/res/Globals.hpp"
#include "tolmi_gcp/res/revert_record.hpp"

namespace tolmi_gcp::parts {

namespace {

using cloud_router::canonicalRange;

std::optional<ResourceDocument> readRouter(const RouterKey& key) {
  return readIfExists(Globals::service->routers().get(key.network.project, key.region, key.router));
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

// The routers the migration file lists, by key.
std::map<std::string, RouterKey> listedRouters() {
  std::map<std::string, RouterKey> routers;
  for (const ResourceDocument& transit : YamlContext{}.getContext("transit_vpcs")) {
    const std::optional<NetworkKey> network = transitNetwork(transit);
    if (!network) continue;
    for (const ResourceDocument& entry : arrayOrEmpty(transit, "cloud_routers"))
      if (std::optional<RouterKey> router = transitRouter(*network, entry))
        routers[router->text()] = *router;
  }
  return routers;
}

std::optional<ResourceDocument> readBackRouter(const RouterKey& key,
                                               std::vector<std::string>& found) {
  std::optional<ResourceDocument> read = readRouter(key);
  if (!read) found.push_back("the router " + key.text() + " cannot be found");
  return read;
}

void readBackSwitched(const Spoke& spoke, std::vector<std::string>& found) {
  const ResourceDocument& recorded = RevertRecord{}.routerEntries(spoke.key);
  for (const ResourceDocument& transit : YamlContext{}.getContext("transit_vpcs"))
    for (const ResourceDocument& entry : arrayOrEmpty(transit, "cloud_routers")) {
      RouterKey key{*NetworkKey::parse(textOf(transit["vpc_name"])), textOf(entry["region"]),
                    textOf(entry["router_name"])};
      // Routers the switch left alone (another network, DEFAULT mode) have no record.
      if (!has(recorded, key.text())) continue;
      std::optional<ResourceDocument> read = readBackRouter(key, found);
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
void changeTakenBack(const std::string& router, const ResourceDocument& bgp,
                     const RouterChange& change, std::vector<std::string>& found) {
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

void readBackReverted(const Spoke& spoke, std::vector<std::string>& found) {
  const ResourceDocument& recorded = RevertRecord{}.routerEntries(spoke.key);
  if (!recorded.is_object()) return;
  for (const auto& entry : recorded.items()) {
    std::optional<RouterKey> key = RouterKey::parse(entry.key());
    if (!key) continue;  // the check before the revert refused such keys
    std::optional<ResourceDocument> read = readBackRouter(*key, found);
    if (!read) continue;
    const ResourceDocument& bgp = memberOrNull(*read, "bgp");
    if (std::optional<RouterChange> change = RevertRecord{}.routerChange(spoke.key, entry.key())) {
      changeTakenBack(entry.key(), bgp, *change, found);
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

// Patches `bgp` onto the router `key` of `estate`, as the API merges a patch.
void predictPatch(Estate& estate, const RouterKey& key, const ResourceDocument& bgp) {
  Router* router = estate.router(key);
  if (!router) return;
  ResourceDocument document = router->document;
  document.merge_patch({{"bgp", bgp}});
  *router = Router::of(router->project, router->region, std::move(document));
}

void predictSwitch(Estate& estate) {
  for (const ResourceDocument& transit : YamlContext{}.getContext("transit_vpcs")) {
    const std::optional<NetworkKey> network = transitNetwork(transit);
    if (!network) continue;
    for (const ResourceDocument& entry : arrayOrEmpty(transit, "cloud_routers")) {
      std::optional<RouterKey> key = transitRouter(*network, entry);
      const Router* router = key ? estate.router(*key) : nullptr;
      if (!router) continue;
      std::optional<ResourceDocument> bgp;
      try {
        bgp = cloud_router::switchedBgp(router->document, *network, entry);
      } catch (const Error&) {
        continue;  // the switch reports the router and goes on with the next
      }
      if (bgp) predictPatch(estate, *key, *bgp);
    }
  }
}

void predictRevert(Estate& estate, const std::string& spoke) {
  const RevertRecord record{};
  const ResourceDocument& recorded = record.routerEntries(spoke);
  if (!recorded.is_object()) return;
  for (const auto& entry : recorded.items()) {
    std::optional<RouterKey> key = RouterKey::parse(entry.key());
    const Router* router = key ? estate.router(*key) : nullptr;
    if (!router) continue;
    ResourceDocument settings = record.routerSettings(spoke, entry.key());
    if (!settings.is_object()) continue;  // the restore refuses it and goes on
    const std::optional<RouterChange> change = record.routerChange(spoke, entry.key());
    if (change && cloud_router::changedSinceSwitch(router->bgp(), settings, *change)) {
      predictPatch(estate, *key, cloud_router::restoredBgp(router->bgp(), settings, *change));
      continue;
    }
    // The restore clears the migration's additions with an explicit empty list.
    if (!has(settings, "advertisedIpRanges"))
      settings["advertisedIpRanges"] = ResourceDocument::array();
    predictPatch(estate, *key, settings);
  }
}

class RoutersPart : public PartType {
 public:
  bool checksTransits() const override { return true; }

  void checkSwitchOn(const Transit& transit, const Spoke&, Findings& found) const override {
    std::size_t j = 0;
    for (const ResourceDocument& entry : arrayOrEmpty(transit.entry, "cloud_routers")) {
      std::string at = transit.where + ".cloud_routers[" + std::to_string(j++) + "]";
      const std::optional<RouterKey> router = transitRouter(transit.key, entry);
      if (!router) continue;
      std::optional<ResourceDocument> read = readRouter(*router);
      if (!read)
        found.problems.push_back(at + ": the router " + router->router + " does not exist in " +
                                 transit.key.project + " " + router->region);
      else
        checkRouter(at, transit.key.network, *read, entry, found);
    }
  }

  void checkRevert(const Spoke& spoke, Findings& found) const override {
    const std::map<std::string, RouterKey> routers = listedRouters();
    const ResourceDocument& recorded = RevertRecord{}.routerEntries(spoke.key);
    if (!recorded.is_object()) return;
    for (const auto& entry : recorded.items()) {
      const std::string where =
          RevertStore::placeOfRouters(spoke.key) + ": the router " + entry.key();
      if (!routers.contains(entry.key())) {
        found.problems.push_back(where + " is not one the migration file lists");
        continue;
      }
      const RouterKey& router = routers.at(entry.key());
      std::optional<ResourceDocument> read = readRouter(router);
      if (!read) {
        found.problems.push_back(where + " does not exist");
        continue;
      }
      found.plan.routers.push_back(router.router);
      const std::optional<RouterChange> change =
          RevertRecord{}.routerChange(spoke.key, entry.key());
      if (!change) continue;
      if (std::optional<std::string> changed =
              cloud_router::changedSinceSwitch(memberOrNull(*read, "bgp"), entry.value(), *change))
        found.warnings.push_back(where + " has changed since this spoke's switch (" + *changed +
                                 "): only this spoke's change is taken back");
    }
  }

  void run(bool switching) const override { GcpLib::manageCloudRouterAdvertisedRoute(switching); }

  void predict(Estate& estate, const NetworkKey& spoke, bool switching) const override {
    switching ? predictSwitch(estate) : predictRevert(estate, spoke.text());
  }

  void readBack(const Spoke& spoke, bool switching,
                std::vector<std::string>& found) const override {
    switching ? readBackSwitched(spoke, found) : readBackReverted(spoke, found);
  }
};

}  // namespace

std::unique_ptr<PartType> routersPart() { return std::make_unique<RoutersPart>(); }

}  // namespace tolmi_gcp::parts
