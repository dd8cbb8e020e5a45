#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "cli/output.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"

namespace tolmi_gcp::cli {

// `tolmi-gcp snapshot`: validates the migration file, reads its estate and writes it as a
// compute-emulator topology to `outputPath` ("" for standard output). Returns the exit status.
int runSnapshot(const std::string& config, const std::optional<std::string>& endpoint,
                const ServiceOptions& service, const std::string& outputPath, Output& output,
                std::ostream& out);

}  // namespace tolmi_gcp::cli
