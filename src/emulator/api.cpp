#include "emulator/api.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "emulator/filter.hpp"

namespace tolmi_gcp::emulator {

struct ComputeApi::Call {
  const std::vector<std::string>& path;
  const QueryList& query;
  const ResourceDocument& body;
  const std::optional<ResourceDocument>& operationError;

  const std::string& project() const { return path[1]; }
  // The last value of a query parameter, if given.
  std::optional<std::string> param(std::string_view name) const {
    std::optional<std::string> value;
    for (const auto& [key, text] : query)
      if (key == name) value = text;
    return value;
  }
};

namespace {

bool fits(const std::vector<std::string>& path, std::string_view pattern) {
  std::size_t index = 0;
  std::size_t start = 0;
  while (true) {
    std::size_t slash = pattern.find('/', start);
    std::string_view want = pattern.substr(start, slash - start);
    if (index == path.size() || (want != "*" && path[index] != want)) return false;
    ++index;
    if (slash == std::string_view::npos) return index == path.size();
    start = slash + 1;
  }
}

std::string joined(const std::vector<std::string>& path) {
  std::string out;
  for (const auto& segment : path) out += (out.empty() ? "" : "/") + segment;
  return out;
}

std::string hexOf(const std::string& text) {
  static const char* kHex = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::optional<std::string> unhex(const std::string& text) {
  if (text.size() % 2) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 1])))
      return std::nullopt;
    out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  }
  return out;
}

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

struct Page {
  std::vector<const ResourceDocument*> items;
  std::optional<std::string> nextPageToken;
};

}  // namespace

ResourceDocument ComputeApi::call(const std::string& method, const std::vector<std::string>& path,
                                  const QueryList& query, const ResourceDocument& body,
                                  const std::optional<ResourceDocument>& operationError) {
  using Handler = ResourceDocument (ComputeApi::*)(const Call&);
  struct Method {
    std::string_view verb;
    std::string_view pattern;
    Handler handler;
  };
  static const Method kMethods[] = {
      {"GET", "projects/*/global/networks", &ComputeApi::listNetworks},
      {"GET", "projects/*/global/networks/*", &ComputeApi::getNetwork},
      {"POST", "projects/*/global/networks/*/addPeering", &ComputeApi::addPeering},
      {"POST", "projects/*/global/networks/*/removePeering", &ComputeApi::removePeering},
      {"GET", "projects/*/regions/*/subnetworks/*", &ComputeApi::getSubnetwork},
      {"GET", "projects/*/global/routes", &ComputeApi::listRoutes},
      {"POST", "projects/*/global/routes", &ComputeApi::insertRoute},
      {"GET", "projects/*/global/routes/*", &ComputeApi::getRoute},
      {"DELETE", "projects/*/global/routes/*", &ComputeApi::deleteRoute},
      {"GET", "projects/*/zones/*/instances/*", &ComputeApi::getInstance},
      {"GET", "projects/*/regions/*/routers", &ComputeApi::listRouters},
      {"GET", "projects/*/aggregated/routers", &ComputeApi::aggregatedRouters},
      {"GET", "projects/*/regions/*/routers/*", &ComputeApi::getRouter},
      {"PATCH", "projects/*/regions/*/routers/*", &ComputeApi::patchRouter},
      {"GET", "projects/*/global/operations/*", &ComputeApi::getOperation},
      {"POST", "projects/*/global/operations/*/wait", &ComputeApi::getOperation},
      {"GET", "projects/*/regions/*/operations/*", &ComputeApi::getOperation},
      {"POST", "projects/*/regions/*/operations/*/wait", &ComputeApi::getOperation},
  };
  for (const Method& entry : kMethods) {
    if (method != entry.verb || !fits(path, entry.pattern)) continue;
    Call call{path, query, body, operationError};
    bool change = method != "GET" && path.back() != "wait";
    if (change) {
      if (auto earlier = repeated(call)) return *earlier;
    }
    return (this->*entry.handler)(call);
  }
  throw ApiError(404, "notFound",
                 "The requested URL " + method + " /compute/v1/" + joined(path) +
                     " was not found on this server.");
}

