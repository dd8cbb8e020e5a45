#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "emulator/emulator.hpp"
#include "fake_transport.hpp"
#include "log_capture.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

using ::testing::ElementsAre;
using testing::FakeTransport;
using ::testing::HasSubstr;
using testing::LogCapture;
using ::testing::StartsWith;
using Lines = std::vector<std::string>;

// Runs `call` and returns what it wrote to standard error: the traces of the failures it reported.
template <typename Call>
std::string stderrOf(Call call) {
  ::testing::internal::CaptureStderr();
  call();
  return ::testing::internal::GetCapturedStderr();
}

const std::string kApi = "https://www.googleapis.com/compute/v1/projects/";
// A router patch's operation, finished: the answer to its regionOperations.wait.
const ResourceDocument kDone = {{"status", "DONE"}};

ResourceDocument routerDoc(const std::string& name, const std::string& network,
                           const ResourceDocument& bgp, const std::string& region = "us-east1") {
  return {{"kind", "compute#router"},
          {"name", name},
          {"region", kApi + "hub-proj/regions/" + region},
          {"network", kApi + "hub-proj/global/networks/" + network},
          {"bgp", bgp}};
}

ResourceDocument customBgp(ResourceDocument ranges, ResourceDocument groups) {
  ResourceDocument bgp = {{"asn", 64512}, {"advertiseMode", "CUSTOM"}};
  if (!ranges.is_null()) bgp["advertisedIpRanges"] = std::move(ranges);
  if (!groups.is_null()) bgp["advertisedGroups"] = std::move(groups);
  return bgp;
}

const char* kHubHead = R"(
project_id: spoke-proj
vpc_name: spoke-1
transit_vpcs:
  - vpc_name: hub-proj::hub
    cloud_routers:
)";

class CloudRouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Globals::reset();
    YamlContext::setContext(nullptr);
  }
  void TearDown() override { Globals::reset(); }

  static void configure(const std::string& yaml) {
    YamlContext::setContext(parseYamlText(yaml, "migration.yaml"));
  }
  Lines errorLines() const {
    Lines errors;
    for (const auto& entry : log.entries())
      if (entry.level == log4cplus::ERROR_LOG_LEVEL) errors.push_back(entry.message);
    return errors;
  }
  // The spoke spoke-proj::spoke-1 with one transit network hub-proj::hub holding `routers`
  // (YAML sequence items indented by six blanks), then `more` transit entries.
  static void configureHub(const std::string& routers, const std::string& more = "") {
    configure(std::string(kHubHead) + routers + more);
  }
  static ResourceDocument& cloudRouters() { return Globals::getRevertInfo()["cloud_routers"]; }

  std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
  ComputeService service{transport, "http://emulator/compute/v1/", nullptr};
  LogCapture log;
};

// --- manageCloudRouterAdvertisedRoutePerVpc ---

const char* kExampleRouter = R"(      - region: us-east1
        router_name: r1
        remove_advertised_routes: [10.0.0.0/8]
        add_advertised_routes: [192.168.0.0/16]
        remove_advertised_groups: [ALL_SUBNETS]
)";

TEST_F(CloudRouterTest, ManageRecordsBeforePatchingAndDryRunLeavesTheSameRecord) {
  ResourceDocument bgp = {{"asn", 64512},
                          {"advertiseMode", "CUSTOM"},
                          {"advertisedGroups", {"ALL_SUBNETS"}},
                          {"advertisedIpRanges", {{{"range", "10.0.0.0/8"}, {"description", "x"}}}},
                          {"keepaliveInterval", 20}};
  const Lines expectedLines = {
      "- Manage cloud router route(s)",
      "  delete 10.0.0.0/8 in r1 from hub-proj::hub us-east1",
      "  add 192.168.0.0/16 to r1 from hub-proj::hub us-east1",
      "  delete ALL_SUBNETS in r1 from hub-proj::hub us-east1",
  };
  ResourceDocument realRecord;
  for (bool dryRun : {false, true}) {
    SCOPED_TRACE(dryRun ? "dry run" : "real run");
    Globals::reset();
    Globals::setDryRun(dryRun);
    configureHub(kExampleRouter);
    transport->requests.clear();
    log.clear();
    std::vector<std::size_t> requestsAtSave;
    Globals::setRevertInfoSaver(
        [&](const ResourceDocument&) { requestsAtSave.push_back(transport->requests.size()); });
    transport->reply(routerDoc("r1", "hub", bgp));
    if (!dryRun) transport->reply({{"kind", "compute#operation"}, {"name", "op-1"}}).reply(kDone);

    GcpLib::manageCloudRouterAdvertisedRoutePerVpc(service);

    Lines requests = {"GET projects/hub-proj/regions/us-east1/routers/r1"};
    if (!dryRun)
      requests.insert(requests.end(),
                      {"PATCH projects/hub-proj/regions/us-east1/routers/r1 "
                       R"({"bgp":{"advertisedIpRanges":[{"range":"192.168.0.0/16",)"
                       R"("description":"tessavon-migration-added"}],"advertisedGroups":[]}})",
                       "POST projects/hub-proj/regions/us-east1/operations/op-1/wait"});
    EXPECT_EQ(transport->texts(), requests);
    EXPECT_EQ(log.lines(), expectedLines);
    for (const auto& entry : log.entries()) EXPECT_EQ(entry.level, log4cplus::INFO_LOG_LEVEL);
    // Saved once, after the read and before the patch.
    EXPECT_EQ(requestsAtSave, std::vector<std::size_t>{1});
    EXPECT_EQ(cloudRouters(),
              ResourceDocument({{"spoke-proj::spoke-1", {{"hub-proj::hub::us-east1::r1", bgp}}}}));
    if (dryRun) {
      EXPECT_EQ(Globals::getRevertInfo(), realRecord);
    }
    realRecord = Globals::getRevertInfo();
  }
}

