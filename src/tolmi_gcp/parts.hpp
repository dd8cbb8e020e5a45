#pragma once

#include <string>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/estate.hpp"
#include "tolmi_gcp/part.hpp"

// What each part of a migration does, for switch and for revert: the check before the first
// change, the run through the library's operations, and the read-back after it. They work on the
// library's context (the migration file), Globals (the API handle, the spoke) and the revert
// record.
namespace tolmi_gcp {

class ComputeService;

// The estate a run's checks, predictions and read-backs work on: what the migration file scopes,
// and for a revert the instances that the spoke's recorded routes lead to. Throws ConfigError
// like EstateScope::of.
EstateScope scopeOfRun(bool switching);

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

// A state a run goes through, as foreseen before its first change.
struct RunState {
  // "before", "after peerings", "between deletes and adds of routes stage-1" (a stage's instant
  // between its two steps; "between adds and deletes ..." under make-before-break), "after routes
  // stage-1", "after routers".
  std::string label;
  Estate estate;
  std::size_t changes = 0;  // the changes the run makes from the state before to this one
  bool between = false;     // a stage's instant between its steps, not the state after a part
};

// The states a switch or revert of `parts` goes through from `before`, each predicted from the one
// before it. A part whose prediction fails leaves the estate as it is (the check names what it
// trips over).
std::vector<RunState> statesOfRun(const Estate& before, const std::vector<Part>& parts,
                                  bool switching);

// What a switch of `parts` would trip over, found in `states` (statesOfRun of the estate read with
// scopeOfRun; each part is checked against the state before it), each named by
// the key of the migration file it comes from: transit networks and routers that do not exist,
// routes to delete that are not there, instances of routes to create that are not there or cannot
// carry the route's traffic (IP forwarding off, not RUNNING, no interface in the spoke), names of
// routes to create taken by routes this tool did not make, peerings to remove missing at one end.
// Warns of routers the library leaves alone (on another network, in DEFAULT advertise mode) and of
// tagged routes that the stage replaces by routes for their destination without their tags.
Findings checkSwitch(const std::vector<RunState>& states, const std::vector<Part>& parts);

// The entries of the revert record that a revert of `parts` would act on but the migration file
// does not scope (pairs other than between the spoke and a listed transit network, routers the
// file does not list, recorded routes of another network) or that cannot be restored (a transit
// network, a router or the instance of a route to re-create that does not exist), found in
// `states` as checkSwitch finds them. Each is named by its place in the record.
Findings checkRevert(const std::vector<RunState>& states, const std::vector<Part>& parts);

// Switches or reverts `part` through the library's operations; throws what they throw.
void runPart(const Part& part, bool switching);

// Patches `bgp` onto a router and waits for the change, as the routers part does: for patches
// that carry several spokes' changes at once. Throws OperationError when the change ends in error,
// and what the patch and its wait throw.
void patchRouterBgp(ComputeService& service, const std::string& project, const std::string& region,
                    const std::string& router, const ResourceDocument& bgp);

// The estate that a switch or revert of `part` would leave of `before`, the estate of the
// migration file read before it, found from the file, the revert record and `before` alone,
// sending no request (a dry run may call it). A switch removes the spoke's peerings to the
// transit networks at both ends, deletes the stage's routes to delete and creates its routes to
// create as the library names and builds them, and patches the listed routers' advertisements
// as the library would; a revert re-creates the recorded peering pairs at both ends (ACTIVE when
// both networks are there), puts the recorded deleted routes back and removes the tool's
// routes, and restores the routers' recorded settings or takes back this spoke's change alone.
// What the run skips after a failure (a route entry or a router it cannot change) stays as it is.
// A new route or peering comes last. The typed fields are the prediction; what the API derives
// itself is not predicted: the routes to subnetworks and over peerings stay as in `before`, and
// the document of a changed resource holds no field the API adds on creation (id,
// creationTimestamp). Throws Error for a record entry that the run too would stop at.
Estate predicted(const Estate& before, const Part& part, bool switching);

// What a read-back found.
struct ReadBack {
  Estate now;  // the estate before the part, with what the part changes as read again
  // One line per difference, naming the resource; "reading back failed: ..." when a read fails.
  std::vector<std::string> differences;
};

// Reads back, and only reads, what `part` changes (the peerings between the spoke and its transit
// networks, the spoke project's routes, the listed routers) into a copy of `before`, the estate
// before the part ran, and compares it with `meant`, what predicted(before, part, switching)
// gave: on each resource that `meant` changes, a peering, route or advertisement that is there
// but not meant, meant but not there, or there otherwise than meant is a difference. A failed
// read leaves `now` as `before`. Empty differences when all is as meant.
ReadBack readBack(const Estate& before, const Estate& meant, const Part& part, bool switching);

}  // namespace tolmi_gcp