void ComputeApi::reset() {
  operations_.clear();
  operationsByRequest_.clear();
}

std::optional<ResourceDocument> ComputeApi::repeated(const Call& call) const {
  auto requestId = call.param("requestId");
  if (!requestId) return std::nullopt;
  static const RE2 kUuid(
      "[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}");
  if (!RE2::FullMatch(*requestId, kUuid) || *requestId == "00000000-0000-0000-0000-000000000000")
    throw ApiError(400, "invalid",
                   "Invalid value for field 'requestId': '" + *requestId +
                       "'. The request id must be a valid UUID with the exception that zero "
                       "UUID is not supported.");
  auto known = operationsByRequest_.find(call.project() + "/" + *requestId);
  if (known == operationsByRequest_.end()) return std::nullopt;
  return render(operations_.at(known->second));
}

// Lists: one page in name order, after the key the page token carries.
namespace {

Page pageOf(const std::map<std::string, ResourceDocument>& items, const std::string& prefix,
            const std::optional<std::string>& filterText,
            const std::optional<std::string>& maxResultsText,
            const std::optional<std::string>& pageToken,
            const std::optional<std::string>& orderBy) {
  Filter filter(filterText.value_or(""));
  std::size_t maxResults = 500;
  if (maxResultsText && !maxResultsText->empty()) {
    bool digits = maxResultsText->size() <= 6 &&
                  std::all_of(maxResultsText->begin(), maxResultsText->end(), ::isdigit);
    std::size_t value = digits ? std::stoul(*maxResultsText) : 0;
    if (!digits || value > 500)
      throw ApiError(400, "invalid",
                     "Invalid value for field 'maxResults': '" + *maxResultsText +
                         "'. Must be a whole number from 0 to 500.");
    if (value > 0) maxResults = value;
  }
  if (orderBy && !orderBy->empty() && *orderBy != "name" && *orderBy != "name asc")
    throw ApiError(400, "invalid",
                   "Invalid value for field 'orderBy': '" + *orderBy +
                       "'. Results can only be ordered by name.");
  auto it = items.lower_bound(prefix);
  if (pageToken && !pageToken->empty()) {
    auto after = unhex(*pageToken);
    if (!after || !after->starts_with(prefix))
      throw ApiError(400, "invalid",
                     "Invalid value for field 'pageToken': '" + *pageToken +
                         "'. It is not a token this list returned.");
    it = items.upper_bound(*after);
  }
  Page page;
  std::string lastKey;
  for (; it != items.end() && it->first.starts_with(prefix); ++it) {
    if (!filter.matches(it->second)) continue;
    if (page.items.size() == maxResults) {
      page.nextPageToken = hexOf(lastKey);
      break;
    }
    page.items.push_back(&it->second);
    lastKey = it->first;
  }
  return page;
}

ResourceDocument listDocument(const std::string& kind, const std::string& relativeName, Page page) {
  ResourceDocument list = {{"kind", kind}, {"id", relativeName}};
  if (!page.items.empty()) {
    ResourceDocument items = ResourceDocument::array();
    for (const ResourceDocument* item : page.items) items.push_back(*item);
    list["items"] = std::move(items);
  }
  if (page.nextPageToken) list["nextPageToken"] = *page.nextPageToken;
  list["selfLink"] = linkOf(relativeName);
  return list;
}

}  // namespace

ResourceDocument ComputeApi::listNetworks(const Call& call) {
  const Project& project = store_.project(call.project());
  return listDocument("compute#networkList", "projects/" + call.project() + "/global/networks",
                      pageOf(project.networks, "", call.param("filter"), call.param("maxResults"),
                             call.param("pageToken"), call.param("orderBy")));
}

