#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include "emulator/emulator.hpp"
#include "fake_transport.hpp"
#include "log_capture.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

using ::testing::_;
using testing::FakeTransport;
using testing::LogCapture;
using Lines = std::vector<std::string>;

std::string link(const std::string& project, const std::string& network) {
  return "https://www.googleapis.com/compute/v1/projects/" + project + "/global/networks/" +
         network;
}

// A peering entry as networks.get shows it, output fields included.
ResourceDocument peering(const std::string& name, const std::string& project,
                         const std::string& network, const std::string& stackType = "IPV4_ONLY") {
  return {{"name", name},
          {"network", link(project, network)},
          {"state", "ACTIVE"},
          {"stateDetails", "[2024-05-01T10:00:00Z]: Connected."},
          {"autoCreateRoutes", true},
          {"exportCustomRoutes", true},
          {"importCustomRoutes", false},
          {"exchangeSubnetRoutes", true},
          {"exportSubnetRoutesWithPublicIp", true},
          {"importSubnetRoutesWithPublicIp", false},
          {"stackType", stackType},
          {"peerMtu", 1460}};
}

ResourceDocument network(const std::string& name, ResourceDocument peerings) {
  return {{"kind", "compute#network"}, {"name", name}, {"peerings", std::move(peerings)}};
}

ResourceDocument pairOf(const ResourceDocument& local, const ResourceDocument& remote) {
  return {{"localPeeringProperties", local}, {"remotePeeringProperties", remote}};
}

std::string wait(const std::string& project, const std::string& operation) {
  return "POST projects/" + project + "/global/operations/" + operation + "/wait";
}

class PeeringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Globals::reset();
    YamlContext::setContext({{"transit_vpcs",
                              {{{"vpc_name", "proj-t::hub"}, {"cloud_routers", nullptr}},
                               {{"vpc_name", "proj-u::core"}}}}});
    GcpLib::sleeper() = [] {};
    // What reaches the revert file, and how many requests had been sent when it did.
    Globals::setRevertInfoSaver([this](const ResourceDocument& record) {
      saves.push_back({transport->requests.size(), record});
    });
  }
  void TearDown() override { Globals::reset(); }

  // A change request answered with a running operation, then its wait answered DONE.
  void scriptChange(const std::string& operation,
                    ResourceDocument extra = ResourceDocument::object()) {
    ResourceDocument first = {{"name", operation}, {"status", "RUNNING"}};
    first.update(extra);
    transport->reply(first).reply({{"name", operation}, {"status", "DONE"}});
  }

  ResourceDocument& recorded(const std::string& key) {
    return Globals::getRevertInfo()["peerings"][key];
  }

  struct Save {
    std::size_t requestsSent;
    ResourceDocument record;
  };

  std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
  ComputeService service{transport, "http://emulator/compute/v1/", nullptr};
  LogCapture log;
  std::vector<Save> saves;

  const ResourceDocument spokeToHub = peering("spoke-to-hub", "proj-t", "hub", "IPV4_IPV6");
  const ResourceDocument hubToSpoke = peering("hub-to-spoke", "proj-s", "spoke");
  const ResourceDocument spokeToCore = peering("spoke-to-core", "proj-u", "core");
  const ResourceDocument coreToSpoke = peering("core-to-spoke", "proj-s", "spoke");
  const ResourceDocument spokeEntry = {{"vpc_name", "spoke"}};
  const std::string rule = "  " + std::string(63, '.');
};

class ListPeering : public PeeringTest {};

TEST_F(ListPeering, WithoutPeeringsGivesTheEmptyTable) {
  Lines expected = {"- Discover peering(s)", "  no peering found", rule,
                    "  Peering name" + std::string(39, ' ') + "Project::VPC" + std::string(18, ' '),
                    rule};
  GcpLib::listPeering({{"name", "spoke"}});
  EXPECT_EQ(log.lines(), expected);
  log.clear();
  GcpLib::listPeering(network("spoke", ResourceDocument::array()));
  EXPECT_EQ(log.lines(), expected);
}

TEST_F(ListPeering, RowsLineUpUnderTheHeaderAndLongNamesPushRight) {
  std::string longName(55, 'n');
  GcpLib::listPeering(
      network("spoke", {peering("p1", "proj-a", "hub"), peering(longName, "proj-b", "core")}));
  Lines lines = log.lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4], "  p1" + std::string(48, ' ') + " proj-a::hub");
  EXPECT_EQ(lines[5], "  " + longName + " proj-b::core");
  EXPECT_EQ(lines[2].find("Project::VPC"), lines[4].find("proj-a::hub"));
}

