// tolmi-gcp against compute-emulator with injected faults: transient ones are retried until the run
// completes, changes only ever under their first requestId; lasting ones fail cleanly, with a
// revert record from which revert puts the estate back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "cli/demo.hpp"
#include "emulator_process.hpp"
#include "temp_dir.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/compute/curl_transport.hpp"
#include "tool_process.hpp"

namespace tolmi_gcp::cli {
namespace {

using testing::EmulatorProcess;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::Outcome;
using testing::TempDir;
using testing::ToolProcess;

const std::string kExamples = std::string(TOLMI_SOURCE_DIR) + "/examples";
const std::string kSpoke = "/compute/v1/projects/app-spoke-prod/";
const std::string kTransit = "/compute/v1/projects/net-transit-prod/";

class Faults : public ::testing::Test {
 protected:
  explicit Faults(const std::vector<std::string>& emulatorOptions = {})
      : emulator(std::string(TOLMI_BINARY_DIR) + "/compute-emulator",
                 kExamples + "/demo-topology.yaml", emulatorOptions) {
    config = dir.write("migration.yaml", TempDir::read(kExamples + "/migration.yaml"));
    before = comparableState(emulator.state());
  }

  // Retries a hundred times faster than in production (10 ms first backoff, 3 s in all per
  // request), and a request unanswered after half a second is given up and sent again.
  std::unique_ptr<ToolProcess> start(const std::string& command) {
    return std::make_unique<ToolProcess>(
        std::vector<std::string>{command, "--config", config, "--endpoint", emulator.endpoint(),
                                 "--retry-scale", "0.01", "--request-timeout-ms", "500"},
        dir);
  }
  Outcome tool(const std::string& command) { return start(command)->outcome(); }

  void inject(const std::string& method, const std::string& path, ResourceDocument fault) {
    fault["method"] = method;
    fault["path"] = path;
    emulator.admin("POST", "faults", fault);
  }

  // The estate after a switch without faults.
  ResourceDocument switchedState() {
    EXPECT_EQ(tool("switch").status, 0);
    ResourceDocument switched = comparableState(emulator.state());
    EXPECT_EQ(tool("revert").status, 0);
    emulator.admin("DELETE", "requests");
    return switched;
  }

  // The statuses each change received, by "METHOD path requestId", in the order they came.
  std::map<std::string, std::vector<int>> changeTries() const {
    std::map<std::string, std::vector<int>> tries;
    ResourceDocument journal = emulator.journal();
    for (const ResourceDocument& request : journal["requests"])
      if (request["query"].contains("requestId"))
        tries[request["method"].get<std::string>() + " " + request["path"].get<std::string>() +
              " " + request["query"]["requestId"].get<std::string>()]
            .push_back(request["status"]);
    return tries;
  }

  // Checks that every change ended done, and that no retry was refused for doing it again (404,
  // 409); returns how many changes there were.
  std::size_t expectEachChangeDoneOnce() const {
    std::map<std::string, std::vector<int>> tries = changeTries();
    for (const auto& [change, statuses] : tries) {
      EXPECT_EQ(statuses.back(), 200) << change;
      for (int status : statuses) EXPECT_TRUE(status == 200 || status >= 429) << change;
    }
    return tries.size();
  }

  std::vector<int> statuses() const {
    std::vector<int> out;
    ResourceDocument journal = emulator.journal();
    for (const ResourceDocument& request : journal["requests"]) out.push_back(request["status"]);
    return out;
  }

