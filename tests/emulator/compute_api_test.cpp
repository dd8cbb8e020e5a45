// ComputeApi on a clock moved by hand: what changes show while their operations run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "emulator/api.hpp"
#include "emulator/quotas.hpp"
#include "emulator/resources/handlers.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"

namespace tolmi_gcp::emulator {
namespace {

const char* kTopology = R"(
projects:
  p:
    networks: [{name: n}, {name: n-2}, {name: n-3, peerings: [{name: back, network: n-2}]}]
    routers: [{name: r, region: us-east1, network: n, bgp: {asn: 64512}}]
    routes:
      - {name: old, network: n, destRange: 10.1.0.0/16, nextHopIp: 10.0.0.1}
      - {name: b, network: n-2, destRange: 10.3.0.0/16, nextHopIp: 10.0.0.1, creationTimestamp: 2020-01-01T00:00:00Z}
      - {name: a, network: n-2, destRange: 10.4.0.0/16, nextHopIp: 10.0.0.1, creationTimestamp: 2021-01-01T00:00:00Z}
      - {name: c, network: n-2, destRange: 10.5.0.0/16, nextHopIp: 10.0.0.1, creationTimestamp: 2022-01-01T00:00:00Z}
)";

const std::string kPeeringBusy =
    "There is a peering operation in progress on the local or peer network. Try again later.";

class ComputeApiTest : public ::testing::Test {
 protected:
  // The answer, or the error's status, reason and message.
  ResourceDocument call(const std::string& method, const std::string& path,
                        const ResourceDocument& body = nullptr, QueryList query = {}) {
    std::vector<std::string> segments;
    for (std::size_t start = 0, slash = 0; slash != std::string::npos; start = slash + 1)
      segments.push_back(path.substr(start, (slash = path.find('/', start)) - start));
    try {
      return api.call(method, segments, query, body, std::nullopt);
    } catch (const ApiError& error) {
      return {{"status", error.status()}, {"reason", error.reason()}, {"message", error.what()}};
    }
  }
  ResourceDocument route(const std::string& name, const std::string& network = "n") {
    return {{"name", name},
            {"network", "global/networks/" + network},
            {"destRange", "10.2.0.0/16"},
            {"nextHopIp", "10.0.0.2"}};
  }

