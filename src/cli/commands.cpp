#include "cli/commands.hpp"

#include <algorithm>
#include <memory>

#include "cli/progress.hpp"
#include "cli/revert_store.hpp"
#include "cli/validation.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp::cli {

namespace {

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : separator) + item;
  return out;
}

std::string padded(const std::string& text, std::size_t width) {
  return text.size() < width ? text + std::string(width - text.size(), ' ') : text;
}

// The region of a subnetwork link (".../regions/REGION/subnetworks/NAME"), or "".
std::string regionOf(const std::string& link) {
  std::size_t start = link.find("/regions/");
  if (start == std::string::npos) return "";
  start += 9;
  return link.substr(start, link.find('/', start) - start);
}

// Keeps process-wide state from leaking from one run into the next one in the same process.
class ProcessStateGuard {
 public:
  ProcessStateGuard() { Globals::reset(); }
  ~ProcessStateGuard() {
    Globals::reset();
    defaultServiceFactory() = [] { return defaultComputeService(); };
  }
};

// One run of discover, switch or revert.
class Run {
 public:
  Run(const Invocation& invocation, Output& output, std::ostream* terminal)
      : in_(invocation), out_(output), terminal_(terminal), errorsBefore_(output.libraryErrors()) {}

  int execute() {
    try {
      prepare();
      if (in_.command == "discover") return discover();
      return migrate(in_.command == "switch");
    } catch (const ConfigError& failure) {
      if (changing_) return stopped(failure);
      out_.fail(std::string("tolmi-gcp: ") + failure.what());
      return kUsage;
    } catch (const std::exception& failure) {
      return stopped(failure);
    }
  }

 private:
  void prepare() {
    ResourceDocument migration = parseYamlFile(in_.config);
    std::vector<std::string> problems = validateMigration(migration);
    for (const std::string& problem : problems) out_.fail(in_.config + ": " + problem);
    if (!problems.empty())
      throw ConfigError(std::to_string(problems.size()) + " problem(s) in " + in_.config +
                        "; nothing was sent");
    YamlContext::setContext(migration);
    project_ = migration["project_id"].get<std::string>();
    spoke_ = project_ + "::" + migration["vpc_name"].get<std::string>();
    for (const auto& entry : memberOrNull(migration, "manage_routes").items())
      fileStages_.push_back(entry.key());
    checkSelection();

    Globals::project = project_;
    Globals::vpc = {{"vpc_name", migration["vpc_name"]}};
    Globals::setDryRun(in_.dryRun);
    if (in_.operationTimeout) Globals::operationTimeout = *in_.operationTimeout;
    if (in_.command != "discover")
      store_ = std::make_unique<RevertStore>(in_.revertFile, in_.dryRun, in_.commandLine);

    DefaultService base =
        defaultComputeService(in_.endpoint, CredentialsEnvironment::fromProcess(), in_.service);
    progress_ = std::make_shared<Progress>(terminal_);
    Globals::service = std::make_shared<ComputeService>(base.service->withObserver(progress_));
    // The report is of the file's project, whatever project the credentials name.
    defaultServiceFactory() = [service = Globals::service, project = project_] {
      return DefaultService{service, project};
    };
    readSpoke(migration["vpc_name"]);
  }

  void checkSelection() {
    if (!in_.stages.empty() && !in_.only.empty() && !contains(in_.only, "routes"))
      throw ConfigError("--stage selects route stages, but --only leaves out routes");
    if (in_.command != "switch") return;
    for (const std::string& stage : in_.stages)
      if (!contains(fileStages_, stage))
        throw ConfigError("--stage " + stage + ": " + in_.config + " has no such stage under " +
                          "manage_routes (it has: " + joined(fileStages_, ", ") + ")");
  }

  // The spoke must exist before anything changes; created routes attach to its self-link.
  void readSpoke(const std::string& vpc) {
    try {
      spokeNetwork_ = Globals::service->networks().get(project_, vpc).execute();
    } catch (const HttpError& failure) {
      if (failure.status() != 404) throw;
      throw ConfigError("the spoke network " + spoke_ +
                        " does not exist (project_id and vpc_name " + "in " + in_.config +
                        "): " + failure.apiMessage());
    }
    Globals::networkLink = stringAt(spokeNetwork_, "selfLink");
  }

