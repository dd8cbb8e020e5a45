#pragma once

#include <string>

#include "cli/output.hpp"
#include "cli/setup.hpp"

namespace tolmi_gcp::cli {

// `tolmi-gcp status`: for the spoke of the file, each part (peerings, each stage of the file or of
// the record, routers) with its state in the revert file, and what a switch of it, and a revert of
// what the record holds of it, would still change in the estate as read now. Reads only. Returns
// the exit status.
int status(Setup& setup, const std::string& revertFile, Output& output);

}  // namespace tolmi_gcp::cli
