#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include "emulator/emulator.hpp"
#include "fake_transport.hpp"
#include "log_capture.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/gcplib/frame.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

using testing::FakeTransport;
using Lines = std::vector<std::string>;

const std::string kApi = "https://www.googleapis.com/compute/v1/projects/";
const std::string kRule = "  " + std::string(63, '.');
const Lines kSubnetHead = {"", "- Discover subnet(s)", kRule,
                           "  CIDR                     REGION                        subnet",
                           kRule};
const Lines kRouteHead = {"", "- Discover route(s)", kRule,
                          "  CIDR                     Next-hop                      ", kRule};

std::string subnetLink(const std::string& project, const std::string& region,
                       const std::string& name) {
  return kApi + project + "/regions/" + region + "/subnetworks/" + name;
}

std::string networkLink(const std::string& project, const std::string& name) {
  return kApi + project + "/global/networks/" + name;
}

ResourceDocument subnetwork(const std::string& name, const std::string& region,
                            const std::string& cidr) {
  return {{"name", name}, {"region", kApi + "p/regions/" + region}, {"ipCidrRange", cidr}};
}

// A table row: two blanks, the first column padded to 25, then the rest.
std::string row(const std::string& first, const std::string& rest) {
  return "  " + first + std::string(first.size() < 25 ? 25 - first.size() : 0, ' ') + rest;
}

Lines concat(std::initializer_list<Lines> parts) {
  Lines out;
  for (const Lines& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

std::string routesQuery(const std::string& project, const std::string& network) {
  return "GET projects/" + project + "/global/routes?filter=network: \"" +
         networkLink(project, network) + "\"";
}

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    Globals::reset();
    YamlContext::setContext(ResourceDocument::object());
  }

  std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
  ComputeService service{transport, "http://emulator/compute/v1/", nullptr};
  testing::LogCapture log;
};

using ListSubnet = Discovery;

TEST_F(ListSubnet, WritesOneRowPerLinkInLinkOrderKeepingDuplicates) {
  ResourceDocument network = {
      {"subnetworks",
       {subnetLink("proj-a", "us-east1", "s1"), subnetLink("proj-b", "europe-west1", "s2"),
        subnetLink("proj-a", "us-east1", "s1")}}};
  transport->reply(subnetwork("s1", "us-east1", "10.0.0.0/24"))
      .reply(subnetwork("s2", "europe-west1", "10.1.0.0/24"))
      .reply(subnetwork("s1", "us-east1", "10.0.0.0/24"));

  std::vector<std::string> cidrs = GcpLib::listSubnet(service, network);

  EXPECT_EQ(cidrs, (std::vector<std::string>{"10.0.0.0/24", "10.1.0.0/24", "10.0.0.0/24"}));
  EXPECT_EQ(transport->texts(), (Lines{"GET projects/proj-a/regions/us-east1/subnetworks/s1",
                                       "GET projects/proj-b/regions/europe-west1/subnetworks/s2",
                                       "GET projects/proj-a/regions/us-east1/subnetworks/s1"}));
  EXPECT_EQ(log.lines(), concat({kSubnetHead,
                                 {"  10.0.0.0/24              us-east1                      s1",
                                  "  10.1.0.0/24              europe-west1                  s2",
                                  "  10.0.0.0/24              us-east1                      s1"}}));
}

TEST_F(ListSubnet, NetworkWithoutSubnetworksGivesOnlyTheHeadAndNoRequest) {
  EXPECT_TRUE(GcpLib::listSubnet(service, {{"name", "bare"}}).empty());
  EXPECT_TRUE(GcpLib::listSubnet(service, {{"subnetworks", ResourceDocument::array()}}).empty());
  EXPECT_EQ(log.lines(), concat({kSubnetHead, kSubnetHead}));
  EXPECT_TRUE(GcpLib::listSubnetByRegion(service, {{"name", "bare"}}, "us-east1").empty());
  EXPECT_TRUE(transport->requests.empty());
}

