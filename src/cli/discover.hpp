#pragma once

#include "cli/output.hpp"
#include "cli/setup.hpp"

namespace tolmi_gcp::cli {

// Reports the file's project networks, the spoke's peerings, the transit routers the file names
// and the ranges the spoke would advertise. Returns the exit status; `errorsBefore` is the count
// of library errors logged before this run.
int discover(const Setup& setup, Output& output, int errorsBefore);

}  // namespace tolmi_gcp::cli
