#include "tolmi_gcp/ResourceDocument.hpp"

#include <gtest/gtest.h>

namespace tolmi_gcp {
namespace {

TEST(ResourceDocumentTruthiness, EmptyValuesOfEveryTypeAreFalse) {
  for (const ResourceDocument& empty :
       {ResourceDocument(), ResourceDocument(false), ResourceDocument(0), ResourceDocument(0u),
        ResourceDocument(0.0), ResourceDocument(""), ResourceDocument::array(),
        ResourceDocument::object()})
    EXPECT_FALSE(truthy(empty)) << empty.dump();
  for (const ResourceDocument& present :
       {ResourceDocument(true), ResourceDocument(-1), ResourceDocument(2u), ResourceDocument(0.5),
        ResourceDocument(" "), ResourceDocument::array({0}), ResourceDocument({{"a", nullptr}})})
    EXPECT_TRUE(truthy(present)) << present.dump();
}

}  // namespace
}  // namespace tolmi_gcp
