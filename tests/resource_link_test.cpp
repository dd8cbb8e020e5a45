#include "tolmi_gcp/resource_link.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp {
namespace {

using Scope = ResourceLink::Scope;

TEST(ResourceLink, ReadsFullAndPartialLinksOfEachScope) {
  struct Case {
    std::string text;
    Scope scope;
    std::string location, collection, name, partial;
  };
  for (const Case& c :
       std::vector<Case>{{"https://www.googleapis.com/compute/v1/projects/p/global/networks/hub",
                          Scope::kGlobal, "", "networks", "hub", "projects/p/global/networks/hub"},
                         {"http://emulator/compute/beta/projects/p/regions/us-east1/subnetworks/s",
                          Scope::kRegion, "us-east1", "subnetworks", "s",
                          "projects/p/regions/us-east1/subnetworks/s"},
                         {"projects/p/zones/us-east1-b/instances/gw", Scope::kZone, "us-east1-b",
                          "instances", "gw", "projects/p/zones/us-east1-b/instances/gw"},
                         {"projects/p/regions/us-east1", Scope::kGlobal, "", "regions", "us-east1",
                          "projects/p/regions/us-east1"}}) {
    std::optional<ResourceLink> link = ResourceLink::parse(c.text);
    ASSERT_TRUE(link) << c.text;
    EXPECT_EQ(link->project(), "p");
    EXPECT_EQ(link->scope(), c.scope) << c.text;
    EXPECT_EQ(link->location(), c.location);
    EXPECT_EQ(link->collection(), c.collection);
    EXPECT_EQ(link->name(), c.name);
    EXPECT_EQ(link->text(), c.partial);
  }
}

TEST(ResourceLink, RefusesLinksThatDoNotFitNamingWhereTheyCameFrom) {
  for (const char* refused :
       {"", "projects/", "projects/zz", "projects/x/zones", "projects/app-spoke-prod/regions",
        "projects/x/zones/z/instances", "projects/p/global/networks", "projects/p/global/networks/",
        "projects/p//networks/n", "projects/p/global/networks/n/peerings",
        "projects/p/global/regions/r", "projects/p/lands/l/instances/i",
        "/projects/p/global/networks/n", "xprojects/p/global/networks/n",
        "https://h/projects/p/global/networks/n",
        "https:///compute/v1/projects/p/global/networks/n",
        "ftp://h/compute/v1/projects/p/global/networks/n", "projects/p/global/networks/..",
        "projects/p/global/networks/a\nb"})
    EXPECT_FALSE(ResourceLink::parse(refused)) << refused;

  // A link of another collection or scope is no link to what is expected either.
  EXPECT_FALSE(
      ResourceLink::parse(ResourceDocument("projects/x/zones/z"), Scope::kZone, "instances"));
  EXPECT_FALSE(ResourceLink::parse(ResourceDocument("projects/p/regions/r/networks/n"),
                                   Scope::kGlobal, "networks"));
  auto messageOf = [](const ResourceDocument& value) {
    try {
      ResourceLink::of(value, Scope::kZone, "instances", "the nextHopInstance of the route r1");
    } catch (const Error& failure) {
      return std::string(failure.what());
    }
    return std::string("(no Error)");
  };
  EXPECT_EQ(messageOf("projects/x/zones"),
            "not a resource link: \"projects/x/zones\" as the nextHopInstance of the route r1 "
            "(expected projects/PROJECT/zones/ZONE/instances/NAME)");
  EXPECT_EQ(messageOf(5),
            "not a resource link: 5 as the nextHopInstance of the route r1 (expected "
            "projects/PROJECT/zones/ZONE/instances/NAME)");
  // Text from an answer is quoted escaped, and bytes that are not UTF-8 are replaced.
  EXPECT_THAT(messageOf("a\x1b[2J\xff"),
              ::testing::StartsWith("not a resource link: \"a\\u001b[2J\xEF\xBF\xBD\" as "));
}

}  // namespace
}  // namespace tolmi_gcp
