#include "cli/commands.hpp"

#include <functional>
#include <optional>

#include "cli/discover.hpp"
#include "cli/estate.hpp"
#include "cli/interruption.hpp"
#include "cli/migration.hpp"
#include "cli/pack.hpp"
#include "cli/setup.hpp"
#include "cli/status.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp::cli {

namespace {

// Keeps process-wide state from leaking from one run into the next one in the same process.
class ProcessStateGuard {
 public:
  ProcessStateGuard() { Globals::reset(); }
  ~ProcessStateGuard() { Globals::reset(); }
};

// The closing JSON line of a run that ended before its plan: the status and why.
int summarized(const Invocation& in, int status, const std::string& error) {
  if (in.events)
    *in.events << jsonText({{"event", "summary"},
                            {"time", utcNow()},
                            {"command", in.command},
                            {"dry_run", in.dryRun},
                            {"error", error},
                            {"exit_status", status}})
               << std::endl;
  return status;
}

// A failure before the first change.
int stoppedBeforeChange(const Invocation& in, const Setup& setup, Output& output,
                        const std::exception& failure) {
  output.fail("tolmi-gcp: " + in.command + " of " +
              (setup.spoke.empty() ? in.config : setup.spoke) + " stopped: " + failure.what());
  output.note("nothing was changed");
  return kStopped;
}

}  // namespace

std::string defaultRevertFile(const std::string& config) { return config + ".revert.json"; }

namespace {

// Prepares the run of `invocation` and then does `then` with it, each failure before any change
// said as the tool says it.
int withSetup(const Invocation& invocation, Output& output, std::ostream* terminal,
              const std::function<int(Setup&, int errorsBefore)>& then) {
  ProcessStateGuard guard;
  std::optional<InterruptionGuard> interruption;
  if (invocation.command != "discover" && invocation.command != "status") interruption.emplace();
  int errorsBefore = output.libraryErrors();
  Setup setup;
  try {
    prepare(invocation, output, terminal, setup);
    return then(setup, errorsBefore);
  } catch (const ConfigError& failure) {
    output.fail(std::string("tolmi-gcp: ") + failure.what());
    return summarized(invocation, kUsage, failure.what());
  } catch (const std::exception& failure) {
    return summarized(invocation, stoppedBeforeChange(invocation, setup, output, failure),
                      failure.what());
  } catch (const Interrupted&) {
    output.fail("tolmi-gcp: interrupted before any change; nothing was changed");
    return summarized(invocation, kInterrupted, "interrupted");
  }
}

}  // namespace

int runCommand(const Invocation& invocation, Output& output, std::ostream* terminal) {
  return withSetup(invocation, output, terminal, [&](Setup& setup, int errorsBefore) {
    if (invocation.command == "discover" && invocation.events) {
      *invocation.events << jsonText(estateDocument(setup), 2) << std::endl;
      return int{kDone};
    }
    if (invocation.command == "discover") return discover(setup, output, errorsBefore);
    if (invocation.command == "status") return status(setup, invocation.revertFile, output);
    return Migration(invocation, setup, output, errorsBefore).run();
  });
}

int runPackOf(const Invocation& invocation, Output& output, std::ostream* terminal) {
  std::vector<SpokePlan> plans;
  for (const std::string& config : invocation.configs) {
    Invocation one = invocation;
    one.config = config;
    if (invocation.configs.size() > 1) one.revertFile = defaultRevertFile(config);
    int status = withSetup(one, output, terminal, [&](Setup& setup, int errorsBefore) {
      plans.push_back(spokePlanOf(one, setup, output, errorsBefore));
      return int{kDone};
    });
    if (status != kDone) return status;
  }
  return runPack(plans, invocation.packDir, invocation.operationEstimate, output);
}

}  // namespace tolmi_gcp::cli
