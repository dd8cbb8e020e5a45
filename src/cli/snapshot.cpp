#include "cli/snapshot.hpp"

#include <algorithm>
#include <fstream>
#include <map>
#include <ostream>
#include <set>

#include "cli/commands.hpp"
#include "cli/validation.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"
#include "tolmi_gcp/compute/read_ahead.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/network_key.hpp"

namespace tolmi_gcp::cli {

namespace {

// Routes the API makes itself, from subnetworks and peerings or as a new network's route to the
// internet: the emulator makes them again.
bool derived(const ResourceDocument& route) {
  std::string type = has(route, "routeType") ? textOf(route["routeType"]) : "";
  bool internet =
      textOf(memberOrNull(route, "name")).starts_with("default-route-") &&
      textOf(memberOrNull(route, "nextHopGateway")).ends_with("/default-internet-gateway");
  return internet || has(route, "nextHopPeering") || has(route, "nextHopNetwork") ||
         type == "SUBNET" || type == "PEERING";
}

// The API's own routes that the emulator has no model of: through a hub, or dynamic routes through
// an interconnect attachment. A rehearsal goes without them.
std::optional<std::string> unmodelledNextHop(const ResourceDocument& route) {
  if (has(route, "nextHopHub")) return "a hub";
  if (has(route, "nextHopInterconnectAttachment")) return "an interconnect attachment";
  return std::nullopt;
}

ResourceLink nextHopInstance(const ResourceDocument& route) {
  return ResourceLink::of(
      route["nextHopInstance"], ResourceLink::Scope::kZone, "instances",
      "the nextHopInstance of the route " + textOf(memberOrNull(route, "name")));
}

// The file was validated: every transit vpc_name is a network key.
NetworkKey transitOf(const ResourceDocument& transit) {
  return *NetworkKey::parse(transit["vpc_name"].get_ref<const std::string&>());
}

class Estate {
 public:
  explicit Estate(const ComputeService& api) : api_(api) {}

  void addSpokeProject(const std::string& project) {
    std::optional<Request> page = api_.networks().list(project);
    while (page) {
      ResourceDocument answer = page->execute();
      const ResourceDocument& networks = arrayOrEmpty(answer, "items");
      ReadAhead ahead(api_, readsUntilFailure(networks, [&](const ResourceDocument& network,
                                                            std::vector<Request>& reads) {
                        std::vector<Request> subnets = subnetworkReads(api_, network);
                        reads.insert(reads.end(), subnets.begin(), subnets.end());
                      }));
      for (const ResourceDocument& network : networks) addNetwork(project, network);
      page = api_.networks().list_next(*page, answer);
    }
    page = api_.routes().list(project, "");
    while (page) {
      ResourceDocument answer = page->execute();
      const ResourceDocument& routes = arrayOrEmpty(answer, "items");
      ReadAhead ahead(api_, readsUntilFailure(routes, [&](const ResourceDocument& route,
                                                          std::vector<Request>& reads) {
                        if (derived(route) || !has(route, "nextHopInstance")) return;
                        ResourceLink at = nextHopInstance(route);
                        instanceRead(at.project(), at.location(), at.name(), reads);
                      }));
      for (const ResourceDocument& route : routes) {
        if (derived(route)) continue;
        if (std::optional<std::string> hop = unmodelledNextHop(route)) {
          leftOut_.push_back("the route " + textOf(memberOrNull(route, "name")) +
                             ", whose next hop is " + *hop);
          continue;
        }
        add(project, "routes", route);
        if (has(route, "nextHopInstance")) {
          ResourceLink at = nextHopInstance(route);
          addInstance(at.project(), at.location(), at.name());
        }
      }
      page = api_.routes().list_next(*page, answer);
    }
  }

  void addNetworkNamed(const std::string& project, const std::string& name) {
    if (!networks_.count(project + "/" + name))
      addNetwork(project, api_.networks().get(project, name).execute());
  }

  void addRouter(const std::string& project, const std::string& region, const std::string& name) {
    ResourceDocument router = api_.routers().get(project, region, name).execute();
    NetworkKey network =
        networkOf(memberOrNull(router, "network"), "the network of the router " + name);
    addNetworkNamed(network.project, network.network);
    add(project, "routers", std::move(router));
  }

  void addInstance(const std::string& project, const std::string& zone, const std::string& name) {
    if (instances_.insert(project + "/" + zone + "/" + name).second)
      add(project, "instances", api_.instances().get(project, zone, name).execute());
  }

  // The reads the migration's own entries need beyond the spoke project, all independent: its
  // instances, its transit networks and their routers. The file was validated.
  std::vector<Request> migrationReads(const ResourceDocument& migration) const {
    const std::string project = migration["project_id"].get<std::string>();
    std::vector<Request> reads;
    for (const auto& [stage, entries] : memberOrNull(migration, "manage_routes").items())
      for (const ResourceDocument& route : arrayOrEmpty(entries, "add"))
        instanceRead(project, route["zone"].get<std::string>(),
                     route["dest_instance"].get<std::string>(), reads);
    for (const ResourceDocument& transit : arrayOrEmpty(migration, "transit_vpcs")) {
      auto [transitProject, network] = transitOf(transit);
      if (!networks_.count(transitProject + "/" + network))
        reads.push_back(api_.networks().get(transitProject, network));
      for (const ResourceDocument& router : arrayOrEmpty(transit, "cloud_routers"))
        reads.push_back(api_.routers().get(transitProject, router["region"].get<std::string>(),
                                           router["router_name"].get<std::string>()));
    }
    return reads;
  }

