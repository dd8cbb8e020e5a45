#include "cli/reachability_report.hpp"

#include <map>
#include <optional>

#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp::cli {

namespace {

// "peering x", "r1 via instance gw [cannot forward: it is TERMINATED, not RUNNING]", "none".
std::string shownPath(const Path& path) {
  std::string text = path.via.empty() ? std::string(verdictName(path.verdict)) : path.via;
  if (path.verdict == Verdict::kInternet || path.verdict == Verdict::kNone)
    text += " [" + std::string(verdictName(path.verdict)) + "]";
  else if (!path.forwards)
    text += " [cannot forward: " + path.why + "]";
  else if (path.verdict == Verdict::kUnknown && !path.why.empty())
    text += " [" + path.why + "]";
  return text;
}

bool delivered(const Path& path) { return !path.broken() && path.verdict != Verdict::kUnknown; }

std::string rangeOf(const Path& path) {
  std::string tags;
  for (const std::string& tag : path.tags) tags += (tags.empty() ? " (tags " : ", ") + tag;
  return path.range + (tags.empty() ? "" : tags + ")");
}

}  // namespace

std::string durationText(std::chrono::seconds seconds) {
  long long s = seconds.count();
  return s >= 60 ? std::to_string(s / 60) + "m " + std::to_string(s % 60) + "s"
                 : std::to_string(s) + "s";
}

std::vector<ReachabilityReport::Answer> ReachabilityReport::answersIn(
    const Estate& estate, const std::vector<Probe>& probes) {
  std::vector<Answer> answers;
  std::map<std::string, std::optional<RoutingTable>> tables;  // by network, gathered once
  for (const Probe& probe : probes) {
    std::vector<Path> paths;
    try {
      std::optional<RoutingTable>& table = tables[probe.from.text()];
      if (!table) table.emplace(estate, probe.from);
      paths = table->pathsTo(probe.destination);
    } catch (const Error& failure) {
      paths = {{probe.destination, {}, Verdict::kUnknown, {}, "", true, failure.what()}};
    }
    // A range that several probes reach (a route's, and a part of the default route) is
    // answered once.
    for (Path& path : paths) {
      Answer answer{probe.from.text(), std::move(path)};
      if (!sameAs(answers, answer)) answers.push_back(std::move(answer));
    }
  }
  return answers;
}

ReachabilityReport::ReachabilityReport(const std::vector<RunState>& states,
                                       const std::vector<Probe>& probes) {
  for (const RunState& state : states) {
    labels_.push_back(state.label);
    changes_.push_back(state.changes);
    answers_.push_back(answersIn(state.estate, probes));
  }
}

const Path* ReachabilityReport::sameAs(const std::vector<Answer>& answers, const Answer& answer,
                                       bool untagged) {
  for (const Answer& candidate : answers)
    if (candidate.from == answer.from && candidate.path.range == answer.path.range &&
        (untagged ? candidate.path.tags.empty() : candidate.path.tags == answer.path.tags))
      return &candidate.path;
  return nullptr;
}

// Tagged instances go the way of all where no path of their own is shown.
const Path* ReachabilityReport::pathFor(const std::vector<Answer>& answers, const Answer& answer) {
  const Path* same = sameAs(answers, answer);
  return same || answer.path.tags.empty() ? same : sameAs(answers, answer, true);
}

const Path* ReachabilityReport::sameIn(std::size_t other, const Answer& answer) const {
  return pathFor(answers_[other], answer);
}

