#pragma once

#include <iosfwd>

#include "cli/commands.hpp"
#include "cli/output.hpp"

namespace tolmi_gcp::cli {

// The routers parts of the spokes of `in.configs`, which share routers, in one process, so that
// each router gets one patch carrying all of their changes: each spoke's run as a run of its own
// would do it (its check, its revert file, its record written before the change, its read-back),
// in the order of the files (backwards for a revert), with its patches held (HeldRouterPatches);
// then the held patches, one per router, each read back; then each part marked "switched"
// ("reverted") in its spoke's revert file. When a spoke's run does not end well, nothing is sent:
// the parts run so far stay "switching" ("reverting") with their records, which take back
// nothing that was not sent. Each spoke's lines are a block headed by it on `text` and on the
// notes; JSON Lines events carry "spoke". Returns the exit status.
int runRoutersTogether(const Invocation& in, Output& output, std::ostream& text,
                       std::ostream* terminal);

}  // namespace tolmi_gcp::cli
