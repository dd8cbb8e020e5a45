#pragma once

#include <optional>
#include <string>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/network_key.hpp"
#include "tolmi_gcp/resource_link.hpp"

namespace tolmi_gcp::cli {

// The resource, or nullopt when the API says it does not exist; other failures are thrown.
std::optional<ResourceDocument> readIfExists(const Request& request);

// The link `link` of `network`'s "subnetworks"; throws Error naming both when it is not one.
ResourceLink subnetworkLink(const ResourceDocument& network, const ResourceDocument& link);

// The network a network link in an API answer names; throws Error naming `what` the link is
// ("the network of the router r1") when it is not one.
NetworkKey networkOf(const ResourceDocument& link, const std::string& what);

// "project::network" of a network link, "" when `link` is not one: for the revert record, whose
// links the checks report on as findings.
std::string networkKeyOf(const ResourceDocument& link);

// The name of the peering of `network` that leads to the network `peer` ("project::network"), ""
// when there is none.
std::string peeringTo(const ResourceDocument& network, const std::string& peer);

}  // namespace tolmi_gcp::cli