class LookupRemotePeering : public PeeringTest {};

TEST_F(LookupRemotePeering, ReturnsTheFirstEntryPointingBackOrNull) {
  ResourceDocument first = peering("first", "proj-s", "spoke");
  transport->reply(network(
      "hub", {peering("other-project", "proj-x", "spoke"), peering("other-case", "proj-s", "Spoke"),
              first, peering("second", "proj-s", "spoke")}));
  EXPECT_EQ(GcpLib::lookupRemotePeering(service, "proj-s", "spoke", "proj-t", "hub"), first);
  EXPECT_EQ(transport->texts(), Lines{"GET projects/proj-t/global/networks/hub"});
  transport->reply({{"name", "hub"}});
  EXPECT_TRUE(GcpLib::lookupRemotePeering(service, "proj-s", "spoke", "proj-t", "hub").is_null());
  EXPECT_EQ(transport->requests.size(), 2u);
}

class DeletePeering : public PeeringTest {};

TEST_F(DeletePeering, SendsTheNameWaitsAndReportsWarnings) {
  scriptChange("op-1", {{"warnings", {{{"code", "NOT_CRITICAL"}}}}});
  GcpLib::deletePeering(service, "proj-t", "hub", "hub-to-spoke");
  EXPECT_EQ(
      transport->texts(),
      (Lines{R"(POST projects/proj-t/global/networks/hub/removePeering {"name":"hub-to-spoke"})",
             wait("proj-t", "op-1")}));
  ASSERT_EQ(log.entries().size(), 2u);
  EXPECT_EQ(log.lines()[0], "  delete peering hub-to-spoke in proj-t::hub");
  EXPECT_EQ(log.entries()[1].level, log4cplus::WARN_LOG_LEVEL);
  EXPECT_EQ(log.lines()[1], R"(  **Error** [{"code":"NOT_CRITICAL"}])");
}

TEST_F(DeletePeering, LogsFailuresAndReturnsNormally) {
  transport->replyError(400, "badRequest", "There is a peering operation in progress");
  transport->reply({{"name", "op-2"}, {"status", "RUNNING"}})
      .reply({{"status", "DONE"}, {"error", {{"errors", {{{"code", "RESOURCE_NOT_FOUND"}}}}}}});
  scriptChange("op-3", {{"httpErrorMessage", "NOT FOUND"}});
  GcpLib::deletePeering(service, "proj-t", "hub", "a");
  GcpLib::deletePeering(service, "proj-t", "hub", "b");
  GcpLib::deletePeering(service, "proj-t", "hub", "c");
  EXPECT_EQ(transport->requests.size(), 5u);
  ASSERT_EQ(log.entries().size(), 6u);
  for (int i : {1, 3, 5}) EXPECT_EQ(log.entries()[i].level, log4cplus::ERROR_LOG_LEVEL);
  EXPECT_EQ(
      log.lines()[1].rfind("  **Error** HTTP 400 badRequest: There is a peering operation", 0), 0u);
  EXPECT_EQ(log.lines()[3], R"(  **Error** {"errors":[{"code":"RESOURCE_NOT_FOUND"}]})");
  EXPECT_EQ(log.lines()[5], "  **Check Error** NOT FOUND");
}

class DeletePeerings : public PeeringTest {};

TEST_F(DeletePeerings, WithoutTransitPeeringRecordsAnEmptyArray) {
  // "hub" alone names no project, so it matches nothing.
  YamlContext::setContext({{"transit_vpcs", {{{"vpc_name", "hub"}}}}});
  recorded("proj-s::spoke") = ResourceDocument::array({pairOf(spokeToHub, hubToSpoke)});
  recorded("proj-o::other") = ResourceDocument::array({pairOf(spokeToCore, coreToSpoke)});
  transport->reply(network("spoke", {spokeToHub, peering("to-shared", "proj-x", "shared")}));
  GcpLib::deletePeerings(service, "proj-s", spokeEntry);
  EXPECT_EQ(log.lines(),
            (Lines{"- Delete transit peerings in proj-s::spoke", "  no transit peering found!"}));
  EXPECT_EQ(transport->texts(), Lines{"GET projects/proj-s/global/networks/spoke"});
  EXPECT_EQ(recorded("proj-s::spoke"), ResourceDocument::array());
  EXPECT_EQ(recorded("proj-o::other").size(), 1u);
  ASSERT_EQ(saves.size(), 1u);
  EXPECT_EQ(saves[0].record, Globals::getRevertInfo());
}