TEST_F(CloudRouterTest, ManageRerunKeepsTheEntryThatLeadsBack) {
  configureHub(kExampleRouter);
  ResourceDocument before =
      customBgp({{{"range", "10.0.0.0/8"}, {"description", "x"}}}, {"ALL_SUBNETS"});
  ResourceDocument migrated =
      customBgp({{{"range", "192.168.0.0/16"}, {"description", "tessavon-migration-added"}}},
                ResourceDocument::array());
  ResourceDocument reverted = before;
  reverted["advertisedIpRanges"][0]["description"] = "changed since";
  for (const auto& [state, recorded] :
       {std::pair{before, before}, std::pair{migrated, before}, std::pair{reverted, reverted}}) {
    transport->reply(routerDoc("r1", "hub", state));
    if (state != migrated) transport->reply({{"name", "op"}}).reply(kDone);
    GcpLib::manageCloudRouterAdvertisedRoutePerVpc(service);
    EXPECT_EQ(cloudRouters()["spoke-proj::spoke-1"]["hub-proj::hub::us-east1::r1"], recorded);
  }
  // The re-run that finds its change in place has nothing left to patch.
  EXPECT_EQ(transport->requests.size(), 7u);
}

TEST_F(CloudRouterTest, ManageLogsOnlyForTransitEntriesWithoutRouters) {
  configure("{project_id: p, vpc_name: s, transit_vpcs: []}");
  GcpLib::manageCloudRouterAdvertisedRoutePerVpc(service);
  EXPECT_EQ(log.lines(), Lines{"- Manage cloud router route(s)"});

  log.clear();
  configure(
      "{project_id: p, vpc_name: s, transit_vpcs: [{vpc_name: 'h::hub'}, {vpc_name: 'h::b'}]}");
  GcpLib::manageCloudRouterAdvertisedRoutePerVpc(service);
  EXPECT_EQ(log.lines(), (Lines{"- Manage cloud router route(s)", "  No cloud router found",
                                "  No cloud router found"}));
  EXPECT_TRUE(transport->requests.empty());
  EXPECT_EQ(cloudRouters(), ResourceDocument::object());
}

TEST_F(CloudRouterTest, ManageLeavesRoutersAloneThatNeedNoChange) {
  // r3 is in DEFAULT mode and has no "add_advertised_routes": reading it would fail the router.
  configureHub(R"(      - {region: us-east1, router_name: r1, add_advertised_routes: [10.9.0.0/16]}
      - region: us-east1
        router_name: r2
        remove_advertised_routes: [10.5.0.0/16]
        add_advertised_routes: []
        remove_advertised_groups: []
      - {region: us-east1, router_name: r3}
)");
  transport->reply(routerDoc("r1", "other-net", customBgp(nullptr, nullptr)))
      .reply(routerDoc("r2", "hub",
                       customBgp({{{"range", "10.4.0.0/16"}}}, ResourceDocument{"ALL_SUBNETS"})))
      .reply(routerDoc("r3", "hub", {{"asn", 64512}, {"advertiseMode", "DEFAULT"}}));

  GcpLib::manageCloudRouterAdvertisedRoutePerVpc(service);

  EXPECT_EQ(transport->texts(), (Lines{"GET projects/hub-proj/regions/us-east1/routers/r1",
                                       "GET projects/hub-proj/regions/us-east1/routers/r2",
                                       "GET projects/hub-proj/regions/us-east1/routers/r3"}));
  EXPECT_EQ(log.lines(),
            (Lines{"- Manage cloud router route(s)", "  r1 not found in hub-proj::hub us-east1",
                   "  r3 in hub-proj::hub us-east1 is in DEFAULT advertize mode, cannot customize "
                   "route"}));
  EXPECT_EQ(cloudRouters(), ResourceDocument::object());
}

