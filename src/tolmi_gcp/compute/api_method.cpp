#include "tolmi_gcp/compute/api_method.hpp"

namespace tolmi_gcp {

namespace {

constexpr const ApiMethod* kMethods[] = {
    &api::kNetworksList,
    &api::kNetworksGet,
    &api::kNetworksAddPeering,
    &api::kNetworksRemovePeering,
    &api::kSubnetworksGet,
    &api::kRoutesList,
    &api::kRoutesGet,
    &api::kRoutesDelete,
    &api::kRoutesInsert,
    &api::kInstancesGet,
    &api::kRoutersList,
    &api::kRoutersGet,
    &api::kRoutersPatch,
    &api::kGlobalOperationsList,
    &api::kGlobalOperationsWait,
    &api::kGlobalOperationsGet,
    &api::kRegionOperationsWait,
    &api::kRegionOperationsGet,
};

// "*" in the template stands for exactly one non-empty segment.
bool fits(std::string_view path, std::string_view pattern) {
  while (!pattern.empty()) {
    std::size_t slash = pattern.find('/');
    std::string_view want = pattern.substr(0, slash);
    std::size_t end = path.find('/');
    std::string_view got = path.substr(0, end);
    if (want == "*" ? got.empty() : got != want) return false;
    if (slash == std::string_view::npos) return end == std::string_view::npos;
    if (end == std::string_view::npos) return false;
    pattern.remove_prefix(slash + 1);
    path.remove_prefix(end + 1);
  }
  return path.empty();
}

}  // namespace

const ApiMethod* findApiMethod(std::string_view verb, std::string_view path) {
  for (const ApiMethod* method : kMethods)
    if (method->verb == verb && fits(path, method->path)) return method;
  return nullptr;
}

}  // namespace tolmi_gcp
