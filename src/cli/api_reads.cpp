#include "cli/api_reads.hpp"

namespace tolmi_gcp::cli {

ResourceLink subnetworkLink(const ResourceDocument& network, const ResourceDocument& link) {
  return ResourceLink::of(link, ResourceLink::Scope::kRegion, "subnetworks",
                          "a subnetwork of the network " + textOf(memberOrNull(network, "name")));
}

}  // namespace tolmi_gcp::cli
