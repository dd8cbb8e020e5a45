#pragma once

#include "cli/setup.hpp"
#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::cli {

// What `discover --output json` writes, read and only read: the file's project's networks and the
// transit networks, each with its subnetworks, its routes (name, destination, priority, tags,
// next hop) and its peerings; and the routers, with their BGP settings and peers, of each region
// these networks have subnetworks in and each region the file names a transit router in.
ResourceDocument readEstate(const Setup& setup);

}  // namespace tolmi_gcp::cli
