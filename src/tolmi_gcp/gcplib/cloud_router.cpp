// Cloud routers: the region report, the ranges a spoke advertises, and the changes to the transit
// routers' BGP advertisements with their restore.

#include <algorithm>
#include <functional>
#include <iostream>
#include <optional>
#include <string>

#include "tolmi_gcp/gcplib/cloud_router.hpp"

#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/gcplib/frame.hpp"
#include "tolmi_gcp/ipv4_network.hpp"
#include "tolmi_gcp/network_key.hpp"
#include "tolmi_gcp/parts.hpp"
#include "tolmi_gcp/res/Globals.hpp"
#include "tolmi_gcp/res/revert_record.hpp"

namespace tolmi_gcp {

namespace {

constexpr const char* kAddedDescription = "tessavon-migration-added";

// The network `router` (named `name`) sits on.
ResourceLink routerNetwork(const ResourceDocument& router, const std::string& name) {
  return frame::linkAt(router, "network", ResourceLink::Scope::kGlobal, "networks",
                       "the router " + name);
}

// The network a stored range names, a bare address counting as a /32, in the form the removal
// list is written in. Host bits must be zero: a range that is not a network cannot be matched
// against the removal list safely.
std::string canonicalNetwork(const std::string& text) {
  Ipv4Network::Parsed parsed = Ipv4Network::parse(text, true);
  if (!parsed.ok()) throw Error("advertised range '" + text + "' " + parsed.reason());
  return parsed.network.text();
}

bool listed(const ResourceDocument& list, const ResourceDocument& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// The list under `key`, which must be one.
const ResourceDocument& listAt(const ResourceDocument& doc, std::string_view key) {
  const ResourceDocument& value = at(doc, key);
  if (!value.is_array()) throw ArgumentTypeError(std::string(key), "a list", value);
  return value;
}

// A router that fails is reported and the caller goes on with the next one.
void reportFailure(const std::exception& failure) {
  frame::error("**Error** " + std::string(failure.what()));
  std::cerr << describeFailure(failure) << std::flush;
}

// The migrated "bgp" of one router (the ranges and groups kept, then the configured additions),
// and the change it makes, as the record keeps it.
struct BgpChange {
  ResourceDocument bgp;
  RouterChange change;
  bool changed = false;
};

// `note` takes a line for people on each range and group changed.
BgpChange changeBgp(const ResourceDocument& routerBgp, const ResourceDocument& entry,
                    const std::string& routerName, const std::string& where,
                    const std::function<void(const std::string&)>& note) {
  BgpChange change;
  ResourceDocument ranges = ResourceDocument::array();
  for (const auto& range : arrayOrEmpty(routerBgp, "advertisedIpRanges")) {
    const std::string& stored = stringAt(range, "range");
    if (listed(listAt(entry, "remove_advertised_routes"), canonicalNetwork(stored))) {
      note("  delete " + stored + " in " + routerName + " from " + where);
      change.change.removedRanges.push_back(range);
      change.changed = true;
    } else {
      ranges.push_back(range);
    }
  }
  for (const auto& added : listAt(entry, "add_advertised_routes")) {
    ResourceDocument range = {{"range", added}, {"description", kAddedDescription}};
    // Advertised already as this tool adds it (a re-run, or another spoke's switch): a second
    // copy would be a duplicate range, and the one there is not this switch's to take back.
    if (listed(ranges, range)) continue;
    note("  add " + textOf(added) + " to " + routerName + " from " + where);
    change.change.addedRanges.push_back(range);
    ranges.push_back(std::move(range));
    change.changed = true;
  }
  change.bgp["advertisedIpRanges"] = std::move(ranges);
  if (!has(routerBgp, "advertisedGroups")) return change;
  ResourceDocument groups = ResourceDocument::array();
  for (const auto& group : routerBgp["advertisedGroups"]) {
    if (listed(listAt(entry, "remove_advertised_groups"), group)) {
      note("  delete " + textOf(group) + " in " + routerName + " from " + where);
      change.change.removedGroups.push_back(group);
      change.changed = true;
    } else {
      groups.push_back(group);
    }
  }
  change.bgp["advertisedGroups"] = std::move(groups);
  return change;
}

// Adds the elements of `more` that `into` lacks.
void addMissing(ResourceDocument& into, const ResourceDocument& more) {
  for (const auto& element : more)
    if (!listed(into, element)) into.push_back(element);
}

// True when the router already advertises every one of the (non-empty) configured additions as
// this tool adds them.
bool advertisesAdditions(const ResourceDocument& routerBgp, const ResourceDocument& additions) {
  const ResourceDocument& ranges = arrayOrEmpty(routerBgp, "advertisedIpRanges");
  auto advertised = [&](const ResourceDocument& added) {
    return listed(ranges, {{"range", added}, {"description", kAddedDescription}});
  };
  return !additions.empty() && std::all_of(additions.begin(), additions.end(), advertised);
}

// True when the router still shows every part of an earlier switch's (non-empty) change: what it
// added is there, what it removed is not.
bool carriesChange(const ResourceDocument& routerBgp, const RouterChange& change) {
  const ResourceDocument& ranges = arrayOrEmpty(routerBgp, "advertisedIpRanges");
  const ResourceDocument& groups = arrayOrEmpty(routerBgp, "advertisedGroups");
  std::vector<std::string> networks;
  for (const auto& range : ranges)
    networks.push_back(cloud_router::canonicalRange(memberOrNull(range, "range")));
  bool any = false;
  for (const auto& added : change.addedRanges) {
    if (!listed(ranges, added)) return false;
    any = true;
  }
  for (const auto& removed : change.removedRanges) {
    if (std::find(networks.begin(), networks.end(),
                  cloud_router::canonicalRange(memberOrNull(removed, "range"))) != networks.end())
      return false;
    any = true;
  }
  for (const auto& group : change.removedGroups) {
    if (listed(groups, group)) return false;
    any = true;
  }
  return any;
}

// Reads one transit router, records its "bgp" as read with the change, and patches the migrated
// one onto it.
void manageRouter(ComputeService& service, const NetworkKey& transit, const std::string& region,
                  const ResourceDocument& entry, const std::string& mkey) {
  const std::string& routerName = stringAt(entry, "router_name");
  ResourceDocument router = service.routers().get(transit.project, region, routerName).execute();
  std::string where = transit.text() + " " + region;
  if (routerNetwork(router, routerName).name() != transit.network) {
    frame::info("  " + routerName + " not found in " + where);
    return;
  }
  const ResourceDocument& routerBgp = at(router, "bgp");
  if (at(routerBgp, "advertiseMode") == "DEFAULT") {
    frame::info("  " + routerName + " in " + where +
                " is in DEFAULT advertize mode, cannot customize route");
    return;
  }
  BgpChange change = changeBgp(routerBgp, entry, routerName, where,
                               [](const std::string& line) { frame::info(line); });
  if (!change.changed) return;

  // Record before the change, and in a dry run too, so the record matches a real run. A re-run
  // of a switch not taken back finds the router as it left it, or as other spokes have changed it
  // since: the settings from before its first run stay the way back, and what this run changes is
  // added to what the earlier ones did.
  RevertRecord{}.recordRouter(mkey, RouterKey{transit, region, routerName}.text(), routerBgp,
                              change.change, [&](const std::optional<RouterChange>& earlier) {
                                return earlier ? carriesChange(routerBgp, *earlier)
                                               : advertisesAdditions(
                                                     routerBgp, at(entry, "add_advertised_routes"));
                              });
  if (Globals::getDryRun()) return;
  patchRouterBgp(service, transit.project, region, routerName, change.bgp);
}

// Puts one recorded "bgp" back onto its router: the whole recorded settings while the router
// advertises what this spoke's switch left, or else this spoke's change alone, so that the
// changes other spokes made since stay.
void restoreRouter(ComputeService& service, const std::string& mkey, const std::string& rkey,
                   const std::string& project, const std::string& region,
                   const std::string& routerName) {
  RevertRecord record;
  ResourceDocument settings = record.routerSettings(mkey, rkey);
  frame::info("  restore " + rkey + ", bgp " + textOf(settings));
  if (Globals::getDryRun()) return;
  if (!settings.is_object()) throw ArgumentTypeError(rkey, "an object", settings);
  if (std::optional<RouterChange> change = record.routerChange(mkey, rkey)) {
    ResourceDocument now = at(service.routers().get(project, region, routerName).execute(), "bgp");
    if (std::optional<std::string> changed =
            cloud_router::changedSinceSwitch(now, settings, *change)) {
      ResourceDocument restored = cloud_router::restoredBgp(now, settings, *change);
      frame::info("    changed since the switch (" + *changed +
                  "): only this spoke's change is taken back, bgp " + textOf(restored));
      return patchRouterBgp(service, project, region, routerName, restored);
    }
  }
  // Ranges are replaced whole by a patch; an explicit empty list clears the migration's additions.
  if (!has(settings, "advertisedIpRanges")) {
    settings["advertisedIpRanges"] = ResourceDocument::array();
    record.setRouterSettings(mkey, rkey, settings);
  }
  patchRouterBgp(service, project, region, routerName, settings);
}

}  // namespace

// A router change is done when its region operation is; one that ends in error fails the router.
void patchRouterBgp(ComputeService& service, const std::string& project, const std::string& region,
                    const std::string& router, const ResourceDocument& bgp) {
  ResourceDocument operation =
      service.routers().patch(project, region, router, {{"bgp", bgp}}).execute();
  const std::string& name = stringAt(operation, "name");
  RegionOperationsCollection operations = service.regionOperations();
  frame::awaitOperation(operations.wait(project, region, name),
                        operations.get(project, region, name));
}

std::optional<ResourceDocument> cloud_router::switchedBgp(const ResourceDocument& router,
                                                          const NetworkKey& transit,
                                                          const ResourceDocument& entry) {
  const std::string routerName = textOf(memberOrNull(router, "name"));
  const ResourceDocument& routerBgp = at(router, "bgp");
  if (routerNetwork(router, routerName).name() != transit.network ||
      at(routerBgp, "advertiseMode") == "DEFAULT")
    return std::nullopt;
  BgpChange change = changeBgp(routerBgp, entry, routerName, "", [](const std::string&) {});
  if (!change.changed) return std::nullopt;
  return std::move(change.bgp);
}

std::optional<std::string> cloud_router::changedSinceSwitch(const ResourceDocument& routerBgp,
                                                            const ResourceDocument& recordedBgp,
                                                            const RouterChange& change) {
  ResourceDocument ranges = ResourceDocument::array();
  for (const auto& range : arrayOrEmpty(recordedBgp, "advertisedIpRanges"))
    if (!listed(change.removedRanges, range)) ranges.push_back(range);
  addMissing(ranges, change.addedRanges);
  ResourceDocument groups = ResourceDocument::array();
  for (const auto& group : arrayOrEmpty(recordedBgp, "advertisedGroups"))
    if (!listed(change.removedGroups, group)) groups.push_back(group);
  const ResourceDocument switched = {{"advertisedIpRanges", std::move(ranges)},
                                     {"advertisedGroups", std::move(groups)}};
  // The API leaves empty lists out.
  if (arrayOrEmpty(routerBgp, "advertisedIpRanges") == switched["advertisedIpRanges"] &&
      arrayOrEmpty(routerBgp, "advertisedGroups") == switched["advertisedGroups"])
    return std::nullopt;
  std::vector<std::string> more, fewer;
  auto compare = [&](const char* field, auto&& name) {
    const ResourceDocument& now = arrayOrEmpty(routerBgp, field);
    const ResourceDocument& then = switched[field];
    for (const auto& value : now)
      if (!listed(then, value)) more.push_back(name(value));
    for (const auto& value : then)
      if (!listed(now, value)) fewer.push_back(name(value));
  };
  compare("advertisedIpRanges", [](const ResourceDocument& range) {
    return textOf(memberOrNull(range, "range")) + " (" + textOf(valueOr(range, "description", "")) +
           ")";
  });
  compare("advertisedGroups", [](const ResourceDocument& group) { return textOf(group); });
  auto list = [](const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
  };
  if (more.empty() && fewer.empty()) return "in another order";
  std::string text = more.empty() ? "" : "also " + list(more);
  if (!fewer.empty()) text += (text.empty() ? "not " : "; not ") + list(fewer);
  return text;
}

namespace {

// Puts `value` back into `into` where `recorded` had it: before the first element that followed it
// there, so that taking every change back, in any order, gives the recorded order again.
void putBack(ResourceDocument& into, const ResourceDocument& value,
             const ResourceDocument& recorded) {
  auto was = std::find(recorded.begin(), recorded.end(), value);
  auto follower = std::find_if(into.begin(), into.end(), [&](const ResourceDocument& element) {
    return was != recorded.end() &&
           std::find(std::next(was), recorded.end(), element) != recorded.end();
  });
  into.insert(follower, value);
}

}  // namespace

ResourceDocument cloud_router::restoredBgp(const ResourceDocument& routerBgp,
                                           const ResourceDocument& recordedBgp,
                                           const RouterChange& change) {
  const ResourceDocument& recordedRanges = arrayOrEmpty(recordedBgp, "advertisedIpRanges");
  ResourceDocument ranges = ResourceDocument::array();
  std::vector<std::string> networks;
  for (const auto& range : arrayOrEmpty(routerBgp, "advertisedIpRanges"))
    if (!listed(change.addedRanges, range)) {
      ranges.push_back(range);
      networks.push_back(canonicalRange(memberOrNull(range, "range")));
    }
  // Another spoke that removed the same range put it back already, or will.
  for (const auto& range : change.removedRanges) {
    std::string network = canonicalRange(memberOrNull(range, "range"));
    if (std::find(networks.begin(), networks.end(), network) != networks.end()) continue;
    putBack(ranges, range, recordedRanges);
    networks.push_back(network);
  }
  ResourceDocument bgp = {{"advertisedIpRanges", std::move(ranges)}};
  const ResourceDocument& removedGroups = change.removedGroups;
  if (has(routerBgp, "advertisedGroups") || !removedGroups.empty()) {
    ResourceDocument groups = arrayOrEmpty(routerBgp, "advertisedGroups");
    for (const auto& group : removedGroups)
      if (!listed(groups, group))
        putBack(groups, group, arrayOrEmpty(recordedBgp, "advertisedGroups"));
    bgp["advertisedGroups"] = std::move(groups);
  }
  return bgp;
}

std::string cloud_router::canonicalRange(const ResourceDocument& range) {
  Ipv4Network::Parsed parsed = Ipv4Network::parse(textOf(range), true);
  return parsed.ok() ? parsed.network.text() : textOf(range);
}

void GcpLib::listRouterByRegion(ComputeService& service, const std::string& project,
                                const std::string& network, const std::string& region) {
  frame::info("- Discover cloud router(s)");
  // Only the first page: a region holds few routers.
  ResourceDocument response = service.routers().list(project, region).execute();
  if (!has(response, "items")) return frame::info("  No cloud router found");
  for (const auto& router : response["items"]) {
    std::string routerName = textOf(memberOrNull(router, "name"));
    std::string networkName = routerNetwork(router, routerName).name();
    std::string regionName = frame::linkAt(router, "region", ResourceLink::Scope::kGlobal,
                                           "regions", "the router " + routerName)
                                 .name();
    if (networkName != network) continue;
    const ResourceDocument& bgp = at(router, "bgp");
    frame::info("  " + textOf(at(router, "name")) + " " + regionName + " bgp " +
                textOf(at(bgp, "asn")) + " " + textOf(at(bgp, "advertiseMode")));
    // The API leaves out an empty description; such a range is still reported.
    for (const auto& range : arrayOrEmpty(bgp, "advertisedIpRanges"))
      frame::info("    " + textOf(at(range, "range")) + " " +
                  textOf(valueOr(range, "description", "")));
    for (const auto& group : arrayOrEmpty(bgp, "advertisedGroups"))
      frame::info("    " + textOf(group));
  }
}

ResourceDocument GcpLib::composeVpcCidrs(ComputeService& service, const ResourceDocument& response,
                                         const ResourceDocument& region) {
  ResourceDocument spokeAdvertisement = frame::config("spoke_advertisement");
  ResourceDocument advertiseGke = frame::config("advertise_gke");
  ResourceDocument vpc_cidrs = ResourceDocument::array();
  if (advertiseGke == true)
    for (const auto& range : Globals::routeInfo.get_gke_export_routes()) vpc_cidrs.push_back(range);
  if (spokeAdvertisement.is_null()) {
    // Subnet ranges stand in for a missing list only when the spoke advertises GKE ranges.
    if (!vpc_cidrs.empty())
      for (auto& range : listSubnetByRegion(service, response, stringAt(region, "region")))
        vpc_cidrs.push_back(std::move(range));
  } else {
    if (!spokeAdvertisement.is_array())
      throw ArgumentTypeError("spoke_advertisement", "a list", spokeAdvertisement);
    for (const auto& range : spokeAdvertisement) vpc_cidrs.push_back(range);
  }
  return vpc_cidrs.empty() ? ResourceDocument() : vpc_cidrs;
}

void GcpLib::manageCloudRouterAdvertisedRoute(bool switch_traffic) {
  ComputeService& service = frame::globalService();
  if (switch_traffic)
    manageCloudRouterAdvertisedRoutePerVpc(service);
  else
    restoreCloudRouterAdvertisedRoutePerVpc(service);
}

void GcpLib::manageCloudRouterAdvertisedRoutePerVpc(ComputeService& service) {
  frame::info("- Manage cloud router route(s)");
  ResourceDocument transit_vpcs = frame::config("transit_vpcs");
  std::string mkey =
      NetworkKey{frame::configText("project_id"), frame::configText("vpc_name")}.text();
  if (!transit_vpcs.is_array()) throw ArgumentTypeError("transit_vpcs", "a list", transit_vpcs);
  for (const auto& transit : transit_vpcs) {
    const std::string& vpcName = stringAt(transit, "vpc_name");
    // Anything after the network is ignored.
    std::string_view ignored;
    std::optional<NetworkKey> key = NetworkKey::parse(vpcName, &ignored);
    if (!key) throw ConfigError("transit vpc_name '" + vpcName + "' is not project::network");
    if (!has(transit, "cloud_routers")) {
      frame::info("  No cloud router found");
      continue;
    }
    for (const auto& entry : listAt(transit, "cloud_routers")) {
      const std::string& region = stringAt(entry, "region");
      try {
        manageRouter(service, *key, region, entry, mkey);
      } catch (const OperationTimeoutError&) {
        throw;
      } catch (const std::exception& failure) {
        reportFailure(failure);
      }
    }
  }
}

void GcpLib::restoreCloudRouterAdvertisedRoutePerVpc(ComputeService& service) {
  frame::info("- Restore cloud router route(s)");
  std::string mkey =
      NetworkKey{frame::configText("project_id"), frame::configText("vpc_name")}.text();
  const ResourceDocument& cloudRouters = RevertRecord{}.routers();
  if (!truthy(cloudRouters)) return frame::info("  Done");
  if (!has(cloudRouters, mkey)) return;
  const ResourceDocument& spokeRouters = cloudRouters[mkey];
  if (!spokeRouters.is_object()) throw ArgumentTypeError(mkey, "an object", spokeRouters);
  // The keys are taken first: restoring a router writes into the record walked here.
  std::vector<std::string> rkeys;
  for (const auto& [rkey, settings] : spokeRouters.items()) rkeys.push_back(rkey);
  for (const auto& rkey : rkeys) {
    std::optional<RouterKey> key = RouterKey::parse(rkey);
    if (!key)
      throw ConfigError("cloud router key '" + rkey + "' is not project::network::region::router");
    try {
      restoreRouter(service, mkey, rkey, key->network.project, key->region, key->router);
    } catch (const OperationTimeoutError&) {
      throw;
    } catch (const std::exception& failure) {
      reportFailure(failure);
      ++Globals::failedRestores;
    }
  }
}

}  // namespace tolmi_gcp
