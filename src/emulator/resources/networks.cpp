#include "emulator/dynamic_routes.hpp"
#include "emulator/operations.hpp"
#include "emulator/paging.hpp"
#include "emulator/resources/handlers.hpp"
#include "emulator/route_rules.hpp"

namespace tolmi_gcp::emulator {

namespace {

// What keeps a peering of `network` with `peer` from becoming ACTIVE, when the peer's end is there
// already, so that the new one would make it ACTIVE. An external peer's ranges are unknown.
std::optional<std::string> conflictOnceActive(const Store& store, const ResourceDocument& network,
                                              const std::string& peer) {
  const ResourceDocument* other = store.findNetwork(peer);
  if (!other) return std::nullopt;
  for (const auto& back : arrayOrEmpty(*other, "peerings"))
    if (back["network"] == network["selfLink"]) return peeringConflict(store, network, *other);
  return std::nullopt;
}

// The peering of `network` named `name`; 400 when there is none.
const ResourceDocument& peeringNamed(const ResourceDocument& network, const std::string& name) {
  for (const ResourceDocument& peering : arrayOrEmpty(network, "peerings"))
    if (peering["name"] == name) return peering;
  throw ApiError(400, "invalid",
                 "There is no peering named '" + name + "' on network '" +
                     network["selfLink"].get<std::string>().substr(kLinkPrefix.size()) + "'.");
}

std::string requiredQuery(const Call& call, const std::string& name) {
  std::optional<std::string> value = call.queryParam(name);
  if (!value || value->empty())
    throw ApiError(400, "required", "Required field '" + name + "' not specified");
  return *value;
}

}  // namespace

ResourceDocument listNetworks(const Call& call) {
  const Project& project = call.store.project(call.project());
  return listDocument("compute#networkList", "projects/" + call.project() + "/global/networks",
                      pageOf(project.networks, "", call));
}

ResourceDocument getNetwork(const Call& call) {
  return call.store.network(call.project(), call.param("network"));
}

ResourceDocument listPeeringRoutes(const Call& call) {
  const ResourceDocument& network = call.store.network(call.project(), call.param("network"));
  std::string peeringName = requiredQuery(call, "peeringName");
  std::string direction = requiredQuery(call, "direction");
  if (direction != "INCOMING" && direction != "OUTGOING")
    throw ApiError(
        400, "invalid",
        "Invalid value for field 'direction': '" + direction + "'. Must be INCOMING or OUTGOING.");
  std::string region = requiredQuery(call, "region");
  const ResourceDocument& peering = peeringNamed(network, peeringName);
  ResourceDocument items = ResourceDocument::array();
  // Nothing is exchanged before the peering is ACTIVE. An external peer sends what the topology
  // says; what it takes in is unknown.
  const ResourceDocument* peer = call.store.findNetwork(peering["network"].get<std::string>());
  bool incoming = direction == "INCOMING";
  std::vector<ExchangedRoute> routes;
  if (peering["state"] == "ACTIVE" && peer)
    routes =
        exchangedRoutes(call.store, incoming ? *peer : network, incoming ? network : *peer, region);
  else if (peering["state"] == "ACTIVE" && incoming)
    routes = exchangedFromExternalPeer(call.store, peering, region);
  for (const ExchangedRoute& route : routes) items.push_back(route.document());
  std::string relative = call.relativeName();
  ResourceDocument list = {{"kind", "compute#exchangedPeeringRoutesList"}, {"id", relative}};
  if (!items.empty()) list["items"] = std::move(items);
  list["selfLink"] = linkOf(relative);
  return list;
}

ResourceDocument addPeering(const Call& call) {
  ResourceDocument& network = call.store.network(call.project(), call.param("network"));
  std::string link = network["selfLink"];
  ResourceDocument given;
  if (has(call.body, "networkPeering") && call.body["networkPeering"].is_object()) {
    given = call.body["networkPeering"];
  } else if (has(call.body, "name")) {
    // The older form: the peering's name and peer network at the top level.
    given = {{"name", call.body["name"]}, {"network", memberOrNull(call.body, "peerNetwork")}};
    if (has(call.body, "autoCreateRoutes"))
      given["autoCreateRoutes"] = call.body["autoCreateRoutes"];
  } else {
    throw ApiError(400, "required", "Required field 'networkPeering' not specified");
  }
  ResourceDocument peering = call.store.makePeering(call.project(), given);
  std::string peer = peering["network"];
  if (peer == link)
    throw ApiError(400, "invalid", "A network cannot be peered with itself: '" + link + "'.");
  for (const auto& existing : arrayOrEmpty(network, "peerings")) {
    if (existing["name"] == peering["name"])
      throw ApiError(400, "invalid",
                     "There is already a peering named '" + textOf(peering["name"]) +
                         "' on network '" + link.substr(kLinkPrefix.size()) + "'.");
    if (existing["network"] == peer)
      throw ApiError(
          400, "invalid",
          "Network '" + link.substr(kLinkPrefix.size()) + "' already has a peering with network '" +
              peer.substr(kLinkPrefix.size()) + "' (peering '" + textOf(existing["name"]) + "').");
  }
  std::optional<ResourceDocument> refusal = peeringQuotaRefusal(call.quotas, network);
  if (!refusal)
    if (auto conflict = conflictOnceActive(call.store, network, peer))
      refusal = operationError("INVALID_USAGE", *conflict, 400);
  Change change{[&store = call.store, id = call.project(), name = call.param("network"),
                 peering = std::move(peering)] {
                  store.network(id, name)["peerings"].push_back(peering);
                  store.refreshNetworks();
                },
                true,
                {link, peer},
                std::move(refusal)};
  call.operations.checkNetworksFree(change);
  call.operations.checkReady(link);
  return call.operations.start(call, "addPeering", link, "", std::move(change));
}

ResourceDocument removePeering(const Call& call) {
  ResourceDocument& network = call.store.network(call.project(), call.param("network"));
  std::string link = network["selfLink"];
  if (!has(call.body, "name") || !call.body["name"].is_string())
    throw ApiError(400, "required", "Required field 'name' not specified");
  std::string name = call.body["name"];
  std::string peer = peeringNamed(network, name)["network"];
  Change change{[&store = call.store, id = call.project(), network = call.param("network"), name] {
                  ResourceDocument& changed = store.network(id, network);
                  ResourceDocument& list = changed["peerings"];
                  for (auto entry = list.begin(); entry != list.end(); ++entry)
                    if ((*entry)["name"] == name) {
                      list.erase(entry);
                      break;
                    }
                  if (list.empty()) changed.erase("peerings");
                  store.refreshNetworks();
                },
                true,
                {link, peer}};
  call.operations.checkNetworksFree(change);
  call.operations.checkReady(link);
  return call.operations.start(call, "removePeering", link, "", std::move(change));
}

}  // namespace tolmi_gcp::emulator
