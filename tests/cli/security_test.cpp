// What a hostile or careless migration file can reach, and who can read what the tool leaves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "cli/app.hpp"
#include "cli/demo.hpp"
#include "emulator/emulator.hpp"
#include "temp_dir.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp::cli {
namespace {

using ::testing::Contains;
using ::testing::Each;
using testing::TempDir;

const std::string kExamples = std::string(TOLMI_SOURCE_DIR) + "/examples";

// The validator refuses such names; if one got past it, each name must still stay one encoded path
// segment, so that no request reaches another resource than the one named.
TEST(HostileNames, NamesPastTheValidatorStayInsideTheirOwnPathSegment) {
  auto emulator = std::make_shared<emulator::Emulator>(
      emulator::Emulator::loadTopology(kExamples + "/demo-topology.yaml"));
  Globals::reset();
  Globals::service =
      std::make_shared<ComputeService>(std::make_shared<emulator::InProcessTransport>(emulator),
                                       "http://emulator.test/compute/v1/", nullptr);
  Globals::project = "app-spoke-prod";
  Globals::vpc = {{"vpc_name", "spoke-1"}};
  Globals::networkLink =
      "https://www.googleapis.com/compute/v1/projects/app-spoke-prod/global/networks/spoke-1";
  GcpLib::sleeper() = [] {};
  YamlContext::setContext(parseYamlText(R"(
project_id: app-spoke-prod
vpc_name: spoke-1
transit_vpcs:
  - vpc_name: net-transit-prod::transit-a/../../../app-spoke-prod/global/networks/spoke-1
    cloud_routers:
      - {region: us-east1, router_name: "cr-transit-a-use1?fields=name",
         add_advertised_routes: [10.0.0.0/8]}
      - {region: "us-east1/routers/cr-transit-a-use1/..", router_name: "%2e%2e",
         add_advertised_routes: [10.0.0.0/8]}
manage_routes:
  hostile:
    delete: ["../../networks/spoke-1", "onprem-dc1-via-gw?alt=json", "onprem-dc1-via-gw%3F", ".."]
    add:
      - {cidr: 172.20.0.0/16, zone: "us-east1-c/instances/gw-use1-b#", dest_instance: "../gw",
         priority: 900, name: "a/b"}
)",
                                        "hostile.yaml"));
  const ResourceDocument before = emulator->state();

  GcpLib::manageSwitchRoute(true, "hostile");
  GcpLib::manageCloudRouterAdvertisedRoute(true);

  EXPECT_EQ(emulator->state(), before);
  std::vector<std::string> paths;
  const ResourceDocument journal = emulator->journal();
  for (const ResourceDocument& request : journal["requests"])
    paths.push_back(request["path"].get<std::string>());
  EXPECT_THAT(paths, Contains("/compute/v1/projects/app-spoke-prod/global/routes/"
                              "..%2F..%2Fnetworks%2Fspoke-1"));
  EXPECT_THAT(paths, Contains("/compute/v1/projects/app-spoke-prod/global/routes/"
                              "onprem-dc1-via-gw%3Falt%3Djson"));
  EXPECT_THAT(paths,
              Contains("/compute/v1/projects/app-spoke-prod/global/routes/onprem-dc1-via-gw%253F"));
  for (const std::string& path : paths) {
    EXPECT_EQ(path.find_first_of("?#"), std::string::npos) << path;
    EXPECT_EQ(path.find("/../"), std::string::npos) << path;
    EXPECT_FALSE(path.ends_with("/..")) << path;
  }
  Globals::reset();
}

TEST(FilesLeftBehind, RevertFileItsCopiesTheLockAndTheLogAreReadableByTheOwnerOnly) {
  LocalEmulator local(kExamples + "/demo-topology.yaml");
  TempDir dir;
  const std::string config = dir.write("m.yaml", TempDir::read(kExamples + "/migration.yaml"));
  auto tool = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "tolmi-gcp");
    args.insert(args.end(), {"--config", config, "--endpoint", local.endpoint()});
    std::ostringstream out, err;
    return runTool(args, out, err, false);
  };
  const mode_t umask = ::umask(0);  // the modes must not depend on a careful umask
  ASSERT_EQ(tool({"switch", "--only", "peerings", "--log-file", config + ".log"}), 0);
  ASSERT_EQ(tool({"revert", "--only", "peerings"}), 0);
  ASSERT_EQ(tool({"switch", "--only", "peerings", "--dry-run"}), 0);
  ::umask(umask);

  std::vector<unsigned> modes;
  for (const char* suffix :
       {".revert.json", ".revert.json.bak", ".revert.json.lock", ".revert.json.dry-run", ".log"}) {
    struct stat info {};
    ASSERT_EQ(::stat((config + suffix).c_str(), &info), 0) << suffix;
    modes.push_back(info.st_mode & 0777);
  }
  EXPECT_THAT(modes, Each(0600u));
}

}  // namespace
}  // namespace tolmi_gcp::cli