TEST_F(CloudRouterTest, ManageRemovesRangesByCanonicalNetworkAndAddsThemVerbatim) {
  configure(R"(
project_id: spoke-proj
vpc_name: spoke-1
transit_vpcs:
  - vpc_name: hub-proj::hub::ignored
    cloud_routers:
      - region: us-east1
        router_name: r1
        remove_advertised_routes: [10.1.1.1/32, 10.2.0.0/16, 0.0.0.0/0]
        add_advertised_routes: [172.16.0.1/12]
      - region: us-west1
        router_name: r2
        remove_advertised_routes: [10.1.1.1, 10.2.0.0/255.255.0.0]
        add_advertised_routes: []
)");
  ResourceDocument ranges = {{{"range", "10.1.1.1"}, {"description", "host"}},
                             {{"range", "10.2.0.0/16"}},
                             {{"range", "10.3.0.0/16"}, {"description", "kept"}},
                             {{"range", "0.0.0.0/0"}}};
  transport->reply(routerDoc("r1", "hub", customBgp(ranges, nullptr)))
      .reply({{"name", "op-1"}})
      .reply(kDone)
      .reply(routerDoc("r2", "hub", customBgp(ranges, nullptr), "us-west1"));

  GcpLib::manageCloudRouterAdvertisedRoutePerVpc(service);

  // Additions are sent as configured, even when not a network; ranges kept as read, in order.
  EXPECT_EQ(transport->texts(),
            (Lines{"GET projects/hub-proj/regions/us-east1/routers/r1",
                   "PATCH projects/hub-proj/regions/us-east1/routers/r1 "
                   R"({"bgp":{"advertisedIpRanges":[{"range":"10.3.0.0/16","description":"kept"},)"
                   R"({"range":"172.16.0.1/12","description":"tessavon-migration-added"}]}})",
                   "POST projects/hub-proj/regions/us-east1/operations/op-1/wait",
                   "GET projects/hub-proj/regions/us-west1/routers/r2"}));
  EXPECT_EQ(log.lines(), (Lines{"- Manage cloud router route(s)",
                                "  delete 10.1.1.1 in r1 from hub-proj::hub us-east1",
                                "  delete 10.2.0.0/16 in r1 from hub-proj::hub us-east1",
                                "  delete 0.0.0.0/0 in r1 from hub-proj::hub us-east1",
                                "  add 172.16.0.1/12 to r1 from hub-proj::hub us-east1"}));
  // The third "::" item of the transit name takes no part in the key.
  EXPECT_EQ(cloudRouters()["spoke-proj::spoke-1"].size(), 1u);
  EXPECT_TRUE(cloudRouters()["spoke-proj::spoke-1"].contains("hub-proj::hub::us-east1::r1"));
}

TEST_F(CloudRouterTest, ManageBuildsListsOnlyForWhatTheRouterHas) {
  // No "remove_advertised_groups" anywhere: only a router with groups may read it.
  configureHub(R"(      - {region: us-east1, router_name: r1, add_advertised_routes: [10.8.0.0/16]}
      - {region: us-east1, router_name: r2, add_advertised_routes: [10.8.0.0/16]}
)");
  transport->reply(routerDoc("r1", "hub", customBgp(nullptr, nullptr)))
      .reply({{"name", "op-1"}})
      .reply(kDone)
      .reply(routerDoc("r2", "hub", customBgp(nullptr, {"ALL_SUBNETS"})));
  std::string trace = stderrOf([&] { GcpLib::manageCloudRouterAdvertisedRoutePerVpc(service); });

  EXPECT_EQ(transport->requests.at(1).json(),
            ResourceDocument::parse(
                R"({"bgp":{"advertisedIpRanges":[)"
                R"({"range":"10.8.0.0/16","description":"tessavon-migration-added"}]}})"));
  EXPECT_EQ(transport->requests.size(), 4u);
  EXPECT_EQ(log.lines().back(), "**Error** missing key 'remove_advertised_groups'");
  EXPECT_EQ(log.entries().back().level, log4cplus::ERROR_LOG_LEVEL);
  EXPECT_THAT(trace, HasSubstr("MissingKeyError: missing key 'remove_advertised_groups'"));
  // r2 failed before its record entry: only r1 is recorded.
  EXPECT_EQ(cloudRouters()["spoke-proj::spoke-1"].size(), 1u);
}

