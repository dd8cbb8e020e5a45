#include "tolmi_gcp/part.hpp"
#include "tolmi_gcp/parts.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tolmi_gcp
