#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/output.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"

namespace tolmi_gcp::cli {

// `tolmi-gcp snapshot`: validates the migration files, reads their estates and writes them as one
// compute-emulator topology to `outputPath` ("" for standard output). Returns the exit status.
int runSnapshot(const std::vector<std::string>& configs, const std::optional<std::string>& endpoint,
                const ServiceOptions& service, const std::string& outputPath, Output& output,
                std::ostream& out);

}  // namespace tolmi_gcp::cli
