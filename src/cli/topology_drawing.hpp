#pragma once

#include <string>
#include <vector>

#include "cli/estate_changes.hpp"
#include "tolmi_gcp/estate.hpp"

namespace tolmi_gcp::cli {

// What a picture of an estate shows and marks.
struct Drawing {
  const Estate& estate;
  const EstateChanges& changes;  // of the whole run, from the estate before to the one after
  bool before;                   // marks what `changes` removes; otherwise what it adds
  NetworkKey spoke;
  std::vector<NetworkKey> transits;
};

// The estate's networks, peerings, static routes to their next hops, gateway instances on their
// networks and routers with what they advertise, in Graphviz's DOT language: in the picture
// before, what the run removes or replaces red and dashed; in the one after, what it adds green.
std::string topologyDot(const Drawing& drawing);

// The SVG that Graphviz's `dot` draws of `dot`, given on its standard input. Throws Error with
// what dot said when it fails, and when it cannot be run.
std::string svgOfDot(const std::string& dot);

}  // namespace tolmi_gcp::cli