TEST_F(CloudRouterTest, ManageReportsAFailingRouterAndGoesOnWithTheNext) {
  configureHub(R"(      - {region: us-east1, router_name: gone, add_advertised_routes: []}
      - {region: us-east1, router_name: r1, remove_advertised_routes: [], add_advertised_routes: []}
      - {region: us-east1, router_name: r2, add_advertised_routes: [10.8.0.0/16]}
      - {region: us-east1, router_name: r4, add_advertised_routes: [10.8.0.0/16]}
  - vpc_name: hub-proj::hub2
    cloud_routers:
      - {region: us-east1, router_name: r3, add_advertised_routes: [10.9.0.0/16]}
)");
  ResourceDocument r3Bgp = customBgp(nullptr, nullptr);
  transport
      ->replyError(404, "notFound",
                   "The resource 'projects/hub-proj/regions/us-east1/routers/gone' was not found")
      .reply(routerDoc("r1", "hub", customBgp({{{"range", "10.0.0.1/24"}}}, nullptr)))
      .reply(routerDoc("r2", "hub", customBgp(nullptr, nullptr)))
      .replyError(503, "backendError", "try later")
      .reply(routerDoc("r4", "hub", customBgp(nullptr, nullptr)))
      .reply({{"name", "op-4"}})
      .reply({{"status", "DONE"}, {"error", {{"errors", {{{"code", "QUOTA_EXCEEDED"}}}}}}})
      .reply(routerDoc("r3", "hub2", r3Bgp))
      .reply({{"name", "op-3"}})
      .reply(kDone);
  std::string trace = stderrOf([&] { GcpLib::manageCloudRouterAdvertisedRoutePerVpc(service); });

  EXPECT_THAT(errorLines(),
              ElementsAre(StartsWith("**Error** HTTP 404 notFound: The resource"),
                          "**Error** advertised range '10.0.0.1/24' has host bits set",
                          StartsWith("**Error** HTTP 503 backendError: try later"),
                          R"(**Error** {"errors":[{"code":"QUOTA_EXCEEDED"}]})"));
  EXPECT_EQ(transport->requests.size(), 10u);
  EXPECT_EQ(transport->requests[6].path, "projects/hub-proj/regions/us-east1/operations/op-4/wait");
  EXPECT_EQ(transport->requests.back().path,
            "projects/hub-proj/regions/us-east1/operations/op-3/wait");
  EXPECT_THAT(trace, HasSubstr("HttpError: HTTP 404 notFound"));
  EXPECT_THAT(trace, HasSubstr("has host bits set"));
  // The failed patch keeps its record entry: the change may have been made.
  EXPECT_TRUE(cloudRouters()["spoke-proj::spoke-1"].contains("hub-proj::hub::us-east1::r2"));
  EXPECT_EQ(cloudRouters()["spoke-proj::spoke-1"]["hub-proj::hub2::us-east1::r3"], r3Bgp);
}

TEST_F(CloudRouterTest, ManageSendsNoPatchThatIsNotRecorded) {
  configureHub(R"(      - {region: us-east1, router_name: r1, add_advertised_routes: [10.8.0.0/16]}
)");
  transport->reply(routerDoc("r1", "hub", customBgp(nullptr, nullptr)));
  Globals::setRevertInfoSaver([](const ResourceDocument&) { throw ConfigError("disk full"); });
  stderrOf([&] { GcpLib::manageCloudRouterAdvertisedRoutePerVpc(service); });

  transport->reply(routerDoc("r1", "hub", customBgp(nullptr, nullptr)));
  Globals::setRevertInfoSaver(nullptr);
  cloudRouters() = ResourceDocument::array();
  stderrOf([&] { GcpLib::manageCloudRouterAdvertisedRoutePerVpc(service); });

  EXPECT_EQ(transport->texts(), (Lines{"GET projects/hub-proj/regions/us-east1/routers/r1",
                                       "GET projects/hub-proj/regions/us-east1/routers/r1"}));
  EXPECT_EQ(log.lines()[2], "**Error** disk full");
  EXPECT_EQ(log.lines()[5].substr(0, 34), "**Error** argument 'cloud_routers'");
}