TEST_F(ListSubnet, FailuresEndTheListingAndKeepTheLinesWritten) {
  ResourceDocument network = {
      {"subnetworks", {subnetLink("p", "r1", "ok"), subnetLink("p", "r1", "gone")}}};
  transport->reply(subnetwork("ok", "r1", "10.0.0.0/24"))
      .replyError(404, "notFound", "The resource 'gone' was not found");
  try {
    GcpLib::listSubnet(service, network);
    FAIL() << "expected HttpError";
  } catch (const HttpError& failure) {
    EXPECT_EQ(failure.status(), 404);
    EXPECT_EQ(failure.apiMessage(), "The resource 'gone' was not found");
  }
  EXPECT_EQ(log.lines(),
            concat({kSubnetHead, {row("10.0.0.0/24", "r1" + std::string(28, ' ') + "ok")}}));

  // A link too short to name a subnetwork fails before any request.
  transport->requests.clear();
  EXPECT_THROW(GcpLib::listSubnet(service, {{"subnetworks", {networkLink("p", "hub")}}}), Error);
  EXPECT_THROW(GcpLib::listSubnet(service, {{"subnetworks", {42}}}), ArgumentTypeError);
  EXPECT_TRUE(transport->requests.empty());

  // A subnetwork document without its range fails rather than report an empty one.
  transport->reply({{"name", "s"}, {"region", kApi + "p/regions/r1"}});
  try {
    GcpLib::listSubnet(service, {{"subnetworks", {subnetLink("p", "r1", "s")}}});
    FAIL() << "expected MissingKeyError";
  } catch (const MissingKeyError& failure) {
    EXPECT_EQ(failure.key(), "ipCidrRange");
  }
}

using ListSubnetByRegion = Discovery;

TEST_F(ListSubnetByRegion, RequestsOnlyTheSubnetworksOfThatExactRegion) {
  ResourceDocument network = {{"subnetworks",
                               {subnetLink("p", "us-east1", "a"), subnetLink("p", "us-west1", "b"),
                                subnetLink("q", "us-east1", "c")}}};
  transport->reply(subnetwork("a", "us-east1", "10.0.1.0/24"))
      .reply(subnetwork("c", "us-east1", "10.0.3.0/24"));

  EXPECT_EQ(GcpLib::listSubnetByRegion(service, network, "us-east1"),
            (std::vector<std::string>{"10.0.1.0/24", "10.0.3.0/24"}));
  EXPECT_EQ(transport->texts(), (Lines{"GET projects/p/regions/us-east1/subnetworks/a",
                                       "GET projects/q/regions/us-east1/subnetworks/c"}));
  EXPECT_TRUE(GcpLib::listSubnetByRegion(service, network, "US-EAST1").empty());
  EXPECT_EQ(transport->requests.size(), 2u);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ListSubnetByRegion, ShortLinksFailBeforeAnyRequestInAnyRegion) {
  // A link that names no subnetwork is refused even where its region is not the one listed.
  std::string nineSegments = kApi + "p/regions/us-west1";
  std::string eightSegments = kApi + "p/regions";
  EXPECT_THROW(GcpLib::listSubnetByRegion(service, {{"subnetworks", {nineSegments}}}, "us-east1"),
               Error);
  EXPECT_THROW(GcpLib::listSubnetByRegion(service, {{"subnetworks", {eightSegments}}}, "us-east1"),
               Error);
  EXPECT_THROW(GcpLib::listSubnetByRegion(service, {{"subnetworks", {nineSegments}}}, "us-west1"),
               Error);
  EXPECT_TRUE(transport->requests.empty());
}

class ListRouteTable : public Discovery {
 protected:
  ResourceDocument network = {{"name", "spoke"}, {"selfLink", networkLink("proj-a", "spoke")}};
};

