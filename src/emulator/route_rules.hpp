#pragma once

// What the API refuses about routes and peerings beyond each resource's own fields: a static route
// may not take over a subnet range of its network or of an ACTIVE peer, peered networks may not
// clash that way, and a network's static routes and peerings count against per-network quotas.

#include <optional>
#include <string>

#include "emulator/emulator.hpp"
#include "emulator/store.hpp"

namespace tolmi_gcp::emulator {

// 400 invalid when the destination of `route`, a complete route document, equals or fits in a
// subnet range of its network or of an ACTIVE peer of that network.
void checkRouteDestination(const Store& store, const ResourceDocument& route);

// Why `network` and `peer` cannot be ACTIVE peers, in the API's words from the side of
// `network`, or nullopt when they can: a subnet range of one overlaps one of the other, or a
// static route of one equals or fits in a subnet range of the other.
std::optional<std::string> peeringConflict(const Store& store, const ResourceDocument& network,
                                           const ResourceDocument& peer);

// The error the operation of a change meets when it would pass a per-network quota (the API's
// QUOTA_EXCEEDED), or nullopt while the quotas allow it: a static route more on `network`, or a
// peering more on `network`.
std::optional<ResourceDocument> routeQuotaRefusal(const Store& store, const QuotaOptions& quotas,
                                                  const ResourceDocument& network);
std::optional<ResourceDocument> peeringQuotaRefusal(const QuotaOptions& quotas,
                                                    const ResourceDocument& network);

// Throws ConfigError naming the element of `topology` that breaks one of the rules above in the
// store built from it.
void checkTopologyRules(const Store& store, const ResourceDocument& topology);

}  // namespace tolmi_gcp::emulator
