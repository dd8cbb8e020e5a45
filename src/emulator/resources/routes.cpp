#include <re2/re2.h>

#include "emulator/operations.hpp"
#include "emulator/paging.hpp"
#include "emulator/resources/handlers.hpp"
#include "emulator/route_rules.hpp"

namespace tolmi_gcp::emulator {

namespace {

// The link of the network a routes-list filter asks for ("network: LINK" or "network = LINK",
// LINK in any form), when that is all it asks.
std::optional<std::string> networkAskedFor(const std::optional<std::string>& filter,
                                           const std::string& project) {
  static const RE2 kNetworkTerm(R"re(\s*\(?\s*network\s*[:=]\s*"?([^"()\s]+)"?\s*\)?\s*)re");
  std::string value;
  if (!filter || !RE2::FullMatch(*filter, kNetworkTerm, &value)) return std::nullopt;
  auto relative = relativeName(value, project, "global/networks/*");
  if (!relative) return std::nullopt;
  return linkOf(*relative);
}

}  // namespace

ResourceDocument listRoutes(const Call& call) {
  const Project& project = call.store.project(call.project());
  // A filter on one network looks only at that network's routes.
  const std::set<std::string>* only = nullptr;
  if (auto network = networkAskedFor(call.queryParam("filter"), call.project())) {
    static const std::set<std::string> kNone;
    auto it = project.routesByNetwork.find(*network);
    only = it == project.routesByNetwork.end() ? &kNone : &it->second;
  }
  ResourceDocument list =
      listDocument("compute#routeList", "projects/" + call.project() + "/global/routes",
                   pageOf(project.routes, "", call, only));
  if (list.contains("items"))
    for (auto& route : list["items"]) route = withWarnings(call.store, std::move(route));
  return list;
}

ResourceDocument getRoute(const Call& call) {
  const Project& project = call.store.project(call.project());
  auto it = project.routes.find(call.param("route"));
  if (it == project.routes.end()) throwNotFound(call.relativeName());
  return withWarnings(call.store, it->second);
}

ResourceDocument insertRoute(const Call& call) {
  Project& project = call.store.project(call.project());
  if (!call.body.is_object())
    throw ApiError(400, "required", "Required field 'resource' not specified");
  ResourceDocument route = call.store.makeRoute(call.project(), call.body);
  std::string name = route["name"];
  std::string link = route["selfLink"];
  Change change{{}, false, {route["network"].get<std::string>()}};
  call.operations.checkReady(link);
  call.operations.checkNetworksFree(change);
  if (project.routes.count(name))
    throw ApiError(409, "alreadyExists",
                   "The resource '" + link.substr(kLinkPrefix.size()) + "' already exists");
  checkRouteDestination(call.store, route);
  change.refusal =
      routeQuotaRefusal(call.store, call.quotas, *call.store.findNetwork(change.networks[0]));
  change.apply = [&store = call.store, id = call.project(), route = std::move(route)] {
    store.addRoute(id, route);
  };
  return call.operations.start(call, "insert", link, "", std::move(change));
}

ResourceDocument deleteRoute(const Call& call) {
  Project& project = call.store.project(call.project());
  call.operations.checkReady(linkOf(call.relativeName()));
  auto it = project.routes.find(call.param("route"));
  if (it == project.routes.end()) throwNotFound(call.relativeName());
  if (project.generatedRoutes.count(call.param("route")))
    throw ApiError(400, "badRequest",
                   "The route '" + call.relativeName() +
                       "' is generated from a subnetwork or a peering and cannot be deleted.");
  Change change{[&store = call.store, id = call.project(), name = call.param("route")] {
                  store.project(id).eraseRoute(name);
                },
                false,
                {it->second["network"].get<std::string>()}};
  call.operations.checkNetworksFree(change);
  return call.operations.start(call, "delete", it->second["selfLink"], "", std::move(change));
}

}  // namespace tolmi_gcp::emulator
