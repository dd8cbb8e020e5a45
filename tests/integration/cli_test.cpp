// The built tolmi-gcp run as a process against compute-emulator run as a process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "cli/commands.hpp"
#include "cli/demo.hpp"
#include "emulator_process.hpp"
#include "temp_dir.hpp"
#include "tool_process.hpp"

namespace tolmi_gcp::cli {
namespace {

using ::testing::ContainsRegex;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::EmulatorProcess;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using testing::Outcome;
using testing::TempDir;
using testing::ToolProcess;

const std::string kExamples = std::string(TOLMI_SOURCE_DIR) + "/examples";

class ToolOverHttp : public ::testing::Test {
 protected:
  explicit ToolOverHttp(std::vector<std::string> emulatorArguments = {},
                        const std::string& topology = kExamples + "/demo-topology.yaml")
      : emulator(std::string(TOLMI_BINARY_DIR) + "/compute-emulator", topology, emulatorArguments) {
    config = dir.write("migration.yaml", TempDir::read(kExamples + "/migration.yaml"));
    revertFile = config + ".revert.json";
  }

  Outcome tool(std::vector<std::string> args, const std::string& migration = "") {
    args.insert(args.begin() + 1, {"--config", migration.empty() ? config : migration});
    args.insert(args.end(), {"--endpoint", emulator.endpoint()});
    return ToolProcess(args, dir).outcome();
  }

  // The journal's requests other than reads, since it was last cleared.
  std::vector<std::string> changes() const { return testing::changeRequests(emulator.journal()); }
  void clearJournal() const { emulator.admin("DELETE", "requests"); }

