// The parts of a migration: what they share, and the calls that hand each part to its kind.

#include "tolmi_gcp/parts.hpp"

#include <algorithm>

#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib/part_type.hpp"
#include "tolmi_gcp/res/Globals.hpp"
#include "tolmi_gcp/resource_link.hpp"

namespace tolmi_gcp {

namespace parts {

std::optional<ResourceDocument> readIfExists(const Request& request) {
  try {
    return request.execute();
  } catch (const HttpError& failure) {
    if (failure.status() != 404) throw;
    return std::nullopt;
  }
}

std::string networkKeyOf(const ResourceDocument& link) {
  std::optional<ResourceLink> network =
      ResourceLink::parse(link, ResourceLink::Scope::kGlobal, "networks");
  return network ? NetworkKey{network->project(), network->name()}.text() : "";
}

std::string peeringTo(const ResourceDocument& network, const std::string& peer) {
  for (const ResourceDocument& peering : arrayOrEmpty(network, "peerings")) {
    std::string name = textOf(memberOrNull(peering, "name"));
    if (networkOf(memberOrNull(peering, "network"), "the network of the peering " + name).text() ==
        peer)
      return name;
  }
  return "";
}

std::vector<std::string> transitKeys() {
  std::vector<std::string> keys;
  for (const ResourceDocument& transit : YamlContext{}.getContext("transit_vpcs"))
    if (const std::optional<NetworkKey> network = transitNetwork(transit))
      keys.push_back(network->text());
  return keys;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : separator) + item;
  return out;
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

}  // namespace

Findings checkSwitch(const Spoke& spoke, const std::vector<Part>& parts) {
  std::vector<std::unique_ptr<parts::PartType>> types;
  for (const Part& part : parts) types.push_back(typeOf(part));
  Findings found;
  if (std::any_of(types.begin(), types.end(),
                  [](const auto& type) { return type->checksTransits(); })) {
    std::size_t i = 0;
    for (const ResourceDocument& entry : YamlContext{}.getContext("transit_vpcs")) {
      std::string where = "transit_vpcs[" + std::to_string(i++) + "]";
      const std::optional<NetworkKey> key = transitNetwork(entry);
      if (!key) continue;
      std::optional<ResourceDocument> network =
          parts::readIfExists(Globals::service->networks().get(key->project, key->network));
      if (!network) {
        found.problems.push_back(where + ".vpc_name: the network " + key->text() +
                                 " does not exist");
        continue;
      }
      for (const auto& type : types)
        type->checkSwitchOn({where, *key, *network, entry}, spoke, found);
    }
  }
  for (const auto& type : types) type->checkSwitch(spoke, found);
  return found;
}

Findings checkRevert(const Spoke& spoke, const std::vector<Part>& parts) {
  Findings found;
  for (const Part& part : parts) typeOf(part)->checkRevert(spoke, found);
  return found;
}

void runPart(const Part& part, bool switching) { typeOf(part)->run(switching); }

std::vector<std::string> readBack(const Spoke& spoke, const Part& part, bool switching) {
  std::vector<std::string> found;
  try {
    typeOf(part)->readBack(spoke, switching, found);
  } catch (const std::exception& failure) {
    found.push_back(std::string("reading back failed: ") + failure.what());
  }
  return found;
}

Estate predicted(const Estate& before, const Part& part, bool switching) {
  Estate after = before;
  typeOf(part)->predict(after,
                        {textOf(YamlContext{}.getContext("project_id")),
                         textOf(YamlContext{}.getContext("vpc_name"))},
                        switching);
  return after;
}

std::string Plan::line(bool switching) const {
  std::vector<std::string> steps;
  // `what` is the singular: one name takes it as it is, more an "s".
  auto step = [&](const std::string& verb, const std::vector<std::string>& names,
                  const std::string& what) {
    if (!names.empty())
      steps.push_back(verb + " " + std::to_string(names.size()) + " " + what +
                      (names.size() == 1 ? "" : "s") + " (" + parts::joined(names, ", ") + ")");
  };
  step(switching ? "remove" : "re-create", peeringEnds, "peering end");
  step("delete", routesToDelete, "route");
  step("create", routesToCreate, "route");
  step("patch", routers, "router");
  return "plan: " + (steps.empty() ? std::string("no change") : parts::joined(steps, ", "));
}

}  // namespace tolmi_gcp
