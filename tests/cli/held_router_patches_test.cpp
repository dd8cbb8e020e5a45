// Router patches held for one patch per router: what the library is answered, what it reads.
#include "cli/held_router_patches.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_transport.hpp"

namespace tolmi_gcp::cli {
namespace {

using ::testing::ElementsAre;
using testing::FakeTransport;

HttpRequest request(const std::string& method, const std::string& path,
                    const std::string& body = "") {
  return {method, "http://h/compute/v1/", path, {}, {}, body};
}

TEST(HeldRouterPatches, PatchesAreHeldMergedAndShownInEveryReadOfTheRouter) {
  auto api = std::make_shared<FakeTransport>();
  HeldRouterPatches held;
  std::shared_ptr<HttpTransport> transport = held.transport(api);
  const std::string router = "projects/p/regions/r/routers/c";

  held.setSpoke("p::a");
  ResourceDocument operation = parseDocument(
      transport
          ->send(request("PATCH", router,
                         R"({"bgp":{"advertisedIpRanges":[{"range":"10.1.0.0/20"}]}})"))
          .body);
  EXPECT_TRUE(HeldRouterPatches::isHeldOperation(operation));
  EXPECT_EQ(operation["status"], "DONE");
  EXPECT_EQ(operation["targetLink"], "http://h/compute/v1/" + router);
  const std::string wait =
      "projects/p/regions/r/operations/" + operation["name"].get<std::string>() + "/wait";
  EXPECT_EQ(parseDocument(transport->send(request("POST", wait)).body)["status"], "DONE");
  held.setSpoke("p::b");
  transport->send(request("PATCH", router, R"({"bgp":{"advertisedGroups":[]}})"));
  EXPECT_TRUE(api->requests.empty());  // nothing was sent

  // The router read alone or in its region's listing shows both patches; another is as it is.
  const ResourceDocument stored = parseDocument(
      R"({"name":"c","bgp":{"asn":64512,"advertisedIpRanges":[],"advertisedGroups":["ALL_SUBNETS"]}})");
  const ResourceDocument other = parseDocument(R"({"name":"d","bgp":{"asn":1}})");
  api->reply(stored).reply({{"items", {stored, other}}});
  const ResourceDocument shown = parseDocument(
      R"({"name":"c","bgp":{"asn":64512,"advertisedIpRanges":[{"range":"10.1.0.0/20"}],"advertisedGroups":[]}})");
  EXPECT_EQ(parseDocument(transport->send(request("GET", router)).body), shown);
  EXPECT_EQ(parseDocument(transport->send(request("GET", "projects/p/regions/r/routers")).body),
            ResourceDocument({{"items", {shown, other}}}));

  std::vector<HeldRouterPatches::Held> patches = held.held();
  ASSERT_EQ(patches.size(), 1u);
  EXPECT_EQ(patches[0].router.text(), router);
  EXPECT_THAT(patches[0].spokes, ElementsAre("p::a", "p::b"));
  EXPECT_EQ(
      patches[0].body,
      parseDocument(
          R"({"bgp":{"advertisedIpRanges":[{"range":"10.1.0.0/20"}],"advertisedGroups":[]}})"));
}

}  // namespace
}  // namespace tolmi_gcp::cli
