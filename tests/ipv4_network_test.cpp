#include "tolmi_gcp/ipv4_network.hpp"

#include <gtest/gtest.h>

namespace tolmi_gcp {
namespace {

TEST(Ipv4Network, ParsesStrictlyAndNamesTheFault) {
  using Fault = Ipv4Network::Fault;
  struct Case {
    const char* text;
    bool bareAddress;
    Fault fault;
    const char* network;  // text() of the parsed network
  } cases[] = {
      {"10.0.0.0/8", false, Fault::none, "10.0.0.0/8"},
      {"0.0.0.0/0", false, Fault::none, "0.0.0.0/0"},
      {"10.1.2.3", true, Fault::none, "10.1.2.3/32"},
      {"10.1.2.3", false, Fault::noLength, ""},
      {"10.0.0.0/08", true, Fault::badLength, ""},
      {"10.0.0.0/33", false, Fault::badLength, ""},
      {"10.0.0.0/", false, Fault::badLength, ""},
      {"010.0.0.0/8", false, Fault::badAddress, ""},
      {"10.0.0/8", false, Fault::badAddress, ""},
      {"10.0.0.256/32", false, Fault::badAddress, ""},
      {"10.0.0.1/24", false, Fault::hostBits, "10.0.0.0/24"},
  };
  for (const Case& c : cases) {
    Ipv4Network::Parsed parsed = Ipv4Network::parse(c.text, c.bareAddress);
    EXPECT_EQ(parsed.fault, c.fault) << c.text;
    if (*c.network) {
      EXPECT_EQ(parsed.network.text(), c.network) << c.text;
    }
  }
  EXPECT_TRUE(
      Ipv4Network::parse("10.0.0.0/8").network.overlaps(Ipv4Network::parse("10.9.0.0/16").network));
  EXPECT_FALSE(Ipv4Network::parse("10.0.0.0/16")
                   .network.overlaps(Ipv4Network::parse("10.1.0.0/16").network));
}

}  // namespace
}  // namespace tolmi_gcp
