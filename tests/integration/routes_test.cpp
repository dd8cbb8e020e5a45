#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include "emulator_process.hpp"
#include "log_capture.hpp"
#include "temp_dir.hpp"
#include "tolmi_gcp/compute/curl_transport.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/internal/revert_file_saver.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

const std::string kSpoke = "https://www.googleapis.com/compute/v1/projects/app-spoke-prod/";

// The spoke project's routes by name, without what the API gives anew to every inserted route.
ResourceDocument routesByName(const testing::EmulatorProcess& emulator) {
  ResourceDocument state = emulator.state();
  ResourceDocument out = ResourceDocument::object();
  for (ResourceDocument route : state["projects"]["app-spoke-prod"]["routes"]) {
    route.erase("id");
    route.erase("creationTimestamp");
    out[route["name"].get<std::string>()] = route;
  }
  return out;
}

// One run of the tool: fresh settings, the example migration file, the revert file as saver.
void startRun(const testing::EmulatorProcess& emulator, const RevertFile& revertFile) {
  Globals::reset();
  YamlContext::load(TOLMI_SOURCE_DIR "/examples/migration.yaml");
  Globals::service = std::make_shared<ComputeService>(makeCurlTransport(), emulator.endpoint(),
                                                      nullptr, RetryPolicy::standard());
  Globals::networkLink = kSpoke + "global/networks/spoke-1";
  Globals::setRevertInfoSaver(revertFileSaver(revertFile));
}

TEST(RoutesOverHttp, BothStagesOfTheExampleMigrationAndBackInReverseOrder) {
  testing::EmulatorProcess emulator(TOLMI_BINARY_DIR "/compute-emulator",
                                    TOLMI_SOURCE_DIR "/examples/demo-topology.yaml",
                                    {"--operation-delay-ms", "100"});
  testing::TempDir folder;
  RevertFile revertFile(folder.file("migration.yaml.revert.json"));
  testing::LogCapture log;
  ResourceDocument before = routesByName(emulator);

  startRun(emulator, revertFile);
  GcpLib::manageSwitchRoute(true, "stage-1");
  GcpLib::manageSwitchRoute(true, "stage-2");

  for (const auto& entry : log.entries())
    EXPECT_EQ(entry.level, log4cplus::INFO_LOG_LEVEL) << entry.message;
  ResourceDocument after = routesByName(emulator);
  for (const char* deleted : {"onprem-dc1-via-gw", "onprem-dc2-via-ip", "partner-via-gw-usw1"}) {
    EXPECT_TRUE(before.contains(deleted)) << deleted;
    EXPECT_FALSE(after.contains(deleted)) << deleted;
  }
  EXPECT_EQ(after.size(), before.size());
  ResourceDocument created = after["tvn-940f3e20d8665308d0c3d5ba79cf6fba"];
  EXPECT_EQ(created["destRange"], "172.20.0.0/16");
  EXPECT_EQ(created["priority"], 900);
  EXPECT_EQ(created["nextHopInstance"], kSpoke + "zones/us-east1-c/instances/gw-use1-b");
  EXPECT_EQ(created["network"], kSpoke + "global/networks/spoke-1");
  EXPECT_EQ(created["description"],
            "Tessavon-Created-Resource: Do-Not-Delete-Tessavon-Created-Resource");
  EXPECT_EQ(after["onprem-dc2-via-gw-usw1"]["priority"], 1000);
  EXPECT_EQ(after["tvn-b072c4d007c82213fbdab1e6374fbafb"]["destRange"], "172.22.0.0/16");

  // The revert is another run, which has only the revert file.
  startRun(emulator, revertFile);
  Globals::getRevertInfo() = revertFile.load().value();
  GcpLib::manageSwitchRoute(false, "stage-2");
  GcpLib::manageSwitchRoute(false, "stage-1");

  EXPECT_EQ(routesByName(emulator), before);
  Globals::reset();
}

}  // namespace
}  // namespace tolmi_gcp
