// Waves: the three spokes of examples/shared-routers switched and taken back in one run, against
// compute-emulator run as a process with operations that take time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <sstream>

#include "cli/demo.hpp"
#include "emulator_process.hpp"
#include "temp_dir.hpp"
#include "tool_process.hpp"

namespace tolmi_gcp::cli {
namespace {

using ::testing::AllOf;
using ::testing::Each;
using ::testing::ElementsAre;
using testing::EmulatorProcess;
using ::testing::EndsWith;
using ::testing::Eq;
using ::testing::HasSubstr;
using testing::Outcome;
using ::testing::StartsWith;
using testing::TempDir;
using testing::ToolProcess;

const std::string kShared = std::string(TOLMI_SOURCE_DIR) + "/examples/shared-routers/";

class Wave : public ::testing::Test {
 protected:
  Wave()
      : emulator(std::string(TOLMI_BINARY_DIR) + "/compute-emulator", kShared + "topology.yaml",
                 {"--operation-delay-ms", "150"}),
        before(comparableState(emulator.state())) {
    for (const char* spoke : {"pay-core", "pay-batch", "data-lake"})
      configs.push_back(
          dir.write(std::string(spoke) + ".yaml", TempDir::read(kShared + spoke + ".yaml")));
  }

  // The command for the spokes `order` names (indexes into configs), as one wave.
  std::vector<std::string> wave(const std::string& command, std::vector<std::string> extra = {},
                                std::vector<std::size_t> order = {0, 1, 2}) const {
    std::vector<std::string> args{
        command,         "--yes", "--accept-unreachable", "--endpoint", emulator.endpoint(),
        "--retry-scale", "0.01"};
    for (std::size_t spoke : order) args.insert(args.end(), {"--config", configs[spoke]});
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  Outcome run(const std::vector<std::string>& args) const {
    return ToolProcess(args, dir).outcome();
  }

  static std::vector<std::string> lines(const std::string& text, const std::string& start = "") {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
      if (line.starts_with(start)) lines.push_back(line);
    return lines;
  }
  static std::vector<std::string> waveLines(const std::string& err) { return lines(err, "wave: "); }

  std::vector<int> statuses() const {
    std::vector<int> out;
    const ResourceDocument journal = emulator.journal();
    for (const ResourceDocument& request : journal["requests"]) out.push_back(request["status"]);
    return out;
  }

  // The router patches sent since the journal was last emptied, which it empties.
  std::vector<std::string> routerPatches() const {
    std::vector<std::string> patches;
    for (const std::string& change : testing::changeRequests(emulator.journal()))
      if (change.starts_with("PATCH ")) patches.push_back(change);
    emulator.admin("DELETE", "requests");
    return patches;
  }

  TempDir dir;
  EmulatorProcess emulator;
  ResourceDocument before;
  std::vector<std::string> configs;
};

TEST_F(Wave, SwitchesAndRevertsThreeSpokesAtOnceAsSingleRunsWouldWithoutALockRefused) {
  // The estate three single runs leave, one after another.
  for (const std::string& config : configs) {
    Outcome single = run({"switch", "--config", config, "--yes", "--accept-unreachable",
                          "--endpoint", emulator.endpoint()});
    ASSERT_EQ(single.status, 0) << single.err;
  }
  ResourceDocument switched = comparableState(emulator.state());
  for (const std::string& config : configs)
    ASSERT_EQ(run({"revert", "--config", config, "--yes", "--accept-unreachable", "--endpoint",
                   emulator.endpoint()})
                  .status,
              0);
  ASSERT_EQ(comparableState(emulator.state()), before);
  emulator.admin("DELETE", "requests");

  Outcome wave = run(this->wave("switch", {"--output", "json"}));
  ASSERT_EQ(wave.status, 0) << wave.err;
  EXPECT_EQ(comparableState(emulator.state()), switched);
  EXPECT_THAT(statuses(), Each(Eq(200)));  // no change waited on another's lock by retrying
  EXPECT_THAT(
      waveLines(wave.err),
      ElementsAre(
          "wave: pay-prod::pay-core (" + configs[0] + "): peerings, routes, routers switched",
          "wave: pay-prod::pay-batch (" + configs[1] + "): peerings, routes, routers switched",
          "wave: data-prod::data-lake (" + configs[2] + "): peerings, routes, routers switched"));
  // Every event of the spokes' runs says whose it is.
  std::istringstream events(wave.out);
  for (std::string line; std::getline(events, line);) {
    ResourceDocument event = parseDocument(line);
    EXPECT_TRUE(event.contains("spoke") || event["event"] == "summary") << line;
  }
  EXPECT_THAT(wave.out, HasSubstr("{\"event\":\"reachability\",\"spoke\":\"pay-prod::pay-batch\""));
  // The router the three share is patched once, with all of their changes.
  const std::string routers = "PATCH /compute/v1/projects/net-hub-prod/regions/us-east1/routers/";
  EXPECT_THAT(routerPatches(),
              ElementsAre(routers + "cr-onprem-use1", routers + "cr-partner-use1"));

  // Each spoke's revert file holds its own change: pay-core taken back alone leaves the
  // others', which a wave of the two takes back with one patch.
  ASSERT_EQ(run({"revert", "--config", configs[0], "--yes", "--accept-unreachable", "--endpoint",
                 emulator.endpoint()})
                .status,
            0);
  routerPatches();
  Outcome back = run(this->wave("revert", {}, {1, 2}));
  ASSERT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(comparableState(emulator.state()), before);
  EXPECT_THAT(statuses(), Each(Eq(200)));
  EXPECT_THAT(routerPatches(), ElementsAre(routers + "cr-onprem-use1"));
}

TEST_F(Wave, AFailingSpokeStopsTheWaveAndARevertWaveTakesBackWhatWasDone) {
  // data-lake first and one part at a time: its route stage is refused, and nothing after it
  // starts.
  emulator.admin("POST", "faults",
                 {{"method", "POST"},
                  {"path", "/compute/v1/projects/data-prod/global/routes"},
                  {"status", 403}});
  Outcome wave = run(this->wave("switch", {"--max-changes-in-flight", "1"}, {2, 0, 1}));
  // The library logs the refused insert and goes on: the part ends with errors logged.
  EXPECT_EQ(wave.status, 1) << wave.err;
  EXPECT_THAT(
      waveLines(wave.err),
      ElementsAre(
          "wave: data-prod::data-lake (" + configs[2] +
              "): peerings switched; stopped at routes (exit status 1); take it "
              "back with: tolmi-gcp revert --config " +
              configs[2],
          "wave: pay-prod::pay-core (" + configs[0] + "): peerings, routes, routers not started",
          "wave: pay-prod::pay-batch (" + configs[1] + "): peerings, routes, routers not started"));
  // status reads the record and the estate as they are now: the insert that was refused is
  // still to be made, the delete before it to be taken back.
  Outcome status = run({"status", "--config", configs[2], "--endpoint", emulator.endpoint()});
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_THAT(
      lines(status.out),
      ElementsAre("status of data-prod::data-lake (revert file " + configs[2] + ".revert.json):",
                  AllOf(StartsWith("  peerings: switched at "),
                        EndsWith("; the estate: as a switch leaves it, 2 changes to "
                                 "take back")),
                  AllOf(StartsWith("  routes dc: switching at "),
                        EndsWith("; the estate: 1 change left to switch, 1 change to "
                                 "take back")),
                  "  routers: not switched; the estate: 1 change left to switch"));
  emulator.admin("DELETE", "faults");
  Outcome back = run(this->wave("revert"));
  EXPECT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(comparableState(emulator.state()), before);

  // The one patch of the router the spokes share ends in error: none of their routers parts is
  // switched, and their records take back what was done.
  emulator.admin(
      "POST", "faults",
      {{"method", "PATCH"},
       {"path", "/compute/v1/projects/net-hub-prod/regions/us-east1/routers/cr-onprem-use1"},
       {"operationError", {{"message", "router busy"}}}});
  wave = run(this->wave("switch"));
  EXPECT_EQ(wave.status, 3) << wave.err;
  EXPECT_THAT(
      waveLines(wave.err),
      Each(HasSubstr("peerings, routes switched; stopped at routers (exit status 3); take it "
                     "back with: tolmi-gcp revert --config ")));
  emulator.admin("DELETE", "faults");
  back = run(this->wave("revert"));
  EXPECT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(comparableState(emulator.state()), before);
}

TEST_F(Wave, CtrlCLetsThePartsUnderWayFinishAndSaysHowToTakeEachSpokeBack) {
  ToolProcess wave(this->wave("switch"), dir);
  // Once the first peering end is removed, the wave is interrupted as a terminal would.
  while (testing::changeRequests(emulator.journal()).empty() && !wave.ended()) {
  }
  kill(wave.pid(), SIGINT);
  Outcome interrupted = wave.outcome();
  EXPECT_EQ(interrupted.status, 130) << interrupted.err;
  // The other spokes wait for pay-core's peerings, on the transit network they share.
  EXPECT_THAT(waveLines(interrupted.err),
              ElementsAre("wave: pay-prod::pay-core (" + configs[0] +
                              "): stopped at peerings (exit status 130); take it back with: "
                              "tolmi-gcp revert --config " +
                              configs[0],
                          "wave: pay-prod::pay-batch (" + configs[1] +
                              "): peerings, routes, routers not started",
                          "wave: data-prod::data-lake (" + configs[2] +
                              "): peerings, routes, routers not started"));
  Outcome back = run(this->wave("revert"));
  EXPECT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(comparableState(emulator.state()), before);
}

}  // namespace
}  // namespace tolmi_gcp::cli
