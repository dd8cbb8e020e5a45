#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "emulator_process.hpp"

namespace tolmi_gcp {
namespace {

// The gcloud CLI, unmodified, pointed at the emulator through its own settings.
class GcloudAgainstEmulator : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v gcloud >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "gcloud is not installed";
    char pattern[] = "/tmp/gcloud-config-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    config = pattern;
    emulator = std::make_unique<testing::EmulatorProcess>(
        TOLMI_BINARY_DIR "/compute-emulator", TOLMI_SOURCE_DIR "/examples/demo-topology.yaml",
        std::vector<std::string>{"--operation-delay-ms", "200"});
  }
  void TearDown() override {
    emulator.reset();
    if (!config.empty()) std::filesystem::remove_all(config);
  }

  // Runs "gcloud ARGS" in project app-spoke-prod; returns its exit status and output.
  std::pair<int, std::string> gcloud(const std::string& arguments) {
    std::string command = "CLOUDSDK_CONFIG=" + config +
                          " CLOUDSDK_API_ENDPOINT_OVERRIDES_COMPUTE=" + emulator->endpoint() +
                          " CLOUDSDK_AUTH_DISABLE_CREDENTIALS=true"
                          " CLOUDSDK_CORE_PROJECT=app-spoke-prod CLOUDSDK_CORE_DISABLE_PROMPTS=1"
                          " CLOUDSDK_COMPONENT_MANAGER_DISABLE_UPDATE_CHECK=1"
                          " CLOUDSDK_CORE_DISABLE_USAGE_REPORTING=1"
                          // A gcloud that waits on something unreachable fails this test alone.
                          " timeout 60 gcloud " +
                          arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, got);
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
  }

  std::string config;
  std::unique_ptr<testing::EmulatorProcess> emulator;
};

TEST_F(GcloudAgainstEmulator, ListsCreatesDeletesAndUpdatesLikeTheRealService) {
  auto [status, output] = gcloud("compute networks peerings list --network=spoke-1");
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("spoke-1-to-transit-a  spoke-1  net-transit-prod     transit-a"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("ACTIVE  Connected."), std::string::npos) << output;

  // gcloud turns --filter into the regular-expression form and does not filter again itself.
  std::tie(status, output) = gcloud(
      "compute routes list --filter='network:spoke-1 AND priority=900' --format='value(name)'");
  EXPECT_EQ(output, "onprem-dc1-via-gw\nonprem-dc2-via-ip\n");

  std::tie(status, output) = gcloud(
      "compute routes create r-test --network=spoke-1 --destination-range=192.168.77.0/24 "
      "--next-hop-instance=gw-use1-a --next-hop-instance-zone=us-east1-b");
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("Created [https://www.googleapis.com/compute/v1/projects/app-spoke-prod/"
                        "global/routes/r-test]"),
            std::string::npos)
      << output;
  std::tie(status, output) = gcloud("compute routes delete r-test --quiet");
  EXPECT_EQ(status, 0) << output;

  std::tie(status, output) =
      gcloud("compute networks peerings delete spoke-1-to-transit-b --network=spoke-1");
  EXPECT_EQ(status, 0) << output;
  std::tie(status, output) = gcloud(
      "compute networks peerings create spoke-1-to-transit-b --network=spoke-1 "
      "--peer-network=transit-b --peer-project=net-transit-prod --import-custom-routes");
  EXPECT_EQ(status, 0) << output;

  std::tie(status, output) = gcloud(
      "compute routers update cr-transit-a-use1 --region=us-east1 --project=net-transit-prod "
      "--set-advertisement-ranges=10.100.0.0/20");
  EXPECT_EQ(status, 0) << output;
  std::tie(status, output) = gcloud(
      "compute routers describe cr-transit-a-use1 --region=us-east1 --project=net-transit-prod "
      "--format='value(bgp.advertisedIpRanges.range,bgp.advertisedGroups)'");
  EXPECT_EQ(output, "10.100.0.0/20\tALL_SUBNETS\n");

  // What crosses a peering that exports custom routes to a spoke that takes none, and what a
  // router learned over BGP.
  std::tie(status, output) = gcloud(
      "compute networks peerings list-routes transit-a-to-spoke-2 --network=transit-a "
      "--project=net-transit-prod --region=us-east1 --direction=OUTGOING "
      "--format='value(destRange,type,nextHopRegion,priority,imported)'");
  EXPECT_EQ(output,
            "10.0.0.0/20\tSUBNET_PEERING_ROUTE\t\t0\tTrue\n"
            "10.0.16.0/20\tSUBNET_PEERING_ROUTE\t\t0\tTrue\n"
            "10.96.0.0/11\tSTATIC_PEERING_ROUTE\t\t1000\tFalse\n"
            "192.168.100.0/22\tDYNAMIC_PEERING_ROUTE\tus-east1\t100\tFalse\n"
            "192.168.104.0/24\tDYNAMIC_PEERING_ROUTE\tus-east1\t0\tFalse\n");
  std::tie(status, output) = gcloud(
      "compute routers get-status cr-transit-a-use1 --region=us-east1 --project=net-transit-prod "
      "--format='value(result.bestRoutes[0].destRange,result.bestRoutes[0].nextHopIp,"
      "result.bgpPeerStatus[0].status,result.bgpPeerStatus[0].numLearnedRoutes)'");
  EXPECT_EQ(output, "192.168.100.0/22\t169.254.10.2\tUP\t2\n");

  // The emulator saw what the real service would: gcloud's own requests, each answered.
  ResourceDocument state = emulator->state()["projects"]["app-spoke-prod"];
  EXPECT_EQ(state["networks"][0]["peerings"][2]["name"], "spoke-1-to-transit-b");
  EXPECT_EQ(state["networks"][0]["peerings"][2]["importCustomRoutes"], true);
  for (const auto& route : state["routes"]) EXPECT_NE(route["name"], "r-test");
  ResourceDocument journal = emulator->journal();
  for (const auto& entry : journal["requests"]) EXPECT_EQ(entry["status"], 200) << entry.dump();
}

}  // namespace
}  // namespace tolmi_gcp
