#pragma once

#include <string>

namespace tolmi_gcp {

// A piece of a spoke's migration that is switched and reverted as a whole: its peerings, one
// route stage, or its routers' advertisements.
struct Part {
  enum Kind { kPeerings, kRoutes, kRouters } kind;
  std::string stage;  // for kRoutes

  std::string label() const;  // "peerings", "routes stage-1", "routers"

  // The part `label` names; a label that names neither the peerings nor a stage names the routers.
  static Part fromLabel(const std::string& label);
};

}  // namespace tolmi_gcp
