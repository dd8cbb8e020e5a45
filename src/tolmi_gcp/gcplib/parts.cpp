// The parts of a migration: what they share, and the calls that hand each part to its kind.

#include "tolmi_gcp/parts.hpp"

#include <algorithm>
#include <map>
#include <set>

#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib/part_type.hpp"
#include "tolmi_gcp/res/Globals.hpp"
#include "tolmi_gcp/res/revert_record.hpp"
#include "tolmi_gcp/resource_link.hpp"

namespace tolmi_gcp {

namespace parts {

std::string networkKeyOf(const ResourceDocument& link) {
  std::optional<ResourceLink> network =
      ResourceLink::parse(link, ResourceLink::Scope::kGlobal, "networks");
  return network ? NetworkKey{network->project(), network->name()}.text() : "";
}

std::string peeringTo(const Network& network, const std::string& peer) {
  for (const Peering& peering : network.peerings)
    if (peering.network.text() == peer) return peering.name;
  return "";
}

std::vector<std::string> transitKeys() {
  std::vector<std::string> keys;
  for (const ResourceDocument& transit : YamlContext{}.getContext("transit_vpcs"))
    if (const std::optional<NetworkKey> network = transitNetwork(transit))
      keys.push_back(network->text());
  return keys;
}

ResourceDocument comparable(const ResourceDocument& value) {
  return value.is_array() && value.empty() ? ResourceDocument() : value;
}

std::string shown(const ResourceDocument& value) {
  return value.is_null() ? "nothing" : jsonText(value);
}

}  // namespace parts

namespace {

std::unique_ptr<parts::PartType> typeOf(const Part& part) {
  if (part.kind == Part::kPeerings) return parts::peeringsPart();
  if (part.kind == Part::kRoutes) return parts::routesPart(part.stage);
  return parts::routersPart();
}

// The spoke of the migration file.
NetworkKey spokeOfRun() {
  return {textOf(YamlContext{}.getContext("project_id")),
          textOf(YamlContext{}.getContext("vpc_name"))};
}

// What `meant` changes of `before`: the networks whose peerings, the routes of the spoke's
// project and the routers that differ.
EstateRefresh changedBetween(const Estate& before, const Estate& meant, const NetworkKey& spoke) {
  EstateRefresh what;
  for (const Network& network : meant.networks)
    if (const Network* was = before.network(network.key());
        !was || was->peerings != network.peerings)
      what.networks.push_back(network.key());
  auto routesOf = [&](const Estate& estate) {
    std::vector<const Route*> routes;
    for (const Route& route : estate.routes)
      if (route.network.project == spoke.project) routes.push_back(&route);
    return routes;
  };
  const std::vector<const Route*> were = routesOf(before), will = routesOf(meant);
  if (!std::equal(were.begin(), were.end(), will.begin(), will.end(),
                  [](const Route* a, const Route* b) { return *a == *b; }))
    what.routesOf = spoke.project;
  for (const Router& router : meant.routers) {
    const RouterKey key{router.network, router.region, router.name};
    if (const Router* was = before.router(key); !was || *was != router) what.routers.push_back(key);
  }
  return what;
}

// How many changes make `to` of `from`: peering ends created or removed, routes created or
// deleted (a route replaced under its name is both), routers patched.
std::size_t changesBetween(const Estate& from, const Estate& to) {
  std::size_t changes = 0;
  auto peeringsOf = [](const Estate& estate) {
    std::set<std::pair<std::string, std::string>> ends;
    for (const Network& network : estate.networks)
      for (const Peering& peering : network.peerings)
        ends.insert({network.key().text(), peering.name});
    return ends;
  };
  auto routesOf = [](const Estate& estate) {
    std::map<std::pair<std::string, std::string>, const Route*> routes;
    for (const Route& route : estate.routes)
      if (!route.derived()) routes[{route.network.project, route.name}] = &route;
    return routes;
  };
  const auto endsFrom = peeringsOf(from), endsTo = peeringsOf(to);
  for (const auto& end : endsFrom) changes += !endsTo.contains(end);
  for (const auto& end : endsTo) changes += !endsFrom.contains(end);
  const auto routesFrom = routesOf(from), routesTo = routesOf(to);
  auto sameRouting = [](const Route& a, const Route& b) {
    return a.destRange == b.destRange && a.priority == b.priority && a.tags == b.tags &&
           a.nextHop.kind == b.nextHop.kind && a.nextHop.target == b.nextHop.target;
  };
  for (const auto& [name, route] : routesFrom) {
    auto now = routesTo.find(name);
    changes += now == routesTo.end() ? 1 : sameRouting(*route, *now->second) ? 0 : 2;
  }
  for (const auto& [name, route] : routesTo) changes += !routesFrom.contains(name);
  for (const Router& router : to.routers)
    if (const Router* was = from.router({router.network, router.region, router.name});
        was && was->bgp() != router.bgp())
      ++changes;
  return changes;
}

// The state before each of `parts` in `states`: the first, then each one after a part.
std::vector<const Estate*> statesBefore(const std::vector<RunState>& states,
                                        const std::vector<Part>& parts) {
  std::vector<const Estate*> before;
  for (const RunState& state : states)
    if (!state.between && before.size() < parts.size()) before.push_back(&state.estate);
  if (states.empty() || before.size() != parts.size())
    throw Error("the states given are not those of a run of these " + std::to_string(parts.size()) +
                " parts");
  return before;
}

parts::Spoke spokeIn(const Estate& estate, const Estate& before) {
  const NetworkKey key = spokeOfRun();
  return {key.project, key.text(), estate, before};
}

}  // namespace

EstateScope scopeOfRun(bool switching) {
  EstateScope scope = EstateScope::of(YamlContext::context());
  if (switching) return scope;
  // A revert reads what the record holds for the spoke: a transit network or router the file
  // lists and the record does not is not the revert's to read, nor to fail on.
  const RevertRecord record{};
  const std::string spoke = scope.spoke.text();
  const ResourceDocument& pairs = record.peeringPairs(spoke);
  std::erase_if(scope.transits, [&](const NetworkKey& transit) {
    return !pairs.is_array() ||
           std::none_of(pairs.begin(), pairs.end(), [&](const ResourceDocument& pair) {
             return parts::networkKeyOf(memberOrNull(memberOrNull(pair, "localPeeringProperties"),
                                                     "network")) == transit.text();
           });
  });
  const ResourceDocument& routers = record.routerEntries(spoke);
  std::erase_if(scope.routers,
                [&](const RouterKey& router) { return !has(routers, router.text()); });
  scope.instances.clear();
  for (const std::string& stage : record.stagesOf(spoke))
    for (const ResourceDocument& route : record.deletedRoutes(stage, spoke)) {
      std::optional<ResourceLink> instance = ResourceLink::parse(
          memberOrNull(route, "nextHopInstance"), ResourceLink::Scope::kZone, "instances");
      if (instance)
        scope.instances.push_back({instance->project(), instance->location(), instance->name()});
    }
  return scope;
}

Findings checkSwitch(const std::vector<RunState>& states, const std::vector<Part>& parts) {
  const std::vector<const Estate*> before = statesBefore(states, parts);
  const Estate& estate = states.front().estate;
  std::vector<std::unique_ptr<parts::PartType>> types;
  std::vector<parts::Spoke> spokes;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    types.push_back(typeOf(parts[i]));
    spokes.push_back(spokeIn(estate, *before[i]));
  }
  Findings found;
  if (std::any_of(types.begin(), types.end(),
                  [](const auto& type) { return type->checksTransits(); })) {
    std::size_t i = 0;
    for (const ResourceDocument& entry : YamlContext{}.getContext("transit_vpcs")) {
      std::string where = "transit_vpcs[" + std::to_string(i++) + "]";
      const std::optional<NetworkKey> key = transitNetwork(entry);
      if (!key) continue;
      const Network* network = estate.network(*key);
      if (!network) {
        found.problems.push_back(where + ".vpc_name: the network " + key->text() +
                                 " does not exist");
        continue;
      }
      for (std::size_t j = 0; j < types.size(); ++j)
        types[j]->checkSwitchOn({where, *key, *network, entry}, spokes[j], found);
    }
  }
  for (std::size_t j = 0; j < types.size(); ++j) types[j]->checkSwitch(spokes[j], found);
  return found;
}

