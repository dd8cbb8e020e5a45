#include "cli/migration.hpp"

#include <algorithm>
#include <istream>
#include <ostream>

#include "cli/interruption.hpp"
#include "cli/reachability_report.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/network_key.hpp"
#include "tolmi_gcp/parts.hpp"
#include "tolmi_gcp/res/Globals.hpp"
#include "tolmi_gcp/res/revert_record.hpp"
#include "tolmi_gcp/resource_link.hpp"

namespace tolmi_gcp::cli {

namespace {

// A command as the notes show it: `tolmi-gcp ...`.
std::string quoted(const std::string& command) { return "`" + command + "`"; }

}  // namespace

Migration::Migration(const Invocation& invocation, Setup& setup, Output& output, int errorsBefore)
    : in_(invocation),
      setup_(setup),
      store_(*setup.store),
      out_(output),
      errorsBefore_(errorsBefore) {
  for (const std::string& problem : setup.fileProblems)
    problems_.push_back(invocation.config + ": " + problem);
}

int Migration::run() {
  int status = kDone;
  try {
    status = migrate(in_.command == "switch");
  } catch (const ConfigError& failure) {
    if (changing_) {
      status = stopped(failure);
    } else {
      out_.fail(std::string("tolmi-gcp: ") + failure.what());
      status = kUsage;
    }
  } catch (const std::exception& failure) {
    status = stopped(failure);
  } catch (const Interrupted&) {
    status = interrupted();
  }
  writeSummaryEvent(status);
  return status;
}

// The closing JSON line: what the run set out to do, where each part stands, and how it ended.
void Migration::writeSummaryEvent(int status) {
  ChangeLog& changes = *setup_.changes;
  changes.finish();
  ResourceDocument parts = ResourceDocument::array();
  std::vector<Part> covered = finished_;
  if (current_) covered.push_back(*current_);
  for (const Part& part : covered)
    parts.push_back({{"part", part.label()}, {"state", store_.state(setup_.spoke, part)}});
  ResourceDocument made = ResourceDocument::object();
  for (const auto& [kind, count] : changes.made()) made[kind] = count;
  changes.write("summary", {{"time", utcNow()},
                            {"command", in_.command},
                            {"spoke", setup_.spoke},
                            {"dry_run", in_.dryRun},
                            {"plan",
                             {{"peering_ends", plan_.peeringEnds},
                              {"routes_to_delete", plan_.routesToDelete},
                              {"routes_to_create", plan_.routesToCreate},
                              {"routers", plan_.routers}}},
                            {"problems", problems_},
                            {"parts", parts},
                            {"changes", made},
                            {"failed_changes", changes.failed()},
                            {"errors", errors()},
                            {"mismatches", mismatches_},
                            {"failed_restores", Globals::failedRestores},
                            {"revert_file", store_.savePath()},
                            {"exit_status", status}});
}

int Migration::interrupted() {
  if (!changing_) {
    out_.fail("tolmi-gcp: interrupted before any change; nothing was changed");
    return kInterrupted;
  }
  std::string whole = quoted("tolmi-gcp revert" + sameFiles());
  if (current_)
    out_.fail("tolmi-gcp: interrupted during " + current_->label() + "; " +
              quoted(commandFor("revert", *current_)) + " takes back " + current_->label() +
              " alone, " + whole + " every part switched");
  else
    out_.fail("tolmi-gcp: interrupted during " + in_.command + "; " + whole +
              " takes back what was done");
  if (current_ && in_.command == "switch") out_.note(stoppedHalfWay());
  summarize();
  return kInterrupted;
}

int Migration::errors() const { return out_.libraryErrors() - errorsBefore_; }

// The parts this run covers, in the order it runs them.
std::vector<Part> Migration::selectParts(bool switching) const {
  auto wanted = [&](const std::string& part) {
    return in_.only.empty() || contains(in_.only, part);
  };
  std::vector<std::string> stages = setup_.fileStages;
  if (!switching) {
    // Stages recorded for this spoke but no longer in the file are still taken back.
    for (const std::string& stage : RevertRecord{}.stagesOf(setup_.spoke))
      if (!contains(stages, stage)) stages.push_back(stage);
    for (const std::string& stage : in_.stages)
      if (!contains(stages, stage))
        throw ConfigError("--stage " + stage + ": neither " + in_.config + " nor " +
                          in_.revertFile + " knows that stage for " + setup_.spoke);
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

// Once the run has timed operations, the gaps the part opens, estimated again at the time they
// took: the plan could only guess it.
void Migration::showMeasuredGaps(const ReachabilityReport& reach, const Part& part) const {
  std::optional<std::chrono::milliseconds> measured = setup_.operationTimes->mean();
  if (!measured) return;
  auto perChange =
      std::max(std::chrono::seconds(1), std::chrono::round<std::chrono::seconds>(*measured));
  std::vector<std::string> lines;
  for (const ReachabilityReport::Table& table : reach.tables(perChange)) {
    if (table.state != "after " + part.label() && !table.state.ends_with(" " + part.label()))
      continue;
    for (const ReachabilityReport::Row& row : table.rows)
      if (!row.gap.empty()) lines.push_back(row.line());
  }
  if (lines.empty()) return;
  out_.note("reachability during " + part.label() + ", at the " + durationText(perChange) +
            " a change this run's operations have taken:");
  for (const std::string& line : lines) out_.note(line);
}

// "routes stage-1 switched at 2024-05-01T12:00:00Z", "routers not switched".
std::string Migration::describe(const Part& part) const {
  std::string state = store_.state(setup_.spoke, part);
  std::string when = store_.stateTime(setup_.spoke, part);
  return part.label() + " " + (state.empty() ? "not switched" : state) +
         (when.empty() ? "" : " at " + when);
}

Foresight Migration::foresee(bool switching) {
  Foresight seen;
  seen.run = switching ? partsToSwitch() : partsToRevert();
  planned_ = seen.run.size();
  if (seen.run.empty()) return seen;
  if (!switching || in_.force) awaitEarlierChanges(seen.run);
  estate_ = readEstate(*Globals::service, scopeOfRun(switching));
  seen.states = statesOfRun(estate_, seen.run, switching);
  seen.found = switching ? checkSwitch(seen.states, seen.run) : checkRevert(seen.states, seen.run);
  plan_ = seen.found.plan;
  probes_ = probesOfRun(estate_);
  seen.reach.emplace(seen.states, probes_);
  if (!in_.acceptUnreachable) {
    const std::vector<std::string> lost = seen.reach->lost();
    seen.found.problems.insert(seen.found.problems.end(), lost.begin(), lost.end());
  }
  return seen;
}

int Migration::migrate(bool switching) {
  Foresight seen = foresee(switching);
  const std::vector<Part>& run = seen.run;
  const Findings& found = seen.found;
  if (run.empty() && problems_.empty()) {
    std::string note = switching ? "nothing left to switch for " : "nothing left to revert for ";
    note += setup_.spoke + " in " + in_.revertFile;
    if (!store_.existed()) note += ": the file does not exist";
    out_.note(note);
    return kDone;
  }
  if (seen.reach && !in_.acceptUnreachable && !seen.reach->lost().empty())
    out_.note(
        "the run would leave undelivered what the estate delivers now; "
        "--accept-unreachable lets it through");
  refuseProblems(switching ? in_.config : in_.revertFile, found.problems);
  const ReachabilityReport& reach = *seen.reach;
  for (const std::string& line : reach.lines(in_.operationEstimate)) out_.note(line);
  reach.writeEvents(*setup_.changes);
  for (const std::string& warning : found.warnings) out_.note("warning: " + warning);
  out_.note(found.plan.line(switching));
  if (!confirmed()) {
    out_.fail("tolmi-gcp: not confirmed; nothing was sent");
    return kUsage;
  }
  store_.installSaver();
  changing_ = true;
  for (const Part& part : run) {
    current_ = part;
    setup_.changes->setPart(part.label());
    store_.mark(setup_.spoke, part, switching ? "switching" : "reverting");
    int errorsBefore = errors();
    int failedBefore = Globals::failedRestores;
    // What the part should leave, foreseen before it changes the record.
    std::optional<Estate> meant;
    std::string unpredictable;
    if (!in_.dryRun) try {
        meant = predicted(estate_, part, switching);
      } catch (const Error& failure) {
        unpredictable = failure.what();
      }
    showMeasuredGaps(reach, part);
    runPart(part, switching);
    std::size_t mismatches = verified(part, meant, unpredictable, switching);
    bool held = part.kind == Part::kRouters && in_.heldRouterPatches && !in_.dryRun;
    if (errors() == errorsBefore && Globals::failedRestores == failedBefore && mismatches == 0) {
      if (held)
        out_.note(part.label() + ": the patches are held, to go out one per router with those " +
                  "of the other spokes that share them; it stays \"" +
                  (switching ? "switching" : "reverting") + "\" until then");
      else
        store_.mark(setup_.spoke, part, switching ? "switched" : "reverted");
    } else if (switching)
      out_.note(part.label() + " is not switched as meant: it stays \"switching\" with its " +
                "record; once the cause is fixed, " + waysOn(part));
    else
      out_.note(part.label() + " is not restored as recorded: it stays \"reverting\" with its " +
                "record, so that revert can be run again once the cause is fixed");
    setup_.changes->write(
        "part",
        {{"time", utcNow()}, {"part", part.label()}, {"state", store_.state(setup_.spoke, part)}});
    finished_.push_back(part);
  }
  current_.reset();
  return summarize();
}

// A change sent before this run (by a run that was killed, or whose answer was lost) may still be
// under way, and would land after this run's check or restore: the operations not yet done on the
// networks and routes the run restores or finishes are waited for first.
void Migration::awaitEarlierChanges(const std::vector<Part>& run) {
  bool peerings = false, routes = false;
  for (const Part& part : run) {
    peerings = peerings || part.kind == Part::kPeerings;
    routes = routes || part.kind == Part::kRoutes;
  }
  if (!peerings && !routes) return;
  std::vector<std::string> projects = {setup_.project}, networks = {setup_.spoke};
  for (const ResourceDocument& transit : YamlContext{}.getContext("transit_vpcs")) {
    const std::optional<NetworkKey> key = transitNetwork(transit);
    if (!key) continue;
    networks.push_back(key->text());
    if (!contains(projects, key->project)) projects.push_back(key->project);
  }
  // A peering change targets a network, a route change the route.
  auto awaited = [&](const std::optional<ResourceLink>& target) {
    if (!target || target->scope() != ResourceLink::Scope::kGlobal) return false;
    if (target->collection() == "networks")
      return peerings && contains(networks, NetworkKey{target->project(), target->name()}.text());
    return routes && target->collection() == "routes" && target->project() == setup_.project;
  };
  ComputeService& api = *Globals::service;
  for (const std::string& project : projects) {
    std::vector<std::string> pending;
    std::optional<Request> page = api.globalOperations().list(project, "status != \"DONE\"");
    while (page) {
      ResourceDocument answer = page->execute();
      for (const ResourceDocument& operation : arrayOrEmpty(answer, "items")) {
        std::optional<ResourceLink> target =
            ResourceLink::parse(textOf(memberOrNull(operation, "targetLink")));
        if (awaited(target))
          pending.push_back(textOf(memberOrNull(operation, "name")) + " on " + target->text());
      }
      page = api.globalOperations().list_next(*page, answer);
    }
    for (const std::string& operation : pending) {
      out_.note("waiting for " + operation + ", a change sent before this run, to finish");
      try {
        GcpLib::wait_for_global_operation(api, project, operation.substr(0, operation.find(' ')));
      } catch (const OperationError&) {
        // It ended without its change: there is nothing more to wait for.
      }
    }
  }
}

// Reads back what `part` changed (not in a dry run, which changes nothing) and reports each
// difference from what it meant to do as an error; returns how many there were.
std::size_t Migration::verified(const Part& part, const std::optional<Estate>& meant,
                                const std::string& unpredictable, bool switching) {
  if (in_.dryRun) return 0;
  std::vector<std::string> differences, reachability;
  if (meant) {
    ReadBack back = readBack(estate_, *meant, part, switching);
    estate_ = std::move(back.now);
    differences = std::move(back.differences);
    // Where traffic goes in the estate read back, against where the plan said it would.
    reachability = ReachabilityReport::differences(*meant, estate_, probes_);
  } else {
    differences.push_back("what the part should leave cannot be foreseen: " + unpredictable);
  }
  auto report = [&](const std::string& what, const std::vector<std::string>& found) {
    for (const std::string& difference : found) {
      out_.fail("**Error** verify " + what + ": " + difference);
      setup_.changes->write("mismatch", {{"part", part.label()}, {"detail", difference}});
    }
  };
  report(part.label(), differences);
  report("reachability", reachability);
  mismatches_ += differences.size() + reachability.size();
  return differences.size() + reachability.size();
}

// A person at a terminal confirms the plan; --yes, a dry run or no terminal go ahead.
bool Migration::confirmed() {
  return !in_.answers || in_.yes || in_.dryRun || proceedAsked(out_, *in_.answers);
}

void Migration::refuseProblems(const std::string& file, const std::vector<std::string>& problems) {
  for (const std::string& problem : problems) {
    out_.fail(file + ": " + problem);
    problems_.push_back(file + ": " + problem);
  }
  if (!problems_.empty())
    throw ConfigError(std::to_string(problems_.size()) +
                      " problem(s) found before any change; nothing was sent");
}

// The options that point another run at this run's files and endpoint.
std::string Migration::sameFiles() const {
  return " --config " + in_.config +
         (in_.revertFile == defaultRevertFile(in_.config) ? ""
                                                          : " --revert-file " + in_.revertFile) +
         (in_.endpoint ? " --endpoint " + *in_.endpoint : "");
}

// How to go on from a switch that left `part` half-way; the forced run does only what is left.
std::string Migration::waysOn(const Part& part) const {
  return quoted(commandFor("switch", part, " --force")) + " finishes it, or " +
         quoted(commandFor("revert", part)) + " takes it back";
}

// What is left of a switch stopped in the middle of its current part.
std::string Migration::stoppedHalfWay() const {
  std::string note =
      current_->label() + " stays \"switching\" with its record: " + waysOn(*current_);
  if (finished_.size() + 1 < planned_) note += "; then this switch again runs the parts after it";
  return note;
}

// The command line that runs `part` alone.
std::string Migration::commandFor(const std::string& command, const Part& part,
                                  const std::string& extra) const {
  std::string only = part.kind == Part::kRoutes ? "routes --stage " + part.stage : part.label();
  return "tolmi-gcp " + command + sameFiles() + " --only " + only + extra;
}

// Parts already switched are skipped (--force runs them again, keeping what they recorded). A part
// a run left half-way is refused unless forced: it holds the only way back. The record of a
// reverted part has served: it moves to the history, so that the next revert restores what this
// switch changes and no more. These moves reach the file with the first part's mark, once the
// check has passed and the plan is confirmed.
std::vector<Part> Migration::partsToSwitch() {
  std::vector<Part> run, forced, reverted;
  std::vector<std::string> refusals;
  for (const Part& part : selectParts(true)) {
    std::string state = store_.state(setup_.spoke, part);
    if (state == "reverted" && RevertRecord{}.recorded(setup_.spoke, part))
      reverted.push_back(part);
    if (state == "switched" && !in_.force) {
      out_.note("already switched, skipped: " + describe(part));
      continue;
    }
    if ((state == "switching" || state == "reverting") && !in_.force)
      refusals.push_back(describe(part) + ", left half-way: take it back with " +
                         quoted(commandFor("revert", part)) + ", or run it again with " +
                         quoted(commandFor("switch", part, " --force")));
    if (!state.empty() && state != "reverted") forced.push_back(part);
    run.push_back(part);
  }
  if (!refusals.empty())
    throw ConfigError(setup_.spoke + " is not ready to switch: " + joined(refusals, "; "));
  if (!forced.empty()) {
    std::vector<std::string> states;
    for (const Part& part : forced) states.push_back(describe(part));
    out_.note("--force: switching again " + joined(states, ", ") +
              "; what they recorded stays in the record, and a copy goes to the history of " +
              store_.savePath() + " unless the run is refused");
    store_.keepInHistory(setup_.spoke, forced);
    for (const Part& part : forced) store_.keepRecorded(setup_.spoke, part);
  }
  if (!reverted.empty()) {
    store_.keepInHistory(setup_.spoke, reverted);
    store_.forget(setup_.spoke, reverted);
  }
  return run;
}

// Parts switched, or on the way there or back; the others are skipped, with a line saying so.
std::vector<Part> Migration::partsToRevert() {
  if (in_.fromHistory) {
    try {
      store_.takeFromHistory(*in_.fromHistory, setup_.spoke);
    } catch (const ConfigError& failure) {
      throw ConfigError("--from-history " + std::to_string(*in_.fromHistory) + ": " +
                        failure.what());
    }
  }
  std::vector<Part> run;
  for (const Part& part : selectParts(false)) {
    std::string state = store_.state(setup_.spoke, part);
    if (!state.empty() && state != "reverted")
      run.push_back(part);
    else
      out_.note("nothing to revert: " + describe(part));
  }
  return run;
}

int Migration::stopped(const std::exception& failure) {
  std::string where = current_ ? " stopped at " + current_->label() : " stopped";
  out_.fail("tolmi-gcp: " + in_.command + " of " + setup_.spoke + where + ": " + failure.what());
  if (!changing_) {
    out_.note("nothing was changed");
    return kStopped;
  }
  if (current_ && in_.command == "switch") out_.note(stoppedHalfWay());
  return summarize();
}

int Migration::summarize() {
  // A dry run switched nothing: its parts are said as the would-be record leaves them,
  // "routes stage-1 would be switched", "routers would be left switching".
  auto said = [&](const Part& part) {
    if (!in_.dryRun) return describe(part);
    std::string state = store_.state(setup_.spoke, part);
    bool ended = state == "switched" || state == "reverted";
    return part.label() + " would be " + (ended ? "" : "left ") + state;
  };
  std::vector<std::string> states;
  for (const Part& part : finished_) states.push_back(said(part));
  if (current_) states.push_back(said(*current_));
  std::string dry = in_.dryRun ? "dry run of " : "";
  if (!states.empty())
    out_.note(dry + in_.command + " of " + setup_.spoke + ": " + joined(states, ", "));
  std::vector<std::string> changes;
  for (const auto& [kind, count] : setup_.changes->made())
    changes.push_back(kind + " " + std::to_string(count));
  out_.note("changes made: " + (changes.empty() ? std::string("none") : joined(changes, ", ")));
  if (int failed = setup_.changes->failed(); failed > 0)
    out_.note("failed changes: " + std::to_string(failed));
  int errors = this->errors();
  out_.note("errors logged: " + std::to_string(errors) +
            (errors > 0 ? " (the lines marked **Error** above)" : ""));
  if (Globals::failedRestores > 0)
    out_.note("restore steps that failed: " + std::to_string(Globals::failedRestores));
  if (mismatches_ > 0)
    out_.note("mismatches found on reading back: " + std::to_string(mismatches_) +
              " (the lines marked **Error** verify above)");
  if (in_.dryRun)
    out_.note("would-be revert record: " + store_.savePath() + " (" + in_.revertFile +
              " untouched)");
  else
    out_.note("revert record: " + store_.savePath());
  if (current_) return kStopped;
  return errors > 0 || Globals::failedRestores > 0 || mismatches_ > 0 ? kErrorsLogged : kDone;
}

}  // namespace tolmi_gcp::cli
