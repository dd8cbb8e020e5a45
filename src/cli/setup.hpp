#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/change_log.hpp"
#include "cli/commands.hpp"
#include "cli/output.hpp"
#include "cli/progress.hpp"
#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/network_key.hpp"
#include "tolmi_gcp/res/revert_record.hpp"
#include "tolmi_gcp/text_lists.hpp"

namespace tolmi_gcp::cli {

// What a run of discover, switch or revert works on, read and checked before any change: the
// migration file (validated and installed as the library's context), the revert store (locked;
// not for discover), the API handle in Globals::service, and the spoke network as the API has it.
struct Setup {
  std::string project;
  std::string spoke;  // network key of the spoke
  std::vector<std::string> fileStages;
  // Problems of the migration file, shown already; they refuse the run with what the check before
  // any change finds. The library's context holds the file without the values they refuse.
  std::vector<std::string> fileProblems;
  ResourceDocument migration;  // the file as the library's context holds it
  ResourceDocument spokeNetwork;
  std::unique_ptr<RevertStore> store;
  std::shared_ptr<Progress> progress;
  std::shared_ptr<OperationTimes> operationTimes;
  std::shared_ptr<ChangeLog> changes;
};

// Fills `setup` as far as it gets. Throws ConfigError for a bad file (with --all-problems, one
// whose project or spoke is refused; for discover, any), a bad command line, a locked revert file
// or a missing spoke; any other failure when the API cannot be read. Sends no change.
void prepare(const Invocation& invocation, Output& output, std::ostream* terminal, Setup& setup);

}  // namespace tolmi_gcp::cli