  Store store = Store::fromTopology(parseYamlText(kTopology, "topology"));
  Options options{.operationDelayMs = 100};
  ComputeApi::Clock::time_point now;
  ComputeApi api{store, options, [this] { return now; }};
};

TEST_F(ComputeApiTest, ChangesShowWhenTheirOperationFinishesAndRefuseASecondMeanwhile) {
  // A change, what shows it, and the answer to the same change again while it runs.
  const std::string routes = "projects/p/global/routes/", network = "projects/p/global/networks/n";
  const std::string router = "projects/p/regions/us-east1/routers/r", notReady = "' is not ready";
  const ResourceDocument patch = {{"bgp", {{"asn", 64512}, {"keepaliveInterval", 40}}}};
  const ResourceDocument peering = {{"networkPeering", {{"name", "x"}, {"network", "n-2"}}}};
  const std::tuple<std::string, std::string, ResourceDocument, std::string, std::string> cases[] = {
      {"POST", "projects/p/global/routes", route("new"), routes + "new",
       "The resource '" + routes + "new" + notReady},
      {"DELETE", routes + "old", nullptr, routes + "old",
       "The resource '" + routes + "old" + notReady},
      {"PATCH", router, patch, router, "The resource '" + router + notReady},
      {"POST", network + "/addPeering", peering, network, kPeeringBusy}};
  for (const auto& [method, path, body, read, refusal] : cases) {
    ResourceDocument before = call("GET", read);
    EXPECT_EQ(call(method, path, body)["status"], "PENDING") << path;
    now += std::chrono::milliseconds(60);
    EXPECT_EQ(call("GET", read), before) << path;
    EXPECT_EQ(call(method, path, body)["message"], refusal);
    now += std::chrono::milliseconds(60);
    EXPECT_NE(call("GET", read), before) << path;
  }
}

TEST_F(ComputeApiTest, RouteAndPeeringChangesExcludeEachOtherOnANetworkAndItsPeers) {
  call("POST", "projects/p/global/networks/n/addPeering",
       {{"networkPeering", {{"name", "x"}, {"network", "global/networks/n-2"}}}});
  // n-3 is peered with n-2; n-2 is the peer of the unfinished change.
  for (const char* network : {"n", "n-2", "n-3"})
    EXPECT_EQ(call("POST", "projects/p/global/routes", route("r", network))["message"],
              kPeeringBusy)
        << network;
  now += std::chrono::milliseconds(100);
  call("POST", "projects/p/global/routes", route("r"));
  EXPECT_EQ(call("POST", "projects/p/global/networks/n/removePeering", {{"name", "x"}})["message"],
            "There is a route operation in progress on the local or peer network. Try again "
            "later.");
}

TEST_F(ComputeApiTest, FieldsTheApiDoesNotHaveOrOnlyShowsAreIgnored) {
  options.operationDelayMs = 0;
  ResourceDocument body = route("new");
  body.update({{"bogus", 1}, {"id", "7"}});
  call("POST", "projects/p/global/routes", body);
  ResourceDocument stored = call("GET", "projects/p/global/routes/new");
  EXPECT_TRUE(!stored.contains("bogus") && stored["id"] != "7") << stored;
  const std::string router = "projects/p/regions/us-east1/routers/r";
  const char* id = "5c2b7a10-0f3e-4d1a-9b7c-0123456789ab";
  ResourceDocument before = call("GET", router);
  EXPECT_EQ(call("PATCH", router, {{"bogus", 1}, {"id", "7"}, {"bgp", {{"asn", 64512}, {"x", 2}}}},
                 {{"requestId", id}})["clientOperationId"],
            id);
  EXPECT_EQ(call("GET", router), before);
}

TEST_F(ComputeApiTest, ListsOrderNewestFirstPageByPage) {
  std::vector<std::string> names;
  QueryList query = {
      {"orderBy", "creationTimestamp desc"}, {"maxResults", "2"}, {"filter", "network: n-2"}};
  for (ResourceDocument page;; query.push_back({"pageToken", page["nextPageToken"]})) {
    page = call("GET", "projects/p/global/routes", nullptr, query);
    for (const auto& item : page["items"]) names.push_back(item["name"]);
    if (!page.contains("nextPageToken")) break;
  }
  // First the network's route to the internet, made with the project.
  EXPECT_THAT(names,
              ::testing::ElementsAre(::testing::StartsWith("default-route-"), "c", "a", "b"));
}

// hub and spoke are peered; clash and routed point at hub, which does not point back.
const char* kPeeredTopology = R"(
projects:
  p:
    networks:
      - {name: hub, peerings: [{name: hub-spoke, network: spoke}]}
      - {name: spoke, peerings: [{name: spoke-hub, network: hub}]}
      - {name: clash, peerings: [{name: clash-hub, network: hub}]}
      - {name: routed, peerings: [{name: routed-hub, network: hub}]}
    subnetworks:
      - {name: hub-sub, region: r, network: hub, ipCidrRange: 10.0.0.0/16}
      - {name: spoke-sub, region: r, network: spoke, ipCidrRange: 10.1.0.0/16}
      - {name: clash-sub, region: r, network: clash, ipCidrRange: 10.0.128.0/20}
    routes:
      - {name: to-dc, network: spoke, destRange: 172.16.0.0/16, nextHopIp: 10.1.0.9}
      - {name: into-hub, network: routed, destRange: 10.0.5.0/24, nextHopIp: 10.9.0.1}
)";

