#include <gtest/gtest.h>

#include "emulator/emulator.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"

namespace tolmi_gcp::emulator {
namespace {

// A bundled migration must be runnable against its bundled topology: everything it deletes,
// points at or removes from an advertisement is there, and every transit is peered with the spoke.
void expectFits(const std::string& topology, const std::string& file, int routeStages) {
  SCOPED_TRACE(file);
  auto emulator =
      std::make_shared<Emulator>(Emulator::loadTopology(TOLMI_SOURCE_DIR "/examples/" + topology));
  ComputeService service(std::make_shared<InProcessTransport>(emulator),
                         "http://emulator.test/compute/v1/", nullptr);
  ResourceDocument migration = parseYamlFile(TOLMI_SOURCE_DIR "/examples/" + file);
  std::string project = migration["project_id"];
  std::string spokeLink = "https://www.googleapis.com/compute/v1/projects/" + project +
                          "/global/networks/" + migration["vpc_name"].get<std::string>();

  ResourceDocument spoke = service.networks().get(project, migration["vpc_name"]).execute();
  for (const auto& transit : migration["transit_vpcs"]) {
    std::string name = transit["vpc_name"];
    std::string transitProject = name.substr(0, name.find("::"));
    std::string transitNetwork = name.substr(name.find("::") + 2);
    ResourceDocument network = service.networks().get(transitProject, transitNetwork).execute();
    int backwards = 0;
    for (const auto& peering : network["peerings"])
      if (peering["network"] == spokeLink && peering["state"] == "ACTIVE") ++backwards;
    EXPECT_EQ(backwards, 1) << name;
    for (const auto& entry : transit["cloud_routers"]) {
      ResourceDocument router =
          service.routers().get(transitProject, entry["region"], entry["router_name"]).execute();
      EXPECT_EQ(router["network"], network["selfLink"]);
      for (const auto& range : entry["remove_advertised_routes"]) {
        bool advertised = false;
        for (const auto& held : arrayOrEmpty(router["bgp"], "advertisedIpRanges"))
          advertised = advertised || held["range"] == range;
        EXPECT_TRUE(advertised) << range << " on " << entry["router_name"];
      }
    }
  }
  int stages = 0;
  for (const auto& [stage, routes] : migration["manage_routes"].items()) {
    ++stages;
    for (const auto& name : routes["delete"])
      EXPECT_EQ(service.routes().get(project, name).execute()["network"], spokeLink);
    for (const auto& add : routes["add"]) {
      ResourceDocument instance =
          service.instances().get(project, add["zone"], add["dest_instance"]).execute();
      EXPECT_EQ(instance["networkInterfaces"][0]["network"], spokeLink);
    }
  }
  EXPECT_EQ(stages, routeStages);
}

TEST(Examples, MigrationFitsTheDemoTopology) {
  expectFits("demo-topology.yaml", "migration.yaml", 2);
}

TEST(Examples, EachThreeSpokesMigrationFitsItsTopology) {
  for (const char* spoke : {"pay-core", "pay-batch", "data-lake"})
    expectFits("three-spokes/topology.yaml", "three-spokes/" + std::string(spoke) + ".yaml", 1);
}

}  // namespace
}  // namespace tolmi_gcp::emulator
