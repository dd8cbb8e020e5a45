#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/output.hpp"
#include "cli/reachability_report.hpp"
#include "cli/setup.hpp"
#include "tolmi_gcp/parts.hpp"
#include "tolmi_gcp/probes.hpp"

namespace tolmi_gcp::cli {

// What a run will do, foreseen before its first change from the estate as read.
struct Foresight {
  std::vector<Part> run;         // the parts, in the order the run takes them
  std::vector<RunState> states;  // empty when no part is left to run
  Findings found;                // problems also what the run leaves undelivered, unless accepted
  std::optional<ReachabilityReport> reach;  // of `states`
};

// The parts of one switch or revert, each taken from its state in the revert store through the
// library's operation to the next state ("switching" then "switched", "reverting" then
// "reverted"), and the closing summary.
class Migration {
 public:
  Migration(const Invocation& invocation, Setup& setup, Output& output, int errorsBefore);

  // Runs the parts and returns the exit status.
  int run();

  // Selects the parts, reads the estate and foresees the run, sending no change. Throws
  // ConfigError for a part that is not ready and what reading the estate throws.
  Foresight foresee(bool switching);

  // The command line that runs `part` alone with this run's files and endpoint:
  // "tolmi-gcp revert --config m.yaml --only peerings".
  std::string commandFor(const std::string& command, const Part& part,
                         const std::string& extra = "") const;

 private:
  std::vector<Part> selectParts(bool switching) const;
  std::string describe(const Part& part) const;
  void showMeasuredGaps(const ReachabilityReport& reach, const Part& part) const;
  int migrate(bool switching);
  void awaitEarlierChanges(const std::vector<Part>& run);
  std::size_t verified(const Part& part, const std::optional<Estate>& meant,
                       const std::string& unpredictable, bool switching);
  bool confirmed();
  std::vector<Part> partsToSwitch();
  std::vector<Part> partsToRevert();
  void refuseProblems(const std::string& file, const std::vector<std::string>& problems);
  std::string sameFiles() const;
  std::string waysOn(const Part& part) const;
  std::string stoppedHalfWay() const;
  int stopped(const std::exception& failure);
  int interrupted();
  int summarize();
  void writeSummaryEvent(int status);
  int errors() const;  // error-level lines the library logged during this run

  const Invocation& in_;
  Setup& setup_;
  Estate estate_;              // as read before the first change, then as each read-back left it
  std::vector<Probe> probes_;  // the destinations the plan asks of each state
  RevertStore& store_;
  Output& out_;
  int errorsBefore_;
  bool changing_ = false;
  std::optional<Part> current_;  // the part under way
  std::size_t planned_ = 0;      // parts this run set out to take
  std::vector<Part> finished_;
  std::size_t mismatches_ = 0;  // differences found on reading back
  Plan plan_;
  std::vector<std::string> problems_;  // found before the first change: the file's, the check's
};

}  // namespace tolmi_gcp::cli
