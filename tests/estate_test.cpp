#include "tolmi_gcp/estate.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "emulator/emulator.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"

namespace tolmi_gcp {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

const std::string kExamples = std::string(TOLMI_SOURCE_DIR) + "/examples";

// The estate of `scope` on an emulator of `topology`, without the routes the API derives: those
// over a peering with an external peer take other names there.
Estate estateOn(const ResourceDocument& topology, const EstateScope& scope) {
  ComputeService api(std::make_shared<emulator::InProcessTransport>(
                         std::make_shared<emulator::Emulator>(topology)),
                     "http://emulator.test/compute/v1/", nullptr);
  Estate estate = readEstate(api, scope);
  std::erase_if(estate.routes, [](const Route& route) { return route.derived(); });
  return estate;
}

TEST(Estate, WrittenAsATopologyReadsBackTheSameOnAFreshEmulator) {
  struct Case {
    std::string topology, migration;
    std::size_t networks, routes, instances, routers;
  };
  for (const Case& c :
       {Case{"/demo-topology.yaml", "/migration.yaml", 4, 9, 5, 3},
        Case{"/shared-routers/topology.yaml", "/shared-routers/pay-core.yaml", 4, 4, 2, 2}}) {
    EstateScope scope = EstateScope::of(parseYamlFile(kExamples + c.migration));
    Estate read = estateOn(parseYamlFile(kExamples + c.topology), scope);
    EXPECT_THAT(read.absent, IsEmpty());
    EXPECT_THAT(read.networks, SizeIs(c.networks)) << c.topology;
    EXPECT_THAT(read.routes, SizeIs(c.routes)) << c.topology;
    EXPECT_THAT(read.instances, SizeIs(c.instances)) << c.topology;
    EXPECT_THAT(read.routers, SizeIs(c.routers)) << c.topology;
    EXPECT_TRUE(estateOn(topologyOf(read, scope).document, scope) == read) << c.topology;
  }
}

// A snapshot refuses, by these, a file that names what is not there.
TEST(Estate, ListsWhatTheScopeNamesAndTheApiDoesNotHave) {
  EstateScope scope = EstateScope::of(parseYamlFile(kExamples + "/migration.yaml"));
  scope.spoke.network = "spoke-9";
  scope.transits[1].network = "transit-bb";
  scope.routers[0].router = "cr-gone";
  scope.instances[0].name = "gw-gone";
  EXPECT_THAT(
      estateOn(parseYamlFile(kExamples + "/demo-topology.yaml"), scope).absent,
      ElementsAre("the network app-spoke-prod::spoke-9", "the network net-transit-prod::transit-bb",
                  "the router cr-gone in net-transit-prod us-east1",
                  "the instance gw-gone in app-spoke-prod us-east1-c"));
}

}  // namespace
}  // namespace tolmi_gcp
