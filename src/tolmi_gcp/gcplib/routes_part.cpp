// A route stage part: the routes one stage of "manage_routes" deletes and creates in the spoke, and
// their restore.

#include <algorithm>
#include <set>

#include "tolmi_gcp/api_limits.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/gcplib/part_type.hpp"
#include "tolmi_gcp/gcplib/routes.hpp"
#include "tolmi_gcp/ipv4_network.hpp"
#include "tolmi_gcp/reachability.hpp"
#include "tolmi_gcp/res/Globals.hpp"
#include "tolmi_gcp/res/revert_record.hpp"
#include "tolmi_gcp/resource_link.hpp"

namespace tolmi_gcp::parts {

namespace {

const ResourceDocument* route(const Spoke& spoke, const std::string& name) {
  const Route* found = spoke.estate.route(spoke.project, name);
  return found ? &found->document : nullptr;
}

std::vector<std::string> sortedTexts(const ResourceDocument& list) {
  std::vector<std::string> texts;
  for (const ResourceDocument& item : list) texts.push_back(textOf(item));
  std::sort(texts.begin(), texts.end());
  return texts;
}

// A tagged route under "delete" applies to some instances only; an "add" route for its
// destination without the same tags widens or moves that set, which the API does not question.
void warnOfDroppedTags(const Spoke& spoke, const std::string& where,
                       const ResourceDocument& entries, Findings& found) {
  const ResourceDocument& additions = arrayOrEmpty(entries, "add");
  if (additions.empty()) return;
  for (const ResourceDocument& name : arrayOrEmpty(entries, "delete")) {
    if (!name.is_string()) continue;  // refused by the file's check
    const ResourceDocument* deleted = route(spoke, textOf(name));
    const std::vector<std::string> tags =
        deleted ? sortedTexts(arrayOrEmpty(*deleted, "tags")) : std::vector<std::string>();
    if (tags.empty()) continue;
    for (std::size_t k = 0; k < additions.size(); ++k) {
      const ResourceDocument& add = additions[k];
      const ResourceDocument& addTags = arrayOrEmpty(add, "tags");
      if (memberOrNull(add, "cidr") != memberOrNull(*deleted, "destRange") ||
          sortedTexts(addTags) == tags)
        continue;
      found.warnings.push_back(where + ".add[" + std::to_string(k) + "]: replaces the route " +
                               textOf(name) + " (tags " + joined(tags, ", ") + ") with a route " +
                               (addTags.empty()
                                    ? "without tags, for every instance of " + spoke.key
                                    : "with tags " + joined(sortedTexts(addTags), ", ")));
    }
  }
}

// The instance an "add" entry routes through, unless the file's check refused its zone or name.
void checkGateway(const Spoke& spoke, const std::string& at, const ResourceDocument& add,
                  Findings& found) {
  const ResourceDocument& zone = memberOrNull(add, "zone");
  const ResourceDocument& instance = memberOrNull(add, "dest_instance");
  if (!zone.is_string() || !instance.is_string()) return;
  const Instance* gateway = spoke.estate.instance({spoke.project, textOf(zone), textOf(instance)});
  if (!gateway)
    found.problems.push_back(at + ": the instance " + textOf(instance) + " does not exist in " +
                             spoke.project + " " + textOf(zone));
  else if (std::string why = whyNotForwarding(*gateway, *NetworkKey::parse(spoke.key));
           !why.empty())
    found.problems.push_back(at + ": the instance " + textOf(instance) +
                             " cannot carry the route's traffic: " + why);
}

// Whether the instance a route leads to ("projects/P/zones/Z/instances/I") exists.
bool instanceExists(const Estate& estate, const ResourceDocument& link) {
  std::optional<ResourceLink> at =
      ResourceLink::parse(link, ResourceLink::Scope::kZone, "instances");
  return at && estate.instance({at->project(), at->location(), at->name()});
}

// How `now` differs from what `meant` routes like.
void compareRoute(const std::string& name, const ResourceDocument& now,
                  const ResourceDocument& meant, const char* meantAs,
                  std::vector<std::string>& found) {
  for (const std::string& field : routes::routingDifferences(now, meant))
    found.push_back("the route " + name + " has " + field + " " +
                    shown(comparable(memberOrNull(now, field))) + " (" + meantAs + " " +
                    shown(comparable(memberOrNull(meant, field))) + ")");
}

// The static routes of `network`, by name: what the API's per-network limits count.
std::set<std::string> staticRoutesOf(const Estate& estate, const NetworkKey& network) {
  std::set<std::string> names;
  for (const Route& route : estate.routes)
    if (route.network == network && !route.derived()) names.insert(route.name);
  return names;
}

// The static routes of `network` and of each network in the estate it is peered with ACTIVE:
// the peering group that the API's limit counts (peers outside the estate are not counted).
std::size_t peeringGroupRoutes(const Estate& estate, const NetworkKey& network) {
  std::size_t count = staticRoutesOf(estate, network).size();
  if (const Network* held = estate.network(network))
    for (const Peering& peering : held->peerings)
      if (peering.state == "ACTIVE") count += staticRoutesOf(estate, peering.network).size();
  return count;
}

// A problem when the most static routes the stage holds at once passes `limit` and more than
// before it.
void checkLimit(const std::string& where, std::size_t before, std::size_t most, long long limit,
                const std::string& what, Findings& found) {
  if (most > before && most > static_cast<std::size_t>(limit))
    found.problems.push_back(where + ": the stage would hold " + std::to_string(most) +
                             " static routes " + what + ", past the API's default limit of " +
                             std::to_string(limit) +
                             " (the operation would end in QUOTA_EXCEEDED)");
}

void predictDeletion(Estate& estate, const std::string& project, const std::string& name) {
  std::erase_if(estate.routes, [&](const Route& route) {
    return route.network.project == project && route.name == name;
  });
}

void predictCreation(Estate& estate, ResourceDocument body) {
  Route route = Route::of(std::move(body));
  predictDeletion(estate, route.network.project, route.name);
  estate.routes.push_back(std::move(route));
}

// The routes a switch of the stage `entries` creates in `spoke`, as the library builds them; an
// entry the switch logs and skips (its body cannot be built, its instance is not there) has none.
std::vector<ResourceDocument> createdBodies(const Estate& estate, const NetworkKey& spoke,
                                            const ResourceDocument& entries) {
  std::vector<ResourceDocument> bodies;
  const Network* network = estate.network(spoke);
  if (!network) return bodies;
  for (const ResourceDocument& entry : arrayOrEmpty(entries, "add")) {
    ResourceDocument body;
    try {
      body = routes::createdRouteBody(spoke.project, spoke.network, entry);
    } catch (const Error&) {
      continue;
    }
    const Instance* instance =
        estate.instance({spoke.project, textOf(body["zone"]), textOf(body["nextHopInstance"])});
    if (!instance) continue;
    body["nextHopInstance"] = memberOrNull(instance->document, "selfLink");
    body.erase("zone");
    body["network"] = network->selfLink;
    bodies.push_back(std::move(body));
  }
  return bodies;
}

class RoutesPart : public PartType {
 public:
  explicit RoutesPart(std::string stage) : stage_(std::move(stage)) {}

