#include <regex>

#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include "emulator/emulator.hpp"
#include "fake_transport.hpp"
#include "log_capture.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/gcplib/routes.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

using testing::FakeTransport;
using Lines = std::vector<std::string>;

const std::string kApi = "https://www.googleapis.com/compute/v1/projects/proj-1/";
const std::string kNetwork = kApi + "global/networks/spoke-a";
const std::string kMarker = "Tessavon-Created-Resource: Do-Not-Delete-Tessavon-Created-Resource";
// Digests of the seeds proj-1spoke-a10.1.0.0/16us-central1-agw-1200 and ...gw-1None.
const std::string kName200 = "tvn-bebd540803e6992973994fe47d889b52";
const std::string kNameNone = "tvn-47a3e030fc6cf845eed5451a537c9f36";

ResourceDocument entry(const ResourceDocument& priority, const ResourceDocument& name) {
  return {{"cidr", "10.1.0.0/16"},
          {"zone", "us-central1-a"},
          {"dest_instance", "gw-1"},
          {"priority", priority},
          {"name", name}};
}

ResourceDocument existingRoute(const std::string& name, const std::string& range) {
  return {{"kind", "compute#route"},
          {"id", "4711"},
          {"name", name},
          {"network", kNetwork},
          {"destRange", range},
          {"priority", 900},
          {"nextHopIp", "10.0.0.9"},
          {"selfLink", kApi + "global/routes/" + name}};
}

ResourceDocument instance(const std::string& name) {
  return {{"name", name}, {"selfLink", kApi + "zones/us-central1-a/instances/" + name}};
}

// The body sent for entry(priority 200 or null, name): the fields in the API's expected order.
std::string createdBody(int priority, const std::string& name) {
  return R"({"destRange":"10.1.0.0/16","nextHopInstance":")" + kApi +
         R"(zones/us-central1-a/instances/gw-1","priority":)" + std::to_string(priority) +
         R"(,"name":")" + name + R"(","zone":"us-central1-a","network":")" + kNetwork +
         R"(","description":")" + kMarker + R"("})";
}

class Routes : public ::testing::Test {
 protected:
  void SetUp() override {
    Globals::reset();
    YamlContext::setContext({{"project_id", "proj-1"}, {"vpc_name", "spoke-a"}});
    Globals::networkLink = kNetwork;
    GcpLib::sleeper() = [] {};
    // Each save notes how many requests had been sent, to prove the record came first.
    Globals::setRevertInfoSaver([this](const ResourceDocument& record) {
      saves.push_back({{"sent", transport->requests.size()}, {"record", record}});
    });
  }
  void TearDown() override { Globals::reset(); }

  // A change request answered with a pending operation, then its wait answered DONE.
  FakeTransport& change(const std::string& operation) {
    return transport->reply({{"name", operation}, {"status", "PENDING"}})
        .reply({{"name", operation}, {"status", "DONE"}});
  }

  ResourceDocument& stageRecord(const std::string& stage = "stage-1") {
    return Globals::getRevertInfo()["manage_routes"][stage]["proj-1::spoke-a"];
  }

  // The last saved record before request number `sent` went out.
  ResourceDocument savedBefore(std::size_t sent) {
    ResourceDocument last;
    for (const auto& save : saves)
      if (save["sent"].get<std::size_t>() <= sent) last = save["record"];
    return last;
  }

  std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
  ComputeService service{transport, "http://emulator/compute/v1/", nullptr};
  testing::LogCapture log;
  std::vector<ResourceDocument> saves;
};

// --- manageRoute ---

TEST_F(Routes, NullConfigurationLogsAndTouchesNothing) {
  GcpLib::manageRoute(service, nullptr, "stage-1");
  EXPECT_EQ(log.lines(), (Lines{"- Manage route(s) stage-1", "  No route config found!"}));
  EXPECT_TRUE(transport->requests.empty());
  EXPECT_EQ(Globals::getRevertInfo(), Globals::emptyRevertInfo());
  EXPECT_TRUE(saves.empty());
}

TEST_F(Routes, EmptyStageCreatesItsLevelAndStoresEmptyLists) {
  GcpLib::manageRoute(service, ResourceDocument::object(), "stage-1");
  EXPECT_EQ(log.lines(), Lines{"- Manage route(s) stage-1"});
  EXPECT_TRUE(transport->requests.empty());
  EXPECT_EQ(Globals::getRevertInfo()["manage_routes"].dump(),
            R"({"stage-1":{"proj-1::spoke-a":{"deleted_route_list":[],"added_route_list":[]}}})");
  ASSERT_EQ(saves.size(), 1u);
}

