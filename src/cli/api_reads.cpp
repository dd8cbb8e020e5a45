#include "cli/api_reads.hpp"

#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/network_key.hpp"

namespace tolmi_gcp::cli {

std::optional<ResourceDocument> readIfExists(const Request& request) {
  try {
    return request.execute();
  } catch (const HttpError& failure) {
    if (failure.status() != 404) throw;
    return std::nullopt;
  }
}

ResourceLink subnetworkLink(const ResourceDocument& network, const ResourceDocument& link) {
  return ResourceLink::of(link, ResourceLink::Scope::kRegion, "subnetworks",
                          "a subnetwork of the network " + textOf(memberOrNull(network, "name")));
}

NetworkKey networkOf(const ResourceDocument& link, const std::string& what) {
  ResourceLink network = ResourceLink::of(link, ResourceLink::Scope::kGlobal, "networks", what);
  return {network.project(), network.name()};
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

}  // namespace tolmi_gcp::cli
