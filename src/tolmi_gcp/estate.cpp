#include "tolmi_gcp/estate.hpp"

#include <algorithm>
#include <functional>
#include <iterator>
#include <set>
#include <utility>

#include "tolmi_gcp/compute/read_ahead.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/resource_link.hpp"

namespace tolmi_gcp {

namespace {

std::string textAt(const ResourceDocument& document, std::string_view key) {
  const ResourceDocument& value = memberOrNull(document, key);
  return value.is_string() ? value.get<std::string>() : "";
}

bool flagAt(const ResourceDocument& document, std::string_view key) {
  const ResourceDocument& value = memberOrNull(document, key);
  return value.is_boolean() && value.get<bool>();
}

std::vector<std::string> textsOf(const ResourceDocument& list) {
  std::vector<std::string> texts;
  if (list.is_array())
    for (const ResourceDocument& item : list)
      if (item.is_string()) texts.push_back(item.get<std::string>());
  return texts;
}

// The API's next-hop fields, one kind each.
constexpr std::pair<NextHop::Kind, std::string_view> kNextHopFields[] = {
    {NextHop::Kind::kInstance, "nextHopInstance"},
    {NextHop::Kind::kIp, "nextHopIp"},
    {NextHop::Kind::kGateway, "nextHopGateway"},
    {NextHop::Kind::kVpnTunnel, "nextHopVpnTunnel"},
    {NextHop::Kind::kIlb, "nextHopIlb"},
    {NextHop::Kind::kPeering, "nextHopPeering"},
    {NextHop::Kind::kNetwork, "nextHopNetwork"},
    {NextHop::Kind::kHub, "nextHopHub"},
    {NextHop::Kind::kInterconnectAttachment, "nextHopInterconnectAttachment"},
};

}  // namespace

NetworkKey networkOf(const ResourceDocument& link, const std::string& what) {
  ResourceLink network = ResourceLink::of(link, ResourceLink::Scope::kGlobal, "networks", what);
  return {network.project(), network.name()};
}

ResourceLink subnetworkLink(const ResourceDocument& network, const ResourceDocument& link) {
  return ResourceLink::of(link, ResourceLink::Scope::kRegion, "subnetworks",
                          "a subnetwork of the network " + textAt(network, "name"));
}

Network Network::of(const std::string& project, ResourceDocument document) {
  Network network{project, textAt(document, "name"), textAt(document, "selfLink"), {}, {}, {}};
  for (const ResourceDocument& peering : arrayOrEmpty(document, "peerings")) {
    const ResourceDocument& mtu = memberOrNull(peering, "peerMtu");
    network.peerings.push_back(
        {textAt(peering, "name"),
         networkOf(memberOrNull(peering, "network"),
                   "the network of the peering " + textAt(peering, "name") + " of " + network.name),
         textAt(peering, "state"), flagAt(peering, "importCustomRoutes"),
         flagAt(peering, "exportCustomRoutes"), flagAt(peering, "importSubnetRoutesWithPublicIp"),
         flagAt(peering, "exportSubnetRoutesWithPublicIp"),
         mtu.is_number_integer() ? std::optional(mtu.get<std::int64_t>()) : std::nullopt});
  }
  network.document = std::move(document);
  return network;
}

namespace {

Subnetwork parseSubnetwork(const ResourceLink& at, ResourceDocument document) {
  Subnetwork subnetwork{at.project(),
                        at.location(),
                        textAt(document, "name"),
                        textAt(document, "ipCidrRange"),
                        {},
                        {}};
  for (const ResourceDocument& range : arrayOrEmpty(document, "secondaryIpRanges"))
    subnetwork.secondaryIpRanges.push_back(
        {textAt(range, "rangeName"), textAt(range, "ipCidrRange")});
  subnetwork.document = std::move(document);
  return subnetwork;
}

}  // namespace

Route Route::of(ResourceDocument document) {
  Route route;
  route.name = textAt(document, "name");
  route.destRange = textAt(document, "destRange");
  const ResourceDocument& priority = memberOrNull(document, "priority");
  route.priority = priority.is_number_integer() ? priority.get<std::int64_t>() : 0;
  route.tags = textsOf(memberOrNull(document, "tags"));
  route.description = textAt(document, "description");
  for (const auto& [kind, field] : kNextHopFields)
    if (has(document, field)) {
      route.nextHop = {kind, textOf(document[field]), std::nullopt};
      break;
    }
  if (route.nextHop.kind == NextHop::Kind::kInstance) {
    ResourceLink at =
        ResourceLink::of(document["nextHopInstance"], ResourceLink::Scope::kZone, "instances",
                         "the nextHopInstance of the route " + route.name);
    route.nextHop.instance = InstanceKey{at.project(), at.location(), at.name()};
  }
  route.network =
      networkOf(memberOrNull(document, "network"), "the network of the route " + route.name);
  route.document = std::move(document);
  return route;
}

namespace {

Instance parseInstance(const InstanceKey& key, ResourceDocument document) {
  Instance instance{key,
                    textAt(document, "status"),
                    flagAt(document, "canIpForward"),
                    textsOf(memberOrNull(memberOrNull(document, "tags"), "items")),
                    {},
                    {}};
  for (const ResourceDocument& interface : arrayOrEmpty(document, "networkInterfaces"))
    instance.networkInterfaces.push_back(
        {networkOf(memberOrNull(interface, "network"),
                   "the network of an interface of the instance " + key.name),
         textAt(interface, "subnetwork"), textAt(interface, "networkIP")});
  instance.document = std::move(document);
  return instance;
}

}  // namespace

Router Router::of(const std::string& project, const std::string& region,
                  ResourceDocument document) {
  std::string name = textAt(document, "name");
  NetworkKey network =
      networkOf(memberOrNull(document, "network"), "the network of the router " + name);
  const ResourceDocument& bgp = memberOrNull(document, "bgp");
  Router router{project,
                region,
                std::move(name),
                std::move(network),
                textAt(bgp, "advertiseMode"),
                textsOf(memberOrNull(bgp, "advertisedGroups")),
                {},
                {},
                {}};
  for (const ResourceDocument& range : arrayOrEmpty(bgp, "advertisedIpRanges"))
    router.advertisedIpRanges.push_back({textAt(range, "range"), textAt(range, "description")});
  router.document = std::move(document);
  return router;
}

std::vector<LearnedRoute> Router::learnedFrom(const ResourceDocument& status) {
  std::vector<LearnedRoute> routes;
  for (const ResourceDocument& route :
       arrayOrEmpty(memberOrNull(status, "result"), "bestRoutesForRouter")) {
    const ResourceDocument& priority = memberOrNull(route, "priority");
    routes.push_back({textAt(route, "destRange"), textAt(route, "nextHopIp"),
                      priority.is_number_integer() ? priority.get<std::int64_t>() : 0});
  }
  return routes;
}

std::optional<std::size_t> Router::peerOf(const LearnedRoute& route) const {
  for (std::size_t index = 0; index < bgpPeers().size(); ++index)
    if (textAt(bgpPeers()[index], "peerIpAddress") == route.nextHopIp) return index;
  return std::nullopt;
}

namespace {

// One read of the walk and what takes its answer: the resource, or each item of a listing's pages.
struct Read {
  Request request;
  std::function<void(ResourceDocument)> take;
  // For a listing: the request of the page after a page.
  std::function<std::optional<Request>(const Request&, const ResourceDocument&)> next = nullptr;
  bool mayBeAbsent = false;  // a 404 means the resource does not exist: nothing to take
};

template <typename Collection>
Read listing(const Collection& collection, Request request,
             std::function<void(ResourceDocument)> take) {
  return {std::move(request), std::move(take),
          [collection](const Request& previous, const ResourceDocument& page) {
            return collection.list_next(previous, page);
          }};
}

// Sends `reads` ahead together, then takes their answers in order: a failure stops the walk
// where reading one at a time would. A listing's later pages follow its first one at a time.
void readAll(const ComputeService& api, const std::vector<Read>& reads) {
  std::vector<Request> requests;
  for (const Read& read : reads) requests.push_back(read.request);
  ReadAhead ahead(api, requests);
  for (const Read& read : reads) {
    if (read.next) {
      for (std::optional<Request> page = read.request; page;) {
        ResourceDocument answer = page->execute();
        for (const ResourceDocument& item : arrayOrEmpty(answer, "items")) read.take(item);
        page = read.next(*page, answer);
      }
      continue;
    }
    std::optional<ResourceDocument> answer;
    try {
      answer = read.request.execute();
    } catch (const HttpError& failure) {
      if (failure.status() != 404 || !read.mayBeAbsent) throw;
    }
    if (answer) read.take(std::move(*answer));
  }
}

class EstateWalk {
 public:
  EstateWalk(const ComputeService& api, const EstateScope& scope) : api_(api), scope_(scope) {}

