#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/api_reads.hpp"
#include "cli/output.hpp"
#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"

namespace tolmi_gcp::cli {

// Reads, and only reads, what the migration file touches and what a rehearsal needs to behave
// the same: the spoke project's networks, its static routes (not the routes the API makes itself)
// and the instances those routes or the file name; each transit network; the routers the file
// names and the networks they sit on; the subnetworks of all these networks. Returns
// the topology document that compute-emulator --topology loads: a peer network outside these is
// an external peer, and the peerings with it keep their state. Throws Error "not a resource
// link: ..." naming the resource a link that does not fit came from.
struct Snapshot {
  ResourceDocument topology;
  // The resources the topology leaves out because the emulator has no model of them, for people.
  std::vector<std::string> leftOut;
};
Snapshot snapshotEstate(const ComputeService& api, const ResourceDocument& migration);

// `tolmi-gcp snapshot`: validates the migration file, takes the snapshot and writes it to
// `outputPath` ("" for standard output). Returns the exit status.
int runSnapshot(const std::string& config, const std::optional<std::string>& endpoint,
                const ServiceOptions& service, const std::string& outputPath, Output& output,
                std::ostream& out);

}  // namespace tolmi_gcp::cli
