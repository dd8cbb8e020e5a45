#include "emulator/store.hpp"

#include <arpa/inet.h>
#include <re2/re2.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <vector>

#include "emulator/route_rules.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/ipv4_network.hpp"
#include "tolmi_gcp/resource_link.hpp"
#include "tolmi_gcp/text_lists.hpp"

namespace tolmi_gcp::emulator {

namespace {

const char* kNameRegex = "(?:[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?)";
const char* kNextHops[] = {"nextHopGateway", "nextHopInstance", "nextHopIp", "nextHopVpnTunnel",
                           "nextHopIlb"};
const char* kCollections[] = {"networks", "subnetworks", "routes", "instances", "routers"};

std::vector<std::string_view> split(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t slash = text.find('/', start);
    parts.push_back(text.substr(start, slash - start));
    if (slash == std::string_view::npos) return parts;
    start = slash + 1;
  }
}

bool validName(const std::string& name) {
  static const RE2 kName(kNameRegex);
  return RE2::FullMatch(name, kName);
}

// The resource name of `body`, which must be valid.
std::string checkedName(const ResourceDocument& body) {
  if (!has(body, "name") || body["name"].is_null())
    throw ApiError(400, "required", "Required field 'resource.name' not specified");
  if (!body["name"].is_string() || !validName(body["name"].get<std::string>()))
    throwInvalid("name", body["name"],
                 std::string("Must be a match of regex '") + kNameRegex + "'");
  return body["name"].get<std::string>();
}

const std::string& requiredString(const ResourceDocument& body, const std::string& field) {
  if (!has(body, field) || body[field].is_null())
    throw ApiError(400, "required", "Required field 'resource." + field + "' not specified");
  if (!body[field].is_string()) throwInvalid(field, body[field], "Must be a string.");
  return body[field].get_ref<const std::string&>();
}

// The link a reference field names, in the shape `pattern` (see relativeName).
std::string referenceLink(const ResourceDocument& body, const std::string& field,
                          const std::string& project, std::string_view pattern) {
  const std::string& reference = requiredString(body, field);
  auto relative = relativeName(reference, project, pattern);
  if (!relative)
    throwInvalid(
        field, reference,
        "Expected a reference of the form 'projects/PROJECT/" + std::string(pattern) + "'.");
  return linkOf(*relative);
}

bool optionalBool(const ResourceDocument& body, const std::string& field, bool fallback) {
  if (!has(body, field) || body[field].is_null()) return fallback;
  if (!body[field].is_boolean()) throwInvalid(field, body[field], "Must be true or false.");
  return body[field].get<bool>();
}

std::int64_t optionalInteger(const ResourceDocument& body, const std::string& field,
                             std::int64_t fallback, std::int64_t low, std::int64_t high) {
  if (!has(body, field) || body[field].is_null()) return fallback;
  const ResourceDocument& value = body[field];
  if (!value.is_number_integer() || value.get<std::int64_t>() < low ||
      value.get<std::int64_t>() > high)
    throwInvalid(
        field, value,
        "Must be an integer from " + std::to_string(low) + " to " + std::to_string(high) + ".");
  return value.get<std::int64_t>();
}

bool validAddress(const std::string& text) {
  in_addr address;
  return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

std::string hex16(std::string_view text) {
  char buffer[17];
  std::snprintf(buffer, sizeof buffer, "%016llx",
                static_cast<unsigned long long>(fingerprint(text)));
  return buffer;
}

// The name of the route to the internet that a network is made with.
std::string internetRouteName(const std::string& networkLink) {
  return "default-route-" + hex16(networkLink + "|internet");
}

// Resource documents start with these output fields, in the real API's order; the caller then
// adds the resource's own fields.
ResourceDocument newResource(const std::string& kind, const std::string& link,
                             const ResourceDocument& body) {
  ResourceDocument doc = ResourceDocument::object();
  doc["kind"] = kind;
  doc["id"] = resourceId(link);
  doc["creationTimestamp"] = has(body, "creationTimestamp") && body["creationTimestamp"].is_string()
                                 ? body["creationTimestamp"]
                                 : ResourceDocument(timestamp());
  doc["name"] = body["name"];
  if (has(body, "description") && body["description"].is_string())
    doc["description"] = body["description"];
  return doc;
}

// Copies the fields of `body` that `doc` does not have yet and that are not output fields of
// the emulator, so topology documents may carry further API fields unchanged.
void keepOtherFields(ResourceDocument& doc, const ResourceDocument& body) {
  static const std::set<std::string> kOutput = {"kind", "id", "selfLink", "selfLinkWithId",
                                                "creationTimestamp"};
  for (const auto& [key, value] : body.items())
    if (!doc.contains(key) && !kOutput.count(key)) doc[key] = value;
}

ResourceDocument generatedRoute(const std::string& project, const std::string& name,
                                const ResourceDocument& network, const std::string& destRange,
                                std::int64_t priority, const std::string& description,
                                const std::string& nextHopField, const std::string& nextHop,
                                const std::string& created) {
  std::string link = linkOf("projects/" + project + "/global/routes/" + name);
  ResourceDocument route = ResourceDocument::object();
  route["kind"] = "compute#route";
  route["id"] = resourceId(link);
  route["creationTimestamp"] = created;
  route["name"] = name;
  route["description"] = description;
  route["network"] = network["selfLink"];
  route["destRange"] = destRange;
  route["priority"] = priority;
  route[nextHopField] = nextHop;
  route["selfLink"] = link;
  return route;
}

// Checks the entry `at` of a topology's list of routes: a mapping of `keys` alone (destRange
// first), with an IPv4 range as its destRange and, if given, a priority the API takes. `refuse`
// throws.
void checkRouteEntry(const ResourceDocument& entry, const std::string& at,
                     const std::vector<std::string>& keys,
                     const std::function<void(const std::string&)>& refuse) {
  if (!entry.is_object()) refuse(at + ": expected a mapping {" + joined(keys, ", ") + "}");
  std::string expected = joined({keys.begin(), keys.end() - 1}, ", ") + " and " + keys.back();
  for (const auto& [key, value] : entry.items())
    if (!contains(keys, key)) refuse(at + "." + key + ": unknown key (expected " + expected + ")");
  const ResourceDocument& range = memberOrNull(entry, "destRange");
  if (!range.is_string() || !Ipv4Network::parse(range.get<std::string>()).ok())
    refuse(at + ".destRange: " + (range.is_null() ? "missing" : "'" + textOf(range) + "'") +
           "; expected an IPv4 range in CIDR notation with zero host bits");
  const ResourceDocument& priority = memberOrNull(entry, "priority");
  if (!priority.is_null() && (!priority.is_number_integer() || priority.get<std::int64_t>() < 0 ||
                              priority.get<std::int64_t>() > 65535))
    refuse(at + ".priority: '" + textOf(priority) + "'; expected a whole number from 0 to 65535");
}

std::int64_t priorityOr(const ResourceDocument& entry, std::int64_t unset) {
  const ResourceDocument& priority = memberOrNull(entry, "priority");
  return priority.is_null() ? unset : priority.get<std::int64_t>();
}

}  // namespace

void throwNotFound(const std::string& relativeName) {
  throw ApiError(404, "notFound", "The resource '" + relativeName + "' was not found");
}

void throwInvalid(const std::string& field, const ResourceDocument& value, const std::string& why) {
  throw ApiError(
      400, "invalid",
      "Invalid value for field 'resource." + field + "': '" + textOf(value) + "'. " + why);
}

std::string linkOf(std::string_view relativeName) {
  return std::string(kLinkPrefix) + std::string(relativeName);
}

std::optional<std::string> relativeName(std::string_view reference, std::string_view project,
                                        std::string_view pattern) {
  std::string_view path = reference;
  if (auto scheme = path.find("://"); scheme != std::string_view::npos) {
    // Any host: links may name the emulator's own address or the real service.
    if (auto api = path.find("/compute/v1/"); api != std::string_view::npos) {
      path = path.substr(api + 12);
    } else {
      auto slash = path.find('/', scheme + 3);
      if (slash == std::string_view::npos) return std::nullopt;
      path = path.substr(slash + 1);
    }
  }
  std::string relative;
  if (path.starts_with("projects/")) {
    relative = path;
  } else if (path.find('/') != std::string_view::npos) {
    relative = "projects/" + std::string(project) + "/" + std::string(path);
  } else {
    auto star = pattern.find('*');
    if (star == std::string_view::npos || pattern.find('*', star + 1) != std::string_view::npos)
      return std::nullopt;
    relative = "projects/" + std::string(project) + "/" + std::string(pattern.substr(0, star)) +
               std::string(path) + std::string(pattern.substr(star + 1));
  }
  auto have = split(relative);
  std::string expected = "projects/*/" + std::string(pattern);
  auto want = split(expected);
  if (have.size() != want.size()) return std::nullopt;
  for (std::size_t i = 0; i < have.size(); ++i)
    if (want[i] != "*" && have[i] != want[i]) return std::nullopt;
  // Empty, "." and ".." segments and control characters name no resource.
  if (!ResourceLink::parse(relative)) return std::nullopt;
  return relative;
}

std::uint64_t fingerprint(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string resourceId(std::string_view link) { return std::to_string(fingerprint(link)); }

namespace {

// The link of a relative name that relativeName gave.
ResourceLink linkIn(std::string_view relativeName) {
  std::optional<ResourceLink> link = ResourceLink::parse(relativeName);
  if (!link) throw std::invalid_argument("not a resource name: " + std::string(relativeName));
  return *link;
}

}  // namespace

std::string storeKey(std::string_view relativeName) {
  ResourceLink link = linkIn(relativeName);
  return link.location().empty() ? link.name() : link.location() + "/" + link.name();
}

std::string timestamp(std::chrono::system_clock::time_point when) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
  std::tm utc;
  gmtime_r(&seconds, &utc);
  char buffer[40];
  std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(buffer + length, sizeof buffer - length, ".%03d+00:00", static_cast<int>(millis));
  return buffer;
}

Store Store::fromTopology(const ResourceDocument& topology) {
  if (!topology.is_object() || !has(topology, "projects") || !topology["projects"].is_object())
    throw ConfigError("projects: expected a mapping from project id to its resources");
  for (const auto& [key, value] : topology.items())
    if (key != "projects" && key != "auth" && key != "external_peers")
      throw ConfigError(key + ": unknown key (expected 'projects', 'external_peers' and 'auth')");
  Store store;
  store.loadExternalPeers(arrayOrEmpty(topology, "external_peers"));
  for (const auto& [id, resources] : topology["projects"].items()) {
    if (!validName(id))
      throw ConfigError("projects." + id +
                        ": not a valid project id (lower-case letters, digits "
                        "and hyphens, starting with a letter)");
    store.projects_[id];
    if (resources.is_null()) continue;
    if (!resources.is_object())
      throw ConfigError("projects." + id + ": expected a mapping of resource lists");
    for (const auto& [key, value] : resources.items()) {
      bool known = false;
      for (const char* collection : kCollections) known = known || key == collection;
      if (!known)
        throw ConfigError("projects." + id + "." + key +
                          ": unknown collection (expected networks, subnetworks, routes, "
                          "instances or routers)");
      if (!value.is_array() && !value.is_null())
        throw ConfigError("projects." + id + "." + key + ": expected a list");
    }
  }
  // Networks first, so that every other element, in any project, can refer to them.
  using Adder = void (Store::*)(const std::string&, const ResourceDocument&);
  const std::pair<const char*, Adder> kOrder[] = {{"networks", &Store::addNetwork},
                                                  {"subnetworks", &Store::addSubnetwork},
                                                  {"instances", &Store::addInstance},
                                                  {"routers", &Store::addRouter},
                                                  {"routes", nullptr}};
  for (const auto& [collection, adder] : kOrder) {
    for (const auto& [id, resources] : topology["projects"].items()) {
      const ResourceDocument& list = arrayOrEmpty(resources, collection);
      for (std::size_t i = 0; i < list.size(); ++i) {
        std::string path = "projects." + id + "." + collection + "[" + std::to_string(i) + "]";
        try {
          if (!list[i].is_object()) throw ApiError(400, "invalid", "expected a mapping");
          if (adder)
            (store.*adder)(id, list[i]);
          else
            store.addRoute(id, store.makeRoute(id, list[i], true));
        } catch (const ApiError& problem) {
          throw ConfigError(path + ": " + problem.what());
        }
      }
    }
  }
  store.refreshNetworks();
  checkTopologyRules(store, topology);
  return store;
}

namespace {

// What the topology says the external peer `peer`, at `link`, sends over its peerings: its
// "exported_routes", [{destRange, type? (SUBNET), priority?, nextHopRegion?}]. A subnet route has
// no priority of its own (0); a static one's is 1000 unless given, a dynamic one's (the MED) 0.
std::vector<ExternalRoute> exportedRoutesOf(const std::string& link, const ResourceDocument& peer) {
  auto refuse = [&](const std::string& what) {
    throw ApiError(400, "invalid",
                   "external peer '" + link.substr(kLinkPrefix.size()) + "': " + what);
  };
  const ResourceDocument& given = arrayOrEmpty(peer, "exported_routes");
  if (!given.is_array()) refuse("exported_routes: expected a list");
  std::vector<ExternalRoute> routes;
  for (std::size_t i = 0; i < given.size(); ++i) {
    std::string at = "exported_routes[" + std::to_string(i) + "]";
    const ResourceDocument& entry = given[i];
    checkRouteEntry(entry, at, {"destRange", "type", "priority", "nextHopRegion"}, refuse);
    const ResourceDocument& type = memberOrNull(entry, "type");
    std::string kind = type.is_null() ? "SUBNET" : textOf(type);
    if (kind != "SUBNET" && kind != "STATIC" && kind != "DYNAMIC")
      refuse(at + ".type: '" + kind + "'; expected SUBNET, STATIC or DYNAMIC");
    if (kind == "SUBNET" && has(entry, "priority"))
      refuse(at + ".priority: a SUBNET route has none");
    const ResourceDocument& region = memberOrNull(entry, "nextHopRegion");
    if (!region.is_null() && (kind != "DYNAMIC" || !region.is_string()))
      refuse(at + ".nextHopRegion: only a DYNAMIC route has one, the name of a region");
    routes.push_back({entry["destRange"], kind, priorityOr(entry, kind == "STATIC" ? 1000 : 0),
                      region.is_string() ? region.get<std::string>() : ""});
  }
  return routes;
}

}  // namespace

bool ExternalRoute::importedOver(const ResourceDocument& peering) const {
  return type == "SUBNET" || memberOrNull(peering, "importCustomRoutes") == true;
}

// A network outside the estate (one nobody here can read) that peers with networks inside it:
// {network: LINK, peered_with: [LINK, ...], mtu?, exported_routes?}. Their peerings with it are
// ACTIVE.
void Store::loadExternalPeers(const ResourceDocument& peers) {
  if (!peers.is_array()) throw ConfigError("external_peers: expected a list");
  for (std::size_t i = 0; i < peers.size(); ++i) {
    try {
      if (!peers[i].is_object()) throw ApiError(400, "invalid", "expected a mapping");
      std::string link = referenceLink(peers[i], "network", "", "global/networks/*");
      ExternalPeer& peer = externalPeers_[link];
      const ResourceDocument& with = arrayOrEmpty(peers[i], "peered_with");
      if (!with.is_array()) throwInvalid("peered_with", with, "Must be a list.");
      for (const ResourceDocument& network : with)
        peer.peeredWith.insert(
            referenceLink({{"peered_with", network}}, "peered_with", "", "global/networks/*"));
      peer.mtu = memberOrNull(peers[i], "mtu");
      peer.exported = exportedRoutesOf(link, peers[i]);
    } catch (const ApiError& problem) {
      throw ConfigError("external_peers[" + std::to_string(i) + "]: " + problem.what());
    }
  }
}

const std::vector<ExternalRoute>* Store::routesFromExternalPeer(
    const ResourceDocument& peering) const {
  auto external = externalPeers_.find(peering["network"].get<std::string>());
  return external == externalPeers_.end() ? nullptr : &external->second.exported;
}

ResourceDocument Store::dump() const {
  ResourceDocument projects = ResourceDocument::object();
  for (const auto& [id, project] : projects_) {
    ResourceDocument resources = ResourceDocument::object();
    const std::map<std::string, ResourceDocument>* maps[] = {&project.networks,
                                                             &project.subnetworks, &project.routes,
                                                             &project.instances, &project.routers};
    for (std::size_t i = 0; i < std::size(kCollections); ++i) {
      ResourceDocument list = ResourceDocument::array();
      for (const auto& [key, doc] : *maps[i]) list.push_back(doc);
      resources[kCollections[i]] = std::move(list);
    }
    projects[id] = std::move(resources);
  }
  return {{"projects", std::move(projects)}};
}

Project& Store::project(const std::string& id) {
  auto it = projects_.find(id);
  if (it == projects_.end()) throwNotFound("projects/" + id);
  return it->second;
}

ResourceDocument& Store::network(const std::string& project, const std::string& name) {
  auto& networks = this->project(project).networks;
  auto it = networks.find(name);
  if (it == networks.end()) throwNotFound("projects/" + project + "/global/networks/" + name);
  return it->second;
}

const ResourceDocument* Store::find(std::string_view link, std::string_view pattern,
                                    Collection collection) const {
  auto relative = relativeName(link, "", pattern);
  if (!relative) return nullptr;
  auto project = projects_.find(linkIn(*relative).project());
  if (project == projects_.end()) return nullptr;
  const auto& items = project->second.*collection;
  auto it = items.find(storeKey(*relative));
  return it == items.end() ? nullptr : &it->second;
}

const ResourceDocument* Store::findNetwork(std::string_view link) const {
  return find(link, "global/networks/*", &Project::networks);
}

// Subnetworks, routes and routers belong to a network of their own project.
std::string Store::networkReference(const std::string& project, const ResourceDocument& body,
                                    const std::string& field, bool sameProject) const {
  std::string link = referenceLink(body, field, project, "global/networks/*");
  if (!findNetwork(link))
    throwInvalid(field, body[field], "The referenced network resource cannot be found.");
  if (sameProject && linkIn(link.substr(kLinkPrefix.size())).project() != project)
    throwInvalid(field, body[field], "The network must belong to project '" + project + "'.");
  return link;
}

ResourceDocument Store::makeRoute(const std::string& project, const ResourceDocument& body,
                                  bool fromTopology) const {
  std::string name = checkedName(body);
  std::string link = linkOf("projects/" + project + "/global/routes/" + name);
  std::string network = networkReference(project, body, "network", true);
  const std::string& destRange = requiredString(body, "destRange");
  if (!Ipv4Network::parse(destRange).ok())
    throwInvalid("destRange", destRange,
                 "Must be an IPv4 range in CIDR notation with zero host bits.");
  std::int64_t priority = optionalInteger(body, "priority", 1000, 0, 65535);
  if (fromTopology)
    for (const char* generated : {"nextHopNetwork", "nextHopPeering"})
      if (has(body, generated))
        throwInvalid(generated, body[generated],
                     "Routes with this next hop are generated from subnetworks and peerings; "
                     "leave them out.");

  std::vector<std::string> nextHops;
  for (const char* field : kNextHops)
    if (has(body, field) && !body[field].is_null()) nextHops.push_back(field);
  // The API shows an internal load balancer's address beside the balancer itself.
  bool ilbAddress = fromTopology && nextHops.size() == 2 && nextHops[0] == "nextHopIp" &&
                    nextHops[1] == "nextHopIlb";
  if (nextHops.size() != 1 && !ilbAddress) {
    std::string given;
    for (const auto& field : nextHops) given += (given.empty() ? "" : ", ") + field;
    throw ApiError(400, "invalid",
                   "Invalid value for field 'resource': exactly one of nextHopGateway, "
                   "nextHopInstance, nextHopIp, nextHopVpnTunnel or nextHopIlb must be set (" +
                       (given.empty() ? std::string("none given") : "given: " + given) + ").");
  }

  ResourceDocument route = newResource("compute#route", link, body);
  route["network"] = network;
  route["destRange"] = destRange;
  route["priority"] = priority;
  if (has(body, "tags") && !body["tags"].is_null()) {
    const ResourceDocument& tags = body["tags"];
    bool strings = tags.is_array();
    for (const auto& tag : tags) strings = strings && tag.is_string();
    if (!strings) throwInvalid("tags", tags, "Must be a list of instance tags.");
    if (!tags.empty()) route["tags"] = tags;
  }
  for (const auto& field : nextHops) {
    std::string value;
    if (field == "nextHopGateway") {
      value = referenceLink(body, field, project, "global/gateways/*");
      if (!value.ends_with("/default-internet-gateway"))
        throwInvalid(field, body[field], "The only gateway is 'default-internet-gateway'.");
    } else if (field == "nextHopInstance") {
      value = referenceLink(body, field, project, "zones/*/instances/*");
      if (!find(value, "zones/*/instances/*", &Project::instances))
        throwInvalid(field, body[field], "The referenced instance resource cannot be found.");
    } else if (field == "nextHopIp") {
      value = requiredString(body, field);
      if (!validAddress(value)) throwInvalid(field, value, "Must be an IPv4 address.");
    } else if (field == "nextHopVpnTunnel") {
      value = referenceLink(body, field, project, "regions/*/vpnTunnels/*");
    } else {
      value = requiredString(body, field);
      if (!validAddress(value))
        value = referenceLink(body, field, project, "regions/*/forwardingRules/*");
    }
    route[field] = value;
  }
  route["selfLink"] = link;
  return route;
}

ResourceDocument Store::makePeering(const std::string& project,
                                    const ResourceDocument& body) const {
  std::string name = checkedName(body);
  ResourceDocument peering = ResourceDocument::object();
  peering["name"] = name;
  peering["network"] = referenceLink(body, "network", project, "global/networks/*");
  // Both follow the peer network; refreshNetworks() sets them.
  peering["state"] = "INACTIVE";
  peering["stateDetails"] = "";
  if (has(body, "autoCreateRoutes") && !optionalBool(body, "autoCreateRoutes", true))
    throwInvalid("autoCreateRoutes", false, "Routes are always created; it must be true.");
  peering["autoCreateRoutes"] = true;
  peering["exportCustomRoutes"] = optionalBool(body, "exportCustomRoutes", false);
  peering["importCustomRoutes"] = optionalBool(body, "importCustomRoutes", false);
  if (!optionalBool(body, "exchangeSubnetRoutes", true))
    throwInvalid("exchangeSubnetRoutes", false, "Subnet routes are always exchanged.");
  peering["exchangeSubnetRoutes"] = true;
  peering["exportSubnetRoutesWithPublicIp"] =
      optionalBool(body, "exportSubnetRoutesWithPublicIp", true);
  peering["importSubnetRoutesWithPublicIp"] =
      optionalBool(body, "importSubnetRoutesWithPublicIp", false);
  std::string stackType = "IPV4_ONLY";
  if (has(body, "stackType") && !body["stackType"].is_null()) {
    stackType = body["stackType"].is_string() ? body["stackType"].get<std::string>() : "";
    if (stackType != "IPV4_ONLY" && stackType != "IPV4_IPV6")
      throwInvalid("stackType", body["stackType"], "Must be IPV4_ONLY or IPV4_IPV6.");
  }
  peering["stackType"] = stackType;
  return peering;
}

void Store::checkRouterBgp(const ResourceDocument& bgp) {
  if (!bgp.is_object()) throwInvalid("bgp", bgp, "Must be an object.");
  if (!has(bgp, "asn"))
    throw ApiError(400, "required", "Required field 'resource.bgp.asn' not specified");
  optionalInteger(bgp, "asn", 0, 1, 4294967295ll);
  optionalInteger(bgp, "keepaliveInterval", 20, 20, 60);
  ResourceDocument mode = valueOr(bgp, "advertiseMode", "DEFAULT");
  if (mode != "DEFAULT" && mode != "CUSTOM")
    throwInvalid("bgp.advertiseMode", mode, "Must be DEFAULT or CUSTOM.");
  const ResourceDocument& groups = arrayOrEmpty(bgp, "advertisedGroups");
  const ResourceDocument& ranges = arrayOrEmpty(bgp, "advertisedIpRanges");
  if (!groups.is_array()) throwInvalid("bgp.advertisedGroups", groups, "Must be a list.");
  if (!ranges.is_array()) throwInvalid("bgp.advertisedIpRanges", ranges, "Must be a list.");
  for (const auto& group : groups)
    if (group != "ALL_SUBNETS")
      throwInvalid("bgp.advertisedGroups", group, "The only advertised group is ALL_SUBNETS.");
  for (const auto& range : ranges)
    if (!has(range, "range") || !range["range"].is_string() ||
        !Ipv4Network::parse(range["range"].get<std::string>(), true).ok())
      throwInvalid("bgp.advertisedIpRanges", range,
                   "Each range needs 'range', an IPv4 range in CIDR notation with zero host "
                   "bits.");
  if (mode == "DEFAULT" && (!groups.empty() || !ranges.empty()))
    throwInvalid("bgp.advertiseMode", mode,
                 "Advertised groups and IP ranges can only be set in CUSTOM mode.");
}

void Store::addNetwork(const std::string& project, const ResourceDocument& body) {
  std::string name = checkedName(body);
  std::string link = linkOf("projects/" + project + "/global/networks/" + name);
  if (projects_[project].networks.count(name))
    throw ApiError(
        409, "alreadyExists",
        "The resource 'projects/" + project + "/global/networks/" + name + "' already exists");
  ResourceDocument network = newResource("compute#network", link, body);
  network["selfLink"] = link;
  network["selfLinkWithId"] =
      linkOf("projects/" + project + "/global/networks/" + network["id"].get<std::string>());
  network["autoCreateSubnetworks"] = optionalBool(body, "autoCreateSubnetworks", false);
  network["subnetworks"] = ResourceDocument::array();
  network["mtu"] = optionalInteger(body, "mtu", 1460, 1300, 8896);
  ResourceDocument routing = valueOr(body, "routingConfig", ResourceDocument::object());
  if (!routing.is_object()) throwInvalid("routingConfig", routing, "Must be an object.");
  ResourceDocument mode = valueOr(routing, "routingMode", "REGIONAL");
  if (mode != "REGIONAL" && mode != "GLOBAL")
    throwInvalid("routingConfig.routingMode", mode, "Must be REGIONAL or GLOBAL.");
  routing["routingMode"] = mode;
  network["routingConfig"] = routing;
  network["networkFirewallPolicyEnforcementOrder"] = "AFTER_CLASSIC_FIREWALL";
  ResourceDocument peerings = ResourceDocument::array();
  const ResourceDocument& given = arrayOrEmpty(body, "peerings");
  if (!given.is_array()) throwInvalid("peerings", given, "Must be a list.");
  for (const auto& entry : given) {
    ResourceDocument peering = makePeering(project, entry);
    for (const auto& other : peerings)
      if (other["name"] == peering["name"] || other["network"] == peering["network"])
        throwInvalid("peerings", entry, "A second peering with this name or peer network.");
    peerings.push_back(std::move(peering));
  }
  if (!peerings.empty()) network["peerings"] = std::move(peerings);
  keepOtherFields(network, body);
  std::string created = network["creationTimestamp"];
  projects_[project].networks[name] = std::move(network);
  // Every new network has its route to the internet, as on the real service.
  const ResourceDocument& added = projects_[project].networks[name];
  addRoute(project, generatedRoute(
                        project, internetRouteName(link), added, "0.0.0.0/0", 1000,
                        "Default route to the Internet.", "nextHopGateway",
                        linkOf("projects/" + project + "/global/gateways/default-internet-gateway"),
                        created));
}

Store::Placement Store::place(const std::string& project, const ResourceDocument& body,
                              const std::string& scopeField, const std::string& collection,
                              Collection items) const {
  std::string name = checkedName(body);
  std::string scope = referenceLink(body, scopeField, project, scopeField + "s/*");
  std::string link = scope + "/" + collection + "/" + name;
  std::string key = storeKey(link.substr(kLinkPrefix.size()));
  if (find(link, scopeField + "s/*/" + collection + "/*", items))
    throw ApiError(409, "alreadyExists",
                   "The resource '" + link.substr(kLinkPrefix.size()) + "' already exists");
  return {scope, key, link};
}

void Store::addSubnetwork(const std::string& project, const ResourceDocument& body) {
  auto [region, key, link] = place(project, body, "region", "subnetworks", &Project::subnetworks);
  Project& owner = projects_[project];
  std::string network = networkReference(project, body, "network", true);
  const std::string& cidr = requiredString(body, "ipCidrRange");
  Ipv4Network::Parsed range = Ipv4Network::parse(cidr);
  if (!range.ok())
    throwInvalid("ipCidrRange", cidr,
                 "Must be an IPv4 range in CIDR notation with zero host bits.");
  ResourceDocument& parent = owner.networks.at(linkIn(network.substr(kLinkPrefix.size())).name());
  for (const ResourceDocument* sibling : subnetworksOf(parent)) {
    const ResourceDocument& other = *sibling;
    if (Ipv4Network::parse(other["ipCidrRange"].get<std::string>()).network.overlaps(range.network))
      throwInvalid("ipCidrRange", cidr,
                   "It overlaps with subnetwork '" + other["name"].get<std::string>() + "' (" +
                       other["ipCidrRange"].get<std::string>() + ") in the same network.");
  }
  ResourceDocument subnet = newResource("compute#subnetwork", link, body);
  subnet["network"] = network;
  subnet["ipCidrRange"] = cidr;
  in_addr gateway{htonl(range.network.address + 1)};
  char text[INET_ADDRSTRLEN];
  subnet["gatewayAddress"] = inet_ntop(AF_INET, &gateway, text, sizeof text);
  subnet["region"] = region;
  subnet["selfLink"] = link;
  subnet["privateIpGoogleAccess"] = optionalBool(body, "privateIpGoogleAccess", false);
  subnet["purpose"] = "PRIVATE";
  subnet["stackType"] = "IPV4_ONLY";
  keepOtherFields(subnet, body);
  owner.subnetworks[key] = std::move(subnet);
  parent["subnetworks"].push_back(link);
}

void Store::addInstance(const std::string& project, const ResourceDocument& body) {
  auto [zone, key, link] = place(project, body, "zone", "instances", &Project::instances);
  ResourceDocument instance = newResource("compute#instance", link, body);
  instance["zone"] = zone;
  if (has(body, "machineType"))
    instance["machineType"] = referenceLink(body, "machineType", project,
                                            zone.substr(zone.find("zones/")) + "/machineTypes/*");
  ResourceDocument status = valueOr(body, "status", "RUNNING");
  if (!status.is_string()) throwInvalid("status", status, "Must be a string.");
  instance["status"] = status;
  instance["canIpForward"] = optionalBool(body, "canIpForward", false);
  const ResourceDocument& interfaces = arrayOrEmpty(body, "networkInterfaces");
  if (!interfaces.is_array() || interfaces.empty())
    throwInvalid("networkInterfaces", interfaces, "An instance needs at least one interface.");
  ResourceDocument nics = ResourceDocument::array();
  for (std::size_t i = 0; i < interfaces.size(); ++i) {
    const ResourceDocument& given = interfaces[i];
    std::string field = "networkInterfaces[" + std::to_string(i) + "]";
    if (!given.is_object()) throwInvalid(field, given, "Must be an object.");
    ResourceDocument nic = ResourceDocument::object();
    nic["name"] = "nic" + std::to_string(i);
    try {
      nic["network"] = networkReference(project, given, "network", false);
      if (has(given, "subnetwork")) {
        std::string subnet = referenceLink(given, "subnetwork", project, "regions/*/subnetworks/*");
        if (!find(subnet, "regions/*/subnetworks/*", &Project::subnetworks))
          throwInvalid("subnetwork", given["subnetwork"],
                       "The referenced subnetwork resource cannot be found.");
        nic["subnetwork"] = subnet;
      }
      if (has(given, "networkIP")) {
        if (!given["networkIP"].is_string() || !validAddress(given["networkIP"]))
          throwInvalid("networkIP", given["networkIP"], "Must be an IPv4 address.");
        nic["networkIP"] = given["networkIP"];
      }
    } catch (const ApiError& problem) {
      throw ApiError(problem.status(), problem.reason(), field + ": " + problem.what());
    }
    keepOtherFields(nic, given);
    nics.push_back(std::move(nic));
  }
  instance["networkInterfaces"] = std::move(nics);
  instance["selfLink"] = link;
  keepOtherFields(instance, body);
  projects_[project].instances[key] = std::move(instance);
}

namespace {

// The routes a topology says the BGP peer `peer` of the router `router` advertises: its
// "learned_routes", [{destRange, priority?}], toward the peer's address.
std::vector<LearnedRoute> learnedRoutesOf(const std::string& router, const ResourceDocument& peer) {
  auto refuse = [&](const std::string& what) {
    std::string name = has(peer, "name") ? textOf(peer["name"]) : "(no name)";
    throw ApiError(400, "invalid", "router '" + router + "', BGP peer '" + name + "': " + what);
  };
  if (!has(peer, "name") || !peer["name"].is_string())
    refuse("a peer with learned_routes needs a name");
  if (!has(peer, "peerIpAddress") || !peer["peerIpAddress"].is_string() ||
      !validAddress(peer["peerIpAddress"]))
    refuse(
        "a peer with learned_routes needs peerIpAddress, the IPv4 address they are learned from");
  const ResourceDocument& given = peer["learned_routes"];
  if (!given.is_array()) refuse("learned_routes: expected a list");
  std::vector<LearnedRoute> routes;
  for (std::size_t i = 0; i < given.size(); ++i) {
    checkRouteEntry(given[i], "learned_routes[" + std::to_string(i) + "]",
                    {"destRange", "priority"}, refuse);
    routes.push_back({given[i]["destRange"], priorityOr(given[i], 0)});
  }
  return routes;
}

}  // namespace

void Store::addRouter(const std::string& project, const ResourceDocument& body) {
  auto [region, key, link] = place(project, body, "region", "routers", &Project::routers);
  ResourceDocument router = newResource("compute#router", link, body);
  router["region"] = region;
  router["network"] = networkReference(project, body, "network", true);
  if (!has(body, "bgp"))
    throw ApiError(400, "required", "Required field 'resource.bgp' not specified");
  ResourceDocument bgp = body["bgp"];
  checkRouterBgp(bgp);
  if (!has(bgp, "advertiseMode")) bgp["advertiseMode"] = "DEFAULT";
  if (!has(bgp, "keepaliveInterval")) bgp["keepaliveInterval"] = 20;
  router["bgp"] = std::move(bgp);
  router["selfLink"] = link;
  keepOtherFields(router, body);
  if (has(router, "bgpPeers")) {
    if (!router["bgpPeers"].is_array())
      throwInvalid("bgpPeers", router["bgpPeers"], "Must be a list.");
    for (ResourceDocument& peer : router["bgpPeers"]) {
      if (!has(peer, "learned_routes")) continue;
      auto learned = learnedRoutesOf(router["name"], peer);
      auto& byPeer = projects_[project].learnedRoutes[key];
      if (byPeer.count(peer["name"]))
        throwInvalid("bgpPeers", peer["name"], "A second BGP peer with this name.");
      byPeer[peer["name"]] = std::move(learned);
      peer.erase("learned_routes");
    }
  }
  projects_[project].routers[key] = std::move(router);
}

void Store::addRoute(const std::string& project, ResourceDocument route) {
  std::string name = route["name"];
  auto& routes = projects_[project].routes;
  if (routes.count(name))
    throw ApiError(
        409, "alreadyExists",
        "The resource 'projects/" + project + "/global/routes/" + name + "' already exists");
  projects_[project].putRoute(std::move(route));
}

void Project::putRoute(ResourceDocument route) {
  std::string name = route["name"];
  routesByNetwork[route["network"].get<std::string>()].insert(name);
  routes[name] = std::move(route);
}

void Project::eraseRoute(const std::string& name) {
  auto it = routes.find(name);
  if (it == routes.end()) return;
  auto byNetwork = routesByNetwork.find(it->second["network"].get<std::string>());
  byNetwork->second.erase(name);
  if (byNetwork->second.empty()) routesByNetwork.erase(byNetwork);
  routes.erase(it);
}

std::vector<const ResourceDocument*> Store::subnetworksOf(const ResourceDocument& network) const {
  std::vector<const ResourceDocument*> subnets;
  for (const auto& link : network["subnetworks"])
    subnets.push_back(
        find(link.get<std::string>(), "regions/*/subnetworks/*", &Project::subnetworks));
  return subnets;
}

std::vector<const ResourceDocument*> Store::staticRoutesOf(const ResourceDocument& network) const {
  std::vector<const ResourceDocument*> routes;
  const std::string& link = network["selfLink"].get_ref<const std::string&>();
  auto project = projects_.find(linkIn(link.substr(kLinkPrefix.size())).project());
  if (project == projects_.end()) return routes;
  auto names = project->second.routesByNetwork.find(link);
  if (names == project->second.routesByNetwork.end()) return routes;
  for (const std::string& name : names->second)
    if (!project->second.generatedRoutes.count(name) && name != internetRouteName(link))
      routes.push_back(&project->second.routes.at(name));
  return routes;
}

std::vector<const ResourceDocument*> Store::activePeersOf(const ResourceDocument& network) const {
  std::vector<const ResourceDocument*> peers;
  for (const auto& peering : arrayOrEmpty(network, "peerings"))
    if (peering["state"] == "ACTIVE")
      if (const ResourceDocument* peer = findNetwork(peering["network"].get<std::string>()))
        peers.push_back(peer);
  return peers;
}

void Store::refreshNetworks() {
  for (auto& [id, project] : projects_)
    for (auto& [name, network] : project.networks) {
      if (!network.contains("peerings")) continue;
      for (auto& peering : network["peerings"]) {
        const ResourceDocument* peer = findNetwork(peering["network"].get<std::string>());
        bool active = false;
        if (peer)
          for (const auto& back : arrayOrEmpty(*peer, "peerings"))
            active = active || back["network"] == network["selfLink"];
        auto external = externalPeers_.find(peering["network"].get<std::string>());
        if (!peer && external != externalPeers_.end())
          active = external->second.peeredWith.count(network["selfLink"].get<std::string>()) > 0;
        peering["state"] = active ? "ACTIVE" : "INACTIVE";
        peering["stateDetails"] = active ? "Connected." : "Waiting for peer network to connect.";
        const ResourceDocument& mtu = peer                               ? (*peer)["mtu"]
                                      : external != externalPeers_.end() ? external->second.mtu
                                                                         : ResourceDocument();
        if (!mtu.is_null())
          peering["peerMtu"] = mtu;
        else
          peering.erase("peerMtu");
      }
    }

  for (auto& [id, project] : projects_) {
    for (const auto& name : project.generatedRoutes) project.eraseRoute(name);
    project.generatedRoutes.clear();
  }
  for (auto& [id, project] : projects_)
    for (const auto& [name, network] : project.networks) {
      const std::string& link = network["selfLink"].get_ref<const std::string&>();
      // Structured bindings are named through init-captures: clang before 16 cannot capture them.
      auto addGenerated = [&, &id = id, &project = project, &network = network](
                              const std::string& source, const std::string& destRange,
                              std::int64_t priority, const std::string& created,
                              const std::string& nextHopField, const std::string& nextHop,
                              const std::string& prefix, const std::string& description) {
        std::string routeName = prefix + hex16(link + "|" + source);
        if (project.routes.count(routeName)) return;
        project.putRoute(generatedRoute(id, routeName, network, destRange, priority, description,
                                        nextHopField, nextHop, created));
        project.generatedRoutes.insert(routeName);
      };
      for (const ResourceDocument* subnet : subnetworksOf(network))
        addGenerated((*subnet)["selfLink"], (*subnet)["ipCidrRange"], 0,
                     (*subnet)["creationTimestamp"], "nextHopNetwork", link, "default-route-",
                     "Default local route to the subnetwork " +
                         (*subnet)["ipCidrRange"].get<std::string>() + ".");
      for (const auto& peering : arrayOrEmpty(network, "peerings")) {
        if (peering["state"] != "ACTIVE") continue;
        std::string peeringName = peering["name"];
        std::string description = "Auto generated route via peering [" + peeringName + "].";
        if (const ResourceDocument* peer = findNetwork(peering["network"].get<std::string>())) {
          for (const ResourceDocument* subnet : subnetworksOf(*peer))
            addGenerated((*subnet)["selfLink"], (*subnet)["ipCidrRange"], 0,
                         (*subnet)["creationTimestamp"], "nextHopPeering", peeringName,
                         "peering-route-", description);
          continue;
        }
        // An external peer: what the topology says it exports.
        if (const auto* routes = routesFromExternalPeer(peering))
          for (const ExternalRoute& route : *routes)
            if (route.importedOver(peering))
              addGenerated(peering["network"].get<std::string>() + "|" + route.destRange,
                           route.destRange, route.priority, network["creationTimestamp"],
                           "nextHopPeering", peeringName, "peering-route-", description);
      }
    }
}

}  // namespace tolmi_gcp::emulator