  Estate read() {
    const std::string& project = scope_.spoke.project;
    std::vector<Read> reads{listing(api_.networks(), api_.networks().list(project),
                                    [&](ResourceDocument network) { add(project, network); })};
    for (const NetworkKey& transit : scope_.transits)
      if (transit.project != project) reads.push_back(networkRead(transit));
    readAll(api_, reads);
    noteIfAbsent(scope_.spoke);
    for (const NetworkKey& transit : scope_.transits) noteIfAbsent(transit);

    reads = detailReads(0);
    std::vector<Read> routers = routerReads();
    reads.insert(reads.end(), routers.begin(), routers.end());
    readAll(api_, reads);

    std::size_t ofRouters = estate_.networks.size();
    std::vector<NetworkKey> routerNetworks = networksOfRouters();
    reads = statusReads();
    for (const NetworkKey& network : routerNetworks) reads.push_back(networkRead(network));
    readAll(api_, reads);
    for (const NetworkKey& network : routerNetworks) noteIfAbsent(network);
    readAll(api_, detailReads(ofRouters));

    std::vector<InstanceKey> instances = instancesWanted();
    reads.clear();
    for (const InstanceKey& key : instances)
      reads.push_back({api_.instances().get(key.project, key.zone, key.name),
                       [this, key](ResourceDocument instance) {
                         estate_.instances.push_back(parseInstance(key, std::move(instance)));
                       },
                       nullptr, true});
    readAll(api_, reads);
    for (const InstanceKey& key : instances)
      if (std::none_of(estate_.instances.begin(), estate_.instances.end(),
                       [&](const Instance& instance) { return instance.key == key; }))
        estate_.absent.push_back("the instance " + key.name + " in " + key.project + " " +
                                 key.zone);
    return std::move(estate_);
  }

