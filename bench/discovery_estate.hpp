#pragma once

// The generated project the discovery benchmarks measure, and the tests compare reports on.

#include <string>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::bench {

struct ProjectSize {
  int networks;
  int subnetworks;
  int routes;
};

// One project's topology for compute-emulator: `networks` networks sharing the subnetworks and
// routes evenly, with one gateway VM each, and routes through every kind of next hop a topology
// can give. The emulator adds each network's default internet route and each subnetwork's local
// route, so its discovery report has 13 x networks + 2 x subnetworks + routes lines.
ResourceDocument discoveryEstate(const ProjectSize& size, const std::string& project);

}  // namespace tolmi_gcp::bench