TEST_F(Routes, DeletesThenCreatesRecordingEachChangeBeforeItIsSent) {
  ResourceDocument old = existingRoute("r-old", "10.9.0.0/16");
  transport->reply(old);
  change("op-d");
  transport->reply(instance("gw-1"));
  change("op-i1");
  transport->reply(instance("gw-1"));
  change("op-i2");
  ResourceDocument config = {{"delete", {"r-old"}},
                             {"add", {entry(200, nullptr), entry(nullptr, "custom-r")}},
                             {"ignored", true}};

  GcpLib::manageRoute(service, config, "stage-1");

  EXPECT_EQ(log.lines(), (Lines{
                             "- Manage route(s) stage-1",
                             "  delete route r-old",
                             "  add route 10.1.0.0/16 to gw-1 priority 200 name " + kName200,
                             "  add route 10.1.0.0/16 to gw-1 priority 1000 name custom-r",
                         }));
  EXPECT_EQ(transport->texts(),
            (Lines{
                "GET projects/proj-1/global/routes/r-old",
                "DELETE projects/proj-1/global/routes/r-old",
                "POST projects/proj-1/global/operations/op-d/wait",
                "GET projects/proj-1/zones/us-central1-a/instances/gw-1",
                "POST projects/proj-1/global/routes " + createdBody(200, kName200),
                "POST projects/proj-1/global/operations/op-i1/wait",
                "GET projects/proj-1/zones/us-central1-a/instances/gw-1",
                "POST projects/proj-1/global/routes " + createdBody(1000, "custom-r"),
                "POST projects/proj-1/global/operations/op-i2/wait",
            }));
  ResourceDocument expected = {{"deleted_route_list", {old}},
                               {"added_route_list", {kName200, "custom-r"}}};
  EXPECT_EQ(stageRecord().dump(), expected.dump());
  // What undoes each change was on disk before the request that made it.
  EXPECT_EQ(savedBefore(1)["manage_routes"]["stage-1"]["proj-1::spoke-a"]["deleted_route_list"],
            ResourceDocument({old}));
  EXPECT_EQ(savedBefore(4)["manage_routes"]["stage-1"]["proj-1::spoke-a"]["added_route_list"],
            ResourceDocument({kName200}));
  EXPECT_EQ(savedBefore(7)["manage_routes"]["stage-1"]["proj-1::spoke-a"]["added_route_list"],
            ResourceDocument({kName200, "custom-r"}));
}

// A new route goes in before the old ones go, unless it takes a deleted route's name.
TEST_F(Routes, MakeBeforeBreakCreatesFirstSaveUnderADeletedName) {
  Globals::makeBeforeBreak = true;
  transport->reply(instance("gw-1"));
  change("op-i1");
  transport->reply(existingRoute("r-old", "10.9.0.0/16"));
  change("op-d1");
  transport->reply(existingRoute("custom-r", "10.1.0.0/16"));
  change("op-d2");
  transport->reply(instance("gw-1"));
  change("op-i2");
  ResourceDocument config = {{"delete", {"r-old", "custom-r"}},
                             {"add", {entry(nullptr, "custom-r"), entry(200, nullptr)}}};

  GcpLib::manageRoute(service, config, "stage-1");

  EXPECT_EQ(transport->texts(),
            (Lines{
                "GET projects/proj-1/zones/us-central1-a/instances/gw-1",
                "POST projects/proj-1/global/routes " + createdBody(200, kName200),
                "POST projects/proj-1/global/operations/op-i1/wait",
                "GET projects/proj-1/global/routes/r-old",
                "DELETE projects/proj-1/global/routes/r-old",
                "POST projects/proj-1/global/operations/op-d1/wait",
                "GET projects/proj-1/global/routes/custom-r",
                "DELETE projects/proj-1/global/routes/custom-r",
                "POST projects/proj-1/global/operations/op-d2/wait",
                "GET projects/proj-1/zones/us-central1-a/instances/gw-1",
                "POST projects/proj-1/global/routes " + createdBody(1000, "custom-r"),
                "POST projects/proj-1/global/operations/op-i2/wait",
            }));
  EXPECT_EQ(savedBefore(1)["manage_routes"]["stage-1"]["proj-1::spoke-a"]["added_route_list"],
            ResourceDocument({kName200}));
}

