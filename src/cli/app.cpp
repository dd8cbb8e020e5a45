#include "cli/app.hpp"

#include <chrono>
#include <optional>
#include <ostream>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/commands.hpp"
#include "cli/demo.hpp"
#include "cli/output.hpp"
#include "cli/routers_together.hpp"
#include "cli/snapshot.hpp"
#include "cli/wave.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/text_lists.hpp"

namespace tolmi_gcp::cli {

namespace {

// The command line as recorded in the revert file; arguments with blanks are quoted.
std::string commandLine(const std::vector<std::string>& args) {
  std::string out = "tolmi-gcp";
  for (std::size_t i = 1; i < args.size(); ++i) {
    bool plain = !args[i].empty() && args[i].find_first_of(" \t\n'\"\\") == std::string::npos;
    out += " " + (plain ? args[i] : "'" + args[i] + "'");
  }
  return out;
}

// "90s", "30m", "2h", or seconds without a unit; nullopt for anything else or zero.
std::optional<std::chrono::seconds> parseDuration(const std::string& text) {
  std::size_t digits = text.find_first_not_of("0123456789");
  std::string unit = digits == std::string::npos ? "" : text.substr(digits);
  if (digits == 0 || digits > 9 || !(unit.empty() || unit == "s" || unit == "m" || unit == "h"))
    return std::nullopt;
  long long count = std::stoll(text.substr(0, digits));
  if (count == 0) return std::nullopt;
  return std::chrono::seconds(count * (unit == "h" ? 3600 : unit == "m" ? 60 : 1));
}

// The migration file, which discover, switch, revert and snapshot all read; switch and revert
// take several as a wave.
void addConfigOption(CLI::App& command, Invocation& invocation) {
  command
      .add_option("--config", invocation.configs,
                  "The migration file (YAML); switch and revert take it more than once, as a "
                  "wave")
      ->required()
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->check(CLI::ExistingFile);
}

// What a wave passes on to each spoke's process: the command line less the program, the files
// and what the wave sets itself.
std::vector<std::string> passedOnOf(const std::vector<std::string>& args) {
  const std::vector<std::string> valued{"--config", "--only", "--stage", "--output",
                                        "--max-changes-in-flight"};
  const std::vector<std::string> flags{"--yes", "--dry-run", "--keep-going", "--routers-together"};
  std::vector<std::string> kept;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string name = args[i].substr(0, args[i].find('='));
    if (contains(flags, args[i])) continue;
    if (contains(valued, name)) {
      if (name == args[i]) ++i;  // the value is the next argument
      continue;
    }
    kept.push_back(args[i]);
  }
  return kept;
}

// The options of a wave, for switch and revert.
void addWaveOptions(CLI::App& command, Invocation& invocation) {
  command
      .add_option("--max-changes-in-flight", invocation.maxChangesInFlight,
                  "With several --config: the spokes' parts under way at once (1 to 32, "
                  "default 4)")
      ->check(CLI::Range(std::size_t{1}, std::size_t{32}));
  command.add_flag("--keep-going", invocation.keepGoing,
                   "With several --config: after a spoke fails, go on with the others' parts");
  // What a wave runs for spokes that share routers, not for people: hidden from the help.
  command.add_flag("--routers-together", invocation.routersTogether)->group("");
}

// The options that discover, switch and revert share.
void addMigrationOptions(CLI::App& command, Invocation& invocation, std::string& format) {
  addConfigOption(command, invocation);
  command
      .add_option("--output", format,
                  "text (the default) or json: JSON Lines of the changes and a closing summary "
                  "(discover: the discovered estate as one document) on standard output, the "
                  "report on standard error")
      ->check(CLI::IsMember({"text", "json"}));
}

// The options that switch and revert share.
void addChangeOptions(CLI::App& command, Invocation& invocation, std::string& format) {
  addMigrationOptions(command, invocation, format);
  command.add_option("--revert-file", invocation.revertFile,
                     "Where the way back is kept (default: the migration file + .revert.json)");
  command.add_option("--stage", invocation.stages, "Only this route stage (repeatable)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command.add_option("--only", invocation.only, "Only these parts: peerings,routes,routers")
      ->delimiter(',')
      ->check(CLI::IsMember({"peerings", "routes", "routers"}));
  command.add_flag("--dry-run", invocation.dryRun,
                   "Read and log everything, change nothing; the would-be record goes to "
                   "<revert file>.dry-run");
  command.add_flag("--yes", invocation.yes,
                   "Go ahead without asking (on a terminal the plan waits for a yes)");
  command.add_flag("--accept-unreachable", invocation.acceptUnreachable,
                   "Go ahead with a run that leaves undelivered a destination the estate "
                   "delivers now (the plan still shows each)");
  command.add_flag("--all-problems", invocation.allProblems,
                   "When the file has problems, still read the estate (reads only) and list "
                   "every problem the check before any change finds, in this one run");
}

const CLI::Validator kDuration(
    [](const std::string& text) {
      return parseDuration(text) ? std::string() : "a positive duration such as 90s, 30m or 2h";
    },
    "DURATION");

}  // namespace

int runTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            bool errIsTerminal, std::istream* answers) {
  CLI::App app("Moves the traffic of a VPC spoke network onto transit networks, and back.",
               "tolmi-gcp");
  app.fallthrough();  // the common options may follow the command
  app.set_version_flag("--version", std::string("tolmi-gcp ") + TOLMI_GCP_VERSION);
  Invocation invocation;
  OutputOptions outputOptions;
  std::string endpoint;
  app.add_option("--log-file", outputOptions.logFile,
                 "Append a timestamped, levelled copy of all output to this file");
  app.add_option("--endpoint", endpoint,
                 "API root, e.g. http://127.0.0.1:8089/compute/v1/ for compute-emulator");
  app.add_flag("--quiet", outputOptions.quiet, "Show only the library's warnings and errors");
  std::string operationTimeout;
  app.add_option("--operation-timeout", operationTimeout,
                 "Longest wait for one API operation, e.g. 90s, 30m, 2h (default 30m); after it "
                 "the run stops with status 3")
      ->check(kDuration);
  std::string operationEstimate;
  app.add_option("--operation-estimate", operationEstimate,
                 "How long one change takes, for the plan's estimate of each gap in "
                 "reachability and the pack's of each step, e.g. 20s (default), 1m")
      ->check(kDuration);
  double retryScale = 1;
  app.add_option("--retry-scale", retryScale,
                 "For rehearsals and tests: multiply the waits between tries and the 5-minute "
                 "limit per request by this fraction (0.000001 to 1)")
      ->check(CLI::Range(1e-6, 1.0));
  app.add_option("--request-timeout-ms", invocation.service.transport.totalTimeoutMs,
                 "Give up a request unanswered after this many milliseconds and try again "
                 "(1 to 300000, the default; rehearsals and tests shorten it)")
      ->check(CLI::Range(1L, 300'000L));
  app.add_option("--max-in-flight", invocation.service.maxInFlight,
                 "Reads sent at once, each on its own connection (1 to 64, default 8; 1 sends "
                 "one request at a time). Changes always go one at a time")
      ->check(CLI::Range(std::size_t{1}, std::size_t{64}));

  CLI::App* discover = app.add_subcommand(
      "discover",
      "Report the project's networks, the spoke's peerings, the transit routers and "
      "the ranges the spoke would advertise");
  std::string format = "text";
  addMigrationOptions(*discover, invocation, format);
  CLI::App* switchCommand = app.add_subcommand(
      "switch",
      "Move the spoke's traffic: peerings, then route stages, then router advertisements");
  addChangeOptions(*switchCommand, invocation, format);
  addWaveOptions(*switchCommand, invocation);
  switchCommand->add_flag("--force", invocation.force,
                          "Switch a spoke that is switched and not reverted; the replaced record "
                          "is kept in the revert file's history");
  switchCommand->add_flag("--make-before-break", invocation.makeBeforeBreak,
                          "Create a stage's routes before deleting the old ones, so that their "
                          "traffic always has a route (a route taking an old route's name still "
                          "waits for its delete)");
  CLI::App* revert = app.add_subcommand("revert", "Take the switch back, in the opposite order");
  addChangeOptions(*revert, invocation, format);
  addWaveOptions(*revert, invocation);
  revert->add_option("--from-history", invocation.fromHistory,
                     "Restore from this entry (0 = oldest) of the revert file's history, kept "
                     "when a switch replaced or re-ran a record");
  CLI::App* snapshot = app.add_subcommand(
      "snapshot",
      "Read what the migration touches into a topology file for compute-emulator --topology, "
      "to rehearse offline");
  addConfigOption(*snapshot, invocation);
  std::string snapshotFile;
  snapshot->add_option("--output", snapshotFile, "Write the topology here (default: stdout)");
  CLI::App* statusCommand = app.add_subcommand(
      "status",
      "Show each part's state in the revert file and what the estate shows of it now; changes "
      "nothing");
  addConfigOption(*statusCommand, invocation);
  CLI::App* pack = app.add_subcommand(
      "pack",
      "Write the switch's plan for a change board, reading only: plan.html, plan.md, topology "
      "pictures, Terraform imports and the audit-log query");
  addConfigOption(*pack, invocation);
  pack->add_option("--output", invocation.packDir, "The folder to write the pack into")->required();
  pack->add_option("--revert-file", invocation.revertFile,
                   "Where the way back is kept (default: the migration file + .revert.json); "
                   "parts it has switched are left out");
  CLI::App* demo = app.add_subcommand(
      "demo", "Run discover, switch and revert against a built-in emulator and compare its state");
  app.require_subcommand(1);

  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& failure) {
    int status = app.exit(failure, out, err);
    return status == 0 ? kDone : kUsage;
  }
  if (!endpoint.empty()) invocation.endpoint = endpoint;
  invocation.service.retry = invocation.service.retry.scaled(retryScale);
  if (!operationTimeout.empty()) invocation.operationTimeout = *parseDuration(operationTimeout);
  if (!operationEstimate.empty()) invocation.operationEstimate = *parseDuration(operationEstimate);
  invocation.command = app.get_subcommands().front()->get_name();
  if (!invocation.configs.empty()) invocation.config = invocation.configs.front();
  invocation.passedOn = passedOnOf(args);
  invocation.commandLine = commandLine(args);
  if (invocation.configs.size() > 1) {
    // Each spoke of a wave keeps its own revert file at its default path, and its own stages.
    std::string refused = !invocation.revertFile.empty() ? "--revert-file names one spoke's file"
                          : invocation.fromHistory       ? "--from-history names one spoke's entry"
                                                         : "";
    if (!refused.empty()) {
      err << "tolmi-gcp: several --config make a wave, but " << refused << std::endl;
      return kUsage;
    }
  }
  if (invocation.revertFile.empty()) invocation.revertFile = defaultRevertFile(invocation.config);
  if (pack->parsed()) {
    // A pack foresees the switch as a dry run does, and shows every problem the check finds.
    invocation.dryRun = true;
    invocation.allProblems = true;
  }

  try {
    // JSON has standard output to itself; the report the library writes goes beside the notes.
    if (format == "json") invocation.events = &out;
    Output output(invocation.events ? err : out, err, outputOptions);
    output.logOnly(std::string("tolmi-gcp ") + TOLMI_GCP_VERSION + ": " + invocation.commandLine);
    std::ostream* terminal = errIsTerminal ? &err : nullptr;
    if (errIsTerminal) invocation.answers = answers;
    if (demo->parsed()) {
      if (invocation.endpoint) {
        output.fail("tolmi-gcp: demo runs its own emulator; --endpoint does not apply");
        return kUsage;
      }
      return runDemo(output, terminal);
    }
    if (snapshot->parsed())
      return runSnapshot(invocation.configs, invocation.endpoint, invocation.service, snapshotFile,
                         output, out);
    if (pack->parsed()) return runPackOf(invocation, output, terminal);
    if (invocation.configs.size() > 1 && (discover->parsed() || statusCommand->parsed())) {
      // Each file on its own, one after another.
      int worst = kDone;
      for (const std::string& config : invocation.configs) {
        Invocation one = invocation;
        one.config = config;
        one.revertFile = defaultRevertFile(config);
        worst = std::max(worst, runCommand(one, output, terminal));
      }
      return worst;
    }
    if (invocation.routersTogether) {
      if (invocation.only != std::vector<std::string>{"routers"}) {
        output.fail("tolmi-gcp: --routers-together runs the routers part alone: --only routers");
        return kUsage;
      }
      return runRoutersTogether(invocation, output, out, terminal);
    }
    if (invocation.configs.size() > 1) return runWave(invocation, output, out);
    return runCommand(invocation, output, terminal);
  } catch (const ConfigError& failure) {
    err << "tolmi-gcp: " << failure.what() << std::endl;
    return kUsage;
  }
}

}  // namespace tolmi_gcp::cli