TEST(ApiRefusals, RoutesAndPeeringsPastTheApisRulesAndQuotas) {
  auto route = [](const char* network, const char* destRange) {
    return ResourceDocument{{"name", "new"},
                            {"network", std::string("global/networks/") + network},
                            {"destRange", destRange},
                            {"nextHopIp", "10.1.0.9"}};
  };
  auto peering = [](const char* peer) {
    return ResourceDocument{{"networkPeering", {{"name", "new"}, {"network", peer}}}};
  };
  const char* kRoutes = "projects/p/global/routes";
  const char* kAddToHub = "projects/p/global/networks/hub/addPeering";
  auto hides = [](const std::string& dest, const std::string& subnet) {
    return ResourceDocument{
        {"status", 400},
        {"reason", "invalid"},
        {"message", "Invalid value for field 'resource.destRange': '" + dest + "'. " + dest +
                        " hides the address space of the network (" + subnet +
                        "). Cannot change the routing of packets destined "
                        "for the network."}};
  };
  auto failed = [](const char* code, const std::string& message) {
    return ResourceDocument{{"code", code}, {"message", message}};
  };
  struct Row {
    const char* quota;  // "--quota" given, or ""
    const char* path;
    ResourceDocument body;
    ResourceDocument outcome;  // status, reason and message, or the operation's error
  };
  const Row rows[] = {
      {"", kRoutes, route("spoke", "10.1.0.0/16"), hides("10.1.0.0/16", "10.1.0.0/16")},
      {"", kRoutes, route("spoke", "10.0.3.0/24"), hides("10.0.3.0/24", "10.0.0.0/16")},
      // Wider than a subnet range, or inside that of a peer not ACTIVE: no conflict.
      {"", kRoutes, route("spoke", "10.0.0.0/8"), {{"status", "DONE"}}},
      {"", kRoutes, route("clash", "10.1.2.0/24"), {{"status", "DONE"}}},
      {"", kAddToHub, peering("clash"),
       failed("INVALID_USAGE",
              "An IP range in the peer network (10.0.128.0/20) overlaps with an IP range in the "
              "local network (10.0.0.0/16) allocated by resource "
              "(projects/p/regions/r/subnetworks/hub-sub).")},
      {"", kAddToHub, peering("routed"),
       failed("INVALID_USAGE",
              "An IP range in the peer network (10.0.5.0/24) overlaps with an IP range in the "
              "local network (10.0.0.0/16) allocated by resource "
              "(projects/p/regions/r/subnetworks/hub-sub).")},
      // A network's route to the internet is no static route of its own.
      {"routes-per-network=1", kRoutes, route("hub", "172.17.0.0/16"), {{"status", "DONE"}}},
      {"routes-per-network=1", kRoutes, route("spoke", "172.17.0.0/16"),
       failed("QUOTA_EXCEEDED",
              "Quota 'STATIC_ROUTES_PER_NETWORK' exceeded.  Limit: 1.0 globally.")},
      // The peering group of hub holds the routes of spoke.
      {"static-routes-per-peering-group=1", kRoutes, route("hub", "172.17.0.0/16"),
       failed("QUOTA_EXCEEDED",
              "Quota 'STATIC_ROUTES_PER_PEERING_GROUP' exceeded.  Limit: 1.0 globally.")},
      {"peerings-per-network=1", kAddToHub, peering("routed"),
       failed("QUOTA_EXCEEDED", "Quota 'PEERINGS_PER_NETWORK' exceeded.  Limit: 1.0 globally.")},
  };
  for (const Row& row : rows) {
    Store store = Store::fromTopology(parseYamlText(kPeeredTopology, "topology"));
    Options options;
    ASSERT_EQ(*row.quota ? setQuota(row.quota, options.quotas) : "", "");
    ComputeApi api(store, options);
    std::vector<std::string> path;
    std::istringstream segments(row.path);
    for (std::string segment; std::getline(segments, segment, '/');) path.push_back(segment);
    ResourceDocument outcome;
    try {
      ResourceDocument operation = api.call("POST", path, {}, row.body, std::nullopt);
      outcome = operation.contains("error")
                    ? ResourceDocument{{"code", operation["error"]["errors"][0]["code"]},
                                       {"message", operation["error"]["errors"][0]["message"]}}
                    : ResourceDocument{{"status", operation["status"]}};
    } catch (const ApiError& error) {
      outcome = {{"status", error.status()}, {"reason", error.reason()}, {"message", error.what()}};
    }
    EXPECT_EQ(outcome, row.outcome) << row.path << " " << row.body;
  }
}

