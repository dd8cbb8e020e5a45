#pragma once

#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/output.hpp"

namespace tolmi_gcp::cli {

// What a wave's files contradict between them, files alone: two files for one spoke, a route that
// two files create or delete in one project, a router range or group that one file adds and
// another removes. Each line names both files.
std::vector<std::string> waveConflicts(const std::vector<std::string>& configs);

// A switch or revert of the spokes of several migration files (`in.configs`) as one run. Checked
// first between the files, then each by a dry run of its own; one plan, one question, then each
// spoke's parts (peerings, routes, routers; backwards for a revert) in order, each by the tool in
// a process of its own writing the spoke's own revert file, different spokes' parts at once where
// the API lets them be (see WaveSchedule), at most `in.maxChangesInFlight` at once. Each part's
// lines come out as a block headed by the spoke; JSON Lines events gain "spoke". Returns the exit
// status.
int runWave(const Invocation& in, Output& output, std::ostream& text);

}  // namespace tolmi_gcp::cli