Findings checkRevert(const std::vector<RunState>& states, const std::vector<Part>& parts) {
  const std::vector<const Estate*> before = statesBefore(states, parts);
  Findings found;
  for (std::size_t i = 0; i < parts.size(); ++i)
    typeOf(parts[i])->checkRevert(spokeIn(states.front().estate, *before[i]), found);
  return found;
}

void runPart(const Part& part, bool switching) { typeOf(part)->run(switching); }

ReadBack readBack(const Estate& before, const Estate& meant, const Part& part, bool switching) {
  const std::unique_ptr<parts::PartType> type = typeOf(part);
  const NetworkKey spoke = spokeOfRun();
  ReadBack back{before, {}};
  try {
    rereadEstate(*Globals::service, back.now, changedBetween(before, meant, spoke));
    type->compare(before, meant, back.now, spoke, switching, back.differences);
  } catch (const std::exception& failure) {
    back.differences.push_back(std::string("reading back failed: ") + failure.what());
  }
  return back;
}

std::vector<RunState> statesOfRun(const Estate& before, const std::vector<Part>& parts,
                                  bool switching) {
  std::vector<RunState> states{{"before", before, 0}};
  const NetworkKey spoke = spokeOfRun();
  auto add = [&](std::string label, Estate estate, bool between) {
    std::size_t changes = changesBetween(states.back().estate, estate);
    states.push_back({std::move(label), std::move(estate), changes, between});
  };
  for (const Part& part : parts) {
    const std::unique_ptr<parts::PartType> type = typeOf(part);
    Estate estate = states.back().estate;
    try {
      if (std::string between = type->firstStepLabel(switching); !between.empty()) {
        type->predictStep(estate, spoke, switching, true);
        Estate half = estate;
        type->predictStep(estate, spoke, switching, false);
        // An instant between the steps only when both change something.
        if (changesBetween(states.back().estate, half) && changesBetween(half, estate))
          add(std::move(between), std::move(half), true);
      } else {
        type->predict(estate, spoke, switching);
      }
    } catch (const Error&) {
      estate = states.back().estate;  // the check names the entry it trips over
    }
    add("after " + part.label(), std::move(estate), false);
  }
  return states;
}

Estate predicted(const Estate& before, const Part& part, bool switching) {
  Estate after = before;
  typeOf(part)->predict(after, spokeOfRun(), switching);
  return after;
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

}  // namespace tolmi_gcp
