#pragma once

// Internal to the library: the behaviour of one kind of part, and what its checks and read-backs
// share. Each kind lives beside the operations it drives (peerings_part.cpp, routes_part.cpp,
// routers_part.cpp).

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/estate.hpp"
#include "tolmi_gcp/network_key.hpp"
#include "tolmi_gcp/parts.hpp"
#include "tolmi_gcp/text_lists.hpp"

namespace tolmi_gcp::parts {

// The spoke a run works on, and the estate its checks read.
struct Spoke {
  std::string project;
  std::string key;  // "project::network"
  const Estate& estate;  // as read
  const Estate& before;  // as the parts before the one checked would leave it
};

// A transit network of the migration file that exists, as the check before a switch read it.
struct Transit {
  std::string where;  // its place in the file: "transit_vpcs[0]"
  NetworkKey key;
  const Network& network;         // as the API has it
  const ResourceDocument& entry;  // as the file has it
};

// One kind of part.
class PartType {
 public:
  virtual ~PartType() = default;

  // The check before a switch adds to `found` what the part would trip over and change: first
  // on each transit network, in the file's order, with the other parts that check them (looked
  // up only when one does), then elsewhere.
  virtual bool checksTransits() const { return false; }
  virtual void checkSwitchOn(const Transit&, const Spoke&, Findings&) const {}
  virtual void checkSwitch(const Spoke&, Findings&) const {}
  // Adds to `found` what a revert of the part would trip over and change.
  virtual void checkRevert(const Spoke& spoke, Findings& found) const = 0;
  virtual void run(bool switching) const = 0;
  // Adds to `found` each difference between `meant` and `now` on what `meant` changes of
  // `before`.
  virtual void compare(const Estate& before, const Estate& meant, const Estate& now,
                       const NetworkKey& spoke, bool switching,
                       std::vector<std::string>& found) const = 0;
  // Makes of `estate` what a switch or revert of the part would make of it, for the spoke
  // `spoke`.
  virtual void predict(Estate& estate, const NetworkKey& spoke, bool switching) const = 0;
  // A part that changes its resources in two steps, with an instant between them, names that
  // instant ("between deletes and adds of routes stage-1") and predicts each step; "" for a part
  // of one step.
  virtual std::string firstStepLabel(bool /*switching*/) const { return ""; }
  virtual void predictStep(Estate&, const NetworkKey&, bool /*switching*/, bool /*first*/) const {}
};

std::unique_ptr<PartType> peeringsPart();
std::unique_ptr<PartType> routesPart(const std::string& stage);
std::unique_ptr<PartType> routersPart();

// "project::network" of a network link, "" when `link` is not one: for the revert record, whose
// links the checks report on as findings.
std::string networkKeyOf(const ResourceDocument& link);

// The name of the peering of `network` that leads to the network `peer` ("project::network"), ""
// when there is none.
std::string peeringTo(const Network& network, const std::string& peer);

// The transit networks of the migration file, as keys.
std::vector<std::string> transitKeys();

// The API leaves empty lists out of what it returns: absent and empty compare equal.
ResourceDocument comparable(const ResourceDocument& value);

// A value for people: its JSON text, "nothing" for null.
std::string shown(const ResourceDocument& value);

}  // namespace tolmi_gcp::parts
