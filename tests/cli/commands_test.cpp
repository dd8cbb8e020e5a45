// The tool's commands driven in-process against compute-emulator served on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "cli/app.hpp"
#include "cli/demo.hpp"
#include "temp_dir.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"
#include "tool_process.hpp"

namespace tolmi_gcp::cli {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::IsSupersetOf;
using ::testing::Not;
using testing::TempDir;

const std::string kExamples = std::string(TOLMI_SOURCE_DIR) + "/examples";
const std::string kSpoke = "app-spoke-prod::spoke-1";

struct Result {
  int status;
  std::string out;
  std::string err;
};

class Commands : public ::testing::Test {
 protected:
  explicit Commands(const std::string& topology = kExamples + "/demo-topology.yaml",
                    const std::string& migration = kExamples + "/migration.yaml")
      : local(topology), config(dir.write("m.yaml", TempDir::read(migration))) {}

  Result tool(std::vector<std::string> args) {
    args.insert(args.end(), {"--endpoint", local.endpoint()});
    return run(args);
  }
  static Result run(std::vector<std::string> args) {
    args.insert(args.begin(), "tolmi-gcp");
    std::ostringstream out, err;
    int status = runTool(args, out, err, false);
    return {status, out.str(), err.str()};
  }

  // The change requests the emulator received since the journal had `from` entries.
  std::vector<std::string> changesSince(std::size_t from) {
    ResourceDocument requests = local.emulator().journal()["requests"];
    requests.erase(requests.begin(), requests.begin() + static_cast<std::ptrdiff_t>(from));
    return testing::changeRequests({{"requests", std::move(requests)}});
  }
  std::size_t journalSize() { return local.emulator().journal()["requests"].size(); }

  // The "- " headings of the library's output, in order.
  static std::vector<std::string> headings(const std::string& out) {
    std::vector<std::string> found;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
      if (line.starts_with("- ")) found.push_back(line);
    return found;
  }

  ResourceDocument revertFile() {
    return ResourceDocument::parse(TempDir::read(config + ".revert.json"));
  }

  LocalEmulator local;
  TempDir dir;
  std::string config;
};

TEST_F(Commands, RevertTakesBackOnlyWhatIsSwitchedInTheOppositeOrder) {
  Result switched = tool({"switch", "--config", config, "--only", "routes"});
  EXPECT_EQ(switched.status, 0) << switched.err;
  EXPECT_THAT(headings(switched.out),
              ElementsAre("- Manage route(s) stage-1", "- Manage route(s) stage-2"));
  EXPECT_THAT(switched.err, HasSubstr("changes made: route creations 3, route deletions 3\n"));
  EXPECT_EQ(revertFile()["spokes"][kSpoke]["routes"]["stage-2"]["state"], "switched");

  Result reverted = tool({"revert", "--config", config});
  EXPECT_EQ(reverted.status, 0) << reverted.err;
  EXPECT_THAT(headings(reverted.out),
              ElementsAre("- Restore route(s) stage-2", "- Restore route(s) stage-1"));
  EXPECT_THAT(reverted.err, HasSubstr("nothing to revert: peerings not switched\n"));
  EXPECT_EQ(revertFile()["spokes"][kSpoke]["routes"]["stage-1"]["state"], "reverted");

  std::size_t before = journalSize();
  Result again = tool({"revert", "--config", config});
  EXPECT_EQ(again.status, 0);
  EXPECT_THAT(again.err, HasSubstr("nothing left to revert for " + kSpoke));
  EXPECT_THAT(changesSince(before), IsEmpty());
}

TEST_F(Commands, SecondSwitchSkipsWhatIsSwitchedAndForceKeepsEveryRecordedPair) {
  ResourceDocument estate = comparableState(local.emulator().state());
  ASSERT_EQ(tool({"switch", "--config", config, "--only", "peerings"}).status, 0);
  std::size_t before = journalSize();
  Result again = tool({"switch", "--config", config, "--only", "peerings"});
  EXPECT_EQ(again.status, 0);
  EXPECT_THAT(again.err, HasSubstr("already switched, skipped: peerings switched at "));
  EXPECT_THAT(again.err, HasSubstr("nothing left to switch for " + kSpoke));
  EXPECT_THAT(changesSince(before), IsEmpty());

  Result forced = tool({"switch", "--config", config, "--only", "peerings", "--force"});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_THAT(forced.out, HasSubstr("  no transit peering found!\n"));
  ResourceDocument file = revertFile();
  EXPECT_EQ(file["record"]["peerings"][kSpoke].size(), 2u);
  ASSERT_EQ(file["history"].size(), 1u);
  EXPECT_EQ(file["history"][0]["record"]["peerings"][kSpoke].size(), 2u);
  EXPECT_EQ(file["history"][0]["parts"]["peerings"]["state"], "switched");

  // A record that lost its pairs (as forced switches once left it) is restored from the history.
  file["record"]["peerings"][kSpoke] = ResourceDocument::array();
  file["spokes"][kSpoke]["peerings"]["state"] = "reverted";
  dir.write("m.yaml.revert.json", file.dump());
  // Refused by the check: nothing moves to or from the history.
  std::string typo = dir.write("typo.yaml", [&] {
    std::string text = TempDir::read(config);
    return text.replace(text.find("transit-prod::transit-b"), 23, "transit-prod::transit-x");
  }());
  for (std::string command : {"switch", "revert"}) {
    EXPECT_EQ(tool({command, "--config", typo, "--revert-file", config + ".revert.json",
                    command == "switch" ? "--force" : "--from-history", "0"})
                  .status,
              2);
    EXPECT_EQ(revertFile(), file) << command;
  }
  Result restored = tool({"revert", "--config", config, "--from-history", "0"});
  EXPECT_EQ(restored.status, 0) << restored.err;
  EXPECT_EQ(comparableState(local.emulator().state()), estate);
}

TEST_F(Commands, DryRunRevertSendsNoChangeAndLeavesTheRevertFileAlone) {
  ASSERT_EQ(tool({"switch", "--config", config, "--only", "routers"}).status, 0);
  std::string recorded = TempDir::read(config + ".revert.json");
  std::size_t before = journalSize();
  std::string log = dir.file("run.log");
  Result dry = tool({"revert", "--config", config, "--dry-run", "--quiet", "--log-file", log});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(dry.out, "");
  EXPECT_THAT(TempDir::read(log), HasSubstr(" INFO  - Restore cloud router route(s)\n"));
  EXPECT_THAT(TempDir::read(log), HasSubstr(kSpoke + ": routers would be reverted\n"));
  EXPECT_THAT(changesSince(before), IsEmpty());
  EXPECT_EQ(TempDir::read(config + ".revert.json"), recorded);
  ResourceDocument twin = ResourceDocument::parse(TempDir::read(config + ".revert.json.dry-run"));
  EXPECT_EQ(twin["spokes"][kSpoke]["routers"]["state"], "reverted");
}

TEST_F(Commands, RunStoppedByAFailureLeavesARecordThatTakesEveryChangeBack) {
  ResourceDocument before = comparableState(local.emulator().state());
  local.emulator().handle(
      "POST", "/emulator/v1/faults", {}, {},
      R"({"method": "GET", "path": "*/networks/transit-b", "skip": 1, "status": 403,
                              "reason": "forbidden", "message": "no access", "times": 10})");
  Result stopped = tool({"switch", "--config", config});
  EXPECT_EQ(stopped.status, 3);
  EXPECT_THAT(stopped.err, HasSubstr("switch of " + kSpoke + " stopped at peerings: HTTP 403"));
  EXPECT_THAT(stopped.err, HasSubstr("changes made: peering removals 2\n"));
  EXPECT_EQ(revertFile()["spokes"][kSpoke]["peerings"]["state"], "switching");
  EXPECT_NE(comparableState(local.emulator().state()), before);