TEST_F(ListRouteTable, ClassifiesEachNextHopAndCollectsGkeRanges) {
  ResourceDocument unknown = {{"name", "odd"}, {"destRange", "10.9.0.0/16"}, {"priority", 5}};
  transport->reply(
      {{"items",
        {
            {{"destRange", "0.0.0.0/0"},
             {"nextHopGateway", kApi + "proj-a/global/gateways/default-internet-gateway"}},
            {{"destRange", "10.1.0.0/16"}, {"nextHopNetwork", networkLink("proj-a", "hub")}},
            {{"destRange", "10.2.0.0/16"}, {"nextHopIp", "10.0.0.5"}},
            {{"destRange", "10.3.0.0/16"},
             {"nextHopIlb", kApi + "proj-a/regions/r/forwardingRules/fr-1"}},
            {{"destRange", "10.3.1.0/24"}, {"nextHopIlb", "10.0.0.9"}},
            unknown,
            {{"destRange", "10.4.0.0/14"}, {"nextHopPeering", "gke-abc-123-peer"}},
            {{"destRange", "10.5.0.0/16"}, {"nextHopPeering", "gke-abc"}},
            {{"destRange", "10.6.0.0/16"}, {"nextHopPeering", "xgke-abc-peer"}},
            // An earlier key wins: this route is an IP route and never a GKE range.
            {{"destRange", "10.7.0.0/16"},
             {"nextHopPeering", "gke-x-peer"},
             {"nextHopIp", "10.0.0.6"}},
            {{"destRange", "10.8.0.0/16"},
             {"nextHopInstance", kApi + "proj-a/zones/us-east1-b/instances/nva-1"}},
            {{"destRange", "10.10.0.0/16"}, {"nextHopPeering", "gke-def-peer"}},
            {{"destRange", "10.11.0.0/16"}, {"nextHopVpnTunnel", "regions/r/vpnTunnels/tun-1"}},
            {{"destRange", "10.12.0.0/16"}, {"nextHopHub", "//nc/projects/p/hubs/hub-1"}},
        }}});

  RouteInfo info = GcpLib::listRouteTable("proj-a", service, network);

  EXPECT_EQ(transport->texts(), Lines{routesQuery("proj-a", "spoke")});
  EXPECT_EQ(log.lines(), concat({kRouteHead,
                                 {
                                     "  0.0.0.0/0                default-internet-gateway",
                                     "  10.1.0.0/16              Virtual network hub",
                                     "  10.2.0.0/16              10.0.0.5",
                                     "  10.3.0.0/16              fr-1",
                                     "  10.3.1.0/24              10.0.0.9",
                                     "  **Error** unknown destination " + unknown.dump(),
                                     "  10.4.0.0/14              gke-abc-123-peer",
                                     "  10.5.0.0/16              gke-abc",
                                     "  10.6.0.0/16              xgke-abc-peer",
                                     "  10.7.0.0/16              10.0.0.6",
                                     "  10.8.0.0/16              nva-1",
                                     "  10.10.0.0/16             gke-def-peer",
                                     "  10.11.0.0/16             tun-1",
                                     "  10.12.0.0/16             hub-1",
                                 }}));
  EXPECT_EQ(log.entries()[10].level, log4cplus::ERROR_LOG_LEVEL);
  EXPECT_EQ(log.entries()[11].level, log4cplus::INFO_LOG_LEVEL);
  EXPECT_EQ(info.get_gke_export_routes(),
            (std::vector<std::string>{"10.4.0.0/14", "10.10.0.0/16"}));
}

TEST_F(ListRouteTable, NetworkWithoutRoutesSaysSo) {
  transport->reply(ResourceDocument::object());
  RouteInfo info = GcpLib::listRouteTable("proj-a", service, network);
  EXPECT_EQ(log.lines(), concat({kRouteHead, {"    no route found"}}));
  EXPECT_TRUE(info.get_gke_export_routes().empty());
  EXPECT_EQ(transport->requests.size(), 1u);
}

