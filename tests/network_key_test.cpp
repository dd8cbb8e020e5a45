#include "tolmi_gcp/network_key.hpp"

#include <gtest/gtest.h>

namespace tolmi_gcp {
namespace {

TEST(NetworkKey, ReadsExactlyOneProjectAndNetwork) {
  std::optional<NetworkKey> key = NetworkKey::parse("hub-proj::hub");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->project, "hub-proj");
  EXPECT_EQ(key->network, "hub");
  EXPECT_EQ(key->text(), "hub-proj::hub");
  for (const char* refused : {"hub", "::hub", "hub-proj::", "hub-proj::hub::x", ""})
    EXPECT_FALSE(NetworkKey::parse(refused)) << refused;
  std::string_view rest;
  ASSERT_TRUE(NetworkKey::parse("p::n::us-east1::r1", &rest));
  EXPECT_EQ(rest, "us-east1::r1");
}

}  // namespace
}  // namespace tolmi_gcp