TEST_F(Routes, DryRunReadsButChangesNothingAndRecordsAsARealRun) {
  Globals::setDryRun(true);
  ResourceDocument old = existingRoute("r-old", "10.9.0.0/16");
  transport->reply(old).reply(instance("gw-1")).reply(instance("gw-1"));
  ResourceDocument config = {{"delete", {"r-old"}},
                             {"add", {entry(200, nullptr), entry(nullptr, nullptr)}}};

  GcpLib::manageRoute(service, config, "stage-1");

  EXPECT_EQ(transport->texts(), (Lines{
                                    "GET projects/proj-1/global/routes/r-old",
                                    "GET projects/proj-1/zones/us-central1-a/instances/gw-1",
                                    "GET projects/proj-1/zones/us-central1-a/instances/gw-1",
                                }));
  EXPECT_EQ(log.lines().back(), "  add route 10.1.0.0/16 to gw-1 priority 1000 name " + kNameNone);
  ResourceDocument expected = {{"deleted_route_list", {old}},
                               {"added_route_list", {kName200, kNameNone}}};
  EXPECT_EQ(stageRecord().dump(), expected.dump());
}

TEST_F(Routes, GeneratedNamesDependOnPriorityProjectAndNetwork) {
  Globals::setDryRun(true);
  auto namesFor = [&](const std::string& project, const std::string& vpc,
                      const ResourceDocument& priorities) {
    YamlContext::setContext({{"project_id", project}, {"vpc_name", vpc}});
    ResourceDocument config = {{"add", ResourceDocument::array()}};
    Globals::getRevertInfo()["manage_routes"] = ResourceDocument::object();
    for (const ResourceDocument& priority : priorities) {
      config["add"].push_back(entry(priority, nullptr));
      transport->reply(instance("gw-1"));
    }
    GcpLib::manageRoute(service, config, "stage-1");
    return Globals::getRevertInfo()["manage_routes"]["stage-1"][project + "::" + vpc]
                                   ["added_route_list"];
  };
  ResourceDocument base = namesFor("proj-1", "spoke-a", {200, 201});
  EXPECT_EQ(base[0], kName200);
  EXPECT_TRUE(std::regex_match(base[1].get<std::string>(), std::regex("tvn-[0-9a-f]{32}")));
  EXPECT_NE(base[1], kName200);
  // A priority written as text seeds the same name as the number.
  EXPECT_EQ(namesFor("proj-1", "spoke-a", {"200"})[0], kName200);
  ResourceDocument otherProject = namesFor("proj-2", "spoke-a", {200});
  ResourceDocument otherNetwork = namesFor("proj-1", "spoke-b", {200});
  EXPECT_NE(otherProject[0], kName200);
  EXPECT_NE(otherNetwork[0], kName200);
  EXPECT_NE(otherNetwork[0], otherProject[0]);
  // Tags go into the body, not into the seed: names recorded before tags existed still match.
  ResourceDocument tagged = entry(200, nullptr);
  tagged["tags"] = {"partner-y"};
  EXPECT_EQ(routes::createdRouteBody("proj-1", "spoke-a", tagged)["name"], kName200);
}

TEST_F(Routes, FailedItemsAreLoggedSkippedAndNotRecorded) {
  transport->replyError(404, "notFound", "The resource 'r-gone' was not found");
  transport->reply(existingRoute("r-2", "10.8.0.0/16"));
  change("op-d");
  transport->reply(instance("gw-1"));
  change("op-i");
  ResourceDocument noPriority = entry(200, nullptr);
  noPriority.erase("priority");
  ResourceDocument numericName = entry(300, 42);
  ResourceDocument config = {{"delete", {"r-gone", "r-2"}},
                             {"add", {noPriority, numericName, entry(200, nullptr)}}};

  GcpLib::manageRoute(service, config, "stage-1");

  EXPECT_EQ(log.lines(),
            (Lines{
                "- Manage route(s) stage-1",
                "  delete route r-gone",
                "  **Error** HTTP 404 notFound: The resource 'r-gone' was not found [GET "
                "http://emulator/compute/v1/projects/proj-1/global/routes/r-gone]",
                "  delete route r-2",
                "  **Error** missing key 'priority'",
                "  **Error** argument 'route name' must be a string, got number 42",
                "  add route 10.1.0.0/16 to gw-1 priority 200 name " + kName200,
            }));
  EXPECT_EQ(log.entries()[2].level, log4cplus::ERROR_LOG_LEVEL);
  EXPECT_EQ(stageRecord()["deleted_route_list"].size(), 1u);
  EXPECT_EQ(stageRecord()["deleted_route_list"][0]["name"], "r-2");
  EXPECT_EQ(stageRecord()["added_route_list"], ResourceDocument({kName200}));
  EXPECT_EQ(transport->pending(), 0u);
}