std::vector<ReachabilityReport::Table> ReachabilityReport::tables(
    std::chrono::seconds operationEstimate) const {
  std::vector<Table> out;
  for (std::size_t state = 1; state < answers_.size(); ++state) {
    Table table{labels_[state], changes_[state], {}};
    for (const Answer& answer : answers_[state]) {
      const Path* was = sameIn(state - 1, answer);
      if (was && *was == answer.path) continue;
      Row row{rangeOf(answer.path), answer.from, was ? shownPath(*was) : "(new)",
              shownPath(answer.path), ""};
      if (!delivered(answer.path) && was && delivered(*was)) {
        // Delivered again later: a gap, as long as the changes until then.
        std::size_t changes = 0;
        for (std::size_t later = state + 1; later < answers_.size(); ++later) {
          changes += changes_[later];
          if (const Path* then = sameIn(later, answer); then && delivered(*then)) {
            row.gap = "about " + durationText(operationEstimate * static_cast<long long>(changes)) +
                      ", until " + labels_[later];
            break;
          }
        }
      }
      table.rows.push_back(std::move(row));
    }
    if (!table.rows.empty()) out.push_back(std::move(table));
  }
  return out;
}

std::vector<std::string> ReachabilityReport::lines(std::chrono::seconds operationEstimate) const {
  std::vector<std::string> out;
  for (const Table& table : tables(operationEstimate)) {
    out.push_back("reachability " + table.state + " (" + std::to_string(table.changes) +
                  (table.changes == 1 ? " change" : " changes") + "):");
    for (const Row& row : table.rows) out.push_back(row.line());
  }
  return out;
}

std::string ReachabilityReport::Row::line() const {
  return "  " + range + " from " + from + ": " + was + " → " + now +
         (gap.empty() ? "" : " (gap of " + gap + ")");
}

void ReachabilityReport::writeEvents(ChangeLog& events) const {
  const std::size_t last = answers_.size() - 1;
  // A gap is a window the run opens: a range undelivered since before the run and delivered at
  // its end is one the run mends, not a gap.
  auto deliveredEarlier = [&](std::size_t state, const Answer& answer) {
    for (std::size_t earlier = 0; earlier < state; ++earlier)
      if (const Path* then = sameIn(earlier, answer); then && delivered(*then)) return true;
    return false;
  };
  for (std::size_t state = 0; state < answers_.size(); ++state)
    for (const Answer& answer : answers_[state]) {
      const Path* atEnd = sameIn(last, answer);
      const bool gap =
          !delivered(answer.path) && atEnd && delivered(*atEnd) && deliveredEarlier(state, answer);
      ResourceDocument fields = {
          {"state", labels_[state]},          {"from", answer.from},
          {"destination", answer.path.range}, {"verdict", verdictName(answer.path.verdict)},
          {"via", answer.path.via},           {"gap", gap}};
      if (!answer.path.tags.empty()) fields["tags"] = answer.path.tags;
      // The verdict alone does not tell a gateway that cannot forward from one that can.
      if (!answer.path.why.empty()) fields["why"] = answer.path.why;
      events.write("reachability", fields);
    }
}

std::vector<std::string> ReachabilityReport::lost() const {
  std::vector<std::string> lost;
  const std::size_t last = answers_.size() - 1;
  for (const Answer& answer : answers_[0]) {
    const Path* atEnd = sameIn(last, answer);
    if (!delivered(answer.path) || !atEnd || delivered(*atEnd)) continue;
    std::size_t from = last;
    while (from > 1) {
      const Path* before = sameIn(from - 1, answer);
      if (!before || delivered(*before)) break;
      --from;
    }
    lost.push_back("reachability: " + rangeOf(answer.path) + " from " + answer.from +
                   ": delivered now (" + shownPath(answer.path) + "), " + shownPath(*atEnd) +
                   " from " + labels_[from] + " on");
  }
  return lost;
}

std::vector<std::string> ReachabilityReport::differences(const Estate& meant, const Estate& now,
                                                         const std::vector<Probe>& probes) {
  const std::vector<Answer> wanted = answersIn(meant, probes);
  std::vector<std::string> found;
  // A range only the estate read back has comes from a route nobody meant, another actor's:
  // the check of the next run sees it.
  for (const Answer& answer : answersIn(now, probes))
    if (const Path* was = pathFor(wanted, answer); was && !(*was == answer.path))
      found.push_back(rangeOf(answer.path) + " from " + answer.from + ": " + shownPath(*was) +
                      " in meant, " + shownPath(answer.path) + " in read back");
  return found;
}

}  // namespace tolmi_gcp::cli
