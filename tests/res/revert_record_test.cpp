#include "tolmi_gcp/res/revert_record.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "failure_text.hpp"
#include "temp_dir.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

using ::testing::HasSubstr;
using testing::TempDir;

const std::string kSpoke = "proj-s::spoke-1";
const Part kPeerings{Part::kPeerings, ""};
const Part kStage1{Part::kRoutes, "stage-1"};
const Part kRouters{Part::kRouters, ""};

class RevertStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { Globals::reset(); }
  void TearDown() override { Globals::reset(); }

  ResourceDocument stored() const { return ResourceDocument::parse(TempDir::read(path)); }

  TempDir dir;
  std::string path = dir.file("m.yaml.revert.json");
};

TEST_F(RevertStoreTest, StatesAndRecordSurviveBetweenRuns) {
  {
    RevertStore store(path, false, "tolmi-gcp switch --config m.yaml");
    EXPECT_FALSE(store.existed());
    EXPECT_EQ(store.state(kSpoke, kPeerings), "");
    store.installSaver();
    store.mark(kSpoke, kPeerings, "switching");
    Globals::getRevertInfo()["peerings"][kSpoke] = {{{"localPeeringProperties", {{"name", "p"}}}}};
    Globals::revertInfoWritten();
    EXPECT_EQ(stored()["record"]["peerings"][kSpoke][0]["localPeeringProperties"]["name"], "p");
    store.mark(kSpoke, kPeerings, "switched");
  }
  ResourceDocument file = stored();
  EXPECT_EQ(file["format_version"], 1);
  const ResourceDocument& peerings = file["spokes"][kSpoke]["peerings"];
  EXPECT_EQ(peerings["state"], "switched");
  EXPECT_EQ(peerings["switched_by"], "tolmi-gcp switch --config m.yaml");
  EXPECT_EQ(peerings["switched_at"].get<std::string>().size(), 20u);

  Globals::reset();
  RevertStore store(path, false, "tolmi-gcp revert --config m.yaml");
  EXPECT_TRUE(store.existed());
  EXPECT_EQ(Globals::getRevertInfo()["peerings"][kSpoke][0]["localPeeringProperties"]["name"], "p");
  EXPECT_EQ(store.state(kSpoke, kPeerings), "switched");
  EXPECT_EQ(store.state(kSpoke, kStage1), "");
  store.mark(kSpoke, kPeerings, "reverted");
  EXPECT_EQ(store.state(kSpoke, kPeerings), "reverted");
  EXPECT_EQ(stored()["spokes"][kSpoke]["peerings"]["reverted_by"],
            "tolmi-gcp revert --config m.yaml");
  EXPECT_FALSE(store.stateTime(kSpoke, kPeerings).empty());
}

TEST_F(RevertStoreTest, DryRunWritesItsTwinAndNeverTheFile) {
  {
    RevertStore store(path, false, "switch");
    store.mark(kSpoke, kStage1, "switched");
  }
  std::string before = TempDir::read(path);
  {
    RevertStore store(path, true, "revert --dry-run");
    EXPECT_EQ(store.savePath(), path + ".dry-run");
    store.installSaver();
    store.mark(kSpoke, kStage1, "reverted");
    Globals::revertInfoWritten();
  }
  EXPECT_EQ(TempDir::read(path), before);
  ResourceDocument twin = ResourceDocument::parse(TempDir::read(path + ".dry-run"));
  EXPECT_EQ(twin["spokes"][kSpoke]["routes"]["stage-1"]["state"], "reverted");
  // A stage marked has its level in the record, for the library to write into.
  EXPECT_EQ(twin["record"]["manage_routes"]["stage-1"], ResourceDocument::object());
}

TEST_F(RevertStoreTest, SecondStoreIsRefusedWhileTheFirstHoldsTheLock) {
  RevertStore first(path, false, "switch");
  EXPECT_THROW(RevertStore(path, false, "switch"), ConfigError);
  EXPECT_THROW(RevertStore(path, true, "switch --dry-run"), ConfigError);
}

TEST_F(RevertStoreTest, UnreadableOrForeignFilesAreRefusedAndLeftAlone) {
  for (std::string text : {"{not json", "[1, 2]", R"({"record": {"peerings": {}}})",
                           R"({"record": {"peerings": {}, "manage_routes": {"s": 1},
                               "cloud_routers": {}}})",
                           R"({"record": {"peerings": {}, "manage_routes": {},
                               "cloud_routers": {}}, "spokes": []})"}) {
    dir.write("m.yaml.revert.json", text);
    EXPECT_THROW(RevertStore(path, false, "switch"), ConfigError) << text;
    EXPECT_EQ(TempDir::read(path), text);
  }
}

