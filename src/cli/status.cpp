#include "cli/status.hpp"

#include "tolmi_gcp/parts.hpp"
#include "tolmi_gcp/res/Globals.hpp"
#include "tolmi_gcp/res/revert_record.hpp"

namespace tolmi_gcp::cli {

namespace {

// The changes a switch or revert of `part` would make of `estate`, over all its steps.
std::size_t changesOf(const Estate& estate, const Part& part, bool switching) {
  std::size_t changes = 0;
  for (const RunState& state : statesOfRun(estate, {part}, switching)) changes += state.changes;
  return changes;
}

std::string changes(std::size_t count, const std::string& what) {
  return std::to_string(count) + (count == 1 ? " change " : " changes ") + what;
}

}  // namespace

int status(Setup& setup, const std::string& revertFile, Output& output) {
  std::vector<Part> parts{{Part::kPeerings, ""}};
  std::vector<std::string> stages = setup.fileStages;
  for (const std::string& stage : RevertRecord{}.stagesOf(setup.spoke))
    if (!contains(stages, stage)) stages.push_back(stage);
  for (const std::string& stage : stages) parts.push_back({Part::kRoutes, stage});
  parts.push_back({Part::kRouters, ""});

  // One read for both ways: what the file names, and what the record leads to.
  EstateScope scope = scopeOfRun(true);
  scope.include(scopeOfRun(false));
  const Estate estate = readEstate(*Globals::service, scope);
  output.report("status of " + setup.spoke + " (revert file " + revertFile +
                (setup.store->existed() ? "" : ", not there yet") + "):");
  for (const Part& part : parts) {
    std::string state = setup.store->state(setup.spoke, part);
    std::string when = setup.store->stateTime(setup.spoke, part);
    std::string line = "  " + part.label() + ": " + (state.empty() ? "not switched" : state) +
                       (when.empty() ? "" : " at " + when);
    std::size_t toSwitch = changesOf(estate, part, true);
    line += "; the estate: " + (toSwitch == 0 ? std::string("as a switch leaves it")
                                              : changes(toSwitch, "left to switch"));
    if (!state.empty() && state != "reverted")
      line += ", " + changes(changesOf(estate, part, false), "to take back");
    output.report(line);
  }
  return kDone;
}

}  // namespace tolmi_gcp::cli