  TempDir dir;
  EmulatorProcess emulator;
  std::string config;
  ResourceDocument before;
};

TEST_F(Faults, ReadsAndWaitsAreRetriedThroughTransientFaultsUntilTheRunCompletes) {
  ResourceDocument switched = switchedState();
  inject("GET", kSpoke + "global/networks/spoke-1", {{"status", 429}, {"times", 2}});
  inject("GET", kSpoke + "global/routes/*", {{"status", 500}});
  inject("GET", kSpoke + "zones/*/instances/*", {{"status", 503}});
  inject("GET", kTransit + "regions/*/routers/*", {{"drop", true}});
  inject("POST", "*/operations/*/wait", {{"status", 502}});
  inject("GET", kTransit + "global/networks/transit-a", {{"delayMs", 1500}});  // past the timeout

  Outcome run = tool("switch");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_THAT(emulator.admin("GET", "faults")["faults"], IsEmpty());
  std::vector<int> seen = statuses();
  for (int status : {429, 500, 503, 0, 502})
    EXPECT_NE(std::find(seen.begin(), seen.end(), status), seen.end()) << status;
  EXPECT_EQ(comparableState(emulator.state()), switched);
  expectEachChangeDoneOnce();

  EXPECT_EQ(tool("revert").status, 0);
  EXPECT_EQ(comparableState(emulator.state()), before);
}

TEST_F(Faults, ChangesAreRetriedUnderTheirFirstRequestIdAndDoneOnce) {
  ResourceDocument switched = switchedState();
  inject("POST", kTransit + "global/networks/transit-a/removePeering", {{"status", 503}});
  inject("POST", kSpoke + "global/networks/spoke-1/removePeering", {{"status", 429}});
  // Carried out, but the answer is lost or says otherwise.
  inject("POST", kSpoke + "global/routes", {{"after", true}, {"drop", true}});
  inject("DELETE", kSpoke + "global/routes/*", {{"after", true}, {"status", 500}});
  inject("PATCH", kTransit + "regions/*/routers/*", {{"after", true}, {"delayMs", 1500}});

  Outcome run = tool("switch");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_THAT(emulator.admin("GET", "faults")["faults"], IsEmpty());
  EXPECT_EQ(expectEachChangeDoneOnce(), 12u);
  int retried = 0;
  for (const auto& [change, statuses] : changeTries()) retried += statuses.size() > 1;
  EXPECT_GE(retried, 5);
  EXPECT_EQ(comparableState(emulator.state()), switched);

  // A re-created peering end held past the timeout: its retry does the work, and the first try,
  // arriving late, is answered with the same operation.
  inject("POST", kSpoke + "global/networks/spoke-1/addPeering", {{"delayMs", 1500}});
  Outcome revert = tool("revert");
  EXPECT_EQ(revert.status, 0) << revert.out << revert.err;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::vector<int> peeringTries;
  while (peeringTries.size() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (const auto& [change, statuses] : changeTries())
      if (change.find("spoke-1/addPeering") != std::string::npos &&
          statuses.size() > peeringTries.size())
        peeringTries = statuses;
  }
  EXPECT_EQ(peeringTries, (std::vector<int>{200, 200}));
  EXPECT_EQ(comparableState(emulator.state()), before);
}

TEST_F(Faults, LastingFaultsFailCleanlyAndRevertUndoesWhatWasDone) {
  // Stage-1's creation is refused for good: nothing changed, nothing recorded. Stage-2's two meet
  // a server error that outlasts every retry: they may exist, so their names stay recorded.
  inject(
      "POST", kSpoke + "global/routes",
      {{"operationError", {{"code", "QUOTA_EXCEEDED"}, {"message", "Quota 'ROUTES' exceeded."}}}});
  inject("POST", kSpoke + "global/routes", {{"status", 503}, {"times", 1000}});
  inject("POST", kTransit + "global/networks/transit-a/removePeering",
         {{"operationError", {{"code", "RESOURCE_NOT_READY"}, {"message", "Peering is busy."}}}});
  inject("PATCH", kTransit + "regions/us-east1/routers/*", {{"status", 403}});
  Outcome run = tool("switch");
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_THAT(run.out, HasSubstr("  **Error** HTTP 503"));
  EXPECT_THAT(run.out, HasSubstr("Quota 'ROUTES' exceeded."));
  EXPECT_THAT(run.out, HasSubstr("Peering is busy."));
  EXPECT_THAT(run.out, HasSubstr("**Error** HTTP 403"));
  EXPECT_THAT(run.err, HasSubstr("errors logged: 5"));

  ResourceDocument file = ResourceDocument::parse(TempDir::read(config + ".revert.json"));
  const ResourceDocument& record = file["record"];
  EXPECT_EQ(record["peerings"]["app-spoke-prod::spoke-1"].size(), 2u);
  EXPECT_THAT(record["manage_routes"]["stage-1"]["app-spoke-prod::spoke-1"]["added_route_list"],
              IsEmpty());
  EXPECT_EQ(
      record["manage_routes"]["stage-2"]["app-spoke-prod::spoke-1"]["added_route_list"].size(), 2u);
  EXPECT_EQ(record["cloud_routers"]["app-spoke-prod::spoke-1"].size(), 2u);

  emulator.admin("DELETE", "faults");
  Outcome revert = tool("revert");
  EXPECT_EQ(revert.status, 0) << revert.out << revert.err;
  EXPECT_EQ(comparableState(emulator.state()), before);
}

// Each change's operation takes 200 ms to finish, so that changes can overlap.
class RacingChanges : public Faults {
 protected:
  RacingChanges() : Faults({"--operation-delay-ms", "200"}) {}
};

TEST_F(RacingChanges, ChangesRefusedWhileAnotherActorsRouteChangeRunsAreRetried) {
  // Another actor creates a route on the spoke's network while the tool's first peering change is
  // held on its way in; let go, that change meets the refusal and is retried until it goes through.
  ComputeService api(makeCurlTransport(), emulator.endpoint(), nullptr);
  inject("POST", "*/removePeering", {{"delayMs", 400}});  // within the tool's timeout
  std::unique_ptr<ToolProcess> run = start("switch");
  while (!emulator.admin("GET", "faults")["faults"].empty() && !run->ended())
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  api.routes()
      .insert("app-spoke-prod", {{"name", "other-actor"},
                                 {"network", "global/networks/spoke-1"},
                                 {"destRange", "192.168.77.0/24"},
                                 {"nextHopIp", "10.100.0.9"}})
      .execute();
  emulator.admin("DELETE", "faults");  // lets the held change go on at once
  EXPECT_EQ(run->finish(), 0) << run->out() << run->err();
  api.routes().delete_("app-spoke-prod", "other-actor").execute();

  Outcome revert = tool("revert");
  EXPECT_EQ(revert.status, 0) << revert.out << revert.err;
  EXPECT_EQ(comparableState(emulator.state()), before);
  int refusedThenDone = 0;
  for (const auto& [change, statuses] : changeTries())
    refusedThenDone += statuses.front() == 400 && statuses.back() == 200;
  EXPECT_GE(refusedThenDone, 1);
}

class RateQuotas : public Faults {
 protected:
  RateQuotas()
      : Faults({"--quota", "reads-per-minute=8", "--quota", "writes-per-minute=3", "--quota-window",
                "250ms"}) {}
};

TEST_F(RateQuotas, DiscoverSwitchAndRevertEndAsAnUnlimitedRunDoes) {
  EmulatorProcess unlimited(std::string(TOLMI_BINARY_DIR) + "/compute-emulator",
                            kExamples + "/demo-topology.yaml");
  // Each command's status, discover's report (retry lines aside) or each summary line, and the
  // estate after it.
  auto run = [&](const std::string& endpoint, EmulatorProcess& estate) {
    std::vector<std::string> seen;
    for (const std::string command : {"discover", "switch", "revert"}) {
      Outcome outcome =
          ToolProcess(
              {command, "--config", config, "--endpoint", endpoint, "--retry-scale", "0.01"}, dir)
              .outcome();
      seen.push_back(command + " " + std::to_string(outcome.status));
      std::istringstream lines(outcome.out + outcome.err);
      for (std::string line; std::getline(lines, line);)
        if (command == "discover"
                ? !line.starts_with("retrying ")
                : line.starts_with("changes made") || line.starts_with("failed changes") ||
                      line.starts_with("errors logged"))
          seen.push_back(line);
      seen.push_back(jsonText(comparableState(estate.state())));
    }
    return seen;
  };
  EXPECT_EQ(run(emulator.endpoint(), emulator), run(unlimited.endpoint(), unlimited));
  std::map<std::string, int> refused;
  const ResourceDocument journal = emulator.journal();
  for (const ResourceDocument& request : journal["requests"])
    if (request["status"] == 403) ++refused[request["method"].get<std::string>()];
  EXPECT_GT(refused["GET"], 0) << "the read quota was never spent";
  EXPECT_GT(refused["POST"], 0) << "the write quota was never spent";
}

}  // namespace
}  // namespace tolmi_gcp::cli