ResourceDocument ComputeApi::listRoutes(const Call& call) {
  const Project& project = store_.project(call.project());
  return listDocument("compute#routeList", "projects/" + call.project() + "/global/routes",
                      pageOf(project.routes, "", call.param("filter"), call.param("maxResults"),
                             call.param("pageToken"), call.param("orderBy")));
}

ResourceDocument ComputeApi::listRouters(const Call& call) {
  const Project& project = store_.project(call.project());
  const std::string& region = call.path[3];
  return listDocument(
      "compute#routerList", "projects/" + call.project() + "/regions/" + region + "/routers",
      pageOf(project.routers, region + "/", call.param("filter"), call.param("maxResults"),
             call.param("pageToken"), call.param("orderBy")));
}

ResourceDocument ComputeApi::aggregatedRouters(const Call& call) {
  const Project& project = store_.project(call.project());
  Page page = pageOf(project.routers, "", call.param("filter"), call.param("maxResults"),
                     call.param("pageToken"), call.param("orderBy"));
  ResourceDocument scopes = ResourceDocument::object();
  std::string includeAll = call.param("includeAllScopes").value_or("");
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

// Single resources.

ResourceDocument ComputeApi::getNetwork(const Call& call) {
  return store_.network(call.project(), call.path[4]);
}

ResourceDocument ComputeApi::getRoute(const Call& call) {
  const Project& project = store_.project(call.project());
  auto it = project.routes.find(call.path[4]);
  if (it == project.routes.end()) throwNotFound(joined(call.path));
  return it->second;
}

namespace {

ResourceDocument& scoped(std::map<std::string, ResourceDocument>& items,
                         const std::vector<std::string>& path) {
  auto it = items.find(path[3] + "/" + path[5]);
  if (it == items.end()) throwNotFound(joined(path));
  return it->second;
}

}  // namespace

ResourceDocument ComputeApi::getSubnetwork(const Call& call) {
  return scoped(store_.project(call.project()).subnetworks, call.path);
}

ResourceDocument ComputeApi::getInstance(const Call& call) {
  return scoped(store_.project(call.project()).instances, call.path);
}

ResourceDocument ComputeApi::getRouter(const Call& call) {
  return scoped(store_.project(call.project()).routers, call.path);
}

// Changes. Each is checked completely before anything is changed, and is not applied when an
// injected fault makes its operation fail.

ResourceDocument ComputeApi::insertRoute(const Call& call) {
  Project& project = store_.project(call.project());
  if (!call.body.is_object())
    throw ApiError(400, "required", "Required field 'resource' not specified");
  ResourceDocument route = store_.makeRoute(call.project(), call.body);
  std::string name = route["name"];
  std::string link = route["selfLink"];
  if (project.routes.count(name))
    throw ApiError(409, "alreadyExists",
                   "The resource '" + link.substr(kLinkPrefix.size()) + "' already exists");
  if (!call.operationError) project.routes.emplace(name, std::move(route));
  return startOperation(call, "insert", link, "");
}

ResourceDocument ComputeApi::deleteRoute(const Call& call) {
  Project& project = store_.project(call.project());
  auto it = project.routes.find(call.path[4]);
  if (it == project.routes.end()) throwNotFound(joined(call.path));
  if (project.generatedRoutes.count(call.path[4]))
    throw ApiError(400, "badRequest",
                   "The route '" + joined(call.path) +
                       "' is generated from a subnetwork or a peering and cannot be deleted.");
  std::string link = it->second["selfLink"];
  if (!call.operationError) project.routes.erase(it);
  return startOperation(call, "delete", link, "");
}

ResourceDocument ComputeApi::addPeering(const Call& call) {
  ResourceDocument& network = store_.network(call.project(), call.path[4]);
  const std::string& link = network["selfLink"].get_ref<const std::string&>();
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
  ResourceDocument peering = store_.makePeering(call.project(), given);
  const std::string& peer = peering["network"].get_ref<const std::string&>();
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
  checkNoPeeringInProgress({link, peer});
  std::vector<std::string> touched = {link, peer};
  if (!call.operationError) {
    network["peerings"].push_back(std::move(peering));
    store_.refreshNetworks();
  }
  // `peer` pointed into the peering, which now lives in the network: use the copies.
  return startOperation(call, "addPeering", touched[0], "", touched);
}

ResourceDocument ComputeApi::removePeering(const Call& call) {
  ResourceDocument& network = store_.network(call.project(), call.path[4]);
  std::string link = network["selfLink"];
  if (!has(call.body, "name") || !call.body["name"].is_string())
    throw ApiError(400, "required", "Required field 'name' not specified");
  const std::string& name = call.body["name"].get_ref<const std::string&>();
  ResourceDocument& peerings = network["peerings"];
  auto it = std::find_if(peerings.begin(), peerings.end(),
                         [&](const ResourceDocument& peering) { return peering["name"] == name; });
  if (it == peerings.end())
    throw ApiError(400, "invalid",
                   "There is no peering named '" + name + "' on network '" +
                       link.substr(kLinkPrefix.size()) + "'.");
  std::string peer = (*it)["network"];
  checkNoPeeringInProgress({link, peer});
  if (!call.operationError) {
    peerings.erase(it);
    if (peerings.empty()) network.erase("peerings");
    store_.refreshNetworks();
  }
  return startOperation(call, "removePeering", link, "", {link, peer});
}

ResourceDocument ComputeApi::patchRouter(const Call& call) {
  Project& project = store_.project(call.project());
  ResourceDocument& router = scoped(project.routers, call.path);
  if (!call.body.is_object())
    throw ApiError(400, "required", "Required field 'resource' not specified");
  // Clients send back the whole router they read: output fields are ignored, the name and the
  // network may only repeat what they are.
  ResourceDocument patch = call.body;
  for (const char* output : {"kind", "id", "selfLink", "creationTimestamp", "region"})
    patch.erase(output);
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
  std::string link = router["selfLink"];
  std::string region = router["region"];
  if (!call.operationError) router = std::move(patched);
  return startOperation(call, "patch", link, region);
}

// Operations.

ResourceDocument ComputeApi::startOperation(const Call& call, const std::string& type,
                                            const std::string& targetLink,
                                            const std::string& region,
                                            std::vector<std::string> peeringNetworks) {
  auto now = std::chrono::system_clock::now();
  long long epochMillis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  ++operationCount_;
  std::uint64_t hash = fingerprint(call.project() + "/" + std::to_string(operationCount_));
  char name[80];
  std::snprintf(name, sizeof name, "operation-%013lld-%013llx-%08x-%08x", epochMillis,
                static_cast<unsigned long long>(operationCount_), static_cast<unsigned>(hash >> 32),
                static_cast<unsigned>(hash));
  std::string scope = region.empty() ? "global" : region.substr(region.rfind("regions/"));
  std::string relative = "projects/" + call.project() + "/" + scope + "/operations/" + name;

  Operation operation;
  operation.doc = {{"kind", "compute#operation"},
                   {"id", resourceId(relative)},
                   {"name", name},
                   {"operationType", type},
                   {"targetLink", targetLink},
                   {"targetId", resourceId(targetLink)},
                   {"user", "emulator@localhost"},
                   {"selfLink", linkOf(relative)}};
  if (!region.empty()) operation.doc["region"] = region;
  operation.started = Clock::now();
  operation.insertTime = timestamp(now);
  operation.error = call.operationError;
  operation.peeringNetworks = std::move(peeringNetworks);
  if (auto requestId = call.param("requestId"))
    operationsByRequest_[call.project() + "/" + *requestId] = relative;
  return render(operations_.emplace(relative, std::move(operation)).first->second);
}

bool ComputeApi::done(const Operation& operation) const {
  return Clock::now() - operation.started >= std::chrono::milliseconds(options_.operationDelayMs);
}

ResourceDocument ComputeApi::render(const Operation& operation) const {
  auto delay = std::chrono::milliseconds(options_.operationDelayMs);
  auto elapsed = Clock::now() - operation.started;
  const ResourceDocument& fixed = operation.doc;
  ResourceDocument doc;
  for (const char* key : {"kind", "id", "name", "operationType", "targetLink", "targetId"})
    doc[key] = fixed[key];
  if (elapsed >= delay) {
    doc["status"] = "DONE";
    doc["progress"] = 100;
  } else {
    // The first half of the delay is spent PENDING, the second RUNNING.
    doc["status"] = elapsed * 2 < delay ? "PENDING" : "RUNNING";
    doc["progress"] = static_cast<int>(elapsed * 100 / delay);
  }
  doc["user"] = fixed["user"];
  doc["insertTime"] = operation.insertTime;
  doc["startTime"] = operation.insertTime;
  if (elapsed >= delay) {
    auto end = std::chrono::system_clock::now() -
               std::chrono::duration_cast<std::chrono::system_clock::duration>(elapsed - delay);
    doc["endTime"] = timestamp(end);
    if (operation.error)
      for (const auto& [key, value] : operation.error->items()) doc[key] = value;
  }
  doc["selfLink"] = fixed["selfLink"];
  if (fixed.contains("region")) doc["region"] = fixed["region"];
  return doc;
}

const ComputeApi::Operation& ComputeApi::findOperation(const std::string& project,
                                                       const std::string& scope,
                                                       const std::string& name) const {
  std::string prefix = "projects/" + project + "/" + scope + "/operations/";
  auto it = operations_.find(prefix + name);
  if (it != operations_.end()) return it->second;
  // The operation's numeric id names it too.
  for (auto match = operations_.lower_bound(prefix);
       match != operations_.end() && match->first.starts_with(prefix); ++match)
    if (match->second.doc.at("id") == name) return match->second;
  throwNotFound(prefix + name);
}

namespace {

// The scope ("global" or "regions/R") and name of the operation a path addresses.
std::pair<std::string, std::string> operationOf(const std::vector<std::string>& path) {
  if (path[2] == "global") return {"global", path[4]};
  return {"regions/" + path[3], path[5]};
}

}  // namespace

ResourceDocument ComputeApi::getOperation(const Call& call) {
  store_.project(call.project());
  auto [scope, name] = operationOf(call.path);
  return render(findOperation(call.project(), scope, name));
}

std::chrono::milliseconds ComputeApi::holdTime(const std::string& method,
                                               const std::vector<std::string>& path) const {
  if (method != "POST" || !(fits(path, "projects/*/global/operations/*/wait") ||
                            fits(path, "projects/*/regions/*/operations/*/wait")))
    return std::chrono::milliseconds(0);
  auto [scope, name] = operationOf(path);
  auto it = operations_.find("projects/" + path[1] + "/" + scope + "/operations/" + name);
  if (it == operations_.end() || done(it->second)) return std::chrono::milliseconds(0);
  auto remaining = std::chrono::ceil<std::chrono::milliseconds>(
      it->second.started + std::chrono::milliseconds(options_.operationDelayMs) - Clock::now());
  return std::min(remaining, std::chrono::milliseconds(options_.waitTimeoutMs));
}

void ComputeApi::checkNoPeeringInProgress(const std::vector<std::string>& networkLinks) const {
  for (const auto& [name, operation] : operations_) {
    if (operation.peeringNetworks.empty() || done(operation)) continue;
    for (const auto& link : operation.peeringNetworks)
      if (std::find(networkLinks.begin(), networkLinks.end(), link) != networkLinks.end())
        throw ApiError(400, "badRequest",
                       "There is a peering operation in progress on the local or peer network. "
                       "Try again later.");
  }
}

}  // namespace tolmi_gcp::emulator
