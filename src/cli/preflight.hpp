#pragma once

#include <string>
#include <vector>

#include "cli/setup.hpp"
#include "tolmi_gcp/res/revert_record.hpp"

namespace tolmi_gcp::cli {

// What a run will change, by name, as the check before the first change read it.
struct Plan {
  std::vector<std::string> peeringEnds, routesToDelete, routesToCreate, routers;

  // "plan: remove 4 peering ends (a, b, c, d), delete 1 route (r), ..."; "plan: no change".
  std::string line(bool switching) const;
};

// What a check before the first change found, each entry named by where it comes from.
struct Findings {
  Plan plan;
  std::vector<std::string> problems;  // refuse the run
  std::vector<std::string> warnings;  // what the library skips on purpose: shown, allowed
};

// What a switch of `parts` would trip over, found by reading only, each named by the key of the
// migration file it comes from: transit networks and routers that do not exist, routes to
// delete that are not there, instances of routes to create that are not there or cannot carry
// the route's traffic (IP forwarding off, not RUNNING, no interface in the spoke), names of routes
// to create taken by routes this tool did not make, peerings to remove missing at one end. Warns
// of routers the library leaves alone (on another network, in DEFAULT advertise mode) and of
// tagged routes that the stage replaces by routes for their destination without their tags.
Findings switchFindings(const Setup& setup, const std::vector<Part>& parts);

// The entries of the revert record that a revert of `parts` would act on but the migration file
// does not scope (pairs other than between the spoke and a listed transit network, routers the
// file does not list, recorded routes of another network) or that cannot be restored (a transit
// network, a router or the instance of a route to re-create that does not exist), found by
// reading only. Each is named by its place in the record.
Findings revertFindings(const Setup& setup, const std::vector<Part>& parts);

}  // namespace tolmi_gcp::cli