TEST_F(ListRouteTable, FollowsPagesUntilOneHasNoItems) {
  transport
      ->reply({{"items", {{{"destRange", "10.4.0.0/14"}, {"nextHopPeering", "gke-a-peer"}}}},
               {"nextPageToken", "t1"}})
      .reply({{"items", {{{"destRange", "10.8.0.0/14"}, {"nextHopPeering", "gke-b-peer"}}}},
              {"nextPageToken", "t2"}})
      // A page without items ends the listing even though it names another page.
      .reply({{"nextPageToken", "t3"}});

  RouteInfo info = GcpLib::listRouteTable("proj-a", service, network);

  std::string first = routesQuery("proj-a", "spoke");
  EXPECT_EQ(transport->texts(), (Lines{first, first + "&pageToken=t1", first + "&pageToken=t2"}));
  EXPECT_EQ(log.lines(), concat({kRouteHead,
                                 {row("10.4.0.0/14", "gke-a-peer"),
                                  row("10.8.0.0/14", "gke-b-peer"), "    no route found"}}));
  EXPECT_EQ(info.get_gke_export_routes(), (std::vector<std::string>{"10.4.0.0/14", "10.8.0.0/14"}));
}

TEST_F(ListRouteTable, ReadsOddPagesAsTheirDocumentsWould) {
  const std::vector<std::pair<std::string, Lines>> cases = {
      {"", {"    no route found"}},
      {R"({"items": null})", {}},
      // A repeated key takes its last value.
      {R"({"items": [7, {"destRange": "1.0.0.0/8", "nextHopIp": "x", "destRange": "2.0.0.0/8"}]})",
       {"  **Error** unknown destination 7", row("2.0.0.0/8", "x")}},
      // So does a repeated next hop; a destination of 25 characters or more leaves no gap.
      {R"({"items": [{"destRange": "2001:db8:aaaa:bbbb:cccc::/80", "nextHopIp": "x",
                      "nextHopIp": "y"}]})",
       {"  2001:db8:aaaa:bbbb:cccc::/80y"}},
  };
  for (const auto& [body, lines] : cases) {
    log.clear();
    transport->replyRaw(200, body);
    GcpLib::listRouteTable("proj-a", service, network);
    EXPECT_EQ(log.lines(), concat({kRouteHead, lines})) << body;
  }
  // Items that are not a list would be read as something else.
  for (std::string body : {R"({"items": "odd"})",
                           R"({"items": {"a": {"destRange": "10.0.0.0/8", "nextHopIp": "x"}}})"}) {
    transport->replyRaw(200, body);
    EXPECT_THROW(GcpLib::listRouteTable("proj-a", service, network), MalformedAnswerError) << body;
  }
}

TEST_F(ListRouteTable, PropagationIsOffOnlyWhileTheTableIsWrittenWhateverTheOutcome) {
  testing::LogCapture parent("tolmi_gcp");
  transport->reply({{"items", {{{"destRange", "10.0.0.0/8"}, {"nextHopIp", "10.0.0.1"}}}}});
  GcpLib::listRouteTable("proj-a", service, network, false);
  EXPECT_TRUE(parent.lines().empty());
  EXPECT_EQ(log.lines().size(), kRouteHead.size() + 1);
  EXPECT_TRUE(frame::logger().getAdditivity());

  // However the listing fails, the switch is back on afterwards.
  EXPECT_THROW(GcpLib::listRouteTable("proj-a", service, {{"name", "no-link"}}, false),
               MissingKeyError);
  EXPECT_TRUE(frame::logger().getAdditivity());
  transport->dropConnection();
  EXPECT_THROW(GcpLib::listRouteTable("proj-a", service, network, false), TransportError);
  EXPECT_TRUE(frame::logger().getAdditivity());
  EXPECT_TRUE(parent.lines().empty());

  transport->reply(ResourceDocument::object());
  GcpLib::listRouteTable("proj-a", service, network);
  EXPECT_EQ(parent.lines(), concat({kRouteHead, {"    no route found"}}));
}