 private:
  void add(const std::string& project, ResourceDocument network) {
    if (!estate_.network({project, textAt(network, "name")}))
      estate_.networks.push_back(Network::of(project, std::move(network)));
  }

  Read networkRead(const NetworkKey& key) {
    return {api_.networks().get(key.project, key.network),
            [this, key](ResourceDocument network) { add(key.project, std::move(network)); },
            nullptr, true};
  }

  void noteIfAbsent(const NetworkKey& key) {
    if (!estate_.network(key)) estate_.absent.push_back("the network " + key.text());
  }

  // Every router of each region the networks read so far have subnetworks in or the scope names
  // a router in.
  std::vector<Read> routerReads() {
    std::set<std::pair<std::string, std::string>> regions;  // (project, region)
    for (const Network& network : estate_.networks)
      for (const ResourceDocument& link : arrayOrEmpty(network.document, "subnetworks")) {
        ResourceLink at = subnetworkLink(network.document, link);
        regions.insert({at.project(), at.location()});
      }
    for (const RouterKey& router : scope_.routers)
      regions.insert({router.network.project, router.region});
    std::vector<Read> reads;
    for (const auto& [project, region] : regions)
      reads.push_back(listing(api_.routers(), api_.routers().list(project, region),
                              [this, project = project, region = region](ResourceDocument router) {
                                estate_.routers.push_back(
                                    Router::of(project, region, std::move(router)));
                              }));
    return reads;
  }