TEST_F(Routes, RouteThatFailsToDeleteStaysRecorded) {
  ResourceDocument route = existingRoute("r-1", "10.9.0.0/16");
  transport->reply(route).reply({{"name", "op-d"}, {"status", "PENDING"}});
  transport->reply(
      {{"name", "op-d"}, {"status", "DONE"}, {"error", {{"errors", {{{"code", "X"}}}}}}});
  GcpLib::manageRoute(service, {{"delete", {"r-1"}}}, "stage-1");
  EXPECT_EQ(log.lines().back(), R"(  **Error** {"errors":[{"code":"X"}]})");
  EXPECT_EQ(stageRecord()["deleted_route_list"], ResourceDocument({route}));
}

TEST_F(Routes, RefusedCreationIsTakenOutButAnUnansweredOneStays) {
  transport->reply(instance("gw-1")).replyError(400, "invalid", "bad priority");
  transport->reply(instance("gw-1")).reply({{"name", "op-2"}, {"status", "PENDING"}});
  transport->reply({{"name", "op-2"}, {"status", "DONE"}, {"error", {{"errors", {1}}}}});
  transport->reply(instance("gw-1")).replyError(503, "backendError", "try again");
  transport->replyError(503, "backendError", "try again");
  transport->reply(instance("gw-1")).replyError(409, "alreadyExists", "exists");
  transport->reply(instance("gw-1")).replyError(409, "alreadyExists", "exists");
  transport->reply(instance("gw-1")).dropConnection().replyError(429, "rateLimitExceeded", "slow");
  transport->reply(instance("gw-1")).dropConnection().dropConnection();
  ResourceDocument config = {
      {"add",
       {entry(1, "refused"), entry(2, "failed-operation"), entry(3, "server-error"),
        entry(5, "ours"), entry(6, "foreign"), entry(7, "lost-then-429"), entry(4, "unanswered")}}};
  // Two tries per request at most: a lost answer, then a refusal that ends the tries.
  RetryPolicy twice = RetryPolicy::standard();
  twice.totalLimit = twice.initialBackoff;
  twice.sleep = [](std::chrono::milliseconds) {};
  twice.random = [] { return 0.0; };

  ComputeService retrying(transport, service.endpoint(), nullptr, twice);

  GcpLib::manageRoute(retrying, config, "stage-1");

  // Each name was on disk before its insert went out, and taken out again only when the API said
  // it did not create the route.
  EXPECT_EQ(savedBefore(1)["manage_routes"]["stage-1"]["proj-1::spoke-a"]["added_route_list"],
            ResourceDocument({"refused"}));
  EXPECT_EQ(savedBefore(3)["manage_routes"]["stage-1"]["proj-1::spoke-a"]["added_route_list"],
            ResourceDocument({"failed-operation"}));
  EXPECT_EQ(stageRecord()["added_route_list"],
            ResourceDocument({"server-error", "lost-then-429", "unanswered"}));
  EXPECT_EQ(saves.back()["record"]["manage_routes"]["stage-1"]["proj-1::spoke-a"], stageRecord());
  EXPECT_EQ(log.lines().back(), "  **Error** connection reset by peer");
}

TEST_F(Routes, AnOperationPastItsDeadlineStopsTheStageWithItsChangeRecorded) {
  Globals::operationTimeout = std::chrono::seconds(0);
  transport->reply(existingRoute("r-1", "10.1.0.0/16"))
      .reply({{"name", "op-d"}, {"status", "PENDING"}})
      .reply({{"status", "RUNNING"}});
  EXPECT_THROW(GcpLib::manageRoute(service, {{"delete", {"r-1", "r-2"}}}, "stage-1"),
               OperationTimeoutError);
  EXPECT_EQ(stageRecord()["deleted_route_list"][0]["name"], "r-1");
}