  Result reverted = tool({"revert", "--config", config});
  EXPECT_EQ(reverted.status, 0) << reverted.err;
  EXPECT_EQ(comparableState(local.emulator().state()), before);
}

TEST_F(Commands, RevertThatLoggedErrorsStaysOpenUntilItRestoresCleanly) {
  ResourceDocument before = comparableState(local.emulator().state());
  // A failed patch logs "**Error**"; a route that cannot be re-created only "**Alert**".
  // Reading back finds what is missing.
  for (auto [part, fault, missing] :
       {std::tuple{"routers", R"({"method": "PATCH", "path": "*/routers/cr-transit-a-use1",
                                 "status": 403, "reason": "forbidden", "message": "no access"})",
                   "router net-transit-prod::transit-a::us-east1::cr-transit-a-use1 still "
                   "advertises 10.100.0.0/20"},
        std::tuple{"routes stage-1", R"({"method": "POST", "path": "*/app-spoke-prod/global/routes",
                                "status": 403, "reason": "quotaExceeded", "times": 1000})",
                   "route onprem-dc1-via-gw is missing"}}) {
    SCOPED_TRACE(part);
    std::string only = std::string(part).substr(0, std::string(part).find(' '));
    ASSERT_EQ(tool({"switch", "--config", config, "--only", only}).status, 0);
    local.emulator().handle("POST", "/emulator/v1/faults", {}, {}, fault);
    Result failed = tool({"revert", "--config", config});
    EXPECT_EQ(failed.status, 1) << failed.err;
    EXPECT_THAT(failed.err, HasSubstr(std::string(part) + " is not restored as recorded"));
    EXPECT_THAT(failed.err,
                HasSubstr("**Error** verify " + std::string(part) + ": the " + missing));
    // Where traffic goes, read back, is not where the plan said either.
    if (only == "routes") {
      EXPECT_THAT(failed.err,
                  HasSubstr("**Error** verify reachability: 172.20.0.0/16 from " + kSpoke +
                            ": onprem-dc1-via-gw via instance gw-use1-a in meant, "
                            "default-route-8a0333ed155cd9f0 via "
                            "default-internet-gateway [internet] in read back\n"));
    }
    ResourceDocument spoke = revertFile()["spokes"][kSpoke];
    EXPECT_EQ((only == "routes" ? spoke["routes"]["stage-1"] : spoke["routers"])["state"],
              "reverting");
    Result refused = tool({"switch", "--config", config, "--only", only});
    EXPECT_EQ(refused.status, 2);
    EXPECT_THAT(refused.err, HasSubstr("take it back with `tolmi-gcp revert --config " + config +
                                       " --endpoint " + local.endpoint() + " --only " +
                                       (only == "routes" ? "routes --stage stage-1" : only) + "`"));

    local.emulator().handle("DELETE", "/emulator/v1/faults", {}, {}, "");
    Result retried = tool({"revert", "--config", config});
    EXPECT_EQ(retried.status, 0) << retried.err;
    EXPECT_EQ(comparableState(local.emulator().state()), before);
  }
}

TEST_F(Commands, SwitchAfterRevertRecordsOnlyWhatItChanges) {
  ASSERT_EQ(tool({"switch", "--config", config, "--only", "routers"}).status, 0);
  ASSERT_EQ(tool({"revert", "--config", config}).status, 0);
  std::string text = TempDir::read(config);
  std::size_t from = text.find("      - region: us-west1");
  std::size_t to = text.find("  - vpc_name: net-transit-prod::transit-b");
  dir.write("m.yaml", text.erase(from, to - from));

  ASSERT_EQ(tool({"switch", "--config", config, "--only", "routers"}).status, 0);
  ResourceDocument file = revertFile();
  const ResourceDocument& routers = file["record"]["cloud_routers"][kSpoke];
  EXPECT_EQ(routers.size(), 1u);
  EXPECT_TRUE(routers.contains("net-transit-prod::transit-a::us-east1::cr-transit-a-use1"));
  EXPECT_EQ(file["history"][0]["record"]["cloud_routers"][kSpoke].size(), 2u);
  EXPECT_EQ(file["history"][0]["parts"]["routers"]["state"], "reverted");
}

