#include "tolmi_gcp/commonlib.hpp"

#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/gcplib/frame.hpp"
#include "tolmi_gcp/network_key.hpp"

namespace tolmi_gcp {

void Common::logVpcHeader(const ResourceDocument& network) {
  std::string project =
      frame::linkAt(network, "selfLink", ResourceLink::Scope::kGlobal, "networks", "a network")
          .project();
  frame::info("");
  frame::info("=== VPC " + NetworkKey{project, stringAt(network, "name")}.text());
}

void Common::logSubnet(const ResourceDocument& subnetwork) {
  std::string region = frame::lastSegment(stringAt(subnetwork, "region"));
  frame::info("  " + frame::ljust(textOf(at(subnetwork, "ipCidrRange")), 25) +
              frame::ljust(region, 30) + textOf(at(subnetwork, "name")));
}

}  // namespace tolmi_gcp