TEST_F(Routes, FailureToSaveTheRecordStopsBeforeTheChangeItWouldCover) {
  transport->reply(existingRoute("r-1", "10.1.0.0/16"));
  change("op-d");
  transport->reply(existingRoute("r-2", "10.2.0.0/16"));
  int calls = 0;
  Globals::setRevertInfoSaver([&](const ResourceDocument& record) {
    if (++calls == 3) throw ConfigError("revert file: disk full");
    saves.push_back(record);
  });

  EXPECT_THROW(GcpLib::manageRoute(service, {{"delete", {"r-1", "r-2"}}}, "stage-1"), ConfigError);

  EXPECT_EQ(transport->texts(), (Lines{
                                    "GET projects/proj-1/global/routes/r-1",
                                    "DELETE projects/proj-1/global/routes/r-1",
                                    "POST projects/proj-1/global/operations/op-d/wait",
                                    "GET projects/proj-1/global/routes/r-2",
                                }));
  EXPECT_EQ(
      saves.back()["manage_routes"]["stage-1"]["proj-1::spoke-a"]["deleted_route_list"][0]["name"],
      "r-1");
}

TEST_F(Routes, MalformedStageIsRefusedBeforeAnyRequest) {
  for (const ResourceDocument& config :
       {ResourceDocument{{"delete", "r-1"}}, ResourceDocument{{"add", nullptr}},
        ResourceDocument{{"add", {{"cidr", "10.0.0.0/8"}}}}, ResourceDocument::array({"r-1"})}) {
    EXPECT_THROW(GcpLib::manageRoute(service, config, "stage-1"), ConfigError) << config.dump();
  }
  try {
    GcpLib::manageRoute(service, {{"delete", {"r-1"}}, {"add", "x"}}, "stage-1");
    ADD_FAILURE() << "a text under \"add\" was accepted";
  } catch (const ConfigError& failure) {
    EXPECT_STREQ(failure.what(),
                 "route configuration of stage 'stage-1': \"add\" must be a list, got string");
  }
  EXPECT_TRUE(transport->requests.empty());
  EXPECT_EQ(Globals::getRevertInfo(), Globals::emptyRevertInfo());
}

TEST_F(Routes, ReRunKeepsTheEarlierWayBackForRoutesItCannotChangeAgain) {
  ResourceDocument r1 = existingRoute("r-1", "10.1.0.0/16");
  ResourceDocument dropped = existingRoute("r-unlisted", "10.7.0.0/16");
  stageRecord() = {{"deleted_route_list", {dropped, r1}},
                   {"added_route_list", {"tvn-unlisted", kName200}}};
  // r-1 is gone (the earlier run deleted it), the route to create is in place: nothing is sent.
  transport->replyError(404, "notFound", "The resource 'r-1' was not found");
  transport->reply(instance("gw-1")).reply(ResourceDocument::parse(createdBody(200, kName200)));

  GcpLib::manageRoute(service, {{"delete", {"r-1"}}, {"add", {entry(200, nullptr)}}}, "stage-1");
  EXPECT_EQ(transport->requests.size(), 3u);
  EXPECT_EQ(log.lines().back(), "  route " + kName200 + " is in place already, as recorded");

  ResourceDocument expected = {{"deleted_route_list", {r1}}, {"added_route_list", {kName200}}};
  EXPECT_EQ(stageRecord(), expected);
  // Entries the configuration no longer names are replaced, as every new run replaces its stage.
  EXPECT_EQ(saves.front()["record"]["manage_routes"]["stage-1"]["proj-1::spoke-a"], expected);
}

TEST_F(Routes, ReRunAfterARestoreRecordsTheFreshDocument) {
  ResourceDocument earlier = existingRoute("r-1", "10.1.0.0/16");
  stageRecord() = {{"deleted_route_list", {earlier}},
                   {"added_route_list", ResourceDocument::array()}};
  ResourceDocument fresh = earlier;
  fresh["id"] = "4712";
  transport->reply(fresh);
  change("op-d");
  GcpLib::manageRoute(service, {{"delete", {"r-1"}}}, "stage-1");
  EXPECT_EQ(stageRecord()["deleted_route_list"], ResourceDocument({fresh}));
}

// --- restoreRoute ---

