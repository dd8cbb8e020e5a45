#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "cli/change_log.hpp"
#include "tolmi_gcp/parts.hpp"
#include "tolmi_gcp/probes.hpp"
#include "tolmi_gcp/reachability.hpp"

namespace tolmi_gcp::cli {

// A duration for people: "45s", "2m 5s".
std::string durationText(std::chrono::seconds seconds);

// Where traffic goes in each state of a run, as foreseen before its first change: the plan's
// tables of what changes, the JSON events, and what the run would leave undelivered.
class ReachabilityReport {
 public:
  ReachabilityReport(const std::vector<RunState>& states, const std::vector<Probe>& probes);

  // A path that changes from one state to the next.
  struct Row {
    std::string range;  // "10.0.0.0/20", "10.0.0.0/20 (tags a, b)"
    std::string from;   // the network
    std::string was;    // "peering x", "(new)"
    std::string now;    // "internet via default-route-1 [internet]"
    std::string gap;    // "about 45s, until after routes stage-1", "" when none

    // "  10.0.0.0/20 from p::spoke: peering p-to-hub → internet ... (gap of about 45s, ...)".
    std::string line() const;
  };
  // Per state after the first with a change: what changes from the state before it.
  struct Table {
    std::string state;
    std::size_t changes = 0;  // the run's changes from the state before
    std::vector<Row> rows;
  };
  // The tables of changes, each gap estimated at `operationEstimate` a change.
  std::vector<Table> tables(std::chrono::seconds operationEstimate) const;

  // The tables as lines: "reachability after peerings (4 changes):", then per row "  10.0.0.0/20
  // from p::spoke: peering p-to-hub → internet via default-route-1 [internet]", a broken path
  // marked with why, and one the run delivers again later with "(gap of about 45s, until after
  // routes stage-1)".
  std::vector<std::string> lines(std::chrono::seconds operationEstimate) const;

  // One "reachability" event per state, probe and path; with "why" where its next hop cannot
  // carry the traffic or the model cannot see it; "gap" where it is undelivered in that state
  // but delivered in an earlier one and at the end.
  void writeEvents(ChangeLog& events) const;

  // What is delivered before the run and not after it, each with the state from which it stays
  // undelivered: "reachability: 10.100.0.0/20 from p::transit: delivered now (peering x), internet
  // from after peerings on".
  std::vector<std::string> lost() const;

  // Each path of `now`, an estate read back, that differs from the path of `meant`, its
  // prediction, for the same range: "10.0.0.0/20 from p::spoke: peering x in meant, internet ...
  // in read back".
  static std::vector<std::string> differences(const Estate& meant, const Estate& now,
                                              const std::vector<Probe>& probes);

 private:
  // One answer to a probe in one state: each path of it.
  struct Answer {
    std::string from;
    Path path;
  };
  std::vector<std::string> labels_;
  std::vector<std::size_t> changes_;
  // [state] → the answers, in the probes' order.
  std::vector<std::vector<Answer>> answers_;

  // Each path of each probe in `estate`, a range that several probes reach once.
  static std::vector<Answer> answersIn(const Estate& estate, const std::vector<Probe>& probes);
  // The path of `answers` for the network and range of `answer`, and its tags or none.
  static const Path* sameAs(const std::vector<Answer>& answers, const Answer& answer,
                            bool untagged = false);
  // The path of `answers` for `answer`, or for a tagged one the path for all.
  static const Path* pathFor(const std::vector<Answer>& answers, const Answer& answer);
  // Where `answer` stands in the state `other`: the path for the same network, range and tags,
  // or for a tagged one the path for all; nullptr when none.
  const Path* sameIn(std::size_t other, const Answer& answer) const;
};

}  // namespace tolmi_gcp::cli
