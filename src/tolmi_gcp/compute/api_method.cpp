#include "tolmi_gcp/compute/api_method.hpp"

#include "tolmi_gcp/internal/path_template.hpp"

namespace tolmi_gcp {

namespace {

constexpr const ApiMethod* kMethods[] = {
    &api::kNetworksList,
    &api::kNetworksGet,
    &api::kNetworksAddPeering,
    &api::kNetworksRemovePeering,
    &api::kNetworksListPeeringRoutes,
    &api::kSubnetworksGet,
    &api::kRoutesList,
    &api::kRoutesGet,
    &api::kRoutesDelete,
    &api::kRoutesInsert,
    &api::kInstancesGet,
    &api::kRoutersList,
    &api::kRoutersAggregatedList,
    &api::kRoutersGet,
    &api::kRoutersPatch,
    &api::kRoutersGetRouterStatus,
    &api::kGlobalOperationsList,
    &api::kGlobalOperationsGet,
    &api::kGlobalOperationsWait,
    &api::kRegionOperationsGet,
    &api::kRegionOperationsWait,
};

}  // namespace

std::vector<std::string> pathSegments(std::string_view path) {
  std::vector<std::string> segments;
  while (true) {
    std::size_t slash = path.find('/');
    segments.emplace_back(path.substr(0, slash));
    if (slash == std::string_view::npos) return segments;
    path.remove_prefix(slash + 1);
  }
}

std::optional<PathParameters> matchPath(std::string_view pattern,
                                        const std::vector<std::string>& segments) {
  PathParameters parameters;
  std::vector<std::string> wanted = pathSegments(pattern);
  if (wanted.size() != segments.size()) return std::nullopt;
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    const std::string& want = wanted[i];
    if (want.starts_with('{'))
      parameters.emplace(want.substr(1, want.size() - 2), segments[i]);
    else if (want != segments[i])
      return std::nullopt;
  }
  return parameters;
}

const ApiMethod* findApiMethod(std::string_view verb, std::string_view path) {
  std::vector<std::string> segments = pathSegments(path);
  for (const ApiMethod* method : kMethods)
    if (method->verb == verb && matchPath(method->path, segments)) return method;
  return nullptr;
}

}  // namespace tolmi_gcp