TEST_F(Routes, RestoreWithoutRecordOnlyLogs) {
  GcpLib::restoreRoute(service, "stage-1");
  Globals::getRevertInfo()["manage_routes"]["stage-1"] = {{"other::net", {}}};
  GcpLib::restoreRoute(service, "stage-1");
  stageRecord() = {{"deleted_route_list", ResourceDocument::array()},
                   {"added_route_list", ResourceDocument::array()}};
  GcpLib::restoreRoute(service, "stage-1");
  EXPECT_EQ(log.lines(),
            (Lines{"- Restore route(s) stage-1", "  Done", "- Restore route(s) stage-1", "  Done",
                   "- Restore route(s) stage-1", "  Done"}));
  EXPECT_TRUE(transport->requests.empty());
}

TEST_F(Routes, RestoreRemovesCreatedRoutesThenRecreatesDeletedOnes) {
  ResourceDocument ilb = existingRoute("r-ilb", "10.5.0.0/16");
  ilb["nextHopIlb"] = kApi + "regions/us-central1/forwardingRules/fr-1";
  ResourceDocument plain = existingRoute("r-ip", "10.6.0.0/16");
  stageRecord() = {{"deleted_route_list", {ilb, plain}},
                   {"added_route_list", {"tvn-gone", "tvn-here", "foreign"}}};
  ResourceDocument created = existingRoute("tvn-here", "10.1.0.0/16");
  created["description"] = kMarker;
  transport->replyError(404, "notFound", "The resource 'tvn-gone' was not found");
  transport->reply(created);
  change("op-1");
  transport->reply(existingRoute("foreign", "10.1.0.0/16"));
  change("op-2");
  change("op-3");

  GcpLib::restoreRoute(service, "stage-1");

  EXPECT_EQ(log.lines(),
            (Lines{
                "- Restore route(s) stage-1",
                "  remove route tvn-gone",
                "  **Alert** HTTP 404 notFound: The resource 'tvn-gone' was not found [GET "
                "http://emulator/compute/v1/projects/proj-1/global/routes/tvn-gone]",
                "  remove route tvn-here",
                "  remove route foreign",
                "  **Alert** route foreign does not carry this tool's description: left in place",
                "  restore route 10.5.0.0/16",
                "  restore route 10.6.0.0/16",
                "  Done",
            }));
  EXPECT_EQ(log.entries()[2].level, log4cplus::INFO_LOG_LEVEL);
  ResourceDocument ilbSent = ilb;
  ilbSent.erase("nextHopIp");
  EXPECT_EQ(transport->texts(), (Lines{
                                    "GET projects/proj-1/global/routes/tvn-gone",
                                    "GET projects/proj-1/global/routes/tvn-here",
                                    "DELETE projects/proj-1/global/routes/tvn-here",
                                    "POST projects/proj-1/global/operations/op-1/wait",
                                    "GET projects/proj-1/global/routes/foreign",
                                    "POST projects/proj-1/global/routes " + ilbSent.dump(),
                                    "POST projects/proj-1/global/operations/op-2/wait",
                                    "POST projects/proj-1/global/routes " + plain.dump(),
                                    "POST projects/proj-1/global/operations/op-3/wait",
                                }));
  EXPECT_EQ(stageRecord()["deleted_route_list"], ResourceDocument({ilbSent, plain}));
  EXPECT_EQ(Globals::failedRestores, 0);  // tvn-gone is gone already
  EXPECT_EQ(saves.back()["record"]["manage_routes"]["stage-1"]["proj-1::spoke-a"], stageRecord());
}

TEST_F(Routes, RestoreCountsTheStepsThatLeaveARouteUnrestored) {
  ResourceDocument refused = existingRoute("r-a", "10.5.0.0/16");
  ResourceDocument back = existingRoute("r-b", "10.6.0.0/16");
  ResourceDocument differs = existingRoute("r-c", "10.7.0.0/16");
  stageRecord() = {{"deleted_route_list", {refused, back, differs}},
                   {"added_route_list", ResourceDocument::array()}};
  ResourceDocument backAnew = back, other = differs;
  backAnew["id"] = "4712";
  other["priority"] = 100;
  transport->replyError(403, "quotaExceeded", "quota").replyError(404, "notFound", "gone");
  transport->replyError(409, "alreadyExists", "exists").reply(backAnew);
  transport->replyError(409, "alreadyExists", "exists").reply(other);
  GcpLib::restoreRoute(service, "stage-1");
  EXPECT_EQ(Globals::failedRestores, 2);  // r-b is back as recorded: an earlier restore made it
}