TEST_F(Commands, LibraryErrorsFinishTheRunWithStatusOne) {
  local.emulator().handle("POST", "/emulator/v1/faults", {}, {},
                          R"({"method": "DELETE", "path": "*/routes/onprem-dc1-via-gw",
                              "status": 403, "reason": "forbidden", "message": "no access"})");
  Result result = tool({"switch", "--config", config, "--only", "routes", "--stage", "stage-1"});
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_THAT(result.out, HasSubstr("  **Error** "));
  EXPECT_THAT(result.err, HasSubstr("errors logged: 1 (the lines marked **Error** above)\n"));
  EXPECT_THAT(result.err, HasSubstr("**Error** verify routes stage-1: the route onprem-dc1-via-gw "
                                    "is still there\n"));
  EXPECT_EQ(revertFile()["spokes"][kSpoke]["routes"]["stage-1"]["state"], "switching");
}

TEST_F(Commands, MistakesAreRefusedBeforeAnyChange) {
  std::string missingSpoke = dir.write("missing.yaml", [&] {
    std::string text = TempDir::read(config);
    return text.replace(text.find("vpc_name: spoke-1"), 17, "vpc_name: spoke-9");
  }());
  std::string typos = dir.write("typos.yaml", [&] {
    std::string text = TempDir::read(config);
    text.replace(text.find("delete: [onprem-dc1-via-gw]"), 27, "delete: [ghost-route]");
    text.replace(text.find("dest_instance: gw-use1-b"), 24, "dest_instance: gw-use1-x");
    return text.replace(text.find("transit-prod::transit-b"), 23, "transit-prod::transit-x");
  }());
  std::string slips = dir.write("slips.yaml", [&] {
    std::string text = TempDir::read(typos);
    text.replace(text.find("add_advertised_routes: [10.100.0.0/16]"), 38,
                 "add_advertised_routes: [10.100.0.1/16]");
    text.replace(text.find("groups: [ALL_SUBNETS]"), 21, "groups: ALL_SUBNETS");
    return text.replace(text.find("router_name: cr-transit-a-use1"), 30,
                        "router_name: cr-transit-a-usel");
  }());
  std::string taken = dir.write("taken.yaml", [&] {
    std::string text = TempDir::read(config);
    return text.replace(text.find("name: onprem-dc2-via-gw-usw1"), 28, "name: egress-tagged");
  }());
  // What the API would refuse: routes into subnet ranges the spoke holds, a stage past the
  // per-network route limit.
  std::string refused = dir.write("refused.yaml", [&] {
    std::string text = TempDir::read(config);
    text.replace(text.find("cidr: 172.20.0.0/16"), 19, "cidr: 10.0.0.0/24");
    const std::string last = "      - {cidr: 172.22.0.0/16";
    std::string many;
    for (int i = 0; i < 199; ++i)
      many += "      - {cidr: 172.30." + std::to_string(i) +
              ".0/24, zone: us-east1-b, dest_instance: gw-use1-a, priority: 950, name: null}\n";
    text.insert(text.find(last), many);
    return text.replace(text.find(last), last.size(), "      - {cidr: 172.16.0.0/28");
  }());
  // A stage that deletes the partner route and creates its replacement for another range.
  std::string lost = dir.write("lost.yaml", [&] {
    std::string text = TempDir::read(config);
    return text.replace(text.find("cidr: 172.22.0.0/16"), 19, "cidr: 172.23.0.0/16");
  }());
  local.emulator().handle(
      "POST", "/compute/v1/projects/net-transit-prod/global/networks/transit-b/removePeering", {},
      {}, R"({"name": "transit-b-to-spoke-1"})");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  std::vector<Case> cases = {
      {{"switch", "--config", config, "--stage", "stage-3"},
       "--stage stage-3: " + config +
           " has no such stage under manage_routes (it has: stage-1, "
           "stage-2)"},
      {{"revert", "--config", config, "--stage", "stage-1", "--only", "peerings"},
       "--stage selects route stages, but --only leaves out routes"},
      {{"switch", "--config", config, "--only", "peers"}, "--only: peers not in"},
      {{"switch", "--config", dir.file("absent.yaml")}, "--config: File does not exist"},
      {{"switch", "--config", missingSpoke},
       "the spoke network app-spoke-prod::spoke-9 does not exist (project_id and vpc_name in " +
           missingSpoke +
           "): The resource 'projects/app-spoke-prod/global/networks/spoke-9' "
           "was not found"},
      {{"demo"}, "demo runs its own emulator; --endpoint does not apply"},
      {{"switch", "--config", config, "--operation-timeout", "1 hour"},
       "a positive duration such as 90s, 30m or 2h"},
      {{"switch", "--config", typos}, "3 problem(s) found before any change; nothing was sent"},
      // A refused value leaves the estate readable: every problem comes out of one run.
      {{"switch", "--config", slips}, "2 problem(s) in " + slips + "; nothing was sent"},
      {{"switch", "--config", slips, "--all-problems"},
       slips + ": transit_vpcs[0].cloud_routers[1].add_advertised_routes[0]: \"10.100.0.1/16\" " +
           "has host bits set; the network is 10.100.0.0/16\n" + slips +
           ": transit_vpcs[0].cloud_routers[1].remove_advertised_groups: must be a list, got " +
           "\"ALL_SUBNETS\"\n" + slips +
           ": transit_vpcs[0].cloud_routers[0]: the router cr-transit-a-usel does not exist in " +
           "net-transit-prod us-east1\n" + slips +
           ": transit_vpcs[1].vpc_name: the network net-transit-prod::transit-x does not exist\n" +
           slips + ": manage_routes.stage-1.delete: the route ghost-route does not exist in " +
           "app-spoke-prod\n" + slips + ": manage_routes.stage-1.add[0]: the instance gw-use1-x " +
           "does not exist in app-spoke-prod us-east1-c\ntolmi-gcp: 6 problem(s) found before " +
           "any change; nothing was sent\n"},
      {{"revert", "--config", config, "--from-history", "-1"},
       "--from-history -1: " + config + ".revert.json keeps no record in its history"},
      {{"switch", "--config", config, "--retry-scale", "2"},
       "--retry-scale: Value 2 not in range 0.000001 to 1"},
      {{"switch", "--config", config, "--request-timeout-ms", "400000"},
       "--request-timeout-ms: Value 400000 not in range 1 to 300000"},
      {{"discover", "--config", config, "--max-in-flight", "0"},
       "--max-in-flight: Value 0 not in range 1 to 64"},
      {{"switch", "--config", taken, "--only", "routes", "--stage", "stage-2"},
       "manage_routes.stage-2.add[0]: the route name egress-tagged is taken by a route this "
       "tool did not make"},
      {{"switch", "--config", refused, "--only", "routes"},
       "manage_routes.stage-1.add[0]: the API would refuse a route to 10.0.0.0/24: it equals or "
       "fits in the subnetwork transit-a-use1 (10.0.0.0/20) of net-transit-prod::transit-a, over "
       "the ACTIVE peering spoke-1-to-transit-a"},
      {{"switch", "--config", refused, "--only", "routes"},
       "manage_routes.stage-2.add[200]: the API would refuse a route to 172.16.0.0/28: it equals "
       "or fits in a subnetwork (172.16.0.0/28) of gke-tenant-n7f3a2c1::gke-n7f3a2c1-net, over "
       "the ACTIVE peering gke-n7f3a2c1-peer"},
      {{"switch", "--config", refused, "--only", "routes"},
       "manage_routes.stage-2: the stage would hold 205 static routes in " + kSpoke +
           ", past the API's default limit of 200 (the operation would end in QUOTA_EXCEEDED)"},
      {{"switch", "--config", lost, "--only", "routes", "--dry-run"},
       lost + ": reachability: 172.22.0.0/16 from " + kSpoke +
           ": delivered now (partner-via-gw-usw1 via instance gw-usw1-a), "
           "default-route-8a0333ed155cd9f0 via default-internet-gateway [internet] from between "
           "deletes and adds of routes stage-2 on\n"},
      {{"switch", "--config", config, "--only", "peerings"},
       "transit_vpcs[1].vpc_name: the peering between " + kSpoke +
           " and net-transit-prod::transit-b is missing on net-transit-prod::transit-b"},
  };
  for (const Case& c : cases) {
    std::size_t before = journalSize();
    Result result = tool(c.args);
    EXPECT_EQ(result.status, 2) << c.message;
    EXPECT_THAT(result.err, HasSubstr(c.message));
    EXPECT_THAT(changesSince(before), IsEmpty());
  }
  EXPECT_EQ(TempDir::read(config + ".revert.json"), "");
  EXPECT_EQ(
      tool({"switch", "--config", lost, "--only", "routes", "--dry-run", "--accept-unreachable"})
          .status,
      0);
}

