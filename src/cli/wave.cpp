#include "cli/wave.hpp"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>

#include "cli/change_log.hpp"
#include "cli/child_tool.hpp"
#include "cli/interruption.hpp"
#include "cli/wave_schedule.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/estate.hpp"
#include "tolmi_gcp/res/Globals.hpp"
#include "tolmi_gcp/res/revert_record.hpp"
#include "tolmi_gcp/route_name.hpp"
#include "tolmi_gcp/text_lists.hpp"

namespace tolmi_gcp::cli {

namespace {

using std::chrono::milliseconds;

// A spoke of the wave as its file scopes it; no scope when the file does not say enough, which
// its own check then reports.
struct WaveSpoke {
  std::string config;
  ResourceDocument migration;
  std::optional<EstateScope> scope;
  std::vector<std::string> stages;  // the keys of its manage_routes, in order

  std::string name() const { return scope ? scope->spoke.text() : config; }
};

std::vector<WaveSpoke> spokesOf(const std::vector<std::string>& configs) {
  std::vector<WaveSpoke> spokes;
  for (const std::string& config : configs) {
    WaveSpoke spoke{config, parseYamlFile(config), std::nullopt, {}};
    for (const auto& stage : memberOrNull(spoke.migration, "manage_routes").items())
      spoke.stages.push_back(stage.key());
    try {
      spoke.scope = EstateScope::of(spoke.migration);
    } catch (const ConfigError&) {
    }
    spokes.push_back(std::move(spoke));
  }
  return spokes;
}

// Where one file says something that another file must not contradict.
class Claims {
 public:
  explicit Claims(std::vector<std::string>& problems) : problems_(problems) {}

  // `what` (a resource, or a range on a router) is claimed by `where` in `config`; `verb` says
  // how ("creates", "adds", ...). Two files claiming one thing are a conflict.
  void claim(const std::string& what, const std::string& config, const std::string& where,
             const std::string& verb) {
    auto [first, fresh] = claims_.emplace(what, Claim{config, where, verb});
    if (!fresh && first->second.config != config)
      problems_.push_back(config + ": " + where + " " + verb + " " + what + ", which " +
                          first->second.config + " (" + first->second.where + ") " +
                          first->second.verb + (first->second.verb == verb ? " too" : ""));
  }