TEST_F(DeletePeerings, RecordsEachPairBeforeRemovingTransitThenSpokeEnd) {
  transport->reply(network("spoke", {spokeToHub, peering("to-shared", "proj-x", "shared")}))
      .reply(network("hub", {hubToSpoke}));
  scriptChange("op-1");
  scriptChange("op-2");
  GcpLib::deletePeerings(service, "proj-s", spokeEntry);
  EXPECT_EQ(log.lines(), (Lines{"- Delete transit peerings in proj-s::spoke",
                                "  delete peering hub-to-spoke in proj-t::hub",
                                "  delete peering spoke-to-hub in proj-s::spoke"}));
  EXPECT_EQ(
      transport->texts(),
      (Lines{"GET projects/proj-s/global/networks/spoke", "GET projects/proj-t/global/networks/hub",
             R"(POST projects/proj-t/global/networks/hub/removePeering {"name":"hub-to-spoke"})",
             wait("proj-t", "op-1"),
             R"(POST projects/proj-s/global/networks/spoke/removePeering {"name":"spoke-to-hub"})",
             wait("proj-s", "op-2")}));
  ResourceDocument expected = ResourceDocument::array({pairOf(spokeToHub, hubToSpoke)});
  EXPECT_EQ(recorded("proj-s::spoke"), expected);
  EXPECT_EQ(recorded("proj-s::spoke")[0].begin().key(), "localPeeringProperties");
  ASSERT_EQ(saves.size(), 2u);
  EXPECT_EQ(saves[0].requestsSent, 2u);  // on disk before the first removal
  EXPECT_EQ(saves[0].record["peerings"]["proj-s::spoke"], expected);
  EXPECT_EQ(saves[1].record, Globals::getRevertInfo());
}

TEST_F(DeletePeerings, InDryRunReadsAndRecordsButRemovesNothing) {
  Globals::setDryRun(true);
  transport->reply(network("spoke", {spokeToHub})).reply(network("hub", {hubToSpoke}));
  GcpLib::deletePeerings(service, "proj-s", spokeEntry);
  EXPECT_EQ(log.lines(), (Lines{"- Delete transit peerings in proj-s::spoke",
                                "  delete peering hub-to-spoke in proj-t::hub",
                                "  delete peering spoke-to-hub in proj-s::spoke"}));
  EXPECT_EQ(transport->requests.size(), 2u);
  EXPECT_EQ(recorded("proj-s::spoke"), ResourceDocument::array({pairOf(spokeToHub, hubToSpoke)}));
  EXPECT_EQ(saves.size(), 2u);
}

TEST_F(DeletePeerings, GoesOnAfterAFailedRemovalAndKeepsThePairRecorded) {
  transport->reply(network("spoke", {spokeToHub})).reply(network("hub", {hubToSpoke}));
  transport->replyError(400, "badRequest", "There is a peering operation in progress");
  scriptChange("op-2");
  GcpLib::deletePeerings(service, "proj-s", spokeEntry);
  ASSERT_EQ(log.entries().size(), 4u);
  EXPECT_EQ(log.entries()[2].level, log4cplus::ERROR_LOG_LEVEL);
  EXPECT_EQ(log.lines()[2].rfind("  **Error** HTTP 400", 0), 0u);
  EXPECT_EQ(log.lines()[3], "  delete peering spoke-to-hub in proj-s::spoke");
  EXPECT_EQ(transport->requests[3].path, "projects/proj-s/global/networks/spoke/removePeering");
  EXPECT_EQ(recorded("proj-s::spoke"), ResourceDocument::array({pairOf(spokeToHub, hubToSpoke)}));
}