  int discover() {
    GcpLib::listAllNetwork(project_);
    GcpLib::listPeering(spokeNetwork_);
    for (const ResourceDocument& transit : YamlContext{}.getContext("transit_vpcs")) {
      const std::string& name = transit["vpc_name"].get_ref<const std::string&>();
      std::size_t separator = name.find("::");
      std::vector<std::string> regions;
      for (const ResourceDocument& router : arrayOrEmpty(transit, "cloud_routers")) {
        const std::string& region = router["region"].get_ref<const std::string&>();
        if (!contains(regions, region)) regions.push_back(region);
      }
      for (const std::string& region : regions)
        GcpLib::listRouterByRegion(*Globals::service, name.substr(0, separator),
                                   name.substr(separator + 2), region);
    }
    // Read without propagation: the route table is already in the report above.
    Globals::routeInfo = GcpLib::listRouteTable(project_, *Globals::service, spokeNetwork_, false);
    out_.report("");
    out_.report("- Compose spoke advertisement(s)");
    std::vector<std::string> regions;
    for (const ResourceDocument& link : arrayOrEmpty(spokeNetwork_, "subnetworks")) {
      std::string region = link.is_string() ? regionOf(link) : "";
      if (region.empty() || contains(regions, region)) continue;
      regions.push_back(region);
      ResourceDocument cidrs =
          GcpLib::composeVpcCidrs(*Globals::service, spokeNetwork_, {{"region", region}});
      std::vector<std::string> ranges;
      if (cidrs.is_array())
        for (const ResourceDocument& cidr : cidrs) ranges.push_back(textOf(cidr));
      out_.report("  " + padded(region, 25) + (ranges.empty() ? "none" : joined(ranges, " ")));
    }
    if (regions.empty()) out_.report("  no subnetwork found");
    return finishDiscover();
  }

  // Error-level lines the library logged during this run.
  int errors() const { return out_.libraryErrors() - errorsBefore_; }

  int finishDiscover() {
    int errors = this->errors();
    out_.note("discover of " + spoke_ + ": done, " + std::to_string(errors) + " error(s) logged");
    return errors > 0 ? kErrorsLogged : kDone;
  }

  // The parts this run covers, in the order it runs them.
  std::vector<Part> selectParts(bool switching) const {
    auto wanted = [&](const std::string& part) {
      return in_.only.empty() || contains(in_.only, part);
    };
    std::vector<std::string> stages = fileStages_;
    if (!switching) {
      // Stages recorded for this spoke but no longer in the file are still taken back.
      for (const auto& entry : Globals::getRevertInfo()["manage_routes"].items())
        if (has(entry.value(), spoke_) && !contains(stages, entry.key()))
          stages.push_back(entry.key());
      for (const std::string& stage : in_.stages)
        if (!contains(stages, stage))
          throw ConfigError("--stage " + stage + ": neither " + in_.config + " nor " +
                            in_.revertFile + " knows that stage for " + spoke_);
    }
    std::vector<Part> parts;
    if (wanted("peerings")) parts.push_back({Part::kPeerings, ""});
    if (wanted("routes"))
      for (const std::string& stage : stages)
        if (in_.stages.empty() || contains(in_.stages, stage))
          parts.push_back({Part::kRoutes, stage});
    if (wanted("routers")) parts.push_back({Part::kRouters, ""});
    if (!switching) std::reverse(parts.begin(), parts.end());
    return parts;
  }

  // "routes stage-1 switched at 2024-05-01T12:00:00Z", "routers not switched".
  std::string describe(const Part& part) const {
    std::string state = store_->state(spoke_, part);
    std::string when = store_->stateTime(spoke_, part);
    return part.label() + " " + (state.empty() ? "not switched" : state) +
           (when.empty() ? "" : " at " + when);
  }

  int migrate(bool switching) {
    std::vector<Part> parts = selectParts(switching);
    std::vector<Part> active;    // switched, or on the way there or back
    std::vector<Part> reverted;  // taken back, with a record that has served
    for (const Part& part : parts) {
      std::string state = store_->state(spoke_, part);
      if (state == "reverted" && store_->recorded(spoke_, part)) reverted.push_back(part);
      if (!state.empty() && state != "reverted") active.push_back(part);
    }
    if (switching)
      makeRoom(active, reverted);
    else
      explainSkipped(parts, active);
    std::vector<Part> run = switching ? parts : active;
    // The library writes a stage's record into an object that must already be there.
    for (const Part& part : run)
      if (part.kind == Part::kRoutes && !has(Globals::getRevertInfo()["manage_routes"], part.stage))
        Globals::getRevertInfo()["manage_routes"][part.stage] = ResourceDocument::object();
    store_->installSaver();
    changing_ = true;
    for (const Part& part : run) {
      current_ = part;
      store_->mark(spoke_, part, switching ? "switching" : "reverting");
      int errorsBefore = errors();
      int failedBefore = Globals::failedRestores;
      runPart(part, switching);
      if (switching || (errors() == errorsBefore && Globals::failedRestores == failedBefore))
        store_->mark(spoke_, part, switching ? "switched" : "reverted");
      else
        out_.note(part.label() + " logged errors while being restored: it stays \"reverting\" " +
                  "with its record, so that revert can be run again once the cause is fixed");
      finished_.push_back(part);
    }
    current_.reset();
    return summarize();
  }

