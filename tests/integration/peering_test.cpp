#include <gtest/gtest.h>

#include <algorithm>

#include "emulator_process.hpp"
#include "temp_dir.hpp"
#include "tolmi_gcp/compute/curl_transport.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/internal/revert_file_saver.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

using testing::EmulatorProcess;
using testing::TempDir;

// The spoke of the example migration file and its two transit networks, served by
// compute-emulator over HTTP; the revert record goes to a real revert file.
class PeeringMigration : public ::testing::Test {
 protected:
  void SetUp() override {
    YamlContext::load(TOLMI_SOURCE_DIR "/examples/migration.yaml");
    startRun();
  }
  void TearDown() override { Globals::reset(); }

  // What a new run of the tool does: fresh settings, the record read back from the file.
  void startRun() {
    Globals::reset();
    if (auto stored = revertFile.load()) Globals::getRevertInfo() = *stored;
    Globals::setRevertInfoSaver(revertFileSaver(revertFile));
    Globals::service =
        std::make_shared<ComputeService>(makeCurlTransport(), emulator.endpoint(), nullptr);
    Globals::project = "app-spoke-prod";
    Globals::vpc = {{"vpc_name", "spoke-1"}};
  }

  // network → its peerings by name, from the emulator's state; unordered, as a re-created
  // peering is listed last.
  nlohmann::json peerings() const {
    nlohmann::json out = nlohmann::json::object();
    nlohmann::json state = nlohmann::json::parse(emulator.state().dump());
    for (const auto& [project, resources] : state["projects"].items())
      for (const nlohmann::json& network : resources["networks"]) {
        nlohmann::json& byName = out[project + "::" + network["name"].get<std::string>()];
        byName = nlohmann::json::object();
        for (const nlohmann::json& peering : network.value("peerings", nlohmann::json::array()))
          byName[peering["name"].get<std::string>()] = peering;
      }
    return out;
  }

  ResourceDocument storedPairs() const {
    return revertFile.load().value()["peerings"]["app-spoke-prod::spoke-1"];
  }

  EmulatorProcess emulator{TOLMI_BINARY_DIR "/compute-emulator",
                           TOLMI_SOURCE_DIR "/examples/demo-topology.yaml",
                           {"--operation-delay-ms", "50"}};
  TempDir folder;
  RevertFile revertFile{folder.file("migration.yaml.revert.json")};
  nlohmann::json before = peerings();
};

TEST_F(PeeringMigration, RemovesBothEndsRecordsEveryPairAndRestoresTheSamePeerings) {
  GcpLib::managePeerings(true);
  nlohmann::json migrated = peerings();
  EXPECT_EQ(migrated["app-spoke-prod::spoke-1"].size(), 1u);  // the GKE peering stays
  EXPECT_TRUE(migrated["app-spoke-prod::spoke-1"].contains("gke-n7f3a2c1-peer"));
  EXPECT_EQ(migrated["net-transit-prod::transit-a"].size(), 1u);
  EXPECT_TRUE(migrated["net-transit-prod::transit-a"].contains("transit-a-to-spoke-2"));
  EXPECT_TRUE(migrated["net-transit-prod::transit-b"].empty());

  nlohmann::json pairs = nlohmann::json::parse(storedPairs().dump());
  ASSERT_EQ(pairs.size(), 2u);
  const nlohmann::json& spoke = before["app-spoke-prod::spoke-1"];
  EXPECT_EQ(pairs[0]["localPeeringProperties"], spoke["spoke-1-to-transit-a"]);
  EXPECT_EQ(pairs[0]["remotePeeringProperties"],
            before["net-transit-prod::transit-a"]["transit-a-to-spoke-1"]);
  EXPECT_EQ(pairs[1]["localPeeringProperties"], spoke["spoke-1-to-transit-b"]);
  EXPECT_EQ(pairs[1]["remotePeeringProperties"],
            before["net-transit-prod::transit-b"]["transit-b-to-spoke-1"]);

  startRun();
  GcpLib::managePeerings(false);
  nlohmann::json restored = peerings();
  EXPECT_EQ(restored, before);
  for (const auto& [network, byName] : restored.items())
    for (const auto& [name, peering] : byName.items())
      EXPECT_EQ(peering["state"], "ACTIVE") << network << " " << name;
}

TEST_F(PeeringMigration, AnInterruptedSwitchLeavesWhatItRemovedOnDiskForTheRevert) {
  emulator.admin("POST", "faults",
                 {{"method", "GET"}, {"path", "*/networks/transit-b"}, {"drop", true}});
  EXPECT_THROW(GcpLib::managePeerings(true), TransportError);
  ResourceDocument pairs = storedPairs();
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0]["localPeeringProperties"]["name"], "spoke-1-to-transit-a");
  EXPECT_FALSE(peerings()["net-transit-prod::transit-a"].contains("transit-a-to-spoke-1"));

  startRun();
  GcpLib::managePeerings(false);
  EXPECT_EQ(peerings(), before);
}

}  // namespace
}  // namespace tolmi_gcp
