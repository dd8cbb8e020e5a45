#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"

namespace tolmi_gcp::cli {

// The segments of a resource link after "projects/": {project, "global", "networks", name}.
// Throws Error when `link` is not a resource link.
std::vector<std::string> segmentsOf(const std::string& link);

// The resource, or nullopt when the API says it does not exist; other failures are thrown.
std::optional<ResourceDocument> readIfExists(const Request& request);

// The subnetworks.get of each of `network`'s links, in order, up to the first link that is not one:
// reads for a ReadAhead.
std::vector<Request> subnetworkReads(const ComputeService& api, const ResourceDocument& network);

// "project::network" of a network link, "" when `link` is not one.
std::string networkKeyOf(const ResourceDocument& link);

// The name of the peering of `network` that leads to the network `peer` ("project::network"), ""
// when there is none.
std::string peeringTo(const ResourceDocument& network, const std::string& peer);

}  // namespace tolmi_gcp::cli