  // The status of each router with BGP peers: what it learned from them.
  std::vector<Read> statusReads() {
    std::vector<Read> reads;
    for (std::size_t index = 0; index < estate_.routers.size(); ++index) {
      const Router& router = estate_.routers[index];
      if (router.bgpPeers().empty()) continue;
      reads.push_back({api_.routers().getRouterStatus(router.project, router.region, router.name),
                       [this, index](ResourceDocument status) {
                         estate_.routers[index].learnedRoutes = Router::learnedFrom(status);
                       },
                       nullptr, true});
    }
    return reads;
  }

  // The subnetworks and routes of the networks from `first` on: the spoke project's routes in one
  // listing, each other network's in its own.
  std::vector<Read> detailReads(std::size_t first) {
    std::vector<Read> reads;
    auto addRoute = [this](ResourceDocument route) {
      estate_.routes.push_back(Route::of(std::move(route)));
    };
    if (first == 0)
      reads.push_back(
          listing(api_.routes(), api_.routes().list(scope_.spoke.project, ""), addRoute));
    for (std::size_t index = first; index < estate_.networks.size(); ++index) {
      const Network& network = estate_.networks[index];
      for (const ResourceDocument& link : arrayOrEmpty(network.document, "subnetworks")) {
        ResourceLink at = subnetworkLink(network.document, link);
        reads.push_back({api_.subnetworks().get(at.project(), at.location(), at.name()),
                         [this, index, at](ResourceDocument subnetwork) {
                           estate_.networks[index].subnetworks.push_back(
                               parseSubnetwork(at, std::move(subnetwork)));
                         }});
      }
      if (network.project != scope_.spoke.project)
        reads.push_back(listing(api_.routes(),
                                api_.routes().listOfNetwork(network.project, network.selfLink),
                                addRoute));
    }
    return reads;
  }

  // The networks the scope's routers sit on that are not read yet; the routers not found are
  // absent.
  std::vector<NetworkKey> networksOfRouters() {
    std::vector<NetworkKey> networks;
    for (const RouterKey& key : scope_.routers) {
      const Router* router = estate_.router(key);
      if (!router)
        estate_.absent.push_back("the router " + key.router + " in " + key.network.project + " " +
                                 key.region);
      else if (!estate_.network(router->network) &&
               std::find(networks.begin(), networks.end(), router->network) == networks.end())
        networks.push_back(router->network);
    }
    return networks;
  }

  // The next hops of the routes, then the scope's instances, each once.
  std::vector<InstanceKey> instancesWanted() const {
    std::vector<InstanceKey> keys;
    for (const Route& route : estate_.routes)
      if (route.nextHop.instance) keys.push_back(*route.nextHop.instance);
    keys.insert(keys.end(), scope_.instances.begin(), scope_.instances.end());
    std::set<InstanceKey> seen;
    std::erase_if(keys, [&](const InstanceKey& key) { return !seen.insert(key).second; });
    return keys;
  }

