// tolmi-gcp killed with SIGKILL at each change it sends to compute-emulator, then reverted: the
// estate must come back as it was, whatever the emulator had done with that change.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <ostream>
#include <thread>

#include "cli/demo.hpp"
#include "emulator_process.hpp"
#include "temp_dir.hpp"
#include "tool_process.hpp"

namespace tolmi_gcp::cli {
namespace {

using testing::EmulatorProcess;
using testing::TempDir;
using testing::ToolProcess;

const std::string kExamples = std::string(TOLMI_SOURCE_DIR) + "/examples";

// Which run is killed, and whether the emulator had carried out the change it was holding when
// the kill came (its answer lost) or not (the request dropped unanswered).
struct KillPoint {
  std::string command;
  bool carriedOut;
};

void PrintTo(const KillPoint& point, std::ostream* out) {
  *out << point.command << (point.carriedOut ? ", change made" : ", change not made");
}

class KillAtEveryChange : public ::testing::TestWithParam<KillPoint> {
 protected:
  // One fresh folder with the example migration file per run: no revert file, no lock.
  void freshFolder() {
    dir = std::make_unique<TempDir>();
    config = dir->write("migration.yaml", TempDir::read(kExamples + "/migration.yaml"));
  }

  std::vector<std::string> arguments(const std::string& command) const {
    return {command, "--config", config, "--endpoint", emulator.endpoint()};
  }

  void runToTheEnd(const std::string& command) {
    ToolProcess run(arguments(command), *dir);
    ASSERT_EQ(run.finish(), 0) << command << ":\n" << run.out() << run.err();
  }

  // Back to the topology, with the journal emptied; a revert kill point first switches.
  void startOver() {
    emulator.admin("POST", "reset");
    freshFolder();
    if (GetParam().command == "revert") runToTheEnd("switch");
    emulator.admin("DELETE", "requests");
  }

  // Arms a fault on the k-th change (0-based) of `changes` that holds it, after or before carrying
  // it out. Equal requests before it pass untouched.
  void holdChange(const std::vector<std::string>& changes, std::size_t k) const {
    std::size_t space = changes[k].find(' ');
    int earlier = static_cast<int>(std::count(changes.begin(), changes.begin() + k, changes[k]));
    ResourceDocument fault = {{"method", changes[k].substr(0, space)},
                              {"path", changes[k].substr(space + 1)},
                              {"skip", earlier},
                              {"delayMs", 120000}};
    fault[GetParam().carriedOut ? "after" : "drop"] = true;
    emulator.admin("POST", "faults", fault);
  }

  // Polls until the emulator holds change k+1: its fault taken and, when it is carried out, the
  // change in the journal.
  bool reached(std::size_t k) const {
    if (!emulator.admin("GET", "faults")["faults"].empty()) return false;
    return !GetParam().carriedOut || testing::changeRequests(emulator.journal()).size() > k;
  }

  EmulatorProcess emulator{std::string(TOLMI_BINARY_DIR) + "/compute-emulator",
                           kExamples + "/demo-topology.yaml"};
  std::unique_ptr<TempDir> dir;
  std::string config;
};

TEST_P(KillAtEveryChange, RevertPutsTheEstateBack) {
  const KillPoint point = GetParam();
  ResourceDocument before = comparableState(emulator.state());
  startOver();
  runToTheEnd(point.command);
  const std::vector<std::string> changes = testing::changeRequests(emulator.journal());
  // Four peering ends, three route deletions and three creations, two router patches.
  ASSERT_EQ(changes.size(), 12u);

  for (std::size_t k = 0; k < changes.size(); ++k) {
    SCOPED_TRACE(point.command + " killed at change " + std::to_string(k + 1) + ": " + changes[k]);
    startOver();
    holdChange(changes, k);
    ToolProcess victim(arguments(point.command), *dir);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!reached(k) && !victim.ended() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_FALSE(victim.ended()) << "ended before the kill point:\n"
                                 << victim.out() << victim.err();
    ASSERT_TRUE(reached(k)) << "the kill point was never reached";
    EXPECT_EQ(victim.kill(), 128 + SIGKILL);
    // Lets the held request go on to its end: answered into a closed connection, or dropped.
    emulator.admin("DELETE", "faults");

    ToolProcess revert(arguments("revert"), *dir);
    ASSERT_EQ(revert.finish(), 0) << revert.out() << revert.err();
    EXPECT_EQ(comparableState(emulator.state()), before);
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, KillAtEveryChange,
                         ::testing::Values(KillPoint{"switch", true}, KillPoint{"switch", false},
                                           KillPoint{"revert", true}, KillPoint{"revert", false}),
                         [](const auto& info) {
                           return info.param.command +
                                  (info.param.carriedOut ? "ChangeMade" : "ChangeNotMade");
                         });

}  // namespace
}  // namespace tolmi_gcp::cli
