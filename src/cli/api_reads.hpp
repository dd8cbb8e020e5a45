#pragma once

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/resource_link.hpp"

namespace tolmi_gcp::cli {

// The link `link` of `network`'s "subnetworks"; throws Error naming both when it is not one.
ResourceLink subnetworkLink(const ResourceDocument& network, const ResourceDocument& link);

}  // namespace tolmi_gcp::cli