  TempDir dir;
  EmulatorProcess emulator;
  std::string config;
  std::string revertFile;
};

TEST_F(ToolOverHttp, DiscoverMatchesTheReviewedReport) {
  Outcome run = tool({"discover"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, TempDir::read(std::string(TOLMI_SOURCE_DIR) +
                                   "/tests/integration/golden/discover.txt"));
  EXPECT_THAT(changes(), IsEmpty());
  Outcome sequential = tool({"discover", "--max-in-flight", "1"});
  EXPECT_EQ(sequential.out, run.out);
  EXPECT_EQ(sequential.err, run.err);
}

TEST_F(ToolOverHttp, DiscoverStopsAtAFailedReadAsOneReadAtATimeDoes) {
  std::vector<Outcome> runs;
  for (const char* inFlight : {"1", "8"}) {
    emulator.admin("POST", "faults",
                   {{"method", "GET"},
                    {"path",
                     "/compute/v1/projects/app-spoke-prod/regions/us-west1/subnetworks/"
                     "spoke-2-usw1"},
                    {"status", 403}});
    runs.push_back(tool({"discover", "--max-in-flight", inFlight}));
  }
  EXPECT_EQ(runs[0].status, kStopped);
  EXPECT_THAT(runs[0].out, EndsWith("spoke-2-use1\n"));
  EXPECT_EQ(runs[1].status, runs[0].status);
  EXPECT_EQ(runs[1].out, runs[0].out);
  EXPECT_EQ(runs[1].err, runs[0].err);
}

TEST_F(ToolOverHttp, SwitchThenRevertLeavesTheEstateAsItWas) {
  ResourceDocument before = comparableState(emulator.state());
  Outcome switched = tool({"switch"});
  ASSERT_EQ(switched.status, 0) << switched.err;
  EXPECT_NE(comparableState(emulator.state()), before);
  EXPECT_THAT(switched.err, HasSubstr("revert record: " + revertFile + "\n"));

  clearJournal();
  Outcome again = tool({"switch"});
  EXPECT_EQ(again.status, 0);
  EXPECT_THAT(again.err, HasSubstr("nothing left to switch for app-spoke-prod::spoke-1"));
  EXPECT_THAT(changes(), IsEmpty());

  Outcome reverted = tool({"revert"});
  ASSERT_EQ(reverted.status, 0) << reverted.err;
  EXPECT_EQ(comparableState(emulator.state()), before);
}

// Every resource of a state but the routes the API derives, by link.
std::map<std::string, ResourceDocument> readBack(const ResourceDocument& state) {
  std::map<std::string, ResourceDocument> out;
  for (const auto& [project, collections] : state["projects"].items())
    for (const auto& [collection, resources] : collections.items())
      for (const ResourceDocument& resource : resources)
        if (!has(resource, "nextHopPeering") && !has(resource, "nextHopNetwork"))
          out[resource["selfLink"]] = resource;
  return out;
}

// "RANGE PRIORITY" of each route of the spoke over the peering with the GKE tenant.
std::vector<std::string> overGkePeering(const ResourceDocument& state) {
  std::vector<std::string> out;
  for (const ResourceDocument& route : state["projects"]["app-spoke-prod"]["routes"])
    if (memberOrNull(route, "nextHopPeering") == "gke-n7f3a2c1-peer")
      out.push_back(route["destRange"].get<std::string>() + " " + route["priority"].dump());
  return out;
}

TEST_F(ToolOverHttp, SnapshotRehearsesTheMigrationOnASecondEmulator) {
  const std::string estate = dir.file("estate.yaml");
  Outcome taken = tool({"snapshot", "--output", estate});
  ASSERT_EQ(taken.status, 0) << taken.err;
  EXPECT_THAT(changes(), IsEmpty());
  EmulatorProcess rehearsal(std::string(TOLMI_BINARY_DIR) + "/compute-emulator", estate);
  auto original = readBack(emulator.state());
  auto rehearsed = readBack(rehearsal.state());
  EXPECT_EQ(rehearsed.size(), 33u);  // all but the derived routes
  for (const auto& [link, resource] : rehearsed) EXPECT_EQ(resource, original[link]) << link;
  // What the routers learned over BGP is not in the state: a snapshot of the rehearsal shows it.
  EXPECT_THAT(TempDir::read(estate), HasSubstr("\"learned_routes\""));
  // The GKE tenant is outside the estate: the snapshot keeps what it exports.
  EXPECT_EQ(ResourceDocument::parse(TempDir::read(estate))["external_peers"][0]["exported_routes"],
            ResourceDocument::parse(R"([{"destRange": "172.16.0.0/28", "type": "SUBNET"}])"));
  EXPECT_THAT(overGkePeering(emulator.state()), ElementsAre("172.16.0.0/28 0"));
  EXPECT_EQ(overGkePeering(rehearsal.state()), overGkePeering(emulator.state()));
  EXPECT_EQ(ToolProcess({"snapshot", "--config", config, "--endpoint", rehearsal.endpoint()}, dir)
                .outcome()
                .out,
            TempDir::read(estate));

  for (const char* command : {"switch", "revert"}) {
    Outcome real = tool({command});
    Outcome rehearsed =
        ToolProcess({command, "--config", config, "--revert-file", dir.file("rehearsal.json"),
                     "--endpoint", rehearsal.endpoint()},
                    dir)
            .outcome();
    EXPECT_EQ(real.status, 0) << real.err;
    EXPECT_EQ(rehearsed.out, real.out);
  }
}

TEST_F(ToolOverHttp, DryRunSendsOnlyReadsAndLeavesTheRevertFileUntouched) {
  ASSERT_EQ(tool({"switch", "--only", "peerings"}).status, 0);
  std::string recorded = TempDir::read(revertFile);
  ResourceDocument before = emulator.state();
  clearJournal();
  Outcome dry = tool({"switch", "--only", "routes,routers", "--dry-run"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_THAT(dry.out, HasSubstr("  delete route onprem-dc1-via-gw\n"));
  EXPECT_THAT(changes(), IsEmpty());
  EXPECT_FALSE(emulator.journal()["requests"].empty());
  EXPECT_EQ(emulator.state(), before);
  EXPECT_EQ(TempDir::read(revertFile), recorded);
  ResourceDocument twin = ResourceDocument::parse(TempDir::read(revertFile + ".dry-run"));
  EXPECT_EQ(twin["spokes"]["app-spoke-prod::spoke-1"]["routers"]["state"], "switched");
  EXPECT_TRUE(twin["record"]["cloud_routers"].contains("app-spoke-prod::spoke-1"));
}

// The lines of `text` that start with `prefix`.
std::vector<std::string> linesStarting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.starts_with(prefix)) found.push_back(line);
  return found;
}

TEST_F(ToolOverHttp, PackWritesAPlanThatRendersWithItsPicturesImportsAndAuditQuery) {
  const std::string pack = dir.file("pack");
  Outcome run = tool({"pack", "--output", pack});
  ASSERT_EQ(run.status, kDone) << run.err;
  EXPECT_THAT(changes(), IsEmpty());
  EXPECT_EQ(std::system(("python3 -c 'import sys, xml.dom.minidom as m; "
                         "[m.parse(f) for f in sys.argv[1:]]' " +
                         pack + "/topology-before.svg " + pack + "/topology-after.svg")
                            .c_str()),
            0);
  const std::string routes = "  id = \"projects/app-spoke-prod/global/routes/";
  EXPECT_THAT(linesStarting(TempDir::read(pack + "/terraform/imports.tf"), "  id = "),
              ElementsAre(routes + "tvn-940f3e20d8665308d0c3d5ba79cf6fba\"",
                          routes + "onprem-dc2-via-gw-usw1\"",
                          routes + "tvn-b072c4d007c82213fbdab1e6374fbafb\""));
  EXPECT_THAT(
      linesStarting(TempDir::read(pack + "/plan.md"), "## "),
      ElementsAre("## Spokes", "## Spoke app-spoke-prod::spoke-1", "## Terraform and audit"));
  EXPECT_THAT(linesStarting(TempDir::read(pack + "/plan.md"), "### "),
              ElementsAre("### Topology", "### Warnings of the check", "### Steps",
                          "### Changes per part", "### Reachability", "### Back-out"));
  EXPECT_THAT(TempDir::read(pack + "/plan.html"), Not(ContainsRegex("(src|href)=\"?https?:")));

  // A plan the check refuses is still written, its problems first, each text escaped.
  std::string typo = TempDir::read(config);
  typo.replace(typo.find("[onprem-dc1-via-gw]"), 19, "[onprem-dc1-via-gww]");
  dir.write("typo-<i>.yaml", typo);
  EXPECT_EQ(tool({"pack", "--output", dir.file("refused")}, dir.file("typo-<i>.yaml")).status,
            kUsage);
  EXPECT_THAT(linesStarting(TempDir::read(dir.file("refused/plan.md")), "> - "),
              ElementsAre("> - " + dir.file("typo-\\<i\\>.yaml") +
                          ": manage\\_routes.stage-1.delete: the route onprem-dc1-via-gww does "
                          "not exist in app-spoke-prod"));
  const std::string refusedPage = TempDir::read(dir.file("refused/plan.html"));
  EXPECT_THAT(refusedPage, HasSubstr("typo-&lt;i&gt;.yaml: manage_routes.stage-1.delete"));
  EXPECT_THAT(refusedPage, Not(HasSubstr("<i>")));

  if (!std::filesystem::exists("/usr/bin/chromium")) GTEST_SKIP() << "no /usr/bin/chromium";
  const std::string shot = dir.file("plan.png");
  std::string command =
      "/usr/bin/chromium --headless --no-sandbox --disable-gpu --screenshot=" + shot +
      " --window-size=1280,2000 file://" + pack + "/plan.html >/dev/null 2>&1; python3 " +
      TOLMI_SOURCE_DIR + "/tests/support/png_colours.py " + shot + " > " + dir.file("colours");
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(TempDir::read(dir.file("colours")), "several\n");
}

TEST_F(ToolOverHttp, BrokenMigrationFilesAreRefusedBeforeAnyRequest) {
  std::string example = TempDir::read(config);
  auto broken = [&](const std::string& from, const std::string& to) {
    std::string text = example;
    std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return dir.write("broken.yaml", text.replace(at, from.size(), to));
  };
  struct Case {
    std::string from, to, message;
  };
  std::vector<Case> cases = {
      {"project_id: app-spoke-prod\n", "", "project_id: missing"},
      {"- vpc_name: net-transit-prod::transit-a", "- vpc_name: transit-a",
       "transit_vpcs[0].vpc_name: \"transit-a\" must be 'project::network'"},
      {"      - region: us-east1\n        router_name: cr-transit-b-use1",
       "      - router_name: cr-transit-b-use1",
       "transit_vpcs[1].cloud_routers[0].region: missing"},
      {"add_advertised_routes: [10.100.0.0/20,", "add_advertised_routes: [10.100.0.1/20,",
       "transit_vpcs[0].cloud_routers[0].add_advertised_routes[0]: \"10.100.0.1/20\" has host "
       "bits set"},
      {"priority: 950", "priority: 70000",
       "manage_routes.stage-2.add[1].priority: must be a whole number from 0 to 65535"},
      {"dest_instance: gw-use1-b", "dest_instance: GW_1",
       "manage_routes.stage-1.add[0].dest_instance: \"GW_1\" is not a valid name"},
      {"zone: us-east1-c", "zone: east", "manage_routes.stage-1.add[0].zone: \"east\" is not"},
      {"advertise_gke: true", "advertise_gke: true\nadvertise_all: true",
       "advertise_all: unknown key"},
      {"vpc_name: spoke-1", "vpc_name: [spoke-1", "broken.yaml:"},
  };
  for (const Case& c : cases) {
    std::string file = broken(c.from, c.to);
    clearJournal();
    Outcome run = tool({"switch"}, file);
    EXPECT_EQ(run.status, 2) << c.message;
    EXPECT_THAT(run.err, HasSubstr(file.substr(file.rfind('/') + 1)));
    EXPECT_THAT(run.err, HasSubstr(c.message));
    EXPECT_THAT(emulator.journal()["requests"], IsEmpty()) << c.message;
  }
  EXPECT_FALSE(std::filesystem::exists(revertFile));
}

class ThreeSpokes : public ToolOverHttp {
 protected:
  ThreeSpokes() : ToolOverHttp({}, kExamples + "/three-spokes/topology.yaml") {}
};

// What the dry-run plans of the three spokes say of where traffic goes: the lines that hold
// `holding`, of standard output under --output json, else of standard error.
TEST_F(ThreeSpokes, DryRunPlansShowWhereTrafficGoesAndRefuseALostWayBack) {
  const std::string lake = dir.file("data-lake.yaml"), to = " via default-internet-gateway";
  const std::string dc = "  172.20.0.0/16 from pay-prod::pay-core: ",
                    old = "pc-dc1-via-gw via instance gw-pc-use1-a",
                    added = "tvn-b30813ecaddcc1e69b4cf4760e836d0b via instance gw-pc-use1-b",
                    lakeBack = "10.30.0.0/20 from net-hub-prod::transit-onprem: ";
  const std::string event = R"({"event":"reachability","state":")",
                    batch = R"(","from":"pay-prod::pay-batch","destination":")",
                    viaOld =
                        R"(","verdict":"instance","via":"pb-hub-via-old via instance gw-pb-old")",
                    stopped = R"(,"why":"the instance gw-pb-old: it is TERMINATED, not RUNNING"})";
  struct Case {
    std::string spoke, flag;
    int status;
    std::string holding;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      // The transit ranges fall to the older summary route once the peerings are gone.
      {"pay-core",
       "",
       0,
       "→ pc-summary-10-8",
       {"  10.0.0.0/20 from pay-prod::pay-core: peering pay-core-to-onprem → pc-summary-10-8 via "
        "instance gw-pc-use1-a",
        "  10.1.0.0/20 from pay-prod::pay-core: peering pay-core-to-partner → pc-summary-10-8 via "
        "instance gw-pc-use1-a"}},
      // The stage's gap between its delete and its add, and none when it adds first.
      {"pay-core",
       "",
       0,
       dc + old,
       {dc + old + " → default-route-28c55b7dda2ea19a" + to +
        " [internet] (gap of about 20s, until after routes dc)"}},
      {"pay-core",
       "--make-before-break",
       0,
       "172.20.0.0/16 from",
       {dc + old + " → " + old + ", " + added, dc + old + ", " + added + " → " + added}},
      // As events: a gap through the stopped gateway, and a range it held before the run, which
      // the run mends, is no gap.
      {"pay-batch",
       "--output=json",
       0,
       viaOld,
       {event + "before" + batch + "10.0.0.0/15" + viaOld + R"(,"gap":false)" + stopped,
        event + "after peerings" + batch + "10.0.0.0/20" + viaOld + R"(,"gap":true)" + stopped,
        event + "after peerings" + batch + "10.1.0.0/20" + viaOld + R"(,"gap":true)" + stopped,
        event + "after peerings" + batch + "10.0.0.0/15" + viaOld + R"(,"gap":false)" + stopped}},
      // A route through a stopped gateway, until the stage replaces it.
      {"pay-batch",
       "",
       0,
       "pay-batch-to-partner →",
       {"  10.1.0.0/20 from pay-prod::pay-batch: peering pay-batch-to-partner → pb-hub-via-old "
        "via instance gw-pb-old [cannot forward: the instance gw-pb-old: it is TERMINATED, not "
        "RUNNING] (gap of about 40s, until after routes hub)"}},
      // transit-onprem loses its only way back to data-lake.
      {"data-lake",
       "",
       2,
       "deliver",
       {"the run would leave undelivered what the estate delivers now; --accept-unreachable "
        "lets it through",
        lake + ": reachability: " + lakeBack + "delivered now (peering onprem-to-data-lake), " +
            "default-route-df98cc186bfa4718" + to + " [internet] from after peerings on"}},
      {"data-lake",
       "--accept-unreachable",
       0,
       lakeBack,
       {"  " + lakeBack + "peering onprem-to-data-lake → default-route-df98cc186bfa4718" + to +
        " [internet]"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"switch", "--dry-run"};
    if (!c.flag.empty()) args.push_back(c.flag);
    Outcome run =
        tool(args, dir.write(c.spoke + ".yaml",
                             TempDir::read(kExamples + "/three-spokes/" + c.spoke + ".yaml")));
    EXPECT_EQ(run.status, c.status) << run.err;
    std::istringstream text(c.flag == "--output=json" ? run.out : run.err);
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);)
      if (line.find(c.holding) != std::string::npos) lines.push_back(line);
    EXPECT_THAT(lines, ElementsAreArray(c.lines)) << c.spoke << " " << c.flag;
  }
  EXPECT_THAT(changes(), IsEmpty());
}