// The rows above set each per-network quota by its name.
TEST(QuotaOption, StartsAtTheApisDefaultsAndRefusesUnknownNames) {
  QuotaOptions quotas;
  EXPECT_EQ(std::tuple(quotas.routesPerNetwork, quotas.peeringsPerNetwork,
                       quotas.staticRoutesPerPeeringGroup),
            std::tuple(200LL, 25LL, 300LL));
  EXPECT_FALSE(quotas.readsPerWindow || quotas.writesPerWindow);
  EXPECT_EQ(setQuota("routes=5", quotas),
            "no quota routes (there are routes-per-network, peerings-per-network, "
            "static-routes-per-peering-group, reads-per-minute and writes-per-minute)");
}

TEST(RouteWarnings, EachNextHopThatCannotCarryTrafficIsNamed) {
  Store store = Store::fromTopology(parseYamlText(R"(
projects:
  p:
    networks: [{name: n}, {name: m}]
    instances:
      - {name: ok, zone: z-a, canIpForward: true, networkInterfaces: [{network: n, networkIP: 10.0.0.1}]}
      - {name: plain, zone: z-a, networkInterfaces: [{network: n, networkIP: 10.0.0.2}]}
      - {name: off, zone: z-a, canIpForward: true, status: TERMINATED, networkInterfaces: [{network: n, networkIP: 10.0.0.3}]}
      - {name: elsewhere, zone: z-a, canIpForward: true, networkInterfaces: [{network: m, networkIP: 10.0.0.4}]}
)",
                                                  "topology"));
  const std::pair<ResourceDocument, std::vector<std::string>> cases[] = {
      {{{"nextHopInstance", "zones/z-a/instances/ok"}}, {}},
      {{{"nextHopIp", "10.0.0.1"}}, {}},
      {{{"nextHopIp", "10.0.0.9"}, {"nextHopIlb", "regions/r/forwardingRules/f"}}, {}},
      {{{"nextHopInstance", "zones/z-a/instances/plain"}}, {"NEXT_HOP_CANNOT_IP_FORWARD"}},
      {{{"nextHopInstance", "zones/z-a/instances/gone"}}, {"NEXT_HOP_INSTANCE_NOT_FOUND"}},
      {{{"nextHopInstance", "zones/z-a/instances/elsewhere"}},
       {"NEXT_HOP_INSTANCE_NOT_ON_NETWORK"}},
      {{{"nextHopIp", "10.0.0.3"}}, {"NEXT_HOP_NOT_RUNNING"}},
      {{{"nextHopIp", "10.0.0.4"}}, {"NEXT_HOP_ADDRESS_NOT_ASSIGNED"}},
  };
  for (const auto& [nextHop, codes] : cases) {
    ResourceDocument route = {{"network", linkOf("projects/p/global/networks/n")}};
    for (const auto& [field, value] : nextHop.items())
      route[field] = field == "nextHopIp"
                         ? value
                         : ResourceDocument(linkOf("projects/p/" + value.get<std::string>()));
    std::vector<std::string> got;
    const ResourceDocument shown = withWarnings(store, route);
    for (const auto& warning : arrayOrEmpty(shown, "warnings")) got.push_back(warning["code"]);
    EXPECT_EQ(got, codes) << nextHop;
  }
}

}  // namespace
}  // namespace tolmi_gcp::emulator