TEST_F(DeletePeerings, LeavesAPeeringWithoutFarEndAloneAndGoesOn) {
  transport->reply(network("spoke", {spokeToHub, spokeToCore}))
      .reply(network("hub", {peering("hub-to-else", "proj-s", "elsewhere")}))
      .reply(network("core", {coreToSpoke}));
  scriptChange("op-1");
  scriptChange("op-2");
  GcpLib::deletePeerings(service, "proj-s", spokeEntry);
  ASSERT_EQ(log.entries().size(), 4u);
  EXPECT_EQ(log.entries()[1].level, log4cplus::ERROR_LOG_LEVEL);
  EXPECT_EQ(log.lines()[1],
            "  **Error** no peering on proj-t::hub points back at proj-s::spoke: spoke peering "
            "spoke-to-hub left in place and not recorded");
  EXPECT_EQ(log.lines()[2], "  delete peering core-to-spoke in proj-u::core");
  EXPECT_EQ(transport->requests[3].path, "projects/proj-u/global/networks/core/removePeering");
  EXPECT_EQ(transport->requests.size(), 7u);
  EXPECT_EQ(recorded("proj-s::spoke"), ResourceDocument::array({pairOf(spokeToCore, coreToSpoke)}));
}

TEST_F(DeletePeerings, LeavesAPairTheRecordCouldNotRecreateInPlace) {
  ResourceDocument nameless = hubToSpoke;
  nameless.erase("name");
  transport->reply(network("spoke", {spokeToHub})).reply(network("hub", {nameless}));
  GcpLib::deletePeerings(service, "proj-s", spokeEntry);
  EXPECT_EQ(log.lines().at(1),
            "  **Error** peering spoke-to-hub to proj-t::hub could not be re-created from the "
            "record (missing key 'name'): left in place and not recorded");
  EXPECT_EQ(transport->requests.size(), 2u);
  EXPECT_EQ(recorded("proj-s::spoke"), ResourceDocument::array());
}

TEST_F(DeletePeerings, FailingPartWayLeavesEveryRemovedPairOnDiskWithTheEarlierOnes) {
  // An earlier run recorded the same hub peering and one that is gone from the spoke since.
  ResourceDocument staleHub = pairOf(peering("spoke-to-hub", "proj-t", "hub"), hubToSpoke);
  ResourceDocument gone = pairOf(peering("spoke-to-old", "proj-t", "hub"), hubToSpoke);
  recorded("proj-s::spoke") = {staleHub, gone};
  transport->reply(network("spoke", {spokeToHub, spokeToCore})).reply(network("hub", {hubToSpoke}));
  scriptChange("op-1");
  scriptChange("op-2");
  transport->dropConnection();
  EXPECT_THROW(GcpLib::deletePeerings(service, "proj-s", spokeEntry), TransportError);
  EXPECT_EQ(transport->requests.size(), 7u);
  ResourceDocument expected = {pairOf(spokeToHub, hubToSpoke), gone};
  EXPECT_EQ(recorded("proj-s::spoke"), expected);
  ASSERT_EQ(saves.size(), 1u);
  EXPECT_EQ(saves[0].requestsSent, 2u);
  EXPECT_EQ(saves[0].record["peerings"]["proj-s::spoke"], expected);
}

TEST_F(DeletePeerings, ReRunRemovesOnlyTheEndsAnEarlierRunLeft) {
  // The earlier run removed core's end, then stopped; the hub end's removal had failed.
  ResourceDocument hub = pairOf(spokeToHub, hubToSpoke), core = pairOf(spokeToCore, coreToSpoke);
  recorded("proj-s::spoke") = {hub, core};
  transport->reply(network("spoke", {spokeToCore})).reply(network("core", {}));
  scriptChange("op-1");
  transport->reply(network("hub", {hubToSpoke}));
  scriptChange("op-2");
  GcpLib::deletePeerings(service, "proj-s", spokeEntry);
  EXPECT_EQ(log.lines(),
            (Lines{"- Delete transit peerings in proj-s::spoke",
                   "  peering core-to-spoke in proj-u::core is removed already, as recorded",
                   "  delete peering spoke-to-core in proj-s::spoke",
                   "  peering spoke-to-hub in proj-s::spoke is removed already, as recorded",
                   "  delete peering hub-to-spoke in proj-t::hub"}));
  EXPECT_EQ(recorded("proj-s::spoke"), ResourceDocument({core, hub}));
}