TEST_F(CloudRouterTest, ManageStopsOnConfigurationFaultsKeepingEarlierWork) {
  const std::string router =
      "      - {region: us-east1, router_name: r1, add_advertised_routes: [10.8.0.0/16]}\n";
  for (std::string tail :
       {"  - vpc_name: hub-proj\n", "  - {vpc_name: 'a::b', cloud_routers: [{}]}\n",
        "  - {vpc_name: 'a::b', cloud_routers: {}}\n"}) {
    SCOPED_TRACE(tail);
    Globals::reset();
    transport->requests.clear();
    configureHub(router, tail);
    transport->reply(routerDoc("r1", "hub", customBgp(nullptr, nullptr)))
        .reply({{"name", "op"}})
        .reply(kDone);
    EXPECT_THROW(GcpLib::manageCloudRouterAdvertisedRoutePerVpc(service), Error);
    EXPECT_EQ(transport->requests.size(), 3u);
    EXPECT_TRUE(cloudRouters()["spoke-proj::spoke-1"].contains("hub-proj::hub::us-east1::r1"));
  }
  configure("{project_id: p, transit_vpcs: []}");
  EXPECT_THROW(GcpLib::manageCloudRouterAdvertisedRoutePerVpc(service), ArgumentTypeError);
}

// --- restoreCloudRouterAdvertisedRoutePerVpc ---

const char* kSpokeConfig = "{project_id: spoke-proj, vpc_name: spoke-1}";

TEST_F(CloudRouterTest, RestoreWithoutThisSpokeInTheRecordSendsNothing) {
  configure(kSpokeConfig);
  GcpLib::restoreCloudRouterAdvertisedRoutePerVpc(service);
  EXPECT_EQ(log.lines(), (Lines{"- Restore cloud router route(s)", "  Done"}));

  log.clear();
  cloudRouters()["other-proj::spoke-2"]["h::n::r::x"] = customBgp(nullptr, nullptr);
  GcpLib::restoreCloudRouterAdvertisedRoutePerVpc(service);
  EXPECT_EQ(log.lines(), Lines{"- Restore cloud router route(s)"});
  EXPECT_TRUE(transport->requests.empty());

  Globals::getRevertInfo().erase("cloud_routers");
  EXPECT_THROW(GcpLib::restoreCloudRouterAdvertisedRoutePerVpc(service), MissingKeyError);
}

TEST_F(CloudRouterTest, RestorePatchesTheRecordedSettingsBackEveryTime) {
  configure(kSpokeConfig);
  ResourceDocument noRanges = {{"asn", 64512}, {"advertiseMode", "CUSTOM"}};
  ResourceDocument withGroups =
      customBgp({{{"range", "10.0.0.0/8"}, {"description", "x"}}}, {"ALL_SUBNETS"});
  ResourceDocument& spoke = cloudRouters()["spoke-proj::spoke-1"];
  spoke["hub-proj::hub::us-east1::r1"] = noRanges;
  spoke["hub-proj::hub::us-west1::r2"] = withGroups;
  int saves = 0;
  Globals::setRevertInfoSaver([&](const ResourceDocument&) { ++saves; });
  for (int i = 0; i < 4; ++i) transport->reply({{"name", "op"}}).reply(kDone);

  GcpLib::restoreCloudRouterAdvertisedRoutePerVpc(service);
  GcpLib::restoreCloudRouterAdvertisedRoutePerVpc(service);

  const std::string body1 =
      R"({"bgp":{"asn":64512,"advertiseMode":"CUSTOM","advertisedIpRanges":[]}})";
  const std::string body2 = R"({"bgp":)" + withGroups.dump() + "}";
  const Lines once = {"PATCH projects/hub-proj/regions/us-east1/routers/r1 " + body1,
                      "POST projects/hub-proj/regions/us-east1/operations/op/wait",
                      "PATCH projects/hub-proj/regions/us-west1/routers/r2 " + body2,
                      "POST projects/hub-proj/regions/us-west1/operations/op/wait"};
  Lines twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(transport->texts(), twice);
  EXPECT_EQ(spoke["hub-proj::hub::us-east1::r1"]["advertisedIpRanges"], ResourceDocument::array());
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(log.lines().at(1),
            "  restore hub-proj::hub::us-east1::r1, bgp "
            R"({"asn":64512,"advertiseMode":"CUSTOM"})");
}

