#include "cli/setup.hpp"

#include "cli/held_router_patches.hpp"
#include "cli/interruption.hpp"
#include "cli/validation.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/network_key.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp::cli {

namespace {

void checkSelection(const Invocation& in, const std::vector<std::string>& fileStages) {
  if (!in.stages.empty() && !in.only.empty() && !contains(in.only, "routes"))
    throw ConfigError("--stage selects route stages, but --only leaves out routes");
  if (in.command != "switch") return;
  for (const std::string& stage : in.stages)
    if (!contains(fileStages, stage))
      throw ConfigError("--stage " + stage + ": " + in.config + " has no such stage under " +
                        "manage_routes (it has: " + joined(fileStages, ", ") + ")");
}

// The spoke must exist before anything changes; created routes attach to its self-link.
ResourceDocument readSpoke(const Invocation& in, const Setup& setup, const std::string& vpc) {
  try {
    return Globals::service->networks().get(setup.project, vpc).execute();
  } catch (const HttpError& failure) {
    if (failure.status() != 404) throw;
    throw ConfigError("the spoke network " + setup.spoke +
                      " does not exist (project_id and vpc_name in " + in.config +
                      "): " + failure.apiMessage());
  }
}

}  // namespace

void prepare(const Invocation& in, Output& output, std::ostream* terminal, Setup& setup) {
  MigrationCheck checked = checkMigration(parseYamlFile(in.config));
  for (const std::string& problem : checked.problems) output.fail(in.config + ": " + problem);
  // A bad file sends no request. Asked to, and with a sound project and spoke, the estate is read
  // all the same: the check before any change finds what else is wrong in the same run, leaving
  // out the refused values.
  const ResourceDocument& migration = checked.sound;
  bool readable = has(migration, "project_id") && has(migration, "vpc_name");
  if (!checked.problems.empty() && (!in.allProblems || in.command == "discover" || !readable))
    throw ConfigError(std::to_string(checked.problems.size()) + " problem(s) in " + in.config +
                      "; nothing was sent");
  setup.fileProblems = checked.problems;
  YamlContext::setContext(migration);
  setup.migration = migration;
  setup.project = migration["project_id"].get<std::string>();
  setup.spoke = NetworkKey{setup.project, migration["vpc_name"].get<std::string>()}.text();
  for (const auto& entry : memberOrNull(migration, "manage_routes").items())
    setup.fileStages.push_back(entry.key());
  checkSelection(in, setup.fileStages);

  Globals::project = setup.project;
  Globals::vpc = {{"vpc_name", migration["vpc_name"]}};
  Globals::setDryRun(in.dryRun);
  Globals::makeBeforeBreak = in.makeBeforeBreak;
  if (in.operationTimeout) Globals::operationTimeout = *in.operationTimeout;
  if (in.command != "discover")
    setup.store = std::make_unique<RevertStore>(
        in.revertFile, in.dryRun, in.commandLine,
        in.command == "status" ? RevertStore::Access::kReading : RevertStore::Access::kChanging);

  DefaultService base =
      defaultComputeService(in.endpoint, CredentialsEnvironment::fromProcess(), in.service);
  output.logOnly("endpoint " + base.service->endpoint() + ", project " + setup.project +
                 ", credentials " + base.credentials + (in.dryRun ? ", dry run" : ""));
  setup.progress = std::make_shared<Progress>(terminal);
  setup.changes = std::make_shared<ChangeLog>(output, in.events);
  setup.operationTimes = std::make_shared<OperationTimes>();
  if (in.heldRouterPatches)
    base.service = std::make_shared<ComputeService>(
        base.service->withTransport(in.heldRouterPatches->transport(base.service->transport())));
  Globals::service = std::make_shared<ComputeService>(base.service->withObserver(
      std::make_shared<InterruptibleObserver>(std::vector<std::shared_ptr<RequestObserver>>{
          std::make_shared<FlushBeforeRequests>(output), setup.progress, setup.changes,
          setup.operationTimes})));
  setup.spokeNetwork = readSpoke(in, setup, migration["vpc_name"]);
  Globals::networkLink = stringAt(setup.spokeNetwork, "selfLink");
}

}  // namespace tolmi_gcp::cli
