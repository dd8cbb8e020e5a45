#pragma once

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp {

// Log helpers of the discovery report.
class Common {
 public:
  Common() = delete;

  // Index of the instance name in an instance self-link split on "/".
  static constexpr int INSTANCE_I = 10;

  // A blank line and the network's heading.
  static void logVpcHeader(const ResourceDocument& network);
  // One row of the subnet table: CIDR in 25, region in 30, then the name.
  static void logSubnet(const ResourceDocument& subnetwork);
};

}  // namespace tolmi_gcp
