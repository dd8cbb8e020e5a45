#pragma once

// The handlers of the API methods served, one file per resource beside this header. A change is
// checked completely when it is asked for, before anything is changed, and made when its
// operation finishes.

#include "emulator/call.hpp"

namespace tolmi_gcp::emulator {

// networks.cpp
ResourceDocument listNetworks(const Call& call);
ResourceDocument getNetwork(const Call& call);
ResourceDocument addPeering(const Call& call);
ResourceDocument removePeering(const Call& call);
ResourceDocument listPeeringRoutes(const Call& call);
// subnetworks.cpp
ResourceDocument getSubnetwork(const Call& call);
// routes.cpp
ResourceDocument listRoutes(const Call& call);
ResourceDocument getRoute(const Call& call);
ResourceDocument insertRoute(const Call& call);
ResourceDocument deleteRoute(const Call& call);
// route_warnings.cpp: `route` with the warnings its next hop is due, as it is shown
ResourceDocument withWarnings(const Store& store, ResourceDocument route);
// instances.cpp
ResourceDocument getInstance(const Call& call);
// routers.cpp
ResourceDocument listRouters(const Call& call);
ResourceDocument aggregatedRouters(const Call& call);
ResourceDocument getRouter(const Call& call);
ResourceDocument patchRouter(const Call& call);
ResourceDocument getRouterStatus(const Call& call);
// operations.cpp: get and wait, which answers once the operation is done or the wait timed out
ResourceDocument getOperation(const Call& call);
ResourceDocument listGlobalOperations(const Call& call);

}  // namespace tolmi_gcp::emulator