  void checkSwitch(const Spoke& spoke, Findings& found) const override {
    const ResourceDocument entries = YamlContext{}.getContext("manage_routes")[stage_];
    std::string where = "manage_routes." + stage_;
    // A run of this stage left half-way deleted some routes and created some: not done again.
    const ResourceDocument& earlierDeleted = RevertRecord{}.deletedRoutes(stage_, spoke.key);
    const ResourceDocument& earlierAdded = RevertRecord{}.addedRoutes(stage_, spoke.key);
    std::vector<std::string> deleted;
    for (const ResourceDocument& name : arrayOrEmpty(entries, "delete")) {
      if (!name.is_string()) continue;  // refused by the file's check
      deleted.push_back(textOf(name));
      auto recorded = std::find_if(
          earlierDeleted.begin(), earlierDeleted.end(),
          [&](const ResourceDocument& route) { return memberOrNull(route, "name") == name; });
      const ResourceDocument* now = route(spoke, textOf(name));
      if (!now && recorded == earlierDeleted.end())
        found.problems.push_back(where + ".delete: the route " + textOf(name) +
                                 " does not exist in " + spoke.project);
      else if (now &&
               (recorded == earlierDeleted.end() || !routes::replacedByTool(*now, *recorded)))
        found.plan.routesToDelete.push_back(textOf(name));
    }
    const NetworkKey spokeKey = *NetworkKey::parse(spoke.key);
    const std::vector<SubnetRange> subnets = subnetRangesOf(spoke.before, spokeKey);
    std::size_t k = 0;
    for (const ResourceDocument& add : arrayOrEmpty(entries, "add")) {
      std::string at = where + ".add[" + std::to_string(k++) + "]";
      checkGateway(spoke, at, add, found);
      checkSubnetConflict(subnets, at, add, found);
      std::string name;
      try {
        name = routes::createdRouteName(spoke.project, textOf(Globals::vpc["vpc_name"]), add);
      } catch (const Error&) {
        continue;  // the name would come from a value the file's check refused
      }
      const ResourceDocument* taken = route(spoke, name);
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
    warnOfDroppedTags(spoke, where, entries, found);
    checkLimits(spoke.before, spokeKey, where, found);
  }

  void checkRevert(const Spoke& spoke, Findings& found) const override {
    for (const ResourceDocument& name : RevertRecord{}.addedRoutes(stage_, spoke.key))
      found.plan.routesToDelete.push_back(textOf(name));
    std::size_t i = 0;
    for (const ResourceDocument& route : RevertRecord{}.deletedRoutes(stage_, spoke.key)) {
      std::string network = networkKeyOf(memberOrNull(route, "network"));
      const std::string where = RevertStore::placeOfDeletedRoute(stage_, spoke.key, i);
      if (network != spoke.key)
        found.problems.push_back(where + ": the route " + textOf(memberOrNull(route, "name")) +
                                 " is on " + (network.empty() ? "no network" : network) +
                                 ", not on " + spoke.key);
      else if (has(route, "nextHopInstance") &&
               !instanceExists(spoke.estate, route["nextHopInstance"]))
        found.problems.push_back(where + ": the instance " + textOf(route["nextHopInstance"]) +
                                 " of the route " + textOf(memberOrNull(route, "name")) +
                                 " does not exist");
      else
        found.plan.routesToCreate.push_back(textOf(memberOrNull(route, "name")));
      ++i;
    }
  }

  void run(bool switching) const override {
    if (switching) return GcpLib::manageSwitchRoute(true, stage_);
    GcpLib::restoreRoute(*Globals::service, stage_);
  }

  // The routes of the spoke's project that the prediction changes.
  void compare(const Estate& before, const Estate& meant, const Estate& now,
               const NetworkKey& spoke, bool switching,
               std::vector<std::string>& found) const override {
    std::vector<std::string> names;
    for (const Estate* estate : {&before, &meant})
      for (const Route& route : estate->routes)
        if (route.network.project == spoke.project && !contains(names, route.name)) {
          const Route *was = before.route(spoke.project, route.name),
                      *will = meant.route(spoke.project, route.name);
          if (!was || !will || *was != *will) names.push_back(route.name);
        }
    for (const std::string& name : names) {
      const Route *will = meant.route(spoke.project, name), *is = now.route(spoke.project, name);
      if (will && !is)
        found.push_back("the route " + name + " is missing");
      else if (is && !will)
        found.push_back("the route " + name + " is still there");
      else if (is && will)
        compareRoute(name, is->document, will->document, switching ? "meant" : "recorded", found);
    }
  }

  void predict(Estate& estate, const NetworkKey& spoke, bool switching) const override {
    predictStep(estate, spoke, switching, true);
    predictStep(estate, spoke, switching, false);
  }

  // A switch deletes, then creates (creates, then deletes what a new route does not replace by
  // name, under --make-before-break); a revert removes the tool's routes, then puts the deleted
  // ones back.
  std::string firstStepLabel(bool switching) const override {
    return switching && Globals::makeBeforeBreak ? "between adds and deletes of routes " + stage_
                                                 : "between deletes and adds of routes " + stage_;
  }

  void predictStep(Estate& estate, const NetworkKey& spoke, bool switching,
                   bool first) const override {
    if (!switching) {
      const RevertRecord record{};
      if (first)
        for (const ResourceDocument& added : record.addedRoutes(stage_, spoke.text()))
          std::erase_if(estate.routes, [&](const Route& route) {
            return route.network.project == spoke.project && route.name == textOf(added) &&
                   routes::createdByTool(route.document);
          });
      else
        for (const ResourceDocument& recorded : record.deletedRoutes(stage_, spoke.text()))
          predictCreation(estate, recorded);
      return;
    }
    const ResourceDocument entries = YamlContext{}.getContext("manage_routes")[stage_];
    const ResourceDocument& deletions = arrayOrEmpty(entries, "delete");
    std::vector<ResourceDocument> bodies = createdBodies(estate, spoke, entries);
    auto replacesByName = [&](const ResourceDocument& body) {
      return std::find(deletions.begin(), deletions.end(), body["name"]) != deletions.end();
    };
    // Deletes first, then every creation; under make-before-break, first the creations that
    // replace no route by name, then the deletes and the creations that do.
    const bool makeBeforeBreak = Globals::makeBeforeBreak;
    if (makeBeforeBreak != first)
      for (const ResourceDocument& name : deletions)
        predictDeletion(estate, spoke.project, textOf(name));
    for (ResourceDocument& body : bodies)
      if (makeBeforeBreak ? replacesByName(body) != first : !first)
        predictCreation(estate, std::move(body));
  }

 private:
  // The API refuses a static route whose destination equals or fits in a subnet range of its
  // network or of an ACTIVE peer, as the spoke holds them when the stage runs.
  static void checkSubnetConflict(const std::vector<SubnetRange>& subnets, const std::string& at,
                                  const ResourceDocument& add, Findings& found) {
    const ResourceDocument& cidr = memberOrNull(add, "cidr");
    Ipv4Network::Parsed destination = Ipv4Network::parse(cidr.is_string() ? textOf(cidr) : "");
    if (!destination.ok()) return;  // refused by the file's check
    for (const SubnetRange& subnet : subnets)
      if (Ipv4Network::Parsed range = Ipv4Network::parse(subnet.range);
          range.ok() && range.network.contains(destination.network)) {
        found.problems.push_back(at + ": the API would refuse a route to " + textOf(cidr) +
                                 ": it equals or fits in " + subnet.described());
        return;
      }
  }

  // The per-network limits, at the most routes the stage holds at once: after its deletes when
  // it deletes first, with the old and the new routes when it makes before it breaks.
  void checkLimits(const Estate& before, const NetworkKey& spoke, const std::string& where,
                   Findings& found) const {
    Estate after = before;
    try {
      predict(after, spoke, true);
    } catch (const Error&) {
      return;  // the checks above name the entry
    }
    std::set<std::string> routes = staticRoutesOf(before, spoke),
                          left = staticRoutesOf(after, spoke);
    std::size_t was = routes.size(), most = std::max(was, left.size());
    std::size_t groupWas = peeringGroupRoutes(before, spoke),
                groupMost = std::max(groupWas, peeringGroupRoutes(after, spoke));
    if (Globals::makeBeforeBreak) {
      routes.insert(left.begin(), left.end());
      groupMost += routes.size() - most;
      most = routes.size();
    }
    checkLimit(where, was, most, api_limits::kStaticRoutesPerNetwork, "in " + spoke.text(), found);
    checkLimit(where, groupWas, groupMost, api_limits::kStaticRoutesPerPeeringGroup,
               "in the peering group of " + spoke.text(), found);
  }

  std::string stage_;
};

}  // namespace

std::unique_ptr<PartType> routesPart(const std::string& stage) {
  return std::make_unique<RoutesPart>(stage);
}

}  // namespace tolmi_gcp::parts
