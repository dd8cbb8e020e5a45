#include "tolmi_gcp/probes.hpp"

#include <algorithm>

#include "tolmi_gcp/core/YamlContext.hpp"

namespace tolmi_gcp {

std::vector<Probe> probesOfRun(const Estate& estate) {
  const EstateScope scope = EstateScope::of(YamlContext::context());
  const NetworkKey& spoke = scope.spoke;
  std::vector<Probe> probes;
  auto ask = [&](const NetworkKey& from, const std::string& destination) {
    Probe probe{from, destination};
    if (!destination.empty() && std::find(probes.begin(), probes.end(), probe) == probes.end())
      probes.push_back(std::move(probe));
  };
  for (const NetworkKey& transit : scope.transits)
    for (const SubnetRange& subnet : subnetRangesOf(estate, transit))
      if (subnet.network != spoke) ask(spoke, subnet.range);
  for (const Route& route : estate.routes)
    if (route.network == spoke && !route.derived()) ask(spoke, route.destRange);
  const ResourceDocument stages = YamlContext{}.getContext("manage_routes");
  for (const auto& [stage, entries] : stages.items()) {
    for (const ResourceDocument& entry : arrayOrEmpty(entries, "add"))
      if (const ResourceDocument& cidr = memberOrNull(entry, "cidr"); cidr.is_string())
        ask(spoke, cidr.get<std::string>());
    for (const ResourceDocument& name : arrayOrEmpty(entries, "delete"))
      if (const Route* route =
              name.is_string() ? estate.route(spoke.project, name.get<std::string>()) : nullptr)
        ask(spoke, route->destRange);
  }
  ask(spoke, "0.0.0.0/0");
  for (const NetworkKey& transit : scope.transits)
    for (const SubnetRange& subnet : subnetRangesOf(estate, spoke))
      if (subnet.peering.empty()) ask(transit, subnet.range);
  return probes;
}

}  // namespace tolmi_gcp