TEST_F(ListRouteTable, MalformedRoutesFail) {
  // Each of these routes matches a next-hop kind but cannot be reported.
  const std::vector<std::pair<ResourceDocument, std::string>> cases = {
      {{{"nextHopIp", "10.0.0.1"}}, "missing destRange"},
      {{{"destRange", "10.0.0.0/8"}, {"nextHopIp", 17}}, "next hop not text"},
      {{{"nextHopPeering", "gke-a-peer"}}, "GKE route without destRange"},
      {{{"destRange", "10.0.0.0/8"}, {"nextHopInstance", "zones/z/instances/i"}}, "short link"},
  };
  for (const auto& [route, what] : cases) {
    transport->reply({{"items", {route}}, {"nextPageToken", "more"}});
    EXPECT_THROW(GcpLib::listRouteTable("proj-a", service, network), Error) << what;
  }
  EXPECT_EQ(transport->requests.size(), cases.size());
}

class ListAllNetwork : public Discovery {
 protected:
  void SetUp() override {
    Discovery::SetUp();
    defaultServiceFactory() = [this] {
      return DefaultService{std::shared_ptr<ComputeService>(&service, [](ComputeService*) {}),
                            project, ""};
    };
  }
  void TearDown() override {
    defaultServiceFactory() = [] { return defaultComputeService(); };
  }

  static ResourceDocument network(const std::string& name, const ResourceDocument& subnets) {
    return {{"name", name}, {"selfLink", networkLink("proj-a", name)}, {"subnetworks", subnets}};
  }

  std::string project = "proj-a";
};

TEST_F(ListAllNetwork, ReportsEachNetworkOfEachPageInOrderForTheCredentialsProject) {
  transport
      ->reply({{"items",
                {network("hub", {subnetLink("proj-a", "us-east1", "h1")}),
                 network("spoke", ResourceDocument::array())}},
               {"nextPageToken", "n2"}})
      .reply(subnetwork("h1", "us-east1", "10.0.0.0/24"))
      .reply({{"items", {{{"destRange", "10.0.0.0/24"}, {"nextHopNetwork", "x/hub"}}}}})
      .reply(ResourceDocument::object())
      .reply({{"items", {network("last", ResourceDocument::array())}}})
      .reply(ResourceDocument::object());

  // The argument is ignored: the credentials' project is the one listed.
  GcpLib::listAllNetwork("some-other-project");

  EXPECT_EQ(transport->texts(), (Lines{"GET projects/proj-a/global/networks",
                                       "GET projects/proj-a/regions/us-east1/subnetworks/h1",
                                       routesQuery("proj-a", "hub"), routesQuery("proj-a", "spoke"),
                                       "GET projects/proj-a/global/networks?pageToken=n2",
                                       routesQuery("proj-a", "last")}));
  EXPECT_EQ(log.lines(), concat({{"", "=== VPC proj-a::hub"},
                                 kSubnetHead,
                                 {row("10.0.0.0/24", "us-east1" + std::string(22, ' ') + "h1")},
                                 kRouteHead,
                                 {row("10.0.0.0/24", "Virtual network hub")},
                                 {"", "=== VPC proj-a::spoke"},
                                 kSubnetHead,
                                 kRouteHead,
                                 {"    no route found"},
                                 {"", "=== VPC proj-a::last"},
                                 kSubnetHead,
                                 kRouteHead,
                                 {"    no route found"}}));
}

