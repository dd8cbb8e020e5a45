#pragma once

#include <chrono>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/output.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"

namespace tolmi_gcp::cli {

class HeldRouterPatches;

// The tool's exit statuses.
enum ExitStatus {
  kDone = 0,           // everything done
  kErrorsLogged = 1,   // the run finished, but the library logged errors
  kUsage = 2,          // usage or configuration error, or the plan not confirmed; nothing changed
  kStopped = 3,        // a failure stopped the run; the revert record covers every change made
  kInterrupted = 130,  // SIGINT or SIGTERM, after the change in flight; the record is saved
};

// What the command line asked for.
struct Invocation {
  std::string command;                 // "discover", "switch", "revert", "status" or "pack"
  std::string config;                  // the migration file (the first, in a wave)
  std::vector<std::string> configs;    // every --config: more than one makes a wave
  std::size_t maxChangesInFlight = 4;  // a wave's parts under way at once
  bool keepGoing = false;              // a wave goes on with other spokes after one fails
  bool routersTogether = false;        // the routers parts of the files, one patch per router
  // The command line without the program and what a wave sets for each spoke's process
  // (--config, --only, --yes, --dry-run, --output and the wave's own options).
  std::vector<std::string> passedOn;
  std::string revertFile;
  std::string packDir;              // pack --output
  std::vector<std::string> stages;  // --stage, empty for all
  std::vector<std::string> only;    // --only parts, empty for all
  bool dryRun = false;
  bool force = false;
  bool makeBeforeBreak = false;
  bool acceptUnreachable = false;   // --accept-unreachable: the reachability gate lets it through
  bool yes = false;                 // --yes: no question before the first change
  bool allProblems = false;         // --all-problems: a bad file is checked against the estate too
  std::istream* answers = nullptr;  // set on a terminal: where "proceed? [y/N]" is answered
  std::ostream* events = nullptr;   // --output json: where the JSON goes
  std::optional<long long> fromHistory;  // revert from this history entry; checked against it
  std::optional<std::string> endpoint;
  ServiceOptions service;  // --retry-scale, --request-timeout-ms, --max-in-flight
  std::optional<std::chrono::seconds> operationTimeout;  // --operation-timeout
  std::chrono::seconds operationEstimate{20};            // --operation-estimate
  std::string commandLine;                               // recorded in the revert file
  // Set for the runs of the spokes whose routers a wave patches together (routers_together.hpp):
  // their router patches are held there, and the routers part is left "switching" ("reverting")
  // for the patches to be sent first.
  std::shared_ptr<HeldRouterPatches> heldRouterPatches;
};

// The revert file a migration file gets when none is named.
std::string defaultRevertFile(const std::string& config);

// Runs discover, switch, revert or pack against the API and returns the exit status. `terminal`,
// when given, shows the progress of awaited operations.
int runCommand(const Invocation& invocation, Output& output, std::ostream* terminal);

// Runs pack: foresees the switch of each of `invocation.configs`, reading only, and writes one
// pack for all of them. Returns the exit status.
int runPackOf(const Invocation& invocation, Output& output, std::ostream* terminal);

}  // namespace tolmi_gcp::cli
