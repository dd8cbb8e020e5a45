#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/migration.hpp"
#include "cli/output.hpp"
#include "cli/setup.hpp"

namespace tolmi_gcp::cli {

// What the change pack shows of one migration: its switch as `switch --dry-run` foresees it.
struct SpokePlan {
  std::string config;  // the migration file
  NetworkKey spoke;
  std::vector<NetworkKey> transits;
  std::vector<std::string> problems;  // the file's and the check's, each named by its file
  Foresight seen;
  std::vector<std::string> switchCommands, revertCommands;  // each part of seen.run alone
};

// Foresees the switch of the migration `setup` holds, reading and only reading.
SpokePlan spokePlanOf(const Invocation& invocation, Setup& setup, Output& output, int errorsBefore);

// Writes into `dir` (made when missing) plan.html, plan.md, the topology pictures before and
// after, terraform/imports.tf and audit-query.txt for `plans`; returns the paths written. Throws
// Error when a file cannot be written or Graphviz's dot fails.
std::vector<std::string> writePack(const std::vector<SpokePlan>& plans, const std::string& dir,
                                   std::chrono::seconds operationEstimate);

// `pack`: writes the pack of `plans` into `dir` and says what it wrote; kUsage when the check
// found problems (the pack shows them), kDone otherwise.
int runPack(const std::vector<SpokePlan>& plans, const std::string& dir,
            std::chrono::seconds operationEstimate, Output& output);

}  // namespace tolmi_gcp::cli