TEST_F(CloudRouterTest, RestoreInDryRunOnlyLogs) {
  configure(kSpokeConfig);
  cloudRouters()["spoke-proj::spoke-1"]["hub-proj::hub::us-east1::r1"] = {{"asn", 64512}};
  ResourceDocument before = Globals::getRevertInfo();
  Globals::setDryRun(true);
  GcpLib::restoreCloudRouterAdvertisedRoutePerVpc(service);
  EXPECT_EQ(log.lines(), (Lines{"- Restore cloud router route(s)",
                                R"(  restore hub-proj::hub::us-east1::r1, bgp {"asn":64512})"}));
  EXPECT_TRUE(transport->requests.empty());
  EXPECT_EQ(Globals::getRevertInfo(), before);
}

TEST_F(CloudRouterTest, RestoreReportsAFailingRouterAndGoesOnWithTheNext) {
  configure(kSpokeConfig);
  ResourceDocument& spoke = cloudRouters()["spoke-proj::spoke-1"];
  spoke["hub-proj::hub::us-east1::r1"] = customBgp(ResourceDocument::array(), nullptr);
  spoke["hub-proj::hub::us-east1::broken"] = nullptr;
  spoke["hub-proj::hub::us-east1::r2"] = customBgp(ResourceDocument::array(), nullptr);
  spoke["hub-proj::hub::us-east1::r3"] = customBgp(ResourceDocument::array(), nullptr);
  transport->replyError(500, "backendError", "boom")
      .reply({{"name", "op"}})
      .reply(kDone)
      .reply({{"name", "op-3"}})
      .reply({{"status", "DONE"}, {"error", {{"errors", {{{"code", "QUOTA_EXCEEDED"}}}}}}});
  std::string trace = stderrOf([&] { GcpLib::restoreCloudRouterAdvertisedRoutePerVpc(service); });

  EXPECT_EQ(transport->requests.size(), 5u);
  EXPECT_EQ(transport->requests[1].path, "projects/hub-proj/regions/us-east1/routers/r2");
  // A null entry would otherwise be patched as if it were settings.
  EXPECT_THAT(errorLines(),
              ElementsAre(StartsWith("**Error** HTTP 500 backendError: boom"),
                          StartsWith("**Error** argument 'hub-proj::hub::us-east1::broken'"),
                          R"(**Error** {"errors":[{"code":"QUOTA_EXCEEDED"}]})"));
  EXPECT_THAT(trace, HasSubstr("HttpError: HTTP 500 backendError: boom"));

  spoke["hub-proj::too-short"] = customBgp(nullptr, nullptr);
  for (int i = 0; i < 3; ++i) transport->reply({{"name", "op"}}).reply(kDone);
  stderrOf(
      [&] { EXPECT_THROW(GcpLib::restoreCloudRouterAdvertisedRoutePerVpc(service), ConfigError); });
}

// --- manageCloudRouterAdvertisedRoute ---

TEST_F(CloudRouterTest, SwitchRunsEitherManagementOrRestoreWithTheGlobalService) {
  EXPECT_THROW(GcpLib::manageCloudRouterAdvertisedRoute(true), Error);
  Globals::service =
      std::make_shared<ComputeService>(transport, "http://emulator/compute/v1/", nullptr);
  configureHub(kExampleRouter);
  transport->reply(routerDoc("r1", "hub", customBgp(nullptr, nullptr)))
      .reply({{"name", "op"}})
      .reply(kDone);
  GcpLib::manageCloudRouterAdvertisedRoute(true);
  EXPECT_EQ(log.lines().front(), "- Manage cloud router route(s)");
  EXPECT_EQ(transport->requests.size(), 3u);

  log.clear();
  // The router as the switch left it: the recorded settings go back whole.
  transport->reply(routerDoc("r1", "hub", transport->requests[1].json()["bgp"]))
      .reply({{"name", "op"}})
      .reply(kDone);
  GcpLib::manageCloudRouterAdvertisedRoute(false);
  EXPECT_EQ(log.lines().front(), "- Restore cloud router route(s)");
  EXPECT_EQ(transport->requests.size(), 6u);
  ResourceDocument restored = customBgp(ResourceDocument::array(), nullptr);
  EXPECT_EQ(transport->requests[4].json()["bgp"], restored);
}

// --- listRouterByRegion ---

