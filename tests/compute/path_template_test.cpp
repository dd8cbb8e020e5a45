#include "tolmi_gcp/internal/path_template.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tolmi_gcp {
namespace {

using ::testing::ElementsAre;
using ::testing::Optional;
using ::testing::Pair;

TEST(PathTemplate, NamedParametersComeFromTheSegmentsThatFit) {
  const std::string_view wait = "projects/{project}/regions/{region}/operations/{operation}/wait";
  EXPECT_THAT(
      *matchPath(wait, pathSegments("projects/p/regions/us-east1/operations/op/wait")),
      ElementsAre(Pair("operation", "op"), Pair("project", "p"), Pair("region", "us-east1")));
  // An empty segment is a value, so that the emulator can name what it did not find.
  EXPECT_THAT(matchPath("projects/{project}/global/routes/{route}",
                        pathSegments("projects/p/global/routes/")),
              Optional(ElementsAre(Pair("project", "p"), Pair("route", ""))));
  for (const char* other :
       {"projects/p/regions/us-east1/operations/op", "projects/p/zones/us-east1/operations/op/wait",
        "projects/p/regions/us-east1/operations/op/wait/x"})
    EXPECT_EQ(matchPath(wait, pathSegments(other)), std::nullopt) << other;
}

}  // namespace
}  // namespace tolmi_gcp