TEST_F(Routes, RestoreDryRunOnlyLogs) {
  Globals::setDryRun(true);
  ResourceDocument ilb = existingRoute("r-ilb", "10.5.0.0/16");
  ilb["nextHopIlb"] = "10.0.0.1";
  stageRecord() = {{"deleted_route_list", {ilb}}, {"added_route_list", {"tvn-1"}}};
  ResourceDocument before = Globals::getRevertInfo();
  GcpLib::restoreRoute(service, "stage-1");
  EXPECT_EQ(log.lines(), (Lines{"- Restore route(s) stage-1", "  remove route tvn-1",
                                "  restore route 10.5.0.0/16", "  Done"}));
  EXPECT_TRUE(transport->requests.empty());
  EXPECT_EQ(Globals::getRevertInfo(), before);
}

TEST_F(Routes, RestoreOfAnIncompleteRecordFailsBeforeAnyRequest) {
  stageRecord() = {{"deleted_route_list", ResourceDocument::array()}};
  EXPECT_THROW(GcpLib::restoreRoute(service, "stage-1"), MissingKeyError);
  Globals::getRevertInfo().erase("manage_routes");
  EXPECT_THROW(GcpLib::restoreRoute(service, "stage-1"), MissingKeyError);
  EXPECT_TRUE(transport->requests.empty());
}

// --- manageSwitchRoute ---

TEST_F(Routes, SwitchHandsTheListedStageToTheRightOperation) {
  Globals::service =
      std::make_shared<ComputeService>(transport, "http://emulator/compute/v1/", nullptr);
  ResourceDocument config = {
      {"project_id", "proj-1"},
      {"vpc_name", "spoke-a"},
      {"manage_routes", {{"stage-1", {{"delete", {"r-1"}}}}, {"stage-2", nullptr}}}};
  YamlContext::setContext(config);

  GcpLib::manageSwitchRoute(true, "stage-9");
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(Globals::getRevertInfo(), Globals::emptyRevertInfo());

  GcpLib::manageSwitchRoute(true, "stage-2");
  EXPECT_EQ(log.lines(), (Lines{"- Manage route(s) stage-2", "  No route config found!"}));

  transport->reply(existingRoute("r-1", "10.1.0.0/16"));
  change("op-d");
  GcpLib::manageSwitchRoute(true, "stage-1");
  EXPECT_EQ(transport->requests.size(), 3u);

  // A stage no longer listed is still restored from its record.
  config["manage_routes"].erase("stage-1");
  YamlContext::setContext(config);
  change("op-r");
  log.clear();
  GcpLib::manageSwitchRoute(false, "stage-1");
  EXPECT_EQ(log.lines(),
            (Lines{"- Restore route(s) stage-1", "  restore route 10.1.0.0/16", "  Done"}));
  EXPECT_EQ(transport->requests[3].method, "POST");
  EXPECT_EQ(transport->pending(), 0u);
}

TEST_F(Routes, SwitchWithoutRouteSectionDoesNothingEitherWay) {
  stageRecord() = {{"deleted_route_list", ResourceDocument::array()},
                   {"added_route_list", {"tvn-1"}}};
  GcpLib::manageSwitchRoute(true, "stage-1");
  GcpLib::manageSwitchRoute(false, "stage-1");
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(transport->requests.empty());

  YamlContext::setContext({{"project_id", "proj-1"},
                           {"vpc_name", "spoke-a"},
                           {"manage_routes", ResourceDocument::object()}});
  EXPECT_THROW(GcpLib::manageSwitchRoute(false, "stage-1"), Error);  // no handle set
  YamlContext::setContext({{"manage_routes", {"stage-1"}}});
  EXPECT_THROW(GcpLib::manageSwitchRoute(true, "stage-1"), ConfigError);
}

// --- against the emulator of the example estate ---

class RoutesOnEmulator : public ::testing::Test {
 protected:
  void SetUp() override {
    Globals::reset();
    YamlContext::load(TOLMI_SOURCE_DIR "/examples/migration.yaml");
    Globals::networkLink =
        "https://www.googleapis.com/compute/v1/projects/app-spoke-prod/global/networks/spoke-1";
    Globals::service =
        std::make_shared<ComputeService>(std::make_shared<emulator::InProcessTransport>(estate),
                                         "http://emulator/compute/v1/", nullptr);
    GcpLib::sleeper() = [] {};
  }
  void TearDown() override { Globals::reset(); }