TEST_F(CloudRouterTest, ListRouterByRegionReportsTheNetworksRoutersOfTheFirstPage) {
  transport->reply({{"kind", "compute#routerList"}});
  GcpLib::listRouterByRegion(service, "hub-proj", "hub", "us-east1");
  EXPECT_EQ(log.lines(), (Lines{"- Discover cloud router(s)", "  No cloud router found"}));

  log.clear();
  ResourceDocument full = customBgp({{{"range", "10.0.0.0/8"}, {"description", "corp"}},
                                     {{"range", "10.1.0.0/16"}, {"description", ""}}},
                                    {"ALL_SUBNETS"});
  transport->reply({{"items",
                     {routerDoc("plain", "hub", {{"asn", 64512}, {"advertiseMode", "DEFAULT"}}),
                      routerDoc("elsewhere", "other", full), routerDoc("full", "hub", full)}},
                    {"nextPageToken", "page-2"}});
  GcpLib::listRouterByRegion(service, "hub-proj", "hub", "us-east1");
  EXPECT_EQ(log.lines(), (Lines{"- Discover cloud router(s)", "  plain us-east1 bgp 64512 DEFAULT",
                                "  full us-east1 bgp 64512 CUSTOM", "    10.0.0.0/8 corp",
                                "    10.1.0.0/16 ", "    ALL_SUBNETS"}));
  EXPECT_EQ(transport->texts(), (Lines{"GET projects/hub-proj/regions/us-east1/routers",
                                       "GET projects/hub-proj/regions/us-east1/routers"}));
}

// --- composeVpcCidrs ---

TEST_F(CloudRouterTest, ComposeVpcCidrsPutsGkeRangesFirstAndSubnetsOnlyInTheirStead) {
  Globals::routeInfo.add_gke_export_routes("10.60.0.0/14");
  Globals::routeInfo.add_gke_export_routes("10.64.0.0/20");
  const std::string subnets = kApi + "spoke-proj/regions/";
  ResourceDocument network = {
      {"subnetworks",
       {subnets + "us-east1/subnetworks/a", subnets + "us-west1/subnetworks/b",
        subnets + "us-east1/subnetworks/c"}}};
  ResourceDocument region = {{"region", "us-east1"}};
  struct Case {
    const char* config;
    ResourceDocument expected;
  };
  const std::vector<Case> cases = {
      {"{advertise_gke: true, spoke_advertisement: []}", {"10.60.0.0/14", "10.64.0.0/20"}},
      {"{advertise_gke: false, spoke_advertisement: [10.9.0.0/16, 10.2.0.0/16]}",
       {"10.9.0.0/16", "10.2.0.0/16"}},
      {"{advertise_gke: true, spoke_advertisement: [10.9.0.0/16]}",
       {"10.60.0.0/14", "10.64.0.0/20", "10.9.0.0/16"}},
      {"{spoke_advertisement: []}", nullptr},
      // Only the boolean true brings in GKE ranges, and without them no subnet is read.
      {"{advertise_gke: 'true'}", nullptr},
      {"{advertise_gke: 1}", nullptr},
  };
  for (const auto& [config, expected] : cases) {
    SCOPED_TRACE(config);
    configure(config);
    EXPECT_EQ(GcpLib::composeVpcCidrs(service, network, region), expected);
  }
  EXPECT_TRUE(transport->requests.empty());
  // The region object is read only when subnet ranges are needed.
  EXPECT_EQ(GcpLib::composeVpcCidrs(service, network, ResourceDocument::object()), nullptr);

  configure("{advertise_gke: true}");
  transport->reply({{"ipCidrRange", "10.0.1.0/24"}}).reply({{"ipCidrRange", "10.0.3.0/24"}});
  EXPECT_EQ(GcpLib::composeVpcCidrs(service, network, region),
            ResourceDocument({"10.60.0.0/14", "10.64.0.0/20", "10.0.1.0/24", "10.0.3.0/24"}));
  EXPECT_EQ(transport->texts(), (Lines{"GET projects/spoke-proj/regions/us-east1/subnetworks/a",
                                       "GET projects/spoke-proj/regions/us-east1/subnetworks/c"}));
  EXPECT_THROW(GcpLib::composeVpcCidrs(service, network, ResourceDocument::object()),
               MissingKeyError);

  Globals::routeInfo = RouteInfo();
  EXPECT_EQ(GcpLib::composeVpcCidrs(service, network, region), nullptr);
  configure("{spoke_advertisement: 10.9.0.0/16}");
  EXPECT_THROW(GcpLib::composeVpcCidrs(service, network, region), ArgumentTypeError);
  EXPECT_EQ(transport->requests.size(), 2u);
}

// --- against the in-process emulator ---