 private:
  struct Claim {
    std::string config, where, verb;
  };
  std::map<std::string, Claim> claims_;
  std::vector<std::string>& problems_;
};

void claimRoutes(const WaveSpoke& spoke, Claims& claims) {
  const std::string& project = spoke.scope->spoke.project;
  const std::string& vpc = spoke.scope->spoke.network;
  for (const auto& stage : memberOrNull(spoke.migration, "manage_routes").items()) {
    std::string where = "manage_routes." + stage.key();
    const ResourceDocument& adds = memberOrNull(stage.value(), "add");
    for (std::size_t i = 0; adds.is_array() && i < adds.size(); ++i) try {
        claims.claim("the route " + project + "/" + routes::createdRouteName(project, vpc, adds[i]),
                     spoke.config, where + ".add[" + std::to_string(i) + "]", "creates");
      } catch (const Error&) {
        // A bad entry is its own file's problem.
      }
    const ResourceDocument& deletes = memberOrNull(stage.value(), "delete");
    for (std::size_t i = 0; deletes.is_array() && i < deletes.size(); ++i)
      if (deletes[i].is_string())
        claims.claim("the route " + project + "/" + deletes[i].get<std::string>(), spoke.config,
                     where + ".delete[" + std::to_string(i) + "]", "deletes");
  }
}

// A range or group on a router, as one file's entry adds or removes it.
struct RouterChange {
  std::string config, where;
  bool adds;
};
using RouterChanges = std::map<std::string, std::vector<RouterChange>>;  // "R on the router K"

void routerChangesOf(const WaveSpoke& spoke, RouterChanges& changes) {
  const ResourceDocument& transits = memberOrNull(spoke.migration, "transit_vpcs");
  for (std::size_t t = 0; transits.is_array() && t < transits.size(); ++t) {
    const ResourceDocument& routers = memberOrNull(transits[t], "cloud_routers");
    for (std::size_t r = 0; routers.is_array() && r < routers.size(); ++r) {
      const ResourceDocument& router = routers[r];
      if (!memberOrNull(transits[t], "vpc_name").is_string() ||
          !memberOrNull(router, "region").is_string() ||
          !memberOrNull(router, "router_name").is_string())
        continue;
      std::optional<NetworkKey> network =
          NetworkKey::parse(transits[t]["vpc_name"].get_ref<const std::string&>());
      if (!network) continue;  // its own file's problem
      std::string key = RouterKey{*network, router["region"], router["router_name"]}.text();
      std::string where =
          "transit_vpcs[" + std::to_string(t) + "].cloud_routers[" + std::to_string(r) + "]";
      for (const char* list :
           {"add_advertised_routes", "remove_advertised_routes", "remove_advertised_groups"}) {
        const ResourceDocument& values = memberOrNull(router, list);
        for (std::size_t i = 0; values.is_array() && i < values.size(); ++i)
          if (values[i].is_string())
            changes[values[i].get<std::string>() + " on the router " + key].push_back(
                {spoke.config, where + "." + list, std::string_view(list).starts_with("add")});
      }
    }
  }
}

// waveConflicts of the files as the wave has read them.
std::vector<std::string> conflictsBetween(const std::vector<WaveSpoke>& spokes) {
  std::vector<std::string> problems;
  Claims claims(problems);
  RouterChanges routerChanges;
  for (const WaveSpoke& spoke : spokes) {
    if (!spoke.scope) continue;
    claims.claim("the spoke " + spoke.scope->spoke.text(), spoke.config, "project_id, vpc_name",
                 "migrates");
    claimRoutes(spoke, claims);
    routerChangesOf(spoke, routerChanges);
  }
  // Adding or removing a range twice is what spokes sharing a router do; one adding what another
  // removes leaves the router as whichever ran last.
  for (const auto& [what, changes] : routerChanges)
    for (const RouterChange& add : changes)
      for (const RouterChange& remove : changes)
        if (add.adds && !remove.adds && add.config != remove.config)
          problems.push_back(add.config + ": " + add.where + " adds " + what + ", which " +
                             remove.config + " (" + remove.where + ") removes");
  return problems;
}

}  // namespace

std::vector<std::string> waveConflicts(const std::vector<std::string>& configs) {
  return conflictsBetween(spokesOf(configs));
}

namespace {

// The parts of a spoke in the order the wave takes them, with what each locks.
std::vector<WaveStep> stepsOf(const Invocation& in, const WaveSpoke& spoke, bool switching) {
  std::vector<WaveStep> steps;
  auto wanted = [&](const char* part) { return in.only.empty() || contains(in.only, part); };
  std::set<std::string> spokeNetwork, joined, routers;
  if (spoke.scope) {
    spokeNetwork.insert(spoke.scope->spoke.text());
    joined = spokeNetwork;
    for (const NetworkKey& transit : spoke.scope->transits) joined.insert(transit.text());
    for (const RouterKey& router : spoke.scope->routers) routers.insert(router.text());
  }
  if (wanted("peerings")) steps.push_back({"peerings", true, joined, {}, {}, {}});
  // --stage takes the stages of that name of each file that has them.
  std::vector<std::string> stages;
  for (const std::string& stage : spoke.stages)
    if (contains(in.stages, stage)) stages.push_back(stage);
  if (wanted("routes") && (in.stages.empty() || !stages.empty()))
    steps.push_back({"routes", false, spokeNetwork, {}, stages, {}});
  if (wanted("routers")) steps.push_back({"routers", false, {}, routers, {}, {}});
  if (!switching) std::reverse(steps.begin(), steps.end());
  return steps;
}

// The steps of `spoke` whose parts its revert file says are settled: all switched, for a switch
// (without --force); none left to take back, for a revert. The wave starts no process for them.
std::set<std::string> settledSteps(const Invocation& in, const WaveSpoke& spoke, bool switching) {
  std::set<std::string> settled;
  if (!spoke.scope || (switching && in.force)) return settled;
  const std::string key = spoke.scope->spoke.text();
  Globals::reset();  // the store reads the record into the process's
  try {
    RevertStore store(defaultRevertFile(spoke.config), false, "", RevertStore::Access::kReading);
    auto isSettled = [&](const Part& part) {
      std::string state = store.state(key, part);
      return switching ? state == "switched" : state.empty() || state == "reverted";
    };
    std::vector<std::string> stages = spoke.stages;
    if (!switching)
      for (const std::string& stage : RevertRecord{}.stagesOf(key))
        if (!contains(stages, stage)) stages.push_back(stage);
    bool routesSettled = true;
    for (const std::string& stage : stages)
      if (in.stages.empty() || contains(in.stages, stage))
        routesSettled = routesSettled && isSettled({Part::kRoutes, stage});
    if (isSettled({Part::kPeerings, ""})) settled.insert("peerings");
    if (routesSettled) settled.insert("routes");
    if (isSettled({Part::kRouters, ""})) settled.insert("routers");
  } catch (const ConfigError&) {
    settled.clear();  // the spoke's own run says what is wrong with its file
  }
  Globals::reset();
  return settled;
}

class Wave {
 public:
  Wave(const Invocation& in, Output& output, std::ostream& text)
      : in_(in), out_(output), text_(text), spokes_(spokesOf(in.configs)) {}

