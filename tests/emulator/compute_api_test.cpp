// ComputeApi on a clock moved by hand: what changes show while their operations run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "emulator/api.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"

namespace tolmi_gcp::emulator {
namespace {

const char* kTopology = R"(
projects:
  p:
    networks: [{name: n}, {name: n-2}, {name: n-3, peerings: [{name: back, network: n-2}]}]
    routers: [{name: r, region: us-east1, network: n, bgp: {asn: 64512}}]
    routes:
      - {name: old, network: n, destRange: 10.1.0.0/16, nextHopIp: 10.0.0.1}
      - {name: b, network: n-2, destRange: 10.3.0.0/16, nextHopIp: 10.0.0.1,
         creationTimestamp: "2020-01-01T00:00:00.000+00:00"}
      - {name: a, network: n-2, destRange: 10.4.0.0/16, nextHopIp: 10.0.0.1,
         creationTimestamp: "2021-01-01T00:00:00.000+00:00"}
      - {name: c, network: n-2, destRange: 10.5.0.0/16, nextHopIp: 10.0.0.1,
         creationTimestamp: "2022-01-01T00:00:00.000+00:00"}
)";

class ComputeApiTest : public ::testing::Test {
 protected:
  // Answers like the API: the document, or the error's status and message.
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

  Store store = Store::fromTopology(YamlContext::parseText(kTopology, "topology"));
  Options options{.operationDelayMs = 100};
  ComputeApi::Clock::time_point now;
  ComputeApi api{store, options, [this] { return now; }};
};

TEST_F(ComputeApiTest, ChangesShowWhenTheirOperationFinishesAndRefuseASecondMeanwhile) {
  struct Case {
    std::string method, path;
    ResourceDocument body;
    std::string read, refusal;  // what shows the change; the answer to the same change again
  };
  const std::string routes = "projects/p/global/routes", network = "projects/p/global/networks/n";
  const std::string router = "projects/p/regions/us-east1/routers/r";
  const auto notReady = [](const std::string& name) {
    return "The resource '" + name + "' is not ready";
  };
  const Case cases[] = {
      {"POST", routes, route("new"), routes + "/new", notReady(routes + "/new")},
      {"DELETE", routes + "/old", nullptr, routes + "/old", notReady(routes + "/old")},
      {"PATCH",
       router,
       {{"bgp", {{"asn", 64512}, {"keepaliveInterval", 40}}}},
       router,
       notReady(router)},
      {"POST",
       network + "/addPeering",
       {{"networkPeering", {{"name", "x"}, {"network", "global/networks/n-2"}}}},
       network,
       "There is a peering operation in progress on the local or peer network. Try again later."},
  };
  for (const Case& test : cases) {
    ResourceDocument before = call("GET", test.read);
    EXPECT_EQ(call(test.method, test.path, test.body)["status"], "PENDING") << test.path;
    now += std::chrono::milliseconds(60);
    EXPECT_EQ(call("GET", test.read), before) << test.path;
    EXPECT_EQ(call(test.method, test.path, test.body)["message"], test.refusal);
    now += std::chrono::milliseconds(60);
    EXPECT_NE(call("GET", test.read), before) << test.path;
  }
}

TEST_F(ComputeApiTest, RouteAndPeeringChangesExcludeEachOtherOnANetworkAndItsPeers) {
  call("POST", "projects/p/global/networks/n/addPeering",
       {{"networkPeering", {{"name", "x"}, {"network", "global/networks/n-2"}}}});
  // n-3 is peered with n-2; n-2 is the peer of the unfinished change.
  for (const char* network : {"n", "n-2", "n-3"})
    EXPECT_EQ(call("POST", "projects/p/global/routes", route("r", network))["message"],
              "There is a peering operation in progress on the local or peer network. Try again "
              "later.")
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
  body.update({{"bogus", 1}, {"id", "7"}, {"creationTimestamp", "2000-01-01T00:00:00Z"}});
  call("POST", "projects/p/global/routes", body);
  ResourceDocument stored = call("GET", "projects/p/global/routes/new");
  EXPECT_FALSE(stored.contains("bogus"));
  EXPECT_NE(stored["id"], "7");
  EXPECT_NE(stored["creationTimestamp"], "2000-01-01T00:00:00Z");
  const char* id = "5c2b7a10-0f3e-4d1a-9b7c-0123456789ab";
  EXPECT_EQ(call("PATCH", "projects/p/regions/us-east1/routers/r",
                 {{"bogus", 1}, {"bgp", {{"asn", 64512}, {"bogus", 2}}}},
                 {{"requestId", id}})["clientOperationId"],
            id);
  EXPECT_EQ(
      call("GET", "projects/p/regions/us-east1/routers/r")["bgp"],
      ResourceDocument({{"asn", 64512}, {"advertiseMode", "DEFAULT"}, {"keepaliveInterval", 20}}));
  EXPECT_FALSE(call("GET", "projects/p/regions/us-east1/routers/r").contains("bogus"));
}

TEST_F(ComputeApiTest, ListsOrderNewestFirstPageByPageAndRefuseBadSizes) {
  std::vector<std::string> names;
  QueryList query = {
      {"orderBy", "creationTimestamp desc"}, {"maxResults", "2"}, {"filter", "network: n-2"}};
  for (ResourceDocument page;; query.push_back({"pageToken", page["nextPageToken"]})) {
    page = call("GET", "projects/p/global/routes", nullptr, query);
    for (const auto& item : page["items"]) names.push_back(item["name"]);
    if (!page.contains("nextPageToken")) break;
  }
  // The network's route to the internet is made with the project, after the others.
  EXPECT_THAT(names,
              ::testing::ElementsAre(::testing::StartsWith("default-route-"), "c", "a", "b"));
  for (const char* size : {"501", "-1"})
    EXPECT_EQ(call("GET", "projects/p/global/routes", nullptr, {{"maxResults", size}})["status"],
              400);
}

}  // namespace
}  // namespace tolmi_gcp::emulator
