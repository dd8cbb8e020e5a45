#pragma once

#include "cli/setup.hpp"
#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::cli {

// What `discover --output json` writes, read and only read: the file's project's networks and the
// transit networks, each with its subnetworks, its routes (name, destination, priority, tags,
// next hop) and its peerings; and the routers, with their BGP settings and peers, of each region
// these networks have subnetworks in and each region the file names a transit router in; and the
// ranges the spoke would advertise, by region, as `spokeAdvertisements` gives them.
ResourceDocument estateDocument(const Setup& setup);

// The ranges the spoke would have the transit routers advertise, for each region it has
// subnetworks in, in the order of its subnetworks: {"us-east1": ["10.0.0.0/20", ...], ...}. The
// spoke's GKE ranges are those of Globals::routeInfo, as GcpLib::listRouteTable leaves it.
ResourceDocument spokeAdvertisements(const Setup& setup);

}  // namespace tolmi_gcp::cli