TEST_F(ListAllNetwork, ProjectWithoutNetworksGivesAnEmptyReport) {
  transport->reply({{"kind", "compute#networkList"}, {"id", "projects/proj-a/global/networks"}});
  GcpLib::listAllNetwork(nullptr);
  EXPECT_EQ(transport->texts(), Lines{"GET projects/proj-a/global/networks"});
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ListAllNetwork, FailureStopsTheReportWhereItHappened) {
  transport
      ->reply(
          {{"items",
            {network("a", ResourceDocument::array()), network("b", ResourceDocument::array())}}})
      .replyError(403, "forbidden", "Required 'compute.routes.list' permission");
  EXPECT_THROW(GcpLib::listAllNetwork(""), HttpError);
  EXPECT_EQ(log.lines(), concat({{"", "=== VPC proj-a::a"}, kSubnetHead, kRouteHead}));
  EXPECT_EQ(transport->requests.size(), 2u);
  EXPECT_TRUE(frame::logger().getAdditivity());

  project = "";
  try {
    GcpLib::listAllNetwork("");
    FAIL() << "expected ConfigError";
  } catch (const ConfigError& failure) {
    EXPECT_NE(std::string(failure.what()).find("GOOGLE_CLOUD_PROJECT"), std::string::npos);
  }
  EXPECT_EQ(transport->requests.size(), 2u);
}

// Against the emulated API: real documents, generated routes, the server-side filter and paging.
class DiscoveryOnEmulator : public ::testing::Test {
 protected:
  void SetUp() override {
    Globals::reset();
    YamlContext::setContext(ResourceDocument::object());
  }

  ComputeService& serve(const ResourceDocument& topology) {
    emulated = std::make_shared<emulator::Emulator>(topology);
    service =
        std::make_unique<ComputeService>(std::make_shared<emulator::InProcessTransport>(emulated),
                                         "http://emulator/compute/v1/", nullptr);
    return *service;
  }

  // The API requests the emulator saw, as "METHOD path?query".
  Lines journal() const {
    Lines out;
    ResourceDocument requests = emulated->journal()["requests"];
    for (const ResourceDocument& entry : requests) {
      std::string text = textOf(entry["method"]) + " " + textOf(entry["path"]);
      char separator = '?';
      for (const auto& [name, value] : entry["query"].items()) {
        text += separator + name + "=" + textOf(value);
        separator = '&';
      }
      out.push_back(text);
    }
    return out;
  }

  std::shared_ptr<emulator::Emulator> emulated;
  std::unique_ptr<ComputeService> service;
  testing::LogCapture log;
};

