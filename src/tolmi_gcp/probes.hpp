#pragma once

#include <string>
#include <vector>

#include "tolmi_gcp/estate.hpp"
#include "tolmi_gcp/network_key.hpp"

namespace tolmi_gcp {

// A question a run's plan asks of each state it goes through: where does traffic from `from` to
// `destination` go?
struct Probe {
  NetworkKey from;
  std::string destination;  // "10.0.0.0/20"

  bool operator==(const Probe&) const = default;
};

// What matters to a run of the migration file, as `estate` has it before the run: from the
// spoke, the subnet ranges of the transit networks and of what they are peered with ACTIVE, the
// destination of each static route of the spoke, each range a stage creates a route to or
// deletes one to, and the default route 0.0.0.0/0; from each transit network, each subnet range
// of the spoke (the way back). Each once, in that order.
std::vector<Probe> probesOfRun(const Estate& estate);

}  // namespace tolmi_gcp
