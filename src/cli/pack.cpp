#include "cli/pack.hpp"

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

#include "cli/estate_changes.hpp"
#include "cli/pack_page.hpp"
#include "cli/topology_drawing.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/res/revert_record.hpp"
#include "tolmi_gcp/text_lists.hpp"

namespace tolmi_gcp::cli {

namespace {

// A part of the run with the states around it.
struct Step {
  Part part;
  const RunState* before;
  const RunState* after;
  std::size_t changes;  // from `before` to `after`
};

std::vector<Step> stepsOf(const Foresight& seen) {
  std::vector<Step> steps;
  if (seen.states.empty()) return steps;
  const RunState* before = &seen.states.front();
  std::size_t changes = 0;
  for (std::size_t at = 1; at < seen.states.size() && steps.size() < seen.run.size(); ++at) {
    changes += seen.states[at].changes;
    if (seen.states[at].between) continue;
    steps.push_back({seen.run[steps.size()], before, &seen.states[at], changes});
    before = &seen.states[at];
    changes = 0;
  }
  return steps;
}

std::string routeId(const Route& route) {
  return "projects/" + route.network.project + "/global/routes/" + route.name;
}

std::string tagsText(const std::vector<std::string>& tags) {
  return tags.empty() ? "all instances" : joined(tags, ", ");
}

std::string peeringSettings(const Peering& peering) {
  auto yes = [](bool on) { return on ? "yes" : "no"; };
  return std::string("state ") + (peering.state.empty() ? "-" : peering.state) +
         ", import custom routes " + yes(peering.importCustomRoutes) + ", export custom routes " +
         yes(peering.exportCustomRoutes) + ", import public-IP subnet routes " +
         yes(peering.importSubnetRoutesWithPublicIp) + ", export public-IP subnet routes " +
         yes(peering.exportSubnetRoutesWithPublicIp) +
         (peering.peerMtu ? ", MTU " + std::to_string(*peering.peerMtu) : "");
}

// What the read-back after a part finds when the part did what it meant.
std::vector<std::string> readBackChecks(const EstateChanges& changes) {
  std::vector<std::string> checks;
  for (const EstateChanges::PeeringChange& change : changes.peerings)
    checks.push_back(change.after
                         ? "peering " + change.after->name + " of " + change.network.text() +
                               " to " + change.after->network.text() + " is there"
                         : "peering " + change.before->name + " of " + change.network.text() +
                               " is gone");
  for (const EstateChanges::RouteChange& change : changes.routes)
    checks.push_back(change.after
                         ? "route " + change.after->name + " is " + change.after->destRange +
                               " via " + nextHopText(change.after->nextHop) + ", priority " +
                               std::to_string(change.after->priority)
                         : "route " + change.before->name + " is gone");
  for (const EstateChanges::RouterChange& change : changes.routers)
    checks.push_back("router " + change.after.name + " (" + change.after.region + ") advertises " +
                     advertisedText(change.after));
  checks.push_back("traffic goes where the reachability table after this part says");
  return checks;
}

void writeDiff(Page& page, const EstateChanges& changes) {
  if (changes.empty()) {
    page.paragraph("No resource changes.");
    return;
  }
  if (!changes.routes.empty()) {
    Rows rows;
    for (const EstateChanges::RouteChange& change : changes.routes)
      for (const auto& [route, what] :
           {std::pair{&change.before, "delete"}, std::pair{&change.after, "create"}})
        if (*route)
          rows.push_back({what, (*route)->name, (*route)->network.text(), (*route)->destRange,
                          nextHopText((*route)->nextHop), std::to_string((*route)->priority),
                          tagsText((*route)->tags)});
    page.table({"Change", "Route", "Network", "Destination", "Next hop", "Priority", "Tags"}, rows);
  }
  if (!changes.peerings.empty()) {
    Rows rows;
    for (const EstateChanges::PeeringChange& change : changes.peerings) {
      const Peering& peering = change.after ? *change.after : *change.before;
      rows.push_back({change.before && change.after ? "change"
                      : change.after                ? "add"
                                                    : "remove",
                      change.network.text(), peering.name, peering.network.text(),
                      change.before ? peeringSettings(*change.before) : "-",
                      change.after ? peeringSettings(*change.after) : "-"});
    }
    page.table({"Change", "Network", "Peering end", "Peer", "Before", "After"}, rows);
  }
  if (!changes.routers.empty()) {
    Rows rows;
    for (const EstateChanges::RouterChange& change : changes.routers)
      rows.push_back({change.before.name, change.before.region, change.before.network.text(),
                      advertisedText(change.before), advertisedText(change.after)});
    page.table({"Router", "Region", "Network", "Advertises before", "Advertises after"}, rows);
  }
}

// The pictures of one plan, drawn once for both pages.
struct Pictures {
  std::string beforeFile, afterFile, beforeSvg, afterSvg;
};

std::string pictureName(const std::string& when, std::size_t index, std::size_t count) {
  return "topology-" + when + (count == 1 ? "" : "-" + std::to_string(index + 1)) + ".svg";
}

std::chrono::seconds timeOf(std::size_t changes, std::chrono::seconds estimate) {
  return estimate * static_cast<long long>(changes);
}

std::string auditQuery(const std::vector<SpokePlan>& plans) {
  std::set<std::string> projects, resources;
  for (const SpokePlan& plan : plans) {
    if (plan.seen.states.empty()) continue;
    const EstateChanges changes =
        changesBetween(plan.seen.states.front().estate, plan.seen.states.back().estate);
    for (const EstateChanges::RouteChange& change : changes.routes) {
      const Route& route = change.after ? *change.after : *change.before;
      projects.insert(route.network.project);
      resources.insert(routeId(route));
    }
    for (const EstateChanges::PeeringChange& change : changes.peerings) {
      projects.insert(change.network.project);
      resources.insert("projects/" + change.network.project + "/global/networks/" +
                       change.network.network);
    }
    for (const EstateChanges::RouterChange& change : changes.routers) {
      projects.insert(change.before.project);
      resources.insert("projects/" + change.before.project + "/regions/" + change.before.region +
                       "/routers/" + change.before.name);
    }
  }
  if (resources.empty()) return "";
  std::vector<std::string> logs, names;
  for (const std::string& project : projects)
    logs.push_back("logName=\"projects/" + project +
                   "/logs/cloudaudit.googleapis.com%2Factivity\"");
  for (const std::string& resource : resources)
    names.push_back("protoPayload.resourceName=\"" + resource + "\"");
  return "(" + joined(logs, " OR\n ") + ")\nAND\n(" + joined(names, " OR\n ") + ")\n";
}

std::string importsTf(const std::vector<SpokePlan>& plans) {
  std::string out =
      "# The routes the switch creates, to bring into the Terraform state once it is done.\n";
  std::string gone;
  for (const SpokePlan& plan : plans) {
    if (plan.seen.states.empty()) continue;
    const EstateChanges changes =
        changesBetween(plan.seen.states.front().estate, plan.seen.states.back().estate);
    out += "\n# " + plan.spoke.text() + "\n";
    for (const EstateChanges::RouteChange& change : changes.routes) {
      if (change.after)
        out += "import {\n  to = google_compute_route." + change.after->name + "\n  id = \"" +
               routeId(*change.after) + "\"\n}\n";
      if (change.before) gone += "#   google_compute_route " + routeId(*change.before) + "\n";
    }
    for (const EstateChanges::PeeringChange& change : changes.peerings)
      if (change.before && !change.after)
        gone += "#   google_compute_network_peering " + change.network.project + "/" +
                change.network.network + "/" + change.before->name + "\n";
  }
  if (!gone.empty())
    out +=
        "\n# What the switch deletes and removes: take these out of the Terraform state\n"
        "# (terraform state rm) or out of the configuration.\n" +
        gone;
  return out;
}

void writeContent(Page& page, const std::vector<SpokePlan>& plans,
                  const std::vector<Pictures>& pictures, std::chrono::seconds estimate,
                  const std::string& audit) {
  page.heading(
      1, "Change pack: switch of " + [&] {
        std::vector<std::string> spokes;
        for (const SpokePlan& plan : plans) spokes.push_back(plan.spoke.text());
        return joined(spokes, ", ");
      }());
  page.paragraph("Written by tolmi-gcp " + std::string(TOLMI_GCP_VERSION) + " at " + utcNow() +
                 " from the estate as read then; nothing was changed. Times are estimated at " +
                 durationText(estimate) + " a change (--operation-estimate).");
  std::vector<std::string> problems;
  for (const SpokePlan& plan : plans)
    problems.insert(problems.end(), plan.problems.begin(), plan.problems.end());
  if (!problems.empty())
    page.alert(
        "Problems found by the check before the first change: the switch refuses to run "
        "until they are fixed",
        problems);

  page.heading(2, "Spokes");
  Rows spokes;
  for (const SpokePlan& plan : plans) {
    std::vector<std::string> transits, parts;
    for (const NetworkKey& transit : plan.transits) transits.push_back(transit.text());
    for (const Part& part : plan.seen.run) parts.push_back(part.label());
    spokes.push_back({plan.spoke.text(), plan.config, Cell(transits),
                      parts.empty() ? Cell("none left to switch") : Cell(parts),
                      std::to_string(plan.problems.size())});
  }
  page.table({"Spoke", "Migration file", "Transit networks", "Parts to switch", "Problems"},
             spokes);

  for (std::size_t index = 0; index < plans.size(); ++index) {
    const SpokePlan& plan = plans[index];
    const std::vector<Step> steps = stepsOf(plan.seen);
    page.heading(2, "Spoke " + plan.spoke.text());
    if (steps.empty()) {
      page.paragraph("Nothing left to switch: every part is switched.");
      continue;
    }
    page.heading(3, "Topology");
    page.picture("Before the switch", pictures[index].beforeFile, pictures[index].beforeSvg);
    page.picture("After the switch", pictures[index].afterFile, pictures[index].afterSvg);

    page.heading(3, "Warnings of the check");
    if (plan.seen.found.warnings.empty())
      page.paragraph("None.");
    else
      page.list(plan.seen.found.warnings);

    page.heading(3, "Steps");
    Rows rows;
    std::size_t total = 0;
    for (std::size_t at = 0; at < steps.size(); ++at) {
      const Step& step = steps[at];
      total += step.changes;
      rows.push_back({std::to_string(at + 1), step.part.label(),
                      Cell(plan.switchCommands[at], true), std::to_string(step.changes),
                      durationText(timeOf(step.changes, estimate)),
                      readBackChecks(changesBetween(step.before->estate, step.after->estate))});
    }
    page.table({"#", "Part", "Command", "Changes", "Estimated time", "Read-back checks"}, rows);
    page.paragraph("The whole switch: " + std::to_string(total) + " changes, about " +
                   durationText(timeOf(total, estimate)) + ".");

    page.heading(3, "Changes per part");
    for (const Step& step : steps) {
      page.heading(4, step.part.label());
      writeDiff(page, changesBetween(step.before->estate, step.after->estate));
    }

    page.heading(3, "Reachability");
    const std::vector<ReachabilityReport::Table> tables = plan.seen.reach->tables(estimate);
    std::vector<std::string> gaps;
    if (tables.empty()) page.paragraph("No path changes in any state of the run.");
    for (const ReachabilityReport::Table& table : tables) {
      page.heading(4, table.state + " (" + std::to_string(table.changes) +
                          (table.changes == 1 ? " change)" : " changes)"));
      Rows paths;
      for (const ReachabilityReport::Row& row : table.rows) {
        paths.push_back({row.from, row.range, row.was, row.now, row.gap.empty() ? "-" : row.gap});
        if (!row.gap.empty())
          gaps.push_back(row.range + " from " + row.from + " " + table.state + ": " + row.gap);
      }
      page.table({"From", "Destination", "Before", "After", "Gap"}, paths);
    }
    page.heading(4, "Gaps");
    if (gaps.empty())
      page.paragraph("None: no destination goes undelivered for a while.");
    else
      page.list(gaps);

    page.heading(3, "Back-out");
    page.paragraph(
        "Revert takes the parts back in the opposite order, one change for each change of the "
        "switch, restoring what the revert record holds. Restored looks like the picture before "
        "the switch; the read-back after each part compares what it restored with the record.");
    Rows back;
    for (std::size_t at = steps.size(); at-- > 0;)
      back.push_back({std::to_string(steps.size() - at), steps[at].part.label(),
                      Cell(plan.revertCommands[at], true), std::to_string(steps[at].changes),
                      durationText(timeOf(steps[at].changes, estimate))});
    page.table({"#", "Part", "Command", "Changes", "Estimated time"}, back);
    page.paragraph("The whole back-out: about " + durationText(timeOf(total, estimate)) + ".");
  }

  page.heading(2, "Terraform and audit");
  page.paragraph(
      "terraform/imports.tf holds an import block for each route the switch creates and lists "
      "what it deletes and the peerings it removes. The Cloud Logging query in audit-query.txt "
      "shows the Admin Activity entries of exactly the resources this plan touches; set the "
      "window of the change in the Logs Explorer's time range:");
  page.code(audit.empty() ? "(the plan touches no resource)" : audit);
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (!file) throw Error("cannot write " + path.string());
}

}  // namespace

SpokePlan spokePlanOf(const Invocation& invocation, Setup& setup, Output& output,
                      int errorsBefore) {
  Migration migration(invocation, setup, output, errorsBefore);
  const EstateScope scope = EstateScope::of(setup.migration);
  SpokePlan plan{
      invocation.config, scope.spoke, scope.transits, {}, migration.foresee(true), {}, {}};
  for (const std::string& problem : setup.fileProblems)
    plan.problems.push_back(invocation.config + ": " + problem);
  for (const std::string& problem : plan.seen.found.problems)
    plan.problems.push_back(invocation.config + ": " + problem);
  for (const Part& part : plan.seen.run) {
    plan.switchCommands.push_back(migration.commandFor("switch", part));
    plan.revertCommands.push_back(migration.commandFor("revert", part));
  }
  return plan;
}

std::vector<std::string> writePack(const std::vector<SpokePlan>& plans, const std::string& dir,
                                   std::chrono::seconds operationEstimate) {
  const std::filesystem::path root(dir);
  std::error_code failed;
  std::filesystem::create_directories(root / "terraform", failed);
  if (failed) throw Error("cannot make " + (root / "terraform").string() + ": " + failed.message());
  std::vector<std::string> written;
  auto write = [&](const std::string& name, const std::string& text) {
    writeFile(root / name, text);
    written.push_back((root / name).string());
  };
  std::vector<Pictures> pictures;
  for (std::size_t index = 0; index < plans.size(); ++index) {
    const SpokePlan& plan = plans[index];
    Pictures drawn{pictureName("before", index, plans.size()),
                   pictureName("after", index, plans.size()), "", ""};
    if (!plan.seen.states.empty()) {
      const Estate& before = plan.seen.states.front().estate;
      const Estate& after = plan.seen.states.back().estate;
      const EstateChanges changes = changesBetween(before, after);
      drawn.beforeSvg = svgOfDot(topologyDot({before, changes, true, plan.spoke, plan.transits}));
      drawn.afterSvg = svgOfDot(topologyDot({after, changes, false, plan.spoke, plan.transits}));
      write(drawn.beforeFile, drawn.beforeSvg);
      write(drawn.afterFile, drawn.afterSvg);
    }
    pictures.push_back(std::move(drawn));
  }
  const std::string audit = auditQuery(plans);
  std::unique_ptr<Page> html = htmlPage("Change pack");
  writeContent(*html, plans, pictures, operationEstimate, audit);
  write("plan.html", html->finished());
  std::unique_ptr<Page> markdown = markdownPage();
  writeContent(*markdown, plans, pictures, operationEstimate, audit);
  write("plan.md", markdown->finished());
  write("terraform/imports.tf", importsTf(plans));
  write("audit-query.txt", audit);
  return written;
}

int runPack(const std::vector<SpokePlan>& plans, const std::string& dir,
            std::chrono::seconds operationEstimate, Output& output) {
  for (const std::string& written : writePack(plans, dir, operationEstimate))
    output.note("wrote " + written);
  std::vector<std::string> problems;
  for (const SpokePlan& plan : plans)
    problems.insert(problems.end(), plan.problems.begin(), plan.problems.end());
  if (problems.empty()) return kDone;
  for (const std::string& problem : problems) output.fail(problem);
  output.note(std::to_string(problems.size()) +
              " problem(s) found before any change: the pack shows them, and the switch refuses "
              "to run until they are fixed");
  return kUsage;
}

}  // namespace tolmi_gcp::cli