TEST_F(DiscoveryOnEmulator, ReportOfAProjectWithSubnetsStaticGeneratedAndGkeRoutes) {
  ComputeService& api = serve(parseYamlText(R"(
projects:
  proj-a:
    networks:
      - {name: hub}
      - name: spoke
        peerings: [{name: gke-abc-peer, network: projects/gke-t/global/networks/gke-net}]
    subnetworks:
      - {name: hub-use1, region: us-east1, network: hub, ipCidrRange: 10.0.0.0/24}
      - {name: spoke-use1, region: us-east1, network: spoke, ipCidrRange: 10.1.0.0/24}
      - {name: spoke-usw1, region: us-west1, network: spoke, ipCidrRange: 10.1.1.0/24}
    routes:
      - {name: to-onprem, network: spoke, destRange: 172.16.0.0/12, nextHopIp: 10.1.0.5}
  gke-t:
    networks:
      - name: gke-net
        peerings: [{name: gke-abc-peer, network: projects/proj-a/global/networks/spoke}]
    subnetworks:
      - {name: gke-master, region: us-east1, network: gke-net, ipCidrRange: 172.31.0.0/28}
)",
                                            "topology"));
  defaultServiceFactory() = [&api] {
    return DefaultService{std::shared_ptr<ComputeService>(&api, [](ComputeService*) {}), "proj-a",
                          ""};
  };
  GcpLib::listAllNetwork(nullptr);
  defaultServiceFactory() = [] { return defaultComputeService(); };

  std::string filter = "/compute/v1/projects/proj-a/global/routes?filter=network: \"" + kApi;
  EXPECT_EQ(journal(),
            (Lines{"GET /compute/v1/projects/proj-a/global/networks",
                   "GET /compute/v1/projects/proj-a/regions/us-east1/subnetworks/hub-use1",
                   "GET " + filter + "proj-a/global/networks/hub\"",
                   "GET /compute/v1/projects/proj-a/regions/us-east1/subnetworks/spoke-use1",
                   "GET /compute/v1/projects/proj-a/regions/us-west1/subnetworks/spoke-usw1",
                   "GET " + filter + "proj-a/global/networks/spoke\""}));
  EXPECT_EQ(
      log.lines(),
      concat({{"", "=== VPC proj-a::hub"},
              kSubnetHead,
              {"  10.0.0.0/24              us-east1                      hub-use1"},
              kRouteHead,
              // The API lists routes by name; generated names follow from a hash.
              {"  10.0.0.0/24              Virtual network hub",
               "  0.0.0.0/0                default-internet-gateway"},
              {"", "=== VPC proj-a::spoke"},
              kSubnetHead,
              {"  10.1.0.0/24              us-east1                      spoke-use1",
               "  10.1.1.0/24              us-west1                      spoke-usw1"},
              kRouteHead,
              {"  10.1.0.0/24              Virtual network spoke",
               "  0.0.0.0/0                default-internet-gateway",
               "  10.1.1.0/24              Virtual network spoke",
               "  172.31.0.0/28            gke-abc-peer", "  172.16.0.0/12            10.1.0.5"}}));

  // The GKE peering's range is what the route table collects; subnets of one region only.
  ResourceDocument spoke = api.networks().get("proj-a", "spoke").execute();
  EXPECT_EQ(GcpLib::listRouteTable("proj-a", api, spoke).get_gke_export_routes(),
            std::vector<std::string>{"172.31.0.0/28"});
  EXPECT_EQ(GcpLib::listSubnetByRegion(api, spoke, "us-west1"),
            std::vector<std::string>{"10.1.1.0/24"});
}

TEST_F(DiscoveryOnEmulator, RouteTableSpanningPagesListsEveryRouteOfThatNetworkOnly) {
  ResourceDocument routes = ResourceDocument::array();
  for (int i = 0; i < 520; ++i)
    routes.push_back({{"name", "r-" + std::to_string(1000 + i)},
                      {"network", "spoke"},
                      {"destRange", "172.16." + std::to_string(i / 4) + "." +
                                        std::to_string(i % 4 * 64) + "/26"},
                      {"nextHopIp", "10.1.0.5"}});
  routes.push_back({{"name", "elsewhere"},
                    {"network", "other"},
                    {"destRange", "192.168.0.0/16"},
                    {"nextHopIp", "10.2.0.5"}});
  ComputeService& api =
      serve({{"projects",
              {{"proj-a",
                {{"networks", {{{"name", "spoke"}}, {{"name", "other"}}}}, {"routes", routes}}}}}});

  GcpLib::listRouteTable("proj-a", api, api.networks().get("proj-a", "spoke").execute());

  Lines requests = journal();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_TRUE(requests[2].ends_with(
      "&pageToken=" + textOf(emulated->journal()["requests"][2]["query"]["pageToken"])));
  Lines lines = log.lines();
  // Head, the default route and the 520 static routes, each once and in the API's order.
  ASSERT_EQ(lines.size(), kRouteHead.size() + 521);
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 5), kRouteHead);
  EXPECT_EQ(lines[5], "  0.0.0.0/0                default-internet-gateway");
  EXPECT_EQ(lines[6], "  172.16.0.0/26            10.1.0.5");
  EXPECT_EQ(lines.back(), "  172.16.129.192/26        10.1.0.5");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "  192.168.0.0/16           10.2.0.5"), 0);
}

}  // namespace
}  // namespace tolmi_gcp
