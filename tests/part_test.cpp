#include "tolmi_gcp/part.hpp"
#include "tolmi_gcp/parts.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "emulator/emulator.hpp"
#include "log_capture.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

// The history keeps parts by label and reads them back from it.
TEST(Part, ItsLabelNamesItAgain) {
  for (const Part& part :
       {Part{Part::kPeerings, ""}, Part{Part::kRoutes, "stage 1"}, Part{Part::kRouters, ""}}) {
    Part named = Part::fromLabel(part.label());
    EXPECT_EQ(named.kind, part.kind) << part.label();
    EXPECT_EQ(named.stage, part.stage) << part.label();
  }
}

TEST(Plan, NamesOneOfAKindInTheSingular) {
  EXPECT_EQ((Plan{{"a"}, {"b"}, {}, {"c"}}.line(true)),
            "plan: remove 1 peering end (a), delete 1 route (b), patch 1 router (c)");
}

// What a prediction claims to know: the typed fields, routes by name, without those the API
// derives.
Estate typed(Estate estate) {
  std::erase_if(estate.routes, [](const Route& route) { return route.derived(); });
  std::sort(estate.routes.begin(), estate.routes.end(),
            [](const Route& a, const Route& b) { return a.name < b.name; });
  for (Network& network : estate.networks) {
    network.document = nullptr;
    for (Subnetwork& subnetwork : network.subnetworks) subnetwork.document = nullptr;
  }
  for (Route& route : estate.routes) route.document = nullptr;
  for (Instance& instance : estate.instances) instance.document = nullptr;
  for (Router& router : estate.routers) router.document = nullptr;
  return estate;
}

// pay-core switched and reverted part by part on the estate whose transit networks and routers
// it shares with other spokes; pay-batch's routers switched in between, so that pay-core's revert
// takes back its own change alone.
TEST(Predicted, IsTheEstateThePartLeaves) {
  const std::string shared = TOLMI_SOURCE_DIR "/examples/shared-routers/";
  auto emulator = std::make_shared<emulator::Emulator>(
      emulator::Emulator::loadTopology(shared + "topology.yaml"));
  testing::LogCapture log;
  Globals::reset();
  YamlContext::load(shared + "pay-core.yaml");
  Globals::service =
      std::make_shared<ComputeService>(std::make_shared<emulator::InProcessTransport>(emulator),
                                       "http://emulator.test/compute/v1/", nullptr);
  Globals::project = "pay-prod";
  Globals::vpc = {{"vpc_name", "pay-core"}};
  // The run's routes go on it, as the tool's setup has it.
  Globals::networkLink =
      textOf(Globals::service->networks().get("pay-prod", "pay-core").execute()["selfLink"]);
  Globals::setRevertInfoSaver([](const ResourceDocument&) {});
  GcpLib::sleeper() = [] {};
  const EstateScope scope = EstateScope::of(YamlContext::context());
  const std::vector<Part> parts = {{Part::kPeerings, ""},
                                   {Part::kRoutes, "dc"},
                                   {Part::kRoutes, "partner"},
                                   {Part::kRouters, ""}};
  for (bool switching : {true, false}) {
    if (!switching) {
      YamlContext::load(shared + "pay-batch.yaml");
      runPart({Part::kRouters, ""}, true);
      YamlContext::load(shared + "pay-core.yaml");
    }
    // The run's states foresee the parts one after the other.
    const std::vector<RunState> states =
        statesOfRun(readEstate(*Globals::service, scope), parts, switching);
    for (const Part& part : parts) {
      SCOPED_TRACE((switching ? "switch " : "revert ") + part.label());
      const Estate before = readEstate(*Globals::service, scope);
      const std::size_t requests = emulator->journal()["requests"].size();
      const Estate prediction = predicted(before, part, switching);
      EXPECT_EQ(emulator->journal()["requests"].size(), requests);
      // Read back before the part runs, every change it means is a difference.
      const std::vector<std::string> unchanged =
          readBack(before, prediction, part, switching).differences;
      runPart(part, switching);
      const Estate after = typed(readEstate(*Globals::service, scope));
      EXPECT_FALSE(typed(before) == after);  // or a prediction of no change would pass
      EXPECT_TRUE(typed(prediction) == after);
      const ReadBack back = readBack(before, prediction, part, switching);
      EXPECT_THAT(back.differences, IsEmpty());
      EXPECT_TRUE(typed(back.now) == after);  // what it reads again is what changed
      EXPECT_THAT(unchanged, Not(IsEmpty()));
      if (switching && part.kind == Part::kPeerings) {
        EXPECT_THAT(unchanged, ElementsAre("the peering pay-core-to-onprem of pay-prod::pay-core "
                                           "to net-hub-prod::transit-onprem is still there",
                                           "the peering pay-core-to-partner of pay-prod::pay-core "
                                           "to net-hub-prod::transit-partner is still there",
                                           "the peering onprem-to-pay-core of "
                                           "net-hub-prod::transit-onprem to pay-prod::pay-core is "
                                           "still there",
                                           "the peering partner-to-pay-core of "
                                           "net-hub-prod::transit-partner to pay-prod::pay-core is "
                                           "still there"));
      }
    }
    EXPECT_TRUE(typed(states.back().estate) == typed(readEstate(*Globals::service, scope)));
    std::vector<std::string> steps;
    for (const RunState& state : states)
      steps.push_back(state.label + ": " + std::to_string(state.changes));
    if (switching) {
      EXPECT_THAT(
          steps,
          ElementsAre("before: 0", "after peerings: 4", "between deletes and adds of routes dc: 1",
                      "after routes dc: 1", "between deletes and adds of routes partner: 1",
                      "after routes partner: 1", "after routers: 2"));
    }
  }
  Globals::reset();
}

}  // namespace
}  // namespace tolmi_gcp
