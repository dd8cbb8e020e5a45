#include "tolmi_gcp/part.hpp"
#include "tolmi_gcp/parts.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "emulator/emulator.hpp"
#include "log_capture.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

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
    for (const Part& part : parts) {
      SCOPED_TRACE((switching ? "switch " : "revert ") + part.label());
      const Estate before = readEstate(*Globals::service, scope);
      const std::size_t requests = emulator->journal()["requests"].size();
      const Estate prediction = predicted(before, part, switching);
      EXPECT_EQ(emulator->journal()["requests"].size(), requests);
      runPart(part, switching);
      const Estate after = typed(readEstate(*Globals::service, scope));
      EXPECT_FALSE(typed(before) == after);  // or a prediction of no change would pass
      EXPECT_TRUE(typed(prediction) == after);
    }
  }
  Globals::reset();
}

}  // namespace
}  // namespace tolmi_gcp
