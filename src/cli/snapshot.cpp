#include "cli/snapshot.hpp"

#include <fstream>
#include <ostream>

#include "cli/commands.hpp"
#include "cli/setup.hpp"
#include "cli/validation.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/estate.hpp"

namespace tolmi_gcp::cli {

int runSnapshot(const std::vector<std::string>& configs, const std::optional<std::string>& endpoint,
                const ServiceOptions& service, const std::string& outputPath, Output& output,
                std::ostream& out) {
  std::vector<ResourceDocument> migrations;
  std::size_t problems = 0;
  for (const std::string& config : configs) {
    migrations.push_back(parseYamlFile(config));
    for (const std::string& problem : validateMigration(migrations.back())) {
      output.fail(config + ": " + problem);
      ++problems;
    }
  }
  if (problems > 0) return kUsage;
  const std::string config = joined(configs, ", ");
  try {
    DefaultService api =
        defaultComputeService(endpoint, CredentialsEnvironment::fromProcess(), service);
    // One topology for every file: each file's estate, and what all of them scope, in order.
    Estate estate;
    EstateScope scope;
    for (const ResourceDocument& migration : migrations) {
      EstateScope one = EstateScope::of(migration);
      addTo(estate, readEstate(*api.service, one));
      scope.include(one);
    }
    // A rehearsal without what the file names would not be one.
    if (!estate.absent.empty())
      throw Error("the file names what does not exist: " + joined(estate.absent, ", "));
    Topology topology = topologyOf(estate, scope);
    for (const std::string& what : topology.leftOut)
      output.note("snapshot: left out " + what + ", which the emulator has no model of");
    std::string text = jsonText(topology.document, 2) + "\n";
    if (outputPath.empty()) {
      out << text << std::flush;
      return kDone;
    }
    std::ofstream file(outputPath, std::ios::trunc);
    if (!(file << text) || !file.flush())
      throw ConfigError("cannot write the snapshot to " + outputPath);
    output.note("snapshot of " + config + " written to " + outputPath +
                "; rehearse with: compute-emulator --topology " + outputPath);
    return kDone;
  } catch (const ConfigError&) {
    throw;
  } catch (const std::exception& failure) {
    output.fail(std::string("tolmi-gcp: snapshot of ") + config + " stopped: " + failure.what());
    return kStopped;
  }
}

}  // namespace tolmi_gcp::cli