TEST_F(DeletePeerings, CompletedReplacesTheEarlierEntryWithThePairsInSpokeOrder) {
  recorded("proj-s::spoke") =
      ResourceDocument::array({pairOf(peering("spoke-to-old", "proj-t", "hub"), hubToSpoke)});
  transport->reply(network("spoke", {spokeToCore, spokeToHub}))
      .reply(network("core", {coreToSpoke}));
  scriptChange("op-1");
  scriptChange("op-2");
  transport->reply(network("hub", {hubToSpoke}));
  scriptChange("op-3");
  scriptChange("op-4");
  GcpLib::deletePeerings(service, "proj-s", spokeEntry);
  EXPECT_EQ(recorded("proj-s::spoke"),
            ResourceDocument({pairOf(spokeToCore, coreToSpoke), pairOf(spokeToHub, hubToSpoke)}));
  ASSERT_EQ(saves.size(), 3u);
  EXPECT_EQ(saves[1].requestsSent, 7u);  // the second pair, before its removals
  EXPECT_EQ(saves[1].record["peerings"]["proj-s::spoke"].size(), 3u);
  EXPECT_EQ(saves[2].record, Globals::getRevertInfo());
}

TEST_F(DeletePeerings, StopsBeforeAnyRemovalWhenThePairCannotBeRecorded) {
  Globals::setRevertInfoSaver([](const ResourceDocument&) { throw ConfigError("disk full"); });
  transport->reply(network("spoke", {spokeToHub})).reply(network("hub", {hubToSpoke}));
  EXPECT_THROW(GcpLib::deletePeerings(service, "proj-s", spokeEntry), ConfigError);
  EXPECT_EQ(transport->requests.size(), 2u);
  Globals::getRevertInfo().erase("peerings");
  transport->reply(network("spoke", {spokeToHub})).reply(network("hub", {hubToSpoke}));
  EXPECT_THROW(GcpLib::deletePeerings(service, "proj-s", spokeEntry), MissingKeyError);
  EXPECT_EQ(transport->requests.size(), 4u);
  Globals::reset();
  YamlContext::setContext({{"transit_vpcs", "proj-t::hub"}});
  EXPECT_THROW(GcpLib::deletePeerings(service, "proj-s", spokeEntry), ArgumentTypeError);
  EXPECT_EQ(transport->requests.size(), 4u);
}

class AddPeerings : public PeeringTest {};

TEST_F(AddPeerings, AnEmptyListOnlySaysSo) {
  GcpLib::addPeerings(service, ResourceDocument::array());
  EXPECT_EQ(log.lines(), (Lines{"- Restore peerings", "  no peering found"}));
  EXPECT_TRUE(transport->requests.empty());
}

TEST_F(AddPeerings, InDryRunLogsBothEndsAndSendsNothing) {
  Globals::setDryRun(true);
  GcpLib::addPeerings(service, ResourceDocument::array({pairOf(spokeToHub, hubToSpoke)}));
  EXPECT_EQ(log.lines(), (Lines{"- Restore peerings", "- Add local peering in proj-s::spoke",
                                "  add peering spoke-to-hub in proj-s::spoke",
                                "  add peering hub-to-spoke in proj-t::hub"}));
  EXPECT_TRUE(transport->requests.empty());
}

TEST_F(AddPeerings, CreatesSpokeEndThenTransitEndWithTheRecordedSettings) {
  scriptChange("op-1");
  scriptChange("op-2", {{"httpErrorMessage", "NOT FOUND"}});
  GcpLib::addPeerings(service, ResourceDocument::array({pairOf(spokeToHub, hubToSpoke)}));
  std::string hubLink = link("proj-t", "hub");
  std::string spokeLink = link("proj-s", "spoke");
  EXPECT_EQ(transport->texts(),
            (Lines{"POST projects/proj-s/global/networks/spoke/addPeering "
                   R"({"networkPeering":{"name":"spoke-to-hub","network":")" +
                       hubLink +
                       R"(","exportCustomRoutes":true,"importCustomRoutes":false,)"
                       R"("exchangeSubnetRoutes":true,"exportSubnetRoutesWithPublicIp":true,)"
                       R"("importSubnetRoutesWithPublicIp":false,"stackType":"IPV4_IPV6"}})",
                   wait("proj-s", "op-1"),
                   "POST projects/proj-t/global/networks/hub/addPeering "
                   R"({"networkPeering":{"name":"hub-to-spoke","network":")" +
                       spokeLink +
                       R"(","exportCustomRoutes":true,"importCustomRoutes":false,)"
                       R"("exchangeSubnetRoutes":true,"exportSubnetRoutesWithPublicIp":true,)"
                       R"("importSubnetRoutesWithPublicIp":false,"stackType":"IPV4_ONLY"}})",
                   wait("proj-t", "op-2")}));
  ASSERT_EQ(log.entries().size(), 5u);
  EXPECT_EQ(log.lines()[4], "  **Error** NOT FOUND");
  EXPECT_EQ(log.entries()[4].level, log4cplus::ERROR_LOG_LEVEL);
}

