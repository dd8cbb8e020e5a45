#include "tolmi_gcp/part.hpp"

namespace tolmi_gcp {

namespace {

constexpr std::string_view kStagePrefix = "routes ";

}  // namespace

std::string Part::label() const {
  switch (kind) {
    case kPeerings:
      return "peerings";
    case kRoutes:
      return std::string(kStagePrefix) + stage;
    case kRouters:
      return "routers";
  }
  return "";
}

Part Part::fromLabel(const std::string& label) {
  if (label.starts_with(kStagePrefix)) return {kRoutes, label.substr(kStagePrefix.size())};
  return {label == "peerings" ? kPeerings : kRouters, ""};
}

}  // namespace tolmi_gcp
