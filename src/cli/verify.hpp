#pragma once

#include <string>
#include <vector>

#include "cli/setup.hpp"
#include "tolmi_gcp/res/revert_record.hpp"

namespace tolmi_gcp::cli {

// Reads back, and only reads, what `part` changed and compares it with what the part meant to do:
// after a switch, the peerings to the transit networks gone at both ends, the stage's routes to
// delete gone and its routes to create routing as configured, the routers' advertisements as
// patched; after a revert, the recorded peerings, routes and router settings back and the tool's
// routes gone. Returns one line per difference, naming the resource; empty when all is as meant.
std::vector<std::string> verifyPart(const Setup& setup, const Part& part, bool switching);

}  // namespace tolmi_gcp::cli
