#include "emulator/resources/handlers.hpp"

namespace tolmi_gcp::emulator {

ResourceDocument getSubnetwork(const Call& call) {
  return call.scoped(&Project::subnetworks, "region", "subnetwork");
}

}  // namespace tolmi_gcp::emulator