TEST_F(RevertStoreTest, ALostOrDamagedFileBesideAnIntactBakIsRefusedNamingTheBak) {
  const std::string bak = dir.write("m.yaml.revert.json.bak", R"({"record": {"peerings":
      {"proj-s::spoke-1": []}, "manage_routes": {}, "cloud_routers": {}}})");
  for (std::optional<std::string> text : {std::optional<std::string>(), {"{not json"}, {"[1]"}}) {
    std::filesystem::remove(path);
    if (text) dir.write("m.yaml.revert.json", *text);
    std::string message =
        testing::failureText<ConfigError>([&] { RevertStore(path, false, "switch"); });
    EXPECT_THAT(message, HasSubstr(bak + " is intact: to revert from it, copy it back to " + path))
        << message;
  }
  EXPECT_THAT(TempDir::read(bak), HasSubstr("spoke-1"));
  std::filesystem::remove(path);
  dir.write("m.yaml.revert.json.bak", "{not json");  // a .bak that is no way back changes nothing
  EXPECT_FALSE(RevertStore(path, false, "switch").existed());
}

TEST_F(RevertStoreTest, NothingIsWrittenThroughASymbolicLink) {
  const std::string victim = dir.write("victim", "untouched");
  std::filesystem::create_symlink(victim, path + ".lock");
  for (bool dryRun : {false, true}) {
    std::string message =
        testing::failureText<ConfigError>([&] { RevertStore(path, dryRun, "switch"); });
    EXPECT_THAT(message, HasSubstr("lock file " + path + ".lock is a symbolic link")) << dryRun;
  }
  std::filesystem::remove(path + ".lock");
  std::filesystem::create_symlink(victim, path + ".dry-run");
  {
    RevertStore store(path, true, "switch --dry-run");
    store.mark(kSpoke, kPeerings, "switched");
  }
  EXPECT_EQ(TempDir::read(victim), "untouched");
}

TEST_F(RevertStoreTest, EveryNameOfOneRecordSharesItsLockAndItsFile) {
  const std::string alias = dir.file("alias.json");
  std::filesystem::create_symlink(path, alias);
  {
    RevertStore first(path, false, "switch");
    EXPECT_THROW(RevertStore(alias, false, "revert"), ConfigError);
  }
  RevertStore store(alias, false, "switch");
  store.mark(kSpoke, kPeerings, "switched");
  EXPECT_TRUE(std::filesystem::is_symlink(alias));
  EXPECT_EQ(stored()["spokes"][kSpoke]["peerings"]["state"], "switched");
}

TEST_F(RevertStoreTest, BareRecordCountsItsEntriesAsSwitched) {
  dir.write("m.yaml.revert.json", R"({"peerings": {"proj-s::spoke-1": []},
      "manage_routes": {"stage-1": {"proj-s::spoke-1": {"deleted_route_list": [],
                                                          "added_route_list": ["tvn-1"]}}},
      "cloud_routers": {"other::vpc": {}}})");
  RevertStore store(path, false, "revert");
  EXPECT_EQ(store.state(kSpoke, kPeerings), "switched");
  EXPECT_EQ(store.state(kSpoke, kStage1), "switched");
  EXPECT_EQ(store.state(kSpoke, kRouters), "");
  EXPECT_EQ(store.stateTime(kSpoke, kPeerings), "");
}

TEST_F(RevertStoreTest, HistoryKeepsAndForgetDropsTheEntriesOfTheSpokeOnly) {
  RevertStore store(path, false, "switch --force");
  ResourceDocument& record = Globals::getRevertInfo();
  record["peerings"][kSpoke] = {{{"localPeeringProperties", {{"name", "old"}}}}};
  record["peerings"]["other::vpc"] = ResourceDocument::array();
  record["manage_routes"]["stage-1"][kSpoke] = {{"deleted_route_list", {"r"}},
                                                {"added_route_list", ResourceDocument::array()}};
  store.mark(kSpoke, kPeerings, "switched");
  store.keepInHistory(kSpoke, {kPeerings, kStage1, kRouters});
  store.save();
  ResourceDocument kept = stored()["history"][0];
  EXPECT_EQ(kept["spoke"], kSpoke);
  EXPECT_EQ(kept["replaced_by"], "switch --force");
  EXPECT_EQ(kept["parts"]["peerings"]["state"], "switched");
  EXPECT_EQ(kept["record"], ResourceDocument::parse(R"({
      "peerings": {"proj-s::spoke-1": [{"localPeeringProperties": {"name": "old"}}]},
      "manage_routes": {"stage-1": {"proj-s::spoke-1": {"deleted_route_list": ["r"],
                                                        "added_route_list": []}}}})"));

  store.forget(kSpoke, {kPeerings, kStage1, kRouters});
  store.save();
  EXPECT_EQ(stored()["record"], ResourceDocument::parse(R"({"peerings": {"other::vpc": []},
      "manage_routes": {"stage-1": {}}, "cloud_routers": {}})"));
  EXPECT_EQ(store.state(kSpoke, kPeerings), "switched");
}

}  // namespace
}  // namespace tolmi_gcp
