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

// The advertisements of a router, as the read-back compares them.
struct Advertised {
  std::string mode;
  std::vector<std::string> groups, ranges;  // ranges as networks: "10.0.0.0/8"

  explicit Advertised(const Router& router)
      : mode(router.advertiseMode), groups(router.advertisedGroups) {
    for (const AdvertisedRange& range : router.advertisedIpRanges)
      ranges.push_back(canonicalRange(range.range));
  }
  bool operator==(const Advertised&) const = default;
};

// How what `now` advertises differs from what `meant` does.
void compareRouter(const std::string& router, const Advertised& meant, const Advertised& now,
                   const char* meantAs, std::vector<std::string>& found) {
  if (now.mode != meant.mode)
    found.push_back("the router " + router + " has advertiseMode " + now.mode + " (" + meantAs +
                    " " + meant.mode + ")");
  // Each of `these` not among `those`: "still advertises" what is not meant, "does not
  // advertise" what is meant and not there.
  auto notAmong = [&](const std::vector<std::string>& these, const std::vector<std::string>& those,
                      const std::string& what) {
    for (const std::string& item : these)
      if (!contains(those, item)) found.push_back("the router " + router + what + item);
  };
  notAmong(now.ranges, meant.ranges, " still advertises ");
  notAmong(meant.ranges, now.ranges, " does not advertise ");
  notAmong(now.groups, meant.groups, " still advertises the group ");
  notAmong(meant.groups, now.groups, " does not advertise the group ");
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

  void checkSwitchOn(const Transit& transit, const Spoke& spoke, Findings& found) const override {
    std::size_t j = 0;
    for (const ResourceDocument& entry : arrayOrEmpty(transit.entry, "cloud_routers")) {
      std::string at = transit.where + ".cloud_routers[" + std::to_string(j++) + "]";
      const std::optional<RouterKey> router = transitRouter(transit.key, entry);
      if (!router) continue;
      const Router* read = spoke.estate.router(*router);
      if (!read)
        found.problems.push_back(at + ": the router " + router->router + " does not exist in " +
                                 transit.key.project + " " + router->region);
      else
        checkRouter(at, transit.key.network, read->document, entry, found);
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
      const Router* read = spoke.estate.router(router);
      if (!read) {
        found.problems.push_back(where + " does not exist");
        continue;
      }
      found.plan.routers.push_back(router.router);
      const std::optional<RouterChange> change =
          RevertRecord{}.routerChange(spoke.key, entry.key());
      if (!change) continue;
      if (std::optional<std::string> changed =
              cloud_router::changedSinceSwitch(read->bgp(), entry.value(), *change))
        found.warnings.push_back(where + " has changed since this spoke's switch (" + *changed +
                                 "): only this spoke's change is taken back");
    }
  }

  void run(bool switching) const override { GcpLib::manageCloudRouterAdvertisedRoute(switching); }

  void predict(Estate& estate, const NetworkKey& spoke, bool switching) const override {
    switching ? predictSwitch(estate) : predictRevert(estate, spoke.text());
  }

  void compare(const Estate& before, const Estate& meant, const Estate& now, const NetworkKey&,
               bool switching, std::vector<std::string>& found) const override {
    for (const auto& [text, key] : listedRouters()) {
      const Router *was = before.router(key), *will = meant.router(key);
      if (!will || (was && Advertised(*was) == Advertised(*will))) continue;  // not changed
      if (const Router* is = now.router(key))
        compareRouter(text, Advertised(*will), Advertised(*is), switching ? "meant" : "recorded",
                      found);
      else
        found.push_back("the router " + text + " cannot be found");
    }
  }
};

}  // namespace

std::unique_ptr<PartType> routersPart() { return std::make_unique<RoutersPart>(); }

}  // namespace tolmi_gcp::parts
