#pragma once

// Internal to the library.

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::peering {

// The peering that re-creates a recorded peering entry: its name, network and settings, a setting
// the entry lacks taking the value the API gives it by default. Two entries with equal results
// peer alike. Throws for an entry without a text name or network.
ResourceDocument createdPeering(const ResourceDocument& entry);

}  // namespace tolmi_gcp::peering