  const ComputeService& api_;
  const EstateScope& scope_;
  Estate estate_;
};

}  // namespace

EstateScope EstateScope::of(const ResourceDocument& migration) {
  auto text = [](const ResourceDocument& entry, std::string_view key, const std::string& where) {
    const ResourceDocument& value = memberOrNull(entry, key);
    if (!value.is_string()) throw ConfigError(where + std::string(key) + ": missing or not text");
    return value.get<std::string>();
  };
  EstateScope scope{
      {text(migration, "project_id", ""), text(migration, "vpc_name", "")}, {}, {}, {}};
  const ResourceDocument& transits = arrayOrEmpty(migration, "transit_vpcs");
  for (std::size_t t = 0; t < transits.size(); ++t) {
    std::string where = "transit_vpcs[" + std::to_string(t) + "].";
    std::optional<NetworkKey> key = NetworkKey::parse(text(transits[t], "vpc_name", where));
    if (!key) throw ConfigError(where + "vpc_name: must be 'project::network'");
    scope.transits.push_back(*key);
    const ResourceDocument& routers = arrayOrEmpty(transits[t], "cloud_routers");
    for (std::size_t r = 0; r < routers.size(); ++r) {
      std::string at = where + "cloud_routers[" + std::to_string(r) + "].";
      scope.routers.push_back(
          {*key, text(routers[r], "region", at), text(routers[r], "router_name", at)});
    }
  }
  for (const auto& [stage, entries] : memberOrNull(migration, "manage_routes").items()) {
    const ResourceDocument& added = arrayOrEmpty(entries, "add");
    for (std::size_t a = 0; a < added.size(); ++a) {
      std::string at = "manage_routes." + stage + ".add[" + std::to_string(a) + "].";
      scope.instances.push_back(
          {scope.spoke.project, text(added[a], "zone", at), text(added[a], "dest_instance", at)});
    }
  }
  return scope;
}

bool Route::derived() const {
  std::string type = textAt(document, "routeType");
  bool internet = name.starts_with("default-route-") && nextHop.kind == NextHop::Kind::kGateway &&
                  nextHop.target.ends_with("/default-internet-gateway");
  return internet || nextHop.kind == NextHop::Kind::kPeering ||
         nextHop.kind == NextHop::Kind::kNetwork || type == "SUBNET" || type == "PEERING";
}

bool Route::fromPeerSubnet() const {
  std::string type = textAt(document, "routeType");
  return nextHop.kind == NextHop::Kind::kPeering &&
         (type == "SUBNET" || (type != "STATIC" && type != "BGP" && priority == 0));
}

const Network* Estate::network(const NetworkKey& key) const {
  auto found = std::find_if(networks.begin(), networks.end(),
                            [&](const Network& network) { return network.key() == key; });
  return found == networks.end() ? nullptr : &*found;
}

const Router* Estate::router(const RouterKey& key) const {
  auto found = std::find_if(routers.begin(), routers.end(), [&](const Router& router) {
    return router.project == key.network.project && router.region == key.region &&
           router.name == key.router;
  });
  return found == routers.end() ? nullptr : &*found;
}

Network* Estate::network(const NetworkKey& key) {
  return const_cast<Network*>(std::as_const(*this).network(key));
}

Router* Estate::router(const RouterKey& key) {
  return const_cast<Router*>(std::as_const(*this).router(key));
}

const Route* Estate::route(const std::string& project, const std::string& name) const {
  auto found = std::find_if(routes.begin(), routes.end(), [&](const Route& route) {
    return route.network.project == project && route.name == name;
  });
  return found == routes.end() ? nullptr : &*found;
}

const Instance* Estate::instance(const InstanceKey& key) const {
  auto found = std::find_if(instances.begin(), instances.end(),
                            [&](const Instance& instance) { return instance.key == key; });
  return found == instances.end() ? nullptr : &*found;
}

std::string SubnetRange::described() const {
  return (subnetwork.empty() ? "a subnetwork" : "the subnetwork " + subnetwork) + " (" + range +
         ") of " + network.text() + (peering.empty() ? "" : ", over the ACTIVE peering " + peering);
}

std::vector<SubnetRange> subnetRangesOf(const Estate& estate, const NetworkKey& key) {
  std::vector<SubnetRange> ranges;
  auto addOf = [&](const Network& network, const std::string& peering) {
    for (const Subnetwork& subnetwork : network.subnetworks) {
      ranges.push_back({subnetwork.ipCidrRange, network.key(), subnetwork.name, peering});
      for (const SecondaryRange& secondary : subnetwork.secondaryIpRanges)
        ranges.push_back({secondary.ipCidrRange, network.key(), subnetwork.name, peering});
    }
  };
  const Network* network = estate.network(key);
  if (!network) return ranges;
  addOf(*network, "");
  for (const Peering& peering : network->peerings) {
    if (peering.state != "ACTIVE") continue;
    if (const Network* peer = estate.network(peering.network)) {
      addOf(*peer, peering.name);
      continue;
    }
    for (const Route& route : estate.routes)
      if (route.network == key && route.fromPeerSubnet() && route.nextHop.target == peering.name)
        ranges.push_back({route.destRange, peering.network, "", peering.name});
  }
  return ranges;
}

Estate readEstate(const ComputeService& api, const EstateScope& scope) {
  return EstateWalk(api, scope).read();
}

namespace {

// Puts `value` in place of the element of `list` that `same` finds, or last when none does.
template <typename T, typename Same>
void replaceOrAdd(std::vector<T>& list, T value, Same same) {
  auto found = std::find_if(list.begin(), list.end(), same);
  if (found == list.end())
    list.push_back(std::move(value));
  else
    *found = std::move(value);
}

std::string routerId(const std::string& project, const std::string& region,
                     const std::string& name) {
  return "router " + project + "/" + region + "/" + name;
}

}  // namespace

void rereadEstate(const ComputeService& api, Estate& estate, const EstateRefresh& what) {
  Estate read = estate;
  // What a 404 says is gone; the rest is replaced in place, keeping the estate's order.
  std::set<std::string> gone;
  std::vector<Route> routes;  // the project's come first, as in a walk
  std::vector<Read> reads;
  for (const NetworkKey& key : what.networks) {
    gone.insert("network " + key.text());
    reads.push_back({api.networks().get(key.project, key.network),
                     [&read, &gone, key](ResourceDocument document) {
                       gone.erase("network " + key.text());
                       Network network = Network::of(key.project, std::move(document));
                       const Network* before = read.network(key);
                       if (before) network.subnetworks = before->subnetworks;
                       replaceOrAdd(read.networks, std::move(network),
                                    [&](const Network& known) { return known.key() == key; });
                     },
                     nullptr, true});
  }
  if (!what.routesOf.empty())
    reads.push_back(listing(
        api.routes(), api.routes().list(what.routesOf, ""),
        [&routes](ResourceDocument route) { routes.push_back(Route::of(std::move(route))); }));
  for (const RouterKey& key : what.routers) {
    gone.insert(routerId(key.network.project, key.region, key.router));
    reads.push_back({api.routers().get(key.network.project, key.region, key.router),
                     [&read, &gone, key](ResourceDocument document) {
                       gone.erase(routerId(key.network.project, key.region, key.router));
                       Router router =
                           Router::of(key.network.project, key.region, std::move(document));
                       if (const Router* before = read.router(key))
                         router.learnedRoutes = before->learnedRoutes;
                       replaceOrAdd(read.routers, std::move(router), [&](const Router& known) {
                         return routerId(known.project, known.region, known.name) ==
                                routerId(key.network.project, key.region, key.router);
                       });
                     },
                     nullptr, true});
  }
  readAll(api, reads);
  std::erase_if(read.networks, [&](const Network& network) {
    return gone.contains("network " + network.key().text());
  });
  std::erase_if(read.routers, [&](const Router& router) {
    return gone.contains(routerId(router.project, router.region, router.name));
  });
  if (!what.routesOf.empty()) {
    std::erase_if(read.routes,
                  [&](const Route& route) { return route.network.project == what.routesOf; });
    read.routes.insert(read.routes.begin(), std::make_move_iterator(routes.begin()),
                       std::make_move_iterator(routes.end()));
  }
  estate = std::move(read);
}

void addTo(Estate& into, const Estate& more) {
  for (const Network& network : more.networks)
    if (!into.network(network.key())) into.networks.push_back(network);
  for (const Route& route : more.routes)
    if (!into.route(route.network.project, route.name)) into.routes.push_back(route);
  for (const Instance& instance : more.instances)
    if (!static_cast<const Estate&>(into).instance(instance.key))
      into.instances.push_back(instance);
  for (const Router& router : more.routers)
    if (!into.router(RouterKey{router.network, router.region, router.name}))
      into.routers.push_back(router);
  for (const std::string& absent : more.absent)
    if (std::find(into.absent.begin(), into.absent.end(), absent) == into.absent.end())
      into.absent.push_back(absent);
}

void EstateScope::include(const EstateScope& more) {
  for (const NetworkKey& transit : more.transits)
    if (std::find(transits.begin(), transits.end(), transit) == transits.end())
      transits.push_back(transit);
  for (const RouterKey& router : more.routers)
    if (std::none_of(routers.begin(), routers.end(),
                     [&](const RouterKey& known) { return known.text() == router.text(); }))
      routers.push_back(router);
  for (const InstanceKey& instance : more.instances)
    if (std::find(instances.begin(), instances.end(), instance) == instances.end())
      instances.push_back(instance);
}

}  // namespace tolmi_gcp