  // The topology: peer networks outside it are external peers, peered with the networks whose
  // peering with them is ACTIVE.
  Snapshot snapshot() const {
    std::map<std::string, ResourceDocument> external;
    for (const auto& [key, network] : networks_)
      for (const ResourceDocument& peering : arrayOrEmpty(network, "peerings")) {
        const ResourceDocument& link = memberOrNull(peering, "network");
        NetworkKey peer =
            networkOf(link, "the network of the peering " + textOf(memberOrNull(peering, "name")) +
                                " of " + textOf(memberOrNull(network, "name")));
        if (networks_.count(peer.project + "/" + peer.network)) continue;
        ResourceDocument& entry = external[link.get<std::string>()];
        if (entry.is_null())
          entry = {{"network", link},
                   {"peered_with", ResourceDocument::array()},
                   {"mtu", memberOrNull(peering, "peerMtu")}};
        if (memberOrNull(peering, "state") == "ACTIVE")
          entry["peered_with"].push_back(memberOrNull(network, "selfLink"));
      }
    ResourceDocument topology = {{"projects", projects_}};
    if (!external.empty()) {
      topology["external_peers"] = ResourceDocument::array();
      for (auto& [link, entry] : external) topology["external_peers"].push_back(entry);
    }
    return {std::move(topology), leftOut_};
  }

 private:
  // With its subnetworks: the routes the API derives from them follow the network's peerings.
  void addNetwork(const std::string& project, const ResourceDocument& network) {
    networks_[project + "/" + stringAt(network, "name")] = network;
    add(project, "networks", network);
    ReadAhead ahead(api_, subnetworkReads(api_, network));
    for (const ResourceDocument& link : arrayOrEmpty(network, "subnetworks")) {
      ResourceLink at = subnetworkLink(network, link);
      add(at.project(), "subnetworks",
          api_.subnetworks().get(at.project(), at.location(), at.name()).execute());
    }
  }

  // The instances.get of an instance not yet read.
  void instanceRead(const std::string& project, const std::string& zone, const std::string& name,
                    std::vector<Request>& reads) const {
    if (!instances_.count(project + "/" + zone + "/" + name))
      reads.push_back(api_.instances().get(project, zone, name));
  }

  void add(const std::string& project, const char* collection, ResourceDocument resource) {
    projects_[project][collection].push_back(std::move(resource));
  }

  const ComputeService& api_;
  ResourceDocument projects_ = ResourceDocument::object();
  std::map<std::string, ResourceDocument> networks_;  // by "project/name"
  std::set<std::string> instances_;
  std::vector<std::string> leftOut_;
};

}  // namespace

Snapshot snapshotEstate(const ComputeService& api, const ResourceDocument& migration) {
  Estate estate(api);
  const std::string project = migration["project_id"].get<std::string>();
  estate.addSpokeProject(project);
  ReadAhead ahead(api, estate.migrationReads(migration));
  for (const auto& [stage, entries] : memberOrNull(migration, "manage_routes").items())
    for (const ResourceDocument& route : arrayOrEmpty(entries, "add"))
      estate.addInstance(project, route["zone"].get<std::string>(),
                         route["dest_instance"].get<std::string>());
  for (const ResourceDocument& transit : arrayOrEmpty(migration, "transit_vpcs")) {
    auto [transitProject, network] = transitOf(transit);
    estate.addNetworkNamed(transitProject, network);
    for (const ResourceDocument& router : arrayOrEmpty(transit, "cloud_routers"))
      estate.addRouter(transitProject, router["region"].get<std::string>(),
                       router["router_name"].get<std::string>());
  }
  return estate.snapshot();
}

int runSnapshot(const std::string& config, const std::optional<std::string>& endpoint,
                const ServiceOptions& service, const std::string& outputPath, Output& output,
                std::ostream& out) {
  ResourceDocument migration = parseYamlFile(config);
  std::vector<std::string> problems = validateMigration(migration);
  for (const std::string& problem : problems) output.fail(config + ": " + problem);
  if (!problems.empty()) return kUsage;
  try {
    Snapshot snapshot = snapshotEstate(
        *defaultComputeService(endpoint, CredentialsEnvironment::fromProcess(), service).service,
        migration);
    for (const std::string& what : snapshot.leftOut)
      output.note("snapshot: left out " + what + ", which the emulator has no model of");
    std::string text = jsonText(snapshot.topology, 2) + "\n";
    if (outputPath.empty()) {
      out << text << std::flush;
      return kDone;
    }
    std::ofstream file(outputPath, std::ios::trunc);
    if (!(file << text) || !file.flush())
      throw ConfigError("cannot write the snapshot to " + outputPath);
    output.note("snapshot of " + config + " written to " + outputPath +
                "; rehearse with: compute-emulator --topology " + outputPath);
    return kDone;
  } catch (const ConfigError&) {
    throw;
  } catch (const std::exception& failure) {
    output.fail(std::string("tolmi-gcp: snapshot of ") + config + " stopped: " + failure.what());
    return kStopped;
  }
}

}  // namespace tolmi_gcp::cli