  // The spoke project's routes, without what the API gives anew to every inserted route.
  ResourceDocument routes() const {
    ResourceDocument out = estate->state()["projects"]["app-spoke-prod"]["routes"];
    for (ResourceDocument& route : out) {
      route.erase("id");
      route.erase("creationTimestamp");
    }
    return out;
  }

  // Runs a stage as a process that dies at its record save number `death`: before that save
  // reached disk, or (`afterSave`) right after it, before the change it covers was sent. Returns
  // what was on disk.
  ResourceDocument runUntilKilled(const std::string& stage, int death, bool afterSave) {
    ResourceDocument onDisk = Globals::emptyRevertInfo();
    int saves = 0;
    Globals::setRevertInfoSaver([&](const ResourceDocument& record) {
      bool dies = ++saves == death;
      if (dies && !afterSave) throw std::runtime_error("killed");
      onDisk = record;
      if (dies) throw std::runtime_error("killed");
    });
    ResourceDocument config = YamlContext{}.getContext("manage_routes")[stage];
    EXPECT_THROW(GcpLib::manageRoute(*Globals::service, config, stage), std::runtime_error);
    Globals::setRevertInfoSaver(nullptr);
    return onDisk;
  }

  std::shared_ptr<emulator::Emulator> estate = std::make_shared<emulator::Emulator>(
      emulator::Emulator::loadTopology(TOLMI_SOURCE_DIR "/examples/demo-topology.yaml"));
  testing::LogCapture log;
};

TEST_F(RoutesOnEmulator, AKillAtAnyPointOfAStageIsUndoneFromTheRecordOnDisk) {
  ResourceDocument before = routes();
  // stage-2 saves its record five times: at the start, then before each of its four changes.
  for (bool afterSave : {false, true}) {
    for (int death = 1; death <= 5; ++death) {
      Globals::getRevertInfo() = runUntilKilled("stage-2", death, afterSave);
      GcpLib::restoreRoute(*Globals::service, "stage-2");
      EXPECT_EQ(routes(), before) << "killed at save " << death << (afterSave ? " after" : "");
      Globals::getRevertInfo() = Globals::emptyRevertInfo();
    }
  }
}

TEST_F(RoutesOnEmulator, ReRunAfterAKillKeepsTheWayBackToWhatTheFirstRunDeleted) {
  ResourceDocument before = routes();
  // Killed after its first deletion, then run again to the end.
  Globals::getRevertInfo() = runUntilKilled("stage-2", 3, false);
  GcpLib::manageSwitchRoute(true, "stage-2");
  for (const auto& entry : log.entries()) EXPECT_NE(entry.level, log4cplus::ERROR_LOG_LEVEL);
  ResourceDocument record = Globals::getRevertInfo()["manage_routes"]["stage-2"];
  EXPECT_EQ(record["app-spoke-prod::spoke-1"]["deleted_route_list"].size(), 2u);

  GcpLib::manageSwitchRoute(false, "stage-2");
  EXPECT_EQ(routes(), before);
}

TEST_F(RoutesOnEmulator, LoadBalancerRouteComesBackAndASecondRestoreOnlyAlerts) {
  // The emulator knows no forwarding rules, so it cannot report the address of a re-created
  // load-balancer next hop; everything else must come back as it was.
  auto withoutAddress = [](ResourceDocument routes) {
    for (ResourceDocument& route : routes)
      if (has(route, "nextHopIlb")) route.erase("nextHopIp");
    return routes;
  };
  ResourceDocument before = withoutAddress(routes());
  GcpLib::manageRoute(*Globals::service, {{"delete", {"shared-svc-via-ilb"}}}, "ilb");
  EXPECT_EQ(routes().size(), before.size() - 1);

  GcpLib::restoreRoute(*Globals::service, "ilb");
  EXPECT_EQ(routes(), before);
  log.clear();
  GcpLib::restoreRoute(*Globals::service, "ilb");
  EXPECT_EQ(log.lines(),
            (Lines{"- Restore route(s) ilb", "  restore route 192.168.50.0/24",
                   "  **Alert** HTTP 409 alreadyExists: The resource "
                   "'projects/app-spoke-prod/global/routes/shared-svc-via-ilb' already exists "
                   "[POST http://emulator/compute/v1/projects/app-spoke-prod/global/routes]",
                   "  Done"}));
  EXPECT_EQ(routes(), before);
  EXPECT_EQ(Globals::failedRestores, 0);
}

}  // namespace
}  // namespace tolmi_gcp