// While the spoke is apart from transit-a, transit-a gains a route into the spoke's range: the
// API would refuse the peering, so the revert is refused before it removes anything else.
TEST_F(Commands, RevertToAPeeringTheApiWouldRefuseIsRefusedBeforeAnyChange) {
  ASSERT_EQ(tool({"switch", "--config", config}).status, 0);
  ResourceDocument operation = ResourceDocument::parse(
      local.emulator()
          .handle("POST", "/compute/v1/projects/net-transit-prod/global/routes", {}, {},
                  R"({"name": "into-spoke", "network": "global/networks/transit-a",
                      "destRange": "10.100.0.0/24", "nextHopIp": "10.0.0.5"})")
          .body);
  local.emulator().handle("POST",
                          "/compute/v1/projects/net-transit-prod/global/operations/" +
                              operation["name"].get<std::string>() + "/wait",
                          {}, {}, "");
  std::size_t before = journalSize();
  Result refused = tool({"revert", "--config", config});
  EXPECT_EQ(refused.status, 2);
  EXPECT_THAT(refused.err,
              HasSubstr(config + ".revert.json: record.peerings[" + kSpoke +
                        "][0]: the API would refuse to peer " + kSpoke +
                        " with net-transit-prod::transit-a again: the route into-spoke "
                        "(10.100.0.0/24) of net-transit-prod::transit-a equals or fits in the "
                        "subnetwork spoke-1-use1 (10.100.0.0/20) of " +
                        kSpoke + "\n"));
  EXPECT_THAT(changesSince(before), IsEmpty());
}