TEST_F(AddPeerings, FillsWhatTheApiLeftOutWithItsDefaults) {
  scriptChange("op-1");
  scriptChange("op-2");
  ResourceDocument bare = {{"name", "hub-to-spoke"}, {"network", link("proj-s", "spoke")}};
  GcpLib::addPeerings(service, ResourceDocument::array({pairOf(spokeToHub, bare)}));
  bare.update({{"exportCustomRoutes", false},
               {"importCustomRoutes", false},
               {"exchangeSubnetRoutes", true},
               {"exportSubnetRoutesWithPublicIp", true},
               {"importSubnetRoutesWithPublicIp", false},
               {"stackType", "IPV4_ONLY"}});
  EXPECT_EQ(transport->requests.at(2).json(), ResourceDocument({{"networkPeering", bare}}));
  EXPECT_THAT(log.lines(),
              ::testing::ElementsAre(_, _, _, "  add peering hub-to-spoke in proj-t::hub",
                                     "  peering hub-to-spoke gets the API's defaults for what its "
                                     "record lacks: exportCustomRoutes false, importCustomRoutes "
                                     "false, exchangeSubnetRoutes true, "
                                     "exportSubnetRoutesWithPublicIp true, "
                                     "importSubnetRoutesWithPublicIp false, stackType IPV4_ONLY"));
}

TEST_F(AddPeerings, FailsBeforeAnyRequestOnAnIncompleteRecord) {
  ResourceDocument incomplete = hubToSpoke;
  incomplete.erase("name");
  EXPECT_THROW(
      GcpLib::addPeerings(service, ResourceDocument::array({pairOf(spokeToHub, incomplete)})),
      MissingKeyError);
  EXPECT_THROW(GcpLib::addPeerings(service, {{"not", "a list"}, {"an", "object"}}),
               ArgumentTypeError);
  EXPECT_TRUE(transport->requests.empty());
}

TEST_F(AddPeerings, StopsWhenAFailedEndIsNotInPlaceAsRecorded) {
  ResourceDocument different = spokeToHub;
  different["importCustomRoutes"] = true;
  transport->replyError(400, "invalid", "peering spoke-to-hub already exists")
      .reply(network("spoke", {different}));
  EXPECT_THROW(
      GcpLib::addPeerings(service, ResourceDocument::array({pairOf(spokeToHub, hubToSpoke)})),
      HttpError);
  transport->reply({{"name", "op-3"}, {"status", "RUNNING"}})
      .reply({{"status", "DONE"}, {"error", {{"errors", {{{"code", "QUOTA_EXCEEDED"}}}}}}})
      .reply(network("spoke", ResourceDocument::array()));
  EXPECT_THROW(
      GcpLib::addPeerings(service, ResourceDocument::array({pairOf(spokeToHub, hubToSpoke)})),
      OperationError);
  EXPECT_EQ(transport->requests.size(), 5u);
  EXPECT_EQ(transport->pending(), 0u);
}

class ManagePeerings : public PeeringTest {};

TEST_F(ManagePeerings, NeedsAServiceAndRestoresNothingWithoutARecord) {
  Globals::project = "proj-s";
  Globals::vpc = spokeEntry;
  EXPECT_THROW(GcpLib::managePeerings(false), Error);
  Globals::service =
      std::make_shared<ComputeService>(transport, "http://emulator/compute/v1/", nullptr);
  GcpLib::managePeerings(false);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(transport->requests.empty());
}

TEST_F(ManagePeerings, SwitchAndRestoreMeetUnderTheSameKey) {
  Globals::service =
      std::make_shared<ComputeService>(transport, "http://emulator/compute/v1/", nullptr);
  Globals::project = "proj-s";
  Globals::vpc = {{"vpc_name", "hub"}, {"migrate", true}};
  transport->reply(network("hub", ResourceDocument::array()));
  GcpLib::managePeerings(true);
  EXPECT_EQ(Globals::getRevertInfo()["peerings"],
            ResourceDocument({{"proj-s::hub", ResourceDocument::array()}}));
  log.clear();
  GcpLib::managePeerings(false);
  EXPECT_EQ(log.lines(), (Lines{"- Restore peerings", "  no peering found"}));
  recorded("proj-s::hub") = ResourceDocument::array({pairOf(spokeToHub, hubToSpoke)});
  scriptChange("op-1");
  scriptChange("op-2");
  GcpLib::managePeerings(false);
  EXPECT_EQ(transport->requests.size(), 5u);
  EXPECT_EQ(transport->requests[1].path, "projects/proj-s/global/networks/spoke/addPeering");
  EXPECT_EQ(recorded("proj-s::hub").size(), 1u);
}

