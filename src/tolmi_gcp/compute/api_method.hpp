#pragma once

#include <string_view>

namespace tolmi_gcp {

// What a call does to the estate, which decides how it may be retried: reads and operation waits
// are safe to repeat; a change is repeated only under its own requestId. Reading an operation is
// part of waiting for it (kWait), when its wait failed.
enum class CallKind { kRead, kWait, kChange };

// One Compute Engine API method the library calls, as the API's discovery document names it.
struct ApiMethod {
  std::string_view name;  // "compute.routes.insert"
  CallKind kind;
  std::string_view verb;  // "POST"
  std::string_view path;  // relative to the API root; each "*" is one parameter, in order
};

namespace api {
inline constexpr ApiMethod kNetworksList{"compute.networks.list", CallKind::kRead, "GET",
                                         "projects/*/global/networks"};
inline constexpr ApiMethod kNetworksGet{"compute.networks.get", CallKind::kRead, "GET",
                                        "projects/*/global/networks/*"};
inline constexpr ApiMethod kNetworksAddPeering{"compute.networks.addPeering", CallKind::kChange,
                                               "POST", "projects/*/global/networks/*/addPeering"};
inline constexpr ApiMethod kNetworksRemovePeering{"compute.networks.removePeering",
                                                  CallKind::kChange, "POST",
                                                  "projects/*/global/networks/*/removePeering"};
inline constexpr ApiMethod kSubnetworksGet{"compute.subnetworks.get", CallKind::kRead, "GET",
                                           "projects/*/regions/*/subnetworks/*"};
inline constexpr ApiMethod kRoutesList{"compute.routes.list", CallKind::kRead, "GET",
                                       "projects/*/global/routes"};
inline constexpr ApiMethod kRoutesGet{"compute.routes.get", CallKind::kRead, "GET",
                                      "projects/*/global/routes/*"};
inline constexpr ApiMethod kRoutesDelete{"compute.routes.delete", CallKind::kChange, "DELETE",
                                         "projects/*/global/routes/*"};
inline constexpr ApiMethod kRoutesInsert{"compute.routes.insert", CallKind::kChange, "POST",
                                         "projects/*/global/routes"};
inline constexpr ApiMethod kInstancesGet{"compute.instances.get", CallKind::kRead, "GET",
                                         "projects/*/zones/*/instances/*"};
inline constexpr ApiMethod kRoutersList{"compute.routers.list", CallKind::kRead, "GET",
                                        "projects/*/regions/*/routers"};
inline constexpr ApiMethod kRoutersGet{"compute.routers.get", CallKind::kRead, "GET",
                                       "projects/*/regions/*/routers/*"};
inline constexpr ApiMethod kRoutersPatch{"compute.routers.patch", CallKind::kChange, "PATCH",
                                         "projects/*/regions/*/routers/*"};
inline constexpr ApiMethod kGlobalOperationsList{"compute.globalOperations.list", CallKind::kRead,
                                                 "GET", "projects/*/global/operations"};
inline constexpr ApiMethod kGlobalOperationsWait{"compute.globalOperations.wait", CallKind::kWait,
                                                 "POST", "projects/*/global/operations/*/wait"};
inline constexpr ApiMethod kGlobalOperationsGet{"compute.globalOperations.get", CallKind::kWait,
                                                "GET", "projects/*/global/operations/*"};
inline constexpr ApiMethod kRegionOperationsGet{"compute.regionOperations.get", CallKind::kWait,
                                                "GET", "projects/*/regions/*/operations/*"};
inline constexpr ApiMethod kRegionOperationsWait{"compute.regionOperations.wait", CallKind::kWait,
                                                 "POST", "projects/*/regions/*/operations/*/wait"};
}  // namespace api

// The method that `verb` on `path` (relative to the API root, e.g. "projects/p/global/routes")
// calls, or nullptr when it is none of the above. For reading a server's journal of requests.
const ApiMethod* findApiMethod(std::string_view verb, std::string_view path);

}  // namespace tolmi_gcp
