#pragma once

// Internal to the library.

#include <optional>
#include <string>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/network_key.hpp"
#include "tolmi_gcp/res/revert_record.hpp"

namespace tolmi_gcp::cloud_router {

// The "bgp" that a switch patches onto `router`, a router of the transit network `transit`, for
// its migration file entry `entry`; nullopt when the switch leaves the router alone (on another
// network, in DEFAULT advertise mode, nothing to change). Throws as the switch does.
std::optional<ResourceDocument> switchedBgp(const ResourceDocument& router,
                                            const NetworkKey& transit,
                                            const ResourceDocument& entry);

// How `routerBgp` differs from what `change` made of `recordedBgp` (what the router advertises for
// as long as nobody else changes it): "also 10.21.0.0/20, not 10.30.0.0/16"; nullopt when it
// advertises exactly that.
std::optional<std::string> changedSinceSwitch(const ResourceDocument& routerBgp,
                                              const ResourceDocument& recordedBgp,
                                              const RouterChange& change);

// The "bgp" that takes `change` back from `routerBgp` and keeps everything else as it stands: the
// ranges it added go, the ranges and groups it removed come back once each, where `recordedBgp`
// (the settings read before the switch) had them.
ResourceDocument restoredBgp(const ResourceDocument& routerBgp, const ResourceDocument& recordedBgp,
                             const RouterChange& change);

// A range as the removal lists write it ("10.1.1.1" is "10.1.1.1/32"); the text itself when it is
// not an IPv4 network.
std::string canonicalRange(const ResourceDocument& range);

}  // namespace tolmi_gcp::cloud_router