// Every variant of the example file with an optional key left out, a list emptied or a value made
// null is refused before any change, or runs through a dry run without missing a key.
TEST_F(Commands, EveryFileTheCheckAcceptsRunsThroughADryRun) {
  const ResourceDocument migration = parseYamlFile(config);
  std::vector<ResourceDocument> variants;
  std::function<void(const ResourceDocument::json_pointer&)> vary =
      [&](const ResourceDocument::json_pointer& at) {
        const ResourceDocument& node = migration.at(at);
        if (!at.empty()) {
          variants.push_back(migration);
          variants.back().at(at) = nullptr;
          if (node.is_array() && !node.empty()) {
            variants.push_back(migration);
            variants.back().at(at) = ResourceDocument::array();
          }
        }
        if (node.is_array())
          for (std::size_t i = 0; i < node.size(); ++i) vary(at / i);
        if (node.is_object())
          for (const auto& [key, value] : node.items()) {
            variants.push_back(migration);
            variants.back().at(at).erase(key);
            vary(at / key);
          }
      };
  vary(ResourceDocument::json_pointer());
  std::size_t accepted = 0;
  for (const ResourceDocument& variant : variants) {
    std::string file = dir.write("variant.yaml", variant.dump());
    Result run = tool({"switch", "--config", file, "--dry-run"});
    EXPECT_THAT(run.out + run.err, Not(HasSubstr("missing key"))) << variant.dump();
    if (run.status != 2) {
      ++accepted;
      EXPECT_EQ(run.status, 0) << variant.dump() << run.err;
    }
  }
  EXPECT_GT(accepted, 10u);
  ResourceDocument noGroups = migration;
  noGroups["transit_vpcs"][0]["cloud_routers"][0].erase("remove_advertised_groups");
  Result refused = tool({"switch", "--config", dir.write("n.yaml", noGroups.dump()), "--dry-run"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_THAT(refused.err,
              HasSubstr("transit_vpcs[0].cloud_routers[0]: the router cr-transit-a-use1 "
                        "advertises groups (ALL_SUBNETS): remove_advertised_groups is needed (an "
                        "empty list keeps them all)\n"));
}

TEST_F(Commands, RevertRefusesRecordEntriesTheMigrationFileDoesNotScope) {
  ASSERT_EQ(tool({"switch", "--config", config, "--stage", "stage-1"}).status, 0);
  ResourceDocument file = revertFile();
  file["record"]["manage_routes"]["stage-1"][kSpoke]["deleted_route_list"][0]["nextHopInstance"] =
      "projects/app-spoke-prod/zones/us-east1-b/instances/gw-gone";
  ResourceDocument pair = file["record"]["peerings"][kSpoke][0];
  pair["remotePeeringProperties"]["network"] =
      "https://compute.googleapis.com/compute/v1/projects/net-transit-prod/global/networks/"
      "transit-b";
  file["record"]["peerings"][kSpoke].push_back(pair);
  file["record"]["cloud_routers"][kSpoke]["net-transit-prod::transit-b::us-east1::cr-other"] =
      ResourceDocument{{"advertiseMode", "CUSTOM"}};
  dir.write("m.yaml.revert.json", file.dump());
  std::size_t before = journalSize();
  Result result = tool({"revert", "--config", config});
  EXPECT_EQ(result.status, 2) << result.err;
  std::string where = config + ".revert.json: record.";
  EXPECT_THAT(result.err, HasSubstr(where + "cloud_routers[" + kSpoke +
                                    "]: the router net-transit-prod::transit-b::us-east1::cr-other "
                                    "is not one the migration file lists\n"));
  EXPECT_THAT(result.err, HasSubstr(where + "peerings[" + kSpoke +
                                    "][2]: the pair between net-transit-prod::transit-b and "
                                    "net-transit-prod::transit-a is not one between " +
                                    kSpoke + " and a transit network of the migration file\n"));
  EXPECT_THAT(result.err, HasSubstr(where + "manage_routes.stage-1[" + kSpoke +
                                    "].deleted_route_list[0]: the instance projects/app-spoke-prod/"
                                    "zones/us-east1-b/instances/gw-gone of the route "
                                    "onprem-dc1-via-gw does not exist\n"));
  EXPECT_THAT(changesSince(before), IsEmpty());
}

TEST_F(Commands, OnATerminalThePlanWaitsForAYesUnlessYesIsGiven) {
  std::istringstream no("n\n"), none;
  std::ostringstream out, err;
  std::vector<std::string> args = {"tolmi-gcp", "switch",     "--config",
                                   config,      "--endpoint", local.endpoint()};
  std::size_t before = journalSize();
  EXPECT_EQ(runTool(args, out, err, true, &no), 2);
  EXPECT_THAT(err.str(),
              HasSubstr("warning: transit_vpcs[1].cloud_routers[0]: the router cr-transit-b-use1 "
                        "is in DEFAULT advertise mode: left alone\nplan: remove 4 peering ends "
                        "(spoke-1-to-transit-a, transit-a-to-spoke-1, spoke-1-to-transit-b, "
                        "transit-b-to-spoke-1), delete 3 routes (onprem-dc1-via-gw, "
                        "onprem-dc2-via-ip, partner-via-gw-usw1), create 3 routes ("));
  EXPECT_THAT(err.str(), HasSubstr("), patch 2 routers (cr-transit-a-use1, cr-transit-a-usw1)\n"
                                   "proceed? [y/N] tolmi-gcp: not confirmed; nothing was sent\n"));
  // Where traffic goes at each state: a stage's gap, between its delete and its add.
  EXPECT_THAT(err.str(),
              HasSubstr("reachability between deletes and adds of routes stage-1 (1 change):\n"
                        "  172.20.0.0/16 from " +
                        kSpoke +
                        ": onprem-dc1-via-gw via instance gw-use1-a → "
                        "default-route-8a0333ed155cd9f0 via default-internet-gateway [internet] "
                        "(gap of about 20s, until after routes stage-1)\n"));
  EXPECT_THAT(changesSince(before), IsEmpty());
  args.push_back("--yes");
  EXPECT_EQ(runTool(args, out, err, true, &none), 0) << err.str();
}

TEST_F(Commands, DiscoverReportsTheFilesProjectAndLeavesTheLibraryFactoryAlone) {
  int made = 0;
  defaultServiceFactory() = [&] { return ++made, DefaultService{}; };
  Result result = tool({"discover", "--config", config});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr("=== VPC app-spoke-prod::spoke-1\n"));
  defaultServiceFactory()();
  defaultServiceFactory() = [] { return defaultComputeService(); };
  EXPECT_EQ(made, 1);
}

TEST_F(Commands, JsonOutputNamesEachChangeAndTheLogFileStartsWithAHeader) {
  std::string log = (dir.path() / "run.log").string();
  Result run = tool({"switch", "--config", config, "--only", "peerings,routes", "--stage",
                     "stage-1", "--output", "json", "--log-file", log});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(headings(run.err),
              ElementsAre("- Delete transit peerings in " + kSpoke, "- Manage route(s) stage-1"));
  std::vector<std::string> events;
  ResourceDocument summary;
  std::istringstream lines(run.out);
  std::vector<std::string> reach;
  for (std::string line; std::getline(lines, line);) {
    summary = ResourceDocument::parse(line);
    if (summary["event"] == "reachability") {
      reach.push_back(textOf(summary["state"]) + ", " + textOf(summary["from"]) + " to " +
                      textOf(summary["destination"]) + ": " + textOf(summary["verdict"]) + " " +
                      textOf(summary["via"]) + (summary["gap"] == true ? " (gap)" : ""));
      continue;
    }
    events.push_back(textOf(summary["event"]) + " " + textOf(summary.value("part", "")) + " " +
                     textOf(summary.value("action", summary.value("state", ""))) + " " +
                     textOf(summary.value("resource", "")) + " " +
                     textOf(summary.value("result", "")));
  }
  const std::string routes = "projects/app-spoke-prod/global/routes/";
  const std::string peering = "peerings networks.removePeering projects/";
  EXPECT_THAT(
      events,
      ElementsAre("change " + peering + "net-transit-prod/global/networks/transit-a done",
                  "change " + peering + "app-spoke-prod/global/networks/spoke-1 done",
                  "change " + peering + "net-transit-prod/global/networks/transit-b done",
                  "change " + peering + "app-spoke-prod/global/networks/spoke-1 done",
                  "part peerings switched  ",
                  "change routes stage-1 routes.delete " + routes + "onprem-dc1-via-gw done",
                  "change routes stage-1 routes.insert " + routes +
                      "tvn-940f3e20d8665308d0c3d5ba79cf6fba done",
                  "part routes stage-1 switched  ", "summary    "));
  // Each state of the run, from the spoke and back to it: the stage's gap, the way back.
  EXPECT_THAT(reach, IsSupersetOf(std::vector<std::string>{
                         "before, " + kSpoke +
                             " to 172.20.0.0/16: instance "
                             "onprem-dc1-via-gw via instance gw-use1-a",
                         "between deletes and adds of routes stage-1, " + kSpoke +
                             " to 172.20.0.0/16: internet "
                             "default-route-8a0333ed155cd9f0 via "
                             "default-internet-gateway (gap)",
                         "after peerings, net-transit-prod::transit-a to "
                         "10.100.0.0/20: instance spokes-via-nva-a via instance "
                         "nva-transit-a-use1"}));
  EXPECT_EQ(summary["exit_status"], 0);
  EXPECT_EQ(summary["changes"], ResourceDocument::parse(R"({"peering removals": 4,
      "route creations": 1, "route deletions": 1})"));
  std::string text = TempDir::read(log);
  EXPECT_THAT(text, HasSubstr("INFO  tolmi-gcp 0.1.0: tolmi-gcp switch --config " + config));
  EXPECT_THAT(text, HasSubstr("INFO  endpoint " + local.endpoint() +
                              ", project app-spoke-prod, credentials none (emulator)\n"));
  EXPECT_THAT(text, HasSubstr("INFO  awaiting operation-"));

  Result estate = tool({"discover", "--config", config, "--output", "json"});
  ResourceDocument found = ResourceDocument::parse(estate.out);
  EXPECT_EQ(found["networks"].size(), 4u);
  EXPECT_EQ(found["networks"][0]["routes"].back()["name"], "tvn-940f3e20d8665308d0c3d5ba79cf6fba");
  EXPECT_EQ(found["routers"][0]["bgp"]["advertiseMode"], "CUSTOM");
  // The text report's ranges, GKE's among them.
  EXPECT_EQ(found["advertisements"]["us-west1"],
            ResourceDocument({"172.16.0.0/28", "10.100.0.0/20", "10.100.16.0/20"}));
}

// Raises a real SIGINT once the tool draws its first progress line: an operation's wait is in
// flight then.
struct InterruptOnFirstWait : std::stringbuf {
  int sync() override {
    if (!sent && str().find("waiting for") != std::string::npos) sent = true, std::raise(SIGINT);
    return 0;
  }
  bool sent = false;
};

// The spoke project's route list, answered by the emulator with `routes` in place of its own.
void answerRoutesWith(emulator::Emulator& emulator, const ResourceDocument& routes) {
  emulator.handle("POST", "/emulator/v1/faults", {}, {},
                  ResourceDocument{{"method", "GET"},
                                   {"path", "/compute/v1/projects/app-spoke-prod/global/routes"},
                                   {"answer", {{"items", routes}}}}
                      .dump());
}

TEST_F(Commands, SnapshotLeavesOutOnlyNextHopsTheEmulatorHasNoModelOf) {
  const std::string list = "/compute/v1/projects/app-spoke-prod/global/routes",
                    project = "https://www.googleapis.com/compute/v1/projects/app-spoke-prod/",
                    spoke = project + "global/networks/spoke-1",
                    regional = project + "regions/us-east1/";
  ResourceDocument routes =
      ResourceDocument::parse(local.emulator().handle("GET", list, {}, {}, "").body)["items"];
  auto route = [&](const char* name, const char* hop, const std::string& to) {
    return ResourceDocument{
        {"name", name}, {"network", spoke}, {"destRange", "172.30.0.0/16"}, {hop, to}};
  };
  routes.push_back(route("via-vpn", "nextHopVpnTunnel", regional + "vpnTunnels/t1"));
  routes.back()["description"] = "tunnel \xF0\x9F\x98\x80";
  routes.push_back(route("via-hub", "nextHopHub",
                         "//networkconnectivity.googleapis.com/projects/app-spoke-prod/locations/"
                         "global/hubs/h1"));
  routes.push_back(route("via-attachment", "nextHopInterconnectAttachment",
                         regional + "interconnectAttachments/a"));
  answerRoutesWith(local.emulator(), routes);
  Result taken = tool({"snapshot", "--config", config});
  ASSERT_EQ(taken.status, 0) << taken.err;
  EXPECT_THAT(taken.err, HasSubstr("left out the route via-hub, whose next hop is a hub"));
  EXPECT_THAT(taken.err, HasSubstr("left out the route via-attachment, whose next hop is an "
                                   "interconnect attachment"));

  // Written as Python's json.dump writes it: characters beyond U+FFFF as surrogate pairs.
  emulator::Emulator rehearsal(
      parseYamlText(ResourceDocument::parse(taken.out).dump(2, ' ', true), "estate.json"));
  const ResourceDocument state = rehearsal.state();
  std::map<std::string, ResourceDocument> rehearsed;
  for (const ResourceDocument& route : state["projects"]["app-spoke-prod"]["routes"])
    rehearsed[route["name"]] = route;
  for (const ResourceDocument& route : routes) {
    // The rehearsal makes the routes the API derives anew, under names of its own.
    if (route.contains("nextHopNetwork") || route.contains("nextHopPeering") ||
        route["name"].get<std::string>().starts_with("default-route-"))
      continue;
    bool kept = route["name"] != "via-hub" && route["name"] != "via-attachment";
    EXPECT_EQ(rehearsed.count(route["name"]), kept ? 1u : 0u) << route["name"];
  }
  EXPECT_EQ(rehearsed["via-vpn"]["description"], "tunnel \xF0\x9F\x98\x80");
}

TEST_F(Commands, SnapshotStopsAtALinkThatDoesNotFitAtAnyReadsInFlight) {
  for (const char* inFlight : {"1", "8"}) {
    answerRoutesWith(
        local.emulator(),
        {{{"name", "r1"}, {"destRange", "10.9.0.0/24"}, {"nextHopInstance", "projects/x/zones"}}});
    Result stopped = tool({"snapshot", "--config", config, "--max-in-flight", inFlight});
    EXPECT_EQ(stopped.status, 3) << inFlight;
    EXPECT_THAT(stopped.err, HasSubstr("snapshot of " + config +
                                       " stopped: not a resource link: \"projects/x/zones\" as the "
                                       "nextHopInstance of the route r1 (expected "
                                       "projects/PROJECT/zones/ZONE/instances/NAME)\n"));
  }
}

TEST_F(Commands, InterruptionLetsTheWaitInFlightFinishSavesTheRecordAndExits130) {
  ResourceDocument before = comparableState(local.emulator().state());
  local.emulator().handle("POST", "/emulator/v1/faults", {}, {},
                          R"({"method": "POST", "path": "*/wait", "delayMs": 1500, "times": 1})");
  InterruptOnFirstWait err;
  std::ostream errStream(&err);
  std::ostringstream out;
  int status = runTool({"tolmi-gcp", "switch", "--config", config, "--endpoint", local.endpoint()},
                       out, errStream, true);
  EXPECT_EQ(status, 130) << err.str();
  const std::string sameFiles = " --config " + config + " --endpoint " + local.endpoint();
  EXPECT_THAT(err.str(),
              HasSubstr("interrupted during peerings; `tolmi-gcp revert" + sameFiles +
                        " --only peerings` takes back peerings alone, `tolmi-gcp revert" +
                        sameFiles + "` every part switched\n"));
  EXPECT_THAT(err.str(), HasSubstr("changes made: peering removals 1\n"));
  EXPECT_EQ(revertFile()["spokes"][kSpoke]["peerings"]["state"], "switching");
  EXPECT_EQ(tool({"revert", "--config", config, "--only", "peerings"}).status, 0);
  EXPECT_EQ(comparableState(local.emulator().state()), before);
  // The way back for the whole run finds nothing more to take back.
  EXPECT_EQ(tool({"revert", "--config", config}).status, 0);
}

// The three spokes that share transit routers, with gateways of every kind; pay-core's file.
class SharedRouters : public Commands {
 protected:
  SharedRouters() : Commands(kShared + "/topology.yaml", kShared + "/pay-core.yaml") {}
  static inline const std::string kShared = kExamples + "/shared-routers";
};

TEST_F(SharedRouters, UnfitGatewaysAreRefusedAndATaggedRouteKeepsItsTags) {
  const std::string text = TempDir::read(config), add = "\n    - {zone: us-east1-b, priority: 1, ";
  std::string gateways =
      dir.write("gw.yaml", text + "  gw:\n    add:" + add +
                               "cidr: 10.8.0.0/24, dest_instance: app-pc-use1, name: null}" + add +
                               "cidr: 10.8.1.0/24, dest_instance: gw-pb-old, name: null}" + add +
                               "cidr: 10.8.2.0/24, dest_instance: gw-pb-use1, name: null}\n");
  Result refused = tool({"switch", "--config", gateways, "--only", "routes", "--stage", "gw"});
  const std::string at = ": manage_routes.gw.add[", cannot = " cannot carry the route's traffic: ";
  EXPECT_THAT(refused.err,
              HasSubstr(at + "0]: the instance app-pc-use1" + cannot +
                        "IP forwarding is off (canIpForward false)\n" + gateways + at +
                        "1]: the instance gw-pb-old" + cannot + "it is TERMINATED, not RUNNING\n" +
                        gateways + at + "2]: the instance gw-pb-use1" + cannot +
                        "it has no network interface in pay-prod::pay-core\n"));

  std::string untagged = dir.write("u.yaml", std::string(text).erase(text.find(", tags: ["), 31));
  Result warned = tool({"switch", "--config", untagged, "--only", "routes", "--dry-run"});
  EXPECT_THAT(warned.err, HasSubstr("warning: manage_routes.partner.add[0]: replaces the route "
                                    "pc-partner-y (tags partner-y, settlement) with a route "
                                    "without tags, for every instance of pay-prod::pay-core\n"));

  EXPECT_EQ(tool({"switch", "--config", config, "--only", "routes"}).status, 0);
  HttpResponse route = local.emulator().handle(
      "GET", "/compute/v1/projects/pay-prod/global/routes/pc-partner-y-via-gw", {}, {}, "");
  EXPECT_EQ(ResourceDocument::parse(route.body)["tags"],
            ResourceDocument({"partner-y", "settlement"}));
}

// Three spokes that share the transit routers of examples/shared-routers, switched and taken back
// in every order: each router advertises the ranges of the spokes still switched, and once all
// are back, exactly what it advertised before.
TEST_F(SharedRouters, EachRevertTakesBackItsOwnSpokesChangeAndNoOther) {
  const std::string estate = kExamples + "/shared-routers/";
  const std::vector<std::string> spokes = {"pay-core", "pay-batch", "data-lake"};
  const std::map<std::string, std::map<std::string, std::set<std::string>>> added = {
      {"pay-core", {{"cr-onprem-use1", {"10.20.0.0/20"}}, {"cr-partner-use1", {"10.20.0.0/20"}}}},
      {"pay-batch", {{"cr-onprem-use1", {"10.21.0.0/20"}}}},
      {"data-lake", {{"cr-onprem-use1", {"10.30.0.0/20"}}}}};
  std::vector<std::size_t> order = {0, 1, 2};
  do {
    local.emulator().handle("POST", "/emulator/v1/reset", {}, {}, "");
    const std::string files = dir.file(std::to_string(order[0]) + std::to_string(order[1]));
    std::filesystem::create_directory(files);
    auto bgpOf = [&](const std::string& router) {
      return ResourceDocument::parse(
          local.emulator()
              .handle("GET", "/compute/v1/projects/net-hub-prod/regions/us-east1/routers/" + router,
                      {}, {}, "")
              .body)["bgp"];
    };
    const ResourceDocument before[] = {bgpOf("cr-onprem-use1"), bgpOf("cr-partner-use1")};
    std::set<std::string> switched;
    auto step = [&](const std::string& command, const std::string& spoke) {
      std::string config = files + "/" + spoke + ".yaml";
      std::filesystem::copy_file(estate + spoke + ".yaml", config,
                                 std::filesystem::copy_options::skip_existing);
      Result result = tool({command, "--config", config, "--only", "routers"});
      EXPECT_EQ(result.status, 0) << command << " " << spoke << "\n" << result.out << result.err;
      command == "switch" ? (void)switched.insert(spoke) : (void)switched.erase(spoke);
      for (const std::string router : {"cr-onprem-use1", "cr-partner-use1"}) {
        std::set<std::string> meant, advertised;
        for (const std::string& on : switched)
          if (added.at(on).contains(router))
            meant.insert(added.at(on).at(router).begin(), added.at(on).at(router).end());
        const ResourceDocument bgp = bgpOf(router);
        for (const ResourceDocument& range : bgp["advertisedIpRanges"])
          if (range.value("description", "") == "tessavon-migration-added")
            advertised.insert(range["range"].get<std::string>());
        EXPECT_EQ(advertised, meant) << command << " " << spoke << " on " << router;
      }
      return result;
    };
    for (const std::string& spoke : spokes) step("switch", spoke);
    Result first = step("revert", spokes[order[0]]);
    if (order[0] != 2) {
      EXPECT_THAT(first.err, HasSubstr("cr-onprem-use1 has changed since this spoke's switch ("));
    }
    step("revert", spokes[order[1]]);
    // A spoke switched again while another is still switched.
    step("switch", spokes[order[0]]);
    step("revert", spokes[order[0]]);
    step("revert", spokes[order[2]]);
    EXPECT_EQ(bgpOf("cr-onprem-use1"), before[0]);
    EXPECT_EQ(bgpOf("cr-partner-use1"), before[1]);
  } while (std::next_permutation(order.begin(), order.end()));
}

// The command printed after a stage fails or is interrupted half-way finishes it, sending only
// what is left: after the second of two inserts failed, or after an interruption before it.
TEST_F(SharedRouters, PrintedCommandFinishesAStageLeftHalfWay) {
  config = dir.write("m.yaml", TempDir::read(kShared + "/pay-batch.yaml"));
  LocalEmulator clean(kShared + "/topology.yaml");
  run({"switch", "--config", config, "--only", "routes", "--revert-file", dir.file("clean.json"),
       "--endpoint", clean.endpoint()});
  for (const char* fault :
       {R"({"method": "POST", "path": "*/global/routes", "skip": 1, "status": 403})",
        R"({"method": "POST", "path": "*/wait", "skip": 2, "delayMs": 1500})"}) {
    local.emulator().handle("POST", "/emulator/v1/reset", {}, {}, "");
    for (const char* end : {".revert.json", ".revert.json.bak"})
      std::filesystem::remove(config + end);
    local.emulator().handle("POST", "/emulator/v1/faults", {}, {}, fault);
    InterruptOnFirstWait err;
    std::ostream errStream(&err);
    std::ostringstream out;
    runTool({"tolmi-gcp", "switch", "--config", config, "--only", "routes", "--endpoint",
             local.endpoint()},
            out, errStream, true);
    std::size_t end = err.str().find(" --force`") + 8, start = err.str().rfind('`', end - 1) + 1;
    std::istringstream printed(err.str().substr(start, end - start));
    std::vector<std::string> command{std::istream_iterator<std::string>(printed), {}};
    std::size_t before = journalSize();
    Result resumed = run({command.begin() + 1, command.end()});
    EXPECT_EQ(resumed.status, 0) << fault << err.str() << resumed.err;
    EXPECT_THAT(changesSince(before),
                ElementsAre("POST /compute/v1/projects/pay-prod/global/routes"));
    EXPECT_EQ(revertFile()["spokes"]["pay-prod::pay-batch"]["routes"]["dc"]["state"], "switched");
    EXPECT_EQ(comparableState(local.emulator().state()), comparableState(clean.emulator().state()));
  }
}

}  // namespace
}  // namespace tolmi_gcp::cli
