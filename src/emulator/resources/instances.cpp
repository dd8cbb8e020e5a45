#include "emulator/resources/handlers.hpp"

namespace tolmi_gcp::emulator {

ResourceDocument getInstance(const Call& call) {
  return call.scoped(&Project::instances, "zone", "instance");
}

}  // namespace tolmi_gcp::emulator
