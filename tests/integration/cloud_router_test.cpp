#include <gtest/gtest.h>

#include <array>

#include "emulator_process.hpp"
#include "log_capture.hpp"
#include "temp_dir.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/compute/curl_transport.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

using testing::EmulatorProcess;

// The transit routers of the example migration (project net-transit-prod): region, name.
const std::vector<std::array<std::string, 2>> kRouters = {{"us-east1", "cr-transit-a-use1"},
                                                          {"us-west1", "cr-transit-a-usw1"},
                                                          {"us-east1", "cr-transit-b-use1"}};

ResourceDocument bgpOf(ComputeService& service, const std::array<std::string, 2>& router) {
  return service.routers().get("net-transit-prod", router[0], router[1]).execute()["bgp"];
}

ResourceDocument added(const std::string& range) {
  return {{"range", range}, {"description", "tessavon-migration-added"}};
}

// The example migration's routers over HTTP, with the revert record going through a file between
// the switch and the revert as it does between two runs of the tool.
TEST(CloudRouterOverHttp, ExampleRoutersAreMigratedAndRestored) {
  Globals::reset();
  EmulatorProcess emulator(TOLMI_BINARY_DIR "/compute-emulator",
                           TOLMI_SOURCE_DIR "/examples/demo-topology.yaml");
  YamlContext::load(TOLMI_SOURCE_DIR "/examples/migration.yaml");
  Globals::service =
      std::make_shared<ComputeService>(makeCurlTransport(), emulator.endpoint(), nullptr);
  ComputeService& service = *Globals::service;
  testing::TempDir dir;
  std::string revertFile = dir.file("migration.revert.json");
  Globals::setRevertInfoSaver(
      [&](const ResourceDocument& record) { dir.write("migration.revert.json", record.dump()); });
  std::vector<ResourceDocument> before;
  for (const auto& router : kRouters) before.push_back(bgpOf(service, router));
  testing::LogCapture log;

  GcpLib::manageCloudRouterAdvertisedRoute(true);

  ResourceDocument use1 = before[0];
  use1["advertisedIpRanges"] = {before[0]["advertisedIpRanges"][1], added("10.100.0.0/20"),
                                added("10.100.16.0/20")};
  EXPECT_EQ(bgpOf(service, kRouters[0]), use1);
  ResourceDocument usw1 = before[1];
  usw1["advertisedIpRanges"] = {added("10.100.0.0/16")};
  usw1["advertisedGroups"] = ResourceDocument::array();
  EXPECT_EQ(bgpOf(service, kRouters[1]), usw1);
  EXPECT_EQ(bgpOf(service, kRouters[2]), before[2]);
  for (const auto& entry : log.entries()) EXPECT_EQ(entry.level, log4cplus::INFO_LOG_LEVEL);
  EXPECT_EQ(log.lines().back(),
            "  cr-transit-b-use1 in net-transit-prod::transit-b us-east1 is in DEFAULT advertize "
            "mode, cannot customize route");

  // A later revert run starts from the file, not from this process's memory.
  Globals::getRevertInfo() = ResourceDocument::parse(testing::TempDir::read(revertFile));
  EXPECT_EQ(Globals::getRevertInfo()["cloud_routers"]["app-spoke-prod::spoke-1"].size(), 2u);
  GcpLib::manageCloudRouterAdvertisedRoute(false);

  for (std::size_t i = 0; i < kRouters.size(); ++i)
    EXPECT_EQ(bgpOf(service, kRouters[i]), before[i]) << kRouters[i][1];
  int patches = 0;
  ResourceDocument journal = emulator.journal();
  for (const auto& request : journal["requests"])
    if (request["method"] == "PATCH") ++patches;
  EXPECT_EQ(patches, 4);
  Globals::reset();
}

}  // namespace
}  // namespace tolmi_gcp