class SlowOperations : public ToolOverHttp {
 protected:
  SlowOperations() : ToolOverHttp({"--operation-delay-ms", "1000"}) {}
};

TEST_F(SlowOperations, SecondProcessIsRefusedWhileTheFirstHoldsTheRevertFile) {
  ToolProcess first(
      {"switch", "--config", config, "--only", "peerings", "--endpoint", emulator.endpoint()}, dir);
  // The first run writes its revert file once it holds the lock and starts changing.
  for (int tries = 0; tries < 200 && !std::filesystem::exists(revertFile); ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(std::filesystem::exists(revertFile)) << first.err();
  Outcome second = tool({"revert"});
  EXPECT_EQ(second.status, 2);
  EXPECT_THAT(second.err, HasSubstr("revert file " + revertFile + " is in use by another run"));
  EXPECT_EQ(first.finish(), 0) << first.err();
}

// Once the peerings' operations are timed, the stage's gap is estimated again at their time.
TEST_F(SlowOperations, AStageGapIsEstimatedAgainAtTheOperationTimesTheRunMeasured) {
  Outcome run = tool({"switch", "--only", "peerings,routes", "--stage", "stage-1", "--yes",
                      "--accept-unreachable"});
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<std::string> lines;
  std::istringstream err(run.err);
  for (std::string line; std::getline(err, line);)
    if (line.starts_with("reachability during") || line.ends_with("until after routes stage-1)"))
      lines.push_back(line);
  const std::string gap =
      " from app-spoke-prod::spoke-1: onprem-dc1-via-gw via instance gw-use1-a → ";
  // The plan's guess (20s a change), then the measured second a change.
  EXPECT_THAT(lines, ElementsAre(HasSubstr("(gap of about 20s,"), HasSubstr("(gap of about 20s,"),
                                 "reachability during routes stage-1, at the 1s a change this "
                                 "run's operations have taken:",
                                 "  172.20.0.0/16" + gap +
                                     "default-route-8a0333ed155cd9f0 via default-internet-gateway "
                                     "[internet] (gap of about 1s, until after routes stage-1)",
                                 "  172.20.0.0/16 (tags internet-egress)" + gap +
                                     "egress-tagged via default-internet-gateway [internet] (gap "
                                     "of about 1s, until after routes stage-1)"));
}

// A run killed after the API accepted a change leaves its operation running: the revert waits for
// it before restoring, or the change would land after the restore.
TEST_F(SlowOperations, RevertWaitsForTheOperationOfAKilledRunBeforeRestoring) {
  ResourceDocument before = comparableState(emulator.state());
  ToolProcess killed(
      {"switch", "--config", config, "--only", "peerings", "--endpoint", emulator.endpoint()}, dir);
  for (int tries = 0; tries < 400 && changes().empty(); ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_THAT(changes(), ::testing::ElementsAre(EndsWith("/removePeering")));
  killed.kill();
  Outcome reverted = tool({"revert"});
  EXPECT_EQ(reverted.status, 0) << reverted.err;
  EXPECT_THAT(reverted.err, HasSubstr(", a change sent before this run, to finish\n"));
  // Past the operations' delay, whatever was still running then has landed.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(comparableState(emulator.state()), before);
}

}  // namespace
}  // namespace tolmi_gcp::cli
