// The router of the API: each method served is one row, its descriptor (verb, path template)
// shared with the library and its handler in resources/.
#include "emulator/api.hpp"

#include "emulator/resources/handlers.hpp"
#include "emulator/schema.hpp"
#include "tolmi_gcp/compute/api_method.hpp"

namespace tolmi_gcp::emulator {

namespace {

struct Route {
  const ApiMethod* method;
  Handler handler;
  bool held = false;  // answered once its operation is done, or the wait timed out
};

const Route kRoutes[] = {
    {&api::kNetworksList, listNetworks},
    {&api::kNetworksGet, getNetwork},
    {&api::kNetworksAddPeering, addPeering},
    {&api::kNetworksRemovePeering, removePeering},
    {&api::kNetworksListPeeringRoutes, listPeeringRoutes},
    {&api::kSubnetworksGet, getSubnetwork},
    {&api::kRoutesList, listRoutes},
    {&api::kRoutesInsert, insertRoute},
    {&api::kRoutesGet, getRoute},
    {&api::kRoutesDelete, deleteRoute},
    {&api::kInstancesGet, getInstance},
    {&api::kRoutersList, listRouters},
    {&api::kRoutersAggregatedList, aggregatedRouters},
    {&api::kRoutersGet, getRouter},
    {&api::kRoutersPatch, patchRouter},
    {&api::kRoutersGetRouterStatus, getRouterStatus},
    {&api::kGlobalOperationsList, listGlobalOperations},
    {&api::kGlobalOperationsGet, getOperation},
    {&api::kGlobalOperationsWait, getOperation, true},
    {&api::kRegionOperationsGet, getOperation},
    {&api::kRegionOperationsWait, getOperation, true},
};

struct Routed {
  const Route& route;
  PathParameters parameters;
};

std::optional<Routed> routeOf(const std::string& method, const std::vector<std::string>& path) {
  for (const Route& route : kRoutes)
    if (route.method->verb == method)
      if (auto parameters = matchPath(route.method->path, path))
        return Routed{route, std::move(*parameters)};
  return std::nullopt;
}

}  // namespace

ResourceDocument ComputeApi::call(const std::string& method, const std::vector<std::string>& path,
                                  const QueryList& query, const ResourceDocument& body,
                                  const std::optional<ResourceDocument>& operationError) {
  std::optional<Routed> routed = routeOf(method, path);
  if (!routed)
    throw ApiError(404, "notFound",
                   "The requested URL " + method + " /compute/v1/" + joined(path) +
                       " was not found on this server.");
  // Fields the API does not have, and those only the server sets, are ignored.
  const Schema::Method* described = Schema::compute().method(method, path);
  ResourceDocument input = described && !described->requestBody.empty()
                               ? Schema::compute().input(described->requestBody, body)
                               : body;
  Call call{store_, operations_, path,           routed->parameters,
            query,  input,       operationError, options_.quotas};
  operations_.settle();
  bool change = routed->route.method->kind == CallKind::kChange;
  if (change) {
    if (auto earlier = operations_.repeated(call)) return *earlier;
  }
  ResourceDocument answer = routed->route.handler(call);
  if (change) operations_.settle();  // a change without delay is made at once
  return answer;
}

std::chrono::milliseconds ComputeApi::holdTime(const std::string& method,
                                               const std::vector<std::string>& path) const {
  std::optional<Routed> routed = routeOf(method, path);
  if (!routed || !routed->route.held) return std::chrono::milliseconds(0);
  return operations_.holdTime(Operations::addressOf(routed->parameters));
}

}  // namespace tolmi_gcp::emulator