const char* kEmulatedHub = R"(
projects:
  hub-proj:
    networks: [{name: hub}, {name: other}]
    routers:
      - {name: r1, region: us-east1, network: hub,
         bgp: {asn: 64512, advertiseMode: CUSTOM, advertisedGroups: [ALL_SUBNETS], keepaliveInterval: 30,
               advertisedIpRanges: [{range: 10.0.0.0/8, description: corp}, {range: 10.7.0.0/16}]}}
      - {name: r2, region: us-east1, network: hub, bgp: {asn: 64513, advertiseMode: CUSTOM}}
      - {name: r3, region: us-west1, network: other,
         bgp: {asn: 64514, advertiseMode: CUSTOM, advertisedIpRanges: [{range: 10.5.0.0/16}]}}
)";

class CloudRouterOnEmulator : public CloudRouterTest {
 protected:
  void SetUp() override {
    CloudRouterTest::SetUp();
    emulator = std::make_shared<emulator::Emulator>(parseYamlText(kEmulatedHub, "hub"));
    service =
        std::make_unique<ComputeService>(std::make_shared<emulator::InProcessTransport>(emulator),
                                         "http://emulator.test/compute/v1/", nullptr);
  }
  ResourceDocument bgpOf(const std::string& region, const std::string& router) {
    return service->routers().get("hub-proj", region, router).execute()["bgp"];
  }

  std::shared_ptr<emulator::Emulator> emulator;
  std::unique_ptr<ComputeService> service;
};

TEST_F(CloudRouterOnEmulator, MigratedRoutersAreRestoredToTheirSettings) {
  configureHub(R"(
      - region: us-east1
        router_name: r1
        remove_advertised_routes: [10.0.0.0/8]
        add_advertised_routes: [192.168.0.0/16]
        remove_advertised_groups: [ALL_SUBNETS]
      - {region: us-east1, router_name: r2, add_advertised_routes: [10.9.0.0/16, 10.9.0.1/16]}
      - {region: us-east1, router_name: r4, add_advertised_routes: []}
      - {region: us-west1, router_name: r3, add_advertised_routes: [10.9.0.0/16]}
)");
  ResourceDocument r1 = bgpOf("us-east1", "r1");
  ResourceDocument r2 = bgpOf("us-east1", "r2");
  ResourceDocument r3 = bgpOf("us-west1", "r3");
  std::string trace = stderrOf([&] { GcpLib::manageCloudRouterAdvertisedRoutePerVpc(*service); });

  ResourceDocument migrated = r1;
  migrated["advertisedGroups"] = ResourceDocument::array();
  migrated["advertisedIpRanges"] = {
      {{"range", "10.7.0.0/16"}},
      {{"range", "192.168.0.0/16"}, {"description", "tessavon-migration-added"}}};
  EXPECT_EQ(bgpOf("us-east1", "r1"), migrated);
  // The API refuses r2's host-bit addition, so r2 stays as it was; its entry stays recorded.
  EXPECT_EQ(bgpOf("us-east1", "r2"), r2);
  EXPECT_THAT(errorLines(), ElementsAre(StartsWith("**Error** HTTP 400 invalid"),
                                        StartsWith("**Error** HTTP 404")));
  EXPECT_EQ(log.lines().back(), "  r3 not found in hub-proj::hub us-west1");
  EXPECT_EQ(cloudRouters(), ResourceDocument({{"spoke-proj::spoke-1",
                                               {{"hub-proj::hub::us-east1::r1", r1},
                                                {"hub-proj::hub::us-east1::r2", r2}}}}));

  log.clear();
  GcpLib::listRouterByRegion(*service, "hub-proj", "hub", "us-east1");
  EXPECT_EQ(log.lines(), (Lines{"- Discover cloud router(s)", "  r1 us-east1 bgp 64512 CUSTOM",
                                "    10.7.0.0/16 ", "    192.168.0.0/16 tessavon-migration-added",
                                "  r2 us-east1 bgp 64513 CUSTOM"}));

  GcpLib::restoreCloudRouterAdvertisedRoutePerVpc(*service);
  EXPECT_EQ(bgpOf("us-east1", "r1"), r1);
  // r2 had no ranges: it is restored with an explicit empty list, which clears any addition.
  r2["advertisedIpRanges"] = ResourceDocument::array();
  EXPECT_EQ(bgpOf("us-east1", "r2"), r2);
  EXPECT_EQ(bgpOf("us-west1", "r3"), r3);
}

}  // namespace
}  // namespace tolmi_gcp