// The example estate and migration file: spoke-1 is peered with transit-a and transit-b (and a
// GKE network, which is no transit network).
class PeeringsOnEmulator : public ::testing::Test {
 protected:
  void SetUp() override {
    Globals::reset();
    YamlContext::load(TOLMI_SOURCE_DIR "/examples/migration.yaml");
    Globals::service =
        std::make_shared<ComputeService>(std::make_shared<emulator::InProcessTransport>(emulator),
                                         "http://emulator.test/compute/v1/", nullptr);
    Globals::project = "app-spoke-prod";
    Globals::vpc = {{"vpc_name", "spoke-1"}};
    Globals::setRevertInfoSaver([this](const ResourceDocument& record) { saved = record; });
    GcpLib::sleeper() = [] {};
  }
  void TearDown() override { Globals::reset(); }

  std::vector<std::string> peeringNames(const std::string& project, const std::string& network) {
    ResourceDocument doc = Globals::service->networks().get(project, network).execute();
    std::vector<std::string> names;
    for (const ResourceDocument& peering : arrayOrEmpty(doc, "peerings"))
      names.push_back(peering["name"]);
    return names;
  }

  void injectFault(const ResourceDocument& fault) {
    ASSERT_EQ(emulator->handle("POST", "/emulator/v1/faults", {}, {}, fault.dump()).status, 200);
  }

  // Every network as it was, whole; a re-created peering is listed last, so the order of a
  // network's peerings is not compared.
  void expectNetworksAsIn(const ResourceDocument& before) {
    auto networks = [](ResourceDocument state, const std::string& project) {
      ResourceDocument list = state["projects"][project]["networks"];
      for (ResourceDocument& network : list)
        if (network.contains("peerings"))
          std::sort(network["peerings"].begin(), network["peerings"].end(),
                    [](const auto& a, const auto& b) { return a["name"] < b["name"]; });
      return list;
    };
    ResourceDocument now = emulator->state();
    for (const auto& [project, resources] : before["projects"].items())
      EXPECT_EQ(networks(now, project), networks(before, project)) << project;
  }

  std::shared_ptr<emulator::Emulator> emulator = std::make_shared<emulator::Emulator>(
      emulator::Emulator::loadTopology(TOLMI_SOURCE_DIR "/examples/demo-topology.yaml"));
  ResourceDocument before = emulator->state();
  ResourceDocument saved;
  const std::string key = "app-spoke-prod::spoke-1";
  LogCapture log;
};

TEST_F(PeeringsOnEmulator, AnInterruptedRestoreRunAgainPutsBackExactlyWhatWasThere) {
  GcpLib::managePeerings(true);
  EXPECT_EQ(peeringNames("app-spoke-prod", "spoke-1"), Lines{"gke-n7f3a2c1-peer"});
  EXPECT_EQ(peeringNames("net-transit-prod", "transit-a"), Lines{"transit-a-to-spoke-2"});
  EXPECT_EQ(peeringNames("net-transit-prod", "transit-b"), Lines{});
  EXPECT_EQ(saved["peerings"][key].size(), 2u);
  injectFault({{"method", "POST"}, {"path", "*/networks/transit-b/addPeering"}, {"drop", true}});
  EXPECT_THROW(GcpLib::managePeerings(false), TransportError);
  log.clear();
  GcpLib::managePeerings(false);
  expectNetworksAsIn(before);
  Lines inPlace;
  for (const std::string& line : log.lines())
    if (line.ends_with("already in place as recorded")) inPlace.push_back(line);
  EXPECT_EQ(inPlace, (Lines{"  peering spoke-1-to-transit-a already in place as recorded",
                            "  peering transit-a-to-spoke-1 already in place as recorded",
                            "  peering spoke-1-to-transit-b already in place as recorded"}));
}

}  // namespace
}  // namespace tolmi_gcp
