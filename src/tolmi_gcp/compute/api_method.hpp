#pragma once

#include <string_view>

namespace tolmi_gcp {

// What a call does to the estate, which decides how it may be retried: reads and operation waits
// are safe to repeat; a change is repeated only under its own requestId. Reading an operation is
// part of waiting for it (kWait), when its wait failed.
enum class CallKind { kRead, kWait, kChange };

// One Compute Engine API method the library calls or the emulator serves, as the API's discovery
// document names it.
struct ApiMethod {
  std::string_view name;  // "compute.routes.insert"
  CallKind kind;
  std::string_view verb;  // "POST"
  // Relative to the API root; each "{name}" is one parameter, named as the discovery document does.
  std::string_view path;
};

namespace api {
inline constexpr ApiMethod kNetworksList{"compute.networks.list", CallKind::kRead, "GET",
                                         "projects/{project}/global/networks"};
inline constexpr ApiMethod kNetworksGet{"compute.networks.get", CallKind::kRead, "GET",
                                        "projects/{project}/global/networks/{network}"};
inline constexpr ApiMethod kNetworksAddPeering{
    "compute.networks.addPeering", CallKind::kChange, "POST",
    "projects/{project}/global/networks/{network}/addPeering"};
inline constexpr ApiMethod kNetworksRemovePeering{
    "compute.networks.removePeering", CallKind::kChange, "POST",
    "projects/{project}/global/networks/{network}/removePeering"};
inline constexpr ApiMethod kNetworksListPeeringRoutes{
    "compute.networks.listPeeringRoutes", CallKind::kRead, "GET",
    "projects/{project}/global/networks/{network}/listPeeringRoutes"};
inline constexpr ApiMethod kSubnetworksGet{
    "compute.subnetworks.get", CallKind::kRead, "GET",
    "projects/{project}/regions/{region}/subnetworks/{subnetwork}"};
inline constexpr ApiMethod kRoutesList{"compute.routes.list", CallKind::kRead, "GET",
                                       "projects/{project}/global/routes"};
inline constexpr ApiMethod kRoutesGet{"compute.routes.get", CallKind::kRead, "GET",
                                      "projects/{project}/global/routes/{route}"};
inline constexpr ApiMethod kRoutesDelete{"compute.routes.delete", CallKind::kChange, "DELETE",
                                         "projects/{project}/global/routes/{route}"};
inline constexpr ApiMethod kRoutesInsert{"compute.routes.insert", CallKind::kChange, "POST",
                                         "projects/{project}/global/routes"};
inline constexpr ApiMethod kInstancesGet{"compute.instances.get", CallKind::kRead, "GET",
                                         "projects/{project}/zones/{zone}/instances/{instance}"};
inline constexpr ApiMethod kRoutersList{"compute.routers.list", CallKind::kRead, "GET",
                                        "projects/{project}/regions/{region}/routers"};
inline constexpr ApiMethod kRoutersAggregatedList{"compute.routers.aggregatedList", CallKind::kRead,
                                                  "GET", "projects/{project}/aggregated/routers"};
inline constexpr ApiMethod kRoutersGet{"compute.routers.get", CallKind::kRead, "GET",
                                       "projects/{project}/regions/{region}/routers/{router}"};
inline constexpr ApiMethod kRoutersPatch{"compute.routers.patch", CallKind::kChange, "PATCH",
                                         "projects/{project}/regions/{region}/routers/{router}"};
inline constexpr ApiMethod kRoutersGetRouterStatus{
    "compute.routers.getRouterStatus", CallKind::kRead, "GET",
    "projects/{project}/regions/{region}/routers/{router}/getRouterStatus"};
inline constexpr ApiMethod kGlobalOperationsList{"compute.globalOperations.list", CallKind::kRead,
                                                 "GET", "projects/{project}/global/operations"};
inline constexpr ApiMethod kGlobalOperationsGet{"compute.globalOperations.get", CallKind::kWait,
                                                "GET",
                                                "projects/{project}/global/operations/{operation}"};
inline constexpr ApiMethod kGlobalOperationsWait{
    "compute.globalOperations.wait", CallKind::kWait, "POST",
    "projects/{project}/global/operations/{operation}/wait"};
inline constexpr ApiMethod kRegionOperationsGet{
    "compute.regionOperations.get", CallKind::kWait, "GET",
    "projects/{project}/regions/{region}/operations/{operation}"};
inline constexpr ApiMethod kRegionOperationsWait{
    "compute.regionOperations.wait", CallKind::kWait, "POST",
    "projects/{project}/regions/{region}/operations/{operation}/wait"};
}  // namespace api

// The method that `verb` on `path` (relative to the API root, e.g. "projects/p/global/routes")
// calls, or nullptr when it is none of the above. For reading a server's journal of requests.
const ApiMethod* findApiMethod(std::string_view verb, std::string_view path);

}  // namespace tolmi_gcp