  // A part still switched holds the only way back: switching it again is refused unless forced,
  // and then its record is kept in the history. The record of a reverted part has served: it
  // moves to the history, so that the next revert restores what this switch changes and no more.
  void makeRoom(const std::vector<Part>& active, const std::vector<Part>& reverted) {
    if (!active.empty()) {
      std::vector<std::string> states;
      for (const Part& part : active) states.push_back(describe(part));
      if (!in_.force)
        throw ConfigError(spoke_ + " is switched and not reverted (" + joined(states, ", ") +
                          "); switching again would replace its revert record in " +
                          in_.revertFile + ". Run revert first, or add --force to switch anyway " +
                          "and keep the replaced record in the file's history");
      out_.note("--force: keeping the replaced record of " + joined(states, ", ") +
                " in the history of " + store_->savePath());
      store_->keepInHistory(spoke_, active);
    }
    if (!reverted.empty()) {
      store_->keepInHistory(spoke_, reverted);
      store_->forget(spoke_, reverted);
    }
  }

  void explainSkipped(const std::vector<Part>& parts, const std::vector<Part>& active) {
    for (const Part& part : parts)
      if (!contains(labels(active), part.label()))
        out_.note("nothing to revert: " + describe(part));
    if (active.empty())
      throw ConfigError("nothing to revert for " + spoke_ + " in " + in_.revertFile +
                        (store_->existed() ? "" : ": the file does not exist"));
  }

  static std::vector<std::string> labels(const std::vector<Part>& parts) {
    std::vector<std::string> out;
    for (const Part& part : parts) out.push_back(part.label());
    return out;
  }

  static void runPart(const Part& part, bool switching) {
    switch (part.kind) {
      case Part::kPeerings:
        return GcpLib::managePeerings(switching);
      case Part::kRoutes:
        if (switching) return GcpLib::manageSwitchRoute(true, part.stage);
        return GcpLib::restoreRoute(*Globals::service, part.stage);
      case Part::kRouters:
        return GcpLib::manageCloudRouterAdvertisedRoute(switching);
    }
  }

  int stopped(const std::exception& failure) {
    std::string where = current_ ? " stopped at " + current_->label() : " stopped";
    out_.fail("tolmi-gcp: " + in_.command + " of " + (spoke_.empty() ? in_.config : spoke_) +
              where + ": " + failure.what());
    if (!changing_) {
      out_.note("nothing was changed");
      return kStopped;
    }
    return summarize();
  }

  int summarize() {
    std::vector<std::string> states;
    for (const Part& part : finished_) states.push_back(describe(part));
    if (current_) states.push_back(describe(*current_));
    std::string dry = in_.dryRun ? "dry run of " : "";
    if (!states.empty())
      out_.note(dry + in_.command + " of " + spoke_ + ": " + joined(states, ", "));
    std::vector<std::string> changes;
    for (const auto& [kind, count] : progress_->changes())
      changes.push_back(kind + " " + std::to_string(count));
    out_.note("changes made: " + (changes.empty() ? std::string("none") : joined(changes, ", ")));
    int errors = this->errors();
    out_.note("errors logged: " + std::to_string(errors) +
              (errors > 0 ? " (the lines marked **Error** above)" : ""));
    if (Globals::failedRestores > 0)
      out_.note("restore steps that failed: " + std::to_string(Globals::failedRestores));
    if (in_.dryRun)
      out_.note("would-be revert record: " + store_->savePath() + " (" + in_.revertFile +
                " untouched)");
    else
      out_.note("revert record: " + store_->savePath());
    if (current_) return kStopped;
    return errors > 0 || Globals::failedRestores > 0 ? kErrorsLogged : kDone;
  }

  const Invocation& in_;
  Output& out_;
  std::ostream* terminal_;
  int errorsBefore_;
  std::string project_;
  std::string spoke_;  // network key of the spoke
  std::vector<std::string> fileStages_;
  ResourceDocument spokeNetwork_;
  std::unique_ptr<RevertStore> store_;
  std::shared_ptr<Progress> progress_;
  bool changing_ = false;
  std::optional<Part> current_;  // the part under way
  std::vector<Part> finished_;
};

}  // namespace

std::string defaultRevertFile(const std::string& config) { return config + ".revert.json"; }

int runCommand(const Invocation& invocation, Output& output, std::ostream* terminal) {
  ProcessStateGuard guard;
  return Run(invocation, output, terminal).execute();
}

}  // namespace tolmi_gcp::cli
