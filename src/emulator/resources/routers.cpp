#include <algorithm>
#include <cctype>

#include "emulator/dynamic_routes.hpp"
#include "emulator/operations.hpp"
#include "emulator/paging.hpp"
#include "emulator/resources/handlers.hpp"

namespace tolmi_gcp::emulator {

namespace {

// RFC 7396: objects merge member by member, null removes, anything else replaces.
void mergePatch(ResourceDocument& target, const ResourceDocument& patch) {
  if (!patch.is_object()) {
    target = patch;
    return;
  }
  if (!target.is_object()) target = ResourceDocument::object();
  for (const auto& [key, value] : patch.items()) {
    if (value.is_null())
      target.erase(key);
    else
      mergePatch(target[key], value);
  }
}

}  // namespace

ResourceDocument listRouters(const Call& call) {
  const Project& project = call.store.project(call.project());
  const std::string& region = call.param("region");
  return listDocument("compute#routerList",
                      "projects/" + call.project() + "/regions/" + region + "/routers",
                      pageOf(project.routers, region + "/", call));
}

ResourceDocument aggregatedRouters(const Call& call) {
  const Project& project = call.store.project(call.project());
  Page page = pageOf(project.routers, "", call);
  ResourceDocument scopes = ResourceDocument::object();
  std::string includeAll = call.queryParam("includeAllScopes").value_or("");
  std::transform(includeAll.begin(), includeAll.end(), includeAll.begin(), ::tolower);
  if (includeAll == "true") {
    // The regions the project uses, so that empty ones are reported as such.
    for (const auto* collection : {&project.subnetworks, &project.routers})
      for (const auto& [key, resource] : *collection) {
        std::string scope = "regions/" + key.substr(0, key.find('/'));
        scopes[scope] = {
            {"warning",
             {{"code", "NO_RESULTS_ON_PAGE"},
              {"message", "There are no results for scope '" + scope + "' on this page."},
              {"data", {{{"key", "scope"}, {"value", scope}}}}}}};
      }
  }
  for (const ResourceDocument* router : page.items) {
    std::string region = router->at("region").get<std::string>();
    std::string scope = region.substr(region.rfind("/regions/") + 1);
    if (!scopes.contains(scope) || !scopes[scope].contains("routers"))
      scopes[scope] = {{"routers", ResourceDocument::array()}};
    scopes[scope]["routers"].push_back(*router);
  }
  std::string relative = "projects/" + call.project() + "/aggregated/routers";
  ResourceDocument list = {{"kind", "compute#routerAggregatedList"}, {"id", relative}};
  if (!scopes.empty()) list["items"] = std::move(scopes);
  if (page.nextPageToken) list["nextPageToken"] = *page.nextPageToken;
  list["selfLink"] = linkOf(relative);
  return list;
}

ResourceDocument getRouter(const Call& call) {
  return call.scoped(&Project::routers, "region", "router");
}

ResourceDocument getRouterStatus(const Call& call) {
  const ResourceDocument& router = call.scoped(&Project::routers, "region", "router");
  const ResourceDocument* network = call.store.findNetwork(router["network"].get<std::string>());
  ResourceDocument result = {{"network", router["network"]}};
  auto put = [&](const char* field, const std::vector<DynamicRoute>& routes) {
    for (const DynamicRoute& route : bestOf(routes)) result[field].push_back(route.document());
  };
  put("bestRoutes", dynamicRoutesIn(call.store, *network, call.param("region")));
  put("bestRoutesForRouter", learnedBy(call.store, router));
  ResourceDocument peers = bgpPeerStatus(call.store, router);
  if (!peers.empty()) result["bgpPeerStatus"] = std::move(peers);
  return {{"kind", "compute#routerStatusResponse"}, {"result", std::move(result)}};
}

ResourceDocument patchRouter(const Call& call) {
  ResourceDocument& router = call.scoped(&Project::routers, "region", "router");
  std::string link = router["selfLink"];
  call.operations.checkReady(link);
  if (!call.body.is_object())
    throw ApiError(400, "required", "Required field 'resource' not specified");
  // Clients send back the whole router they read: the name and the network may only repeat
  // what they are.
  ResourceDocument patch = call.body;
  if (has(patch, "name") && patch["name"] != router["name"])
    throwInvalid("name", patch["name"], "A router cannot be renamed.");
  if (has(patch, "network") && !patch["network"].is_null()) {
    auto network = patch["network"].is_string() ? relativeName(patch["network"].get<std::string>(),
                                                               call.project(), "global/networks/*")
                                                : std::nullopt;
    if (!network || linkOf(*network) != router["network"])
      throwInvalid("network", patch["network"], "The network of a router cannot change.");
    patch.erase("network");
  }
  ResourceDocument patched = router;
  mergePatch(patched, patch);
  if (!has(patched, "bgp"))
    throw ApiError(400, "required", "Required field 'resource.bgp' not specified");
  Store::checkRouterBgp(patched["bgp"]);
  if (patched["bgp"]["asn"] != router["bgp"]["asn"])
    throwInvalid("bgp.asn", patched["bgp"]["asn"], "The ASN of a router cannot change.");
  std::string region = router["region"];
  // Routers are never deleted, and a reset forgets the operation: the router is there when the
  // change is made.
  Change change{[&store = call.store, id = call.project(),
                 key = call.param("region") + "/" + call.param("router"),
                 patched = std::move(patched)] { store.project(id).routers.at(key) = patched; },
                false,
                {}};
  return call.operations.start(call, "patch", link, region, std::move(change));
}

}  // namespace tolmi_gcp::emulator