  int run();

 private:
  struct Step {
    WaveSchedule::Id id;
    std::unique_ptr<ChildTool> child;
  };

  // The command line of a spoke's process; without a spoke, `extra` names the files.
  std::vector<std::string> argsFor(const WaveSpoke* spoke, std::vector<std::string> extra) const;
  void routersTogether();
  // Runs the steps of `schedule`, each by the process `argsOf` gives; `ended` gets each as it
  // ends. False when interrupted.
  template <typename ArgsOf, typename Ended>
  bool runSteps(WaveSchedule& schedule, ArgsOf argsOf, Ended ended);
  void showBlock(const WaveSpoke& spoke, const std::string& what, const std::string& out,
                 const std::string& err);
  int checkEach();
  int summarize(const WaveSchedule& schedule, bool interrupted);

  const Invocation& in_;
  Output& out_;
  std::ostream& text_;
  std::vector<WaveSpoke> spokes_;
  std::vector<int> statuses_;  // each spoke's last process's
  // Each spoke's steps to run, and those its revert file says are settled already.
  std::vector<std::vector<WaveStep>> chains_, settled_;
};

std::vector<std::string> Wave::argsFor(const WaveSpoke* spoke,
                                       std::vector<std::string> extra) const {
  std::vector<std::string> args = in_.passedOn;
  if (spoke) args.insert(args.end(), {"--config", spoke->config});
  if (in_.events) args.insert(args.end(), {"--output", "json"});
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

template <typename ArgsOf, typename Ended>
bool Wave::runSteps(WaveSchedule& schedule, ArgsOf argsOf, Ended ended) {
  std::vector<Step> running;
  bool interrupted = false;
  for (;;) {
    if (InterruptionGuard::requested() && !interrupted) {
      interrupted = true;
      schedule.stop();
      out_.note(
          "tolmi-gcp: interrupted: the parts under way finish their change in flight; "
          "no other part starts");
      for (Step& step : running) step.child->interrupt();
    }
    for (WaveSchedule::Id id : schedule.start())
      running.push_back({id, std::make_unique<ChildTool>(argsOf(id))});
    if (running.empty()) return !interrupted;
    std::vector<ChildTool*> children;
    for (Step& step : running) children.push_back(step.child.get());
    ChildTool::pump(children, milliseconds(200));
    for (auto step = running.begin(); step != running.end();) {
      if (!step->child->ended()) {
        ++step;
        continue;
      }
      for (std::size_t spoke : schedule.spokesOf(step->id))
        statuses_[spoke] = step->child->status();
      ended(step->id, *step->child);
      schedule.finished(step->id, step->child->status() == kDone);
      step = running.erase(step);
    }
  }
}

void Wave::showBlock(const WaveSpoke& spoke, const std::string& what, const std::string& out,
                     const std::string& err) {
  out_.flush();
  std::string header = "== " + spoke.name() + " (" + spoke.config + "): " + what + " ==";
  if (in_.events) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
      *in_.events << eventWithSpoke(line, spoke.name()) << '\n';
    in_.events->flush();
  } else if (!out.empty()) {
    text_ << header << '\n' << out << std::flush;
  }
  if (!err.empty()) out_.err() << header << '\n' << err << std::flush;
}

// The check before any change, each spoke's by a dry run of its own, all at once: the plan,
// shown in the order of the files.
int Wave::checkEach() {
  WaveSchedule schedule(std::vector<std::vector<WaveStep>>(spokes_.size(), {WaveStep{}}),
                        in_.maxChangesInFlight, true);
  std::vector<std::pair<std::string, std::string>> shown(spokes_.size());
  bool whole = runSteps(
      schedule,
      [&](WaveSchedule::Id id) {
        std::vector<std::string> extra{"--dry-run"};
        std::vector<std::string> parts;
        for (const WaveStep& step : stepsOf(in_, spokes_[id.spoke], true)) {
          parts.push_back(step.part);
          for (const std::string& stage : step.stages)
            extra.insert(extra.end(), {"--stage", stage});
        }
        if (!in_.only.empty() || !in_.stages.empty())
          extra.insert(extra.end(), {"--only", joined(parts, ",")});
        return argsFor(&spokes_[id.spoke], extra);
      },
      [&](WaveSchedule::Id id, const ChildTool& child) {
        shown[id.spoke] = {child.out(), child.err()};
      });
  for (std::size_t i = 0; i < spokes_.size(); ++i)
    showBlock(spokes_[i], in_.dryRun ? "dry run" : "plan", shown[i].first, shown[i].second);
  if (!whole) return kInterrupted;
  std::vector<std::string> refused;
  int worst = kDone;
  for (std::size_t i = 0; i < spokes_.size(); ++i)
    if (statuses_[i] != kDone && statuses_[i] != kErrorsLogged) {
      refused.push_back(spokes_[i].config);
      worst = std::max(worst, statuses_[i]);
    }
  if (refused.empty()) return kDone;
  out_.fail("tolmi-gcp: the check before any change refused " + std::to_string(refused.size()) +
            " of the wave's " + std::to_string(spokes_.size()) + " files (" +
            joined(refused, ", ") + "); nothing was sent");
  return worst == kStopped ? kStopped : kUsage;
}

int Wave::run() {
  statuses_.assign(spokes_.size(), -1);
  std::vector<std::string> conflicts = conflictsBetween(spokes_);
  for (const std::string& conflict : conflicts) out_.fail(conflict);
  if (!conflicts.empty()) {
    out_.fail("tolmi-gcp: " + std::to_string(conflicts.size()) +
              " conflict(s) between the wave's files; nothing was sent");
    return kUsage;
  }
  for (const std::string& stage : in_.stages)
    if (std::none_of(spokes_.begin(), spokes_.end(),
                     [&](const WaveSpoke& spoke) { return contains(spoke.stages, stage); })) {
      out_.fail("tolmi-gcp: --stage " + stage + ": none of the wave's files has such a stage");
      return kUsage;
    }
  for (const WaveSpoke& spoke : spokes_)
    if (stepsOf(in_, spoke, true).empty()) {
      out_.fail("tolmi-gcp: " + spoke.config + ": --only and --stage leave nothing of it");
      return kUsage;
    }
  if (int checked = checkEach(); checked != kDone) return checked;
  bool switching = in_.command == "switch";
  if (in_.dryRun) {
    out_.note("dry run of a wave of " + std::to_string(spokes_.size()) +
              " spokes: nothing was sent");
    return *std::max_element(statuses_.begin(), statuses_.end());
  }
  if (in_.answers && !in_.yes && !proceedAsked(out_, *in_.answers)) {
    out_.fail("tolmi-gcp: not confirmed; nothing was sent");
    return kUsage;
  }
  for (const WaveSpoke& spoke : spokes_) {
    std::set<std::string> settled = settledSteps(in_, spoke, switching);
    chains_.emplace_back();
    settled_.emplace_back();
    for (WaveStep& step : stepsOf(in_, spoke, switching))
      (settled.count(step.part) ? settled_.back() : chains_.back()).push_back(std::move(step));
  }
  routersTogether();
  WaveSchedule schedule(chains_, in_.maxChangesInFlight, in_.keepGoing);
  bool whole = runSteps(
      schedule,
      [&](WaveSchedule::Id id) {
        const WaveStep& step = schedule.step(id);
        std::vector<std::size_t> spokes = schedule.spokesOf(id);
        std::vector<std::string> names;
        for (std::size_t spoke : spokes) names.push_back(spokes_[spoke].name());
        // The blocks come when parts end; this says what is under way meanwhile.
        out_.note("started: " + joined(names, ", ") + " " + step.part +
                  (spokes.size() > 1 ? ", one patch per router" : ""));
        std::vector<std::string> extra{"--only", step.part, "--yes"};
        for (const std::string& stage : step.stages) extra.insert(extra.end(), {"--stage", stage});
        if (spokes.size() == 1) return argsFor(&spokes_[id.spoke], extra);
        extra.push_back("--routers-together");
        for (std::size_t spoke : spokes)
          extra.insert(extra.end(), {"--config", spokes_[spoke].config});
        return argsFor(nullptr, extra);
      },
      [&](WaveSchedule::Id id, const ChildTool& child) {
        if (schedule.spokesOf(id).size() == 1)
          return showBlock(spokes_[id.spoke], schedule.step(id).part, child.out(), child.err());
        // Its process heads each spoke's block itself.
        out_.flush();
        (in_.events ? *in_.events : text_) << child.out() << std::flush;
        out_.err() << child.err() << std::flush;
      });
  return summarize(schedule, !whole);
}

// Spokes whose routers parts patch a router in common run them as one process, one patch per
// router: the spokes that share a router, and those that share one with them.
void Wave::routersTogether() {
  std::vector<std::size_t> group(spokes_.size());
  for (std::size_t spoke = 0; spoke < spokes_.size(); ++spoke) group[spoke] = spoke;
  std::map<std::string, std::size_t> firstOn;  // router -> the first spoke patching it
  auto routersStep = [&](std::size_t spoke) -> WaveStep* {
    for (WaveStep& step : chains_[spoke])
      if (step.part == "routers") return &step;
    return nullptr;
  };
  auto root = [&](std::size_t spoke) {
    while (group[spoke] != spoke) spoke = group[spoke];
    return spoke;
  };
  for (std::size_t spoke = 0; spoke < spokes_.size(); ++spoke)
    if (const WaveStep* step = routersStep(spoke))
      for (const std::string& router : step->routers) {
        auto [first, fresh] = firstOn.emplace(router, spoke);
        if (!fresh) group[root(spoke)] = root(first->second);
      }
  for (std::size_t spoke = 0; spoke < spokes_.size(); ++spoke) {
    WaveStep* step = routersStep(spoke);
    if (!step) continue;
    for (std::size_t other = 0; other < spokes_.size(); ++other)
      if (routersStep(other) && root(other) == root(spoke)) step->together.push_back(other);
    if (step->together.size() == 1) step->together.clear();
  }
}

int Wave::summarize(const WaveSchedule& schedule, bool interrupted) {
  bool switching = in_.command == "switch";
  std::string ended = switching ? "switched" : "reverted";
  int status = interrupted ? kInterrupted : kDone;
  ResourceDocument spokes = ResourceDocument::array();
  for (std::size_t i = 0; i < spokes_.size(); ++i) {
    const WaveSpoke& spoke = spokes_[i];
    std::vector<std::string> done, left, settled;
    for (std::size_t step = 0; step < chains_[i].size(); ++step)
      (step < schedule.done(i) ? done : left).push_back(chains_[i][step].part);
    for (const WaveStep& step : settled_[i]) settled.push_back(step.part);
    std::string line = spoke.name() + " (" + spoke.config + "): ";
    if (!done.empty()) line += joined(done, ", ") + " " + ended;
    if (!settled.empty())
      line += (done.empty() ? "" : "; ") + joined(settled, ", ") +
              (switching ? " already switched" : ": nothing to revert");
    if (!left.empty()) {
      line += done.empty() && settled.empty() ? "" : "; ";
      if (schedule.failed(i))
        line +=
            "stopped at " + left.front() + " (exit status " + std::to_string(statuses_[i]) + ")";
      else
        line += joined(left, ", ") + " not started";
      bool changed = schedule.failed(i) || !done.empty();
      if (changed)
        line += switching ? "; take it back with: tolmi-gcp revert --config " + spoke.config
                          : "; finish with: tolmi-gcp revert --config " + spoke.config;
    }
    if (schedule.failed(i) && !interrupted)
      status = std::max(status, statuses_[i] == kErrorsLogged ? int{kErrorsLogged} : kStopped);
    out_.note("wave: " + line);
    spokes.push_back({{"spoke", spoke.name()},
                      {"config", spoke.config},
                      {"done", done},
                      {"left", left},
                      {"settled", settled},
                      {"failed", schedule.failed(i)},
                      {"exit_status", statuses_[i]}});
  }
  if (in_.events)
    *in_.events << jsonText({{"event", "summary"},
                             {"time", utcNow()},
                             {"command", in_.command},
                             {"dry_run", false},
                             {"wave", spokes},
                             {"exit_status", status}})
                << std::endl;
  return status;
}

}  // namespace

int runWave(const Invocation& in, Output& output, std::ostream& text) {
  InterruptionGuard interruption;
  return Wave(in, output, text).run();
}

}  // namespace tolmi_gcp::cli
