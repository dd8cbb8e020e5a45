#pragma once

#include <string>
#include <vector>

#include "cli/revert_store.hpp"
#include "cli/setup.hpp"

namespace tolmi_gcp::cli {

// What a switch of `parts` would trip over, found by reading only, each problem named by the key
// of the migration file it comes from: transit networks and routers that do not exist, routes to
// delete that are not there, instances of routes to create that are not there.
std::vector<std::string> switchProblems(const Setup& setup, const std::vector<Part>& parts);

}  // namespace tolmi_gcp::cli
