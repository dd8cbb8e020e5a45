#include "emulator/api.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "emulator/filter.hpp"
#include "emulator/schema.hpp"
#include "tolmi_gcp/compute/api_method.hpp"

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
    CallKind kind;
    Handler handler;
  };
  static const Method kMethods[] = {
      {"GET", "projects/*/global/networks", CallKind::kRead, &ComputeApi::listNetworks},
      {"GET", "projects/*/global/networks/*", CallKind::kRead, &ComputeApi::getNetwork},
      {"POST", "projects/*/global/networks/*/addPeering", CallKind::kChange,
       &ComputeApi::addPeering},
      {"POST", "projects/*/global/networks/*/removePeering", CallKind::kChange,
       &ComputeApi::removePeering},
      {"GET", "projects/*/regions/*/subnetworks/*", CallKind::kRead, &ComputeApi::getSubnetwork},
      {"GET", "projects/*/global/routes", CallKind::kRead, &ComputeApi::listRoutes},
      {"POST", "projects/*/global/routes", CallKind::kChange, &ComputeApi::insertRoute},
      {"GET", "projects/*/global/routes/*", CallKind::kRead, &ComputeApi::getRoute},
      {"DELETE", "projects/*/global/routes/*", CallKind::kChange, &ComputeApi::deleteRoute},
      {"GET", "projects/*/zones/*/instances/*", CallKind::kRead, &ComputeApi::getInstance},
      {"GET", "projects/*/regions/*/routers", CallKind::kRead, &ComputeApi::listRouters},
      {"GET", "projects/*/aggregated/routers", CallKind::kRead, &ComputeApi::aggregatedRouters},
      {"GET", "projects/*/regions/*/routers/*", CallKind::kRead, &ComputeApi::getRouter},
      {"PATCH", "projects/*/regions/*/routers/*", CallKind::kChange, &ComputeApi::patchRouter},
      {"GET", "projects/*/global/operations", CallKind::kRead, &ComputeApi::listGlobalOperations},
      {"GET", "projects/*/global/operations/*", CallKind::kRead, &ComputeApi::getOperation},
      {"POST", "projects/*/global/operations/*/wait", CallKind::kWait, &ComputeApi::getOperation},
      {"GET", "projects/*/regions/*/operations/*", CallKind::kRead, &ComputeApi::getOperation},
      {"POST", "projects/*/regions/*/operations/*/wait", CallKind::kWait,
       &ComputeApi::getOperation},
  };
  for (const Method& entry : kMethods) {
    if (method != entry.verb || !fits(path, entry.pattern)) continue;
    // Fields the API does not have, and those only the server sets, are ignored.
    const Schema::Method* described = Schema::compute().method(method, path);
    ResourceDocument input = described && !described->requestBody.empty()
                                 ? Schema::compute().input(described->requestBody, body)
                                 : body;
    Call call{path, query, input, operationError};
    settle();
    bool change = entry.kind == CallKind::kChange;
    if (change) {
      if (auto earlier = repeated(call)) return *earlier;
    }
    ResourceDocument answer = (this->*entry.handler)(call);
    if (change) settle();  // a change without delay is made at once
    return answer;
  }
  throw ApiError(404, "notFound",
                 "The requested URL " + method + " /compute/v1/" + joined(path) +
                     " was not found on this server.");
}

void ComputeApi::reset() {
  operations_.clear();
  unfinished_.clear();
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

// Lists: one page in name order after the key the page token carries, or newest first.
namespace {

// A place in the newest-first order: creation time, later first, then key.
struct Newest {
  std::string created;
  std::string key;
  const ResourceDocument* item;
  bool operator<(const Newest& other) const {
    return created != other.created ? created > other.created : key < other.key;
  }
};

// `only`, when given, holds the keys worth a look (a network's routes).
Page pageOf(const std::map<std::string, ResourceDocument>& items, const std::string& prefix,
            const std::optional<std::string>& filterText,
            const std::optional<std::string>& maxResultsText,
            const std::optional<std::string>& pageToken, const std::optional<std::string>& orderBy,
            const std::set<std::string>* only = nullptr) {
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
  bool newestFirst = orderBy == "creationTimestamp desc";
  if (orderBy && !orderBy->empty() && *orderBy != "name" && *orderBy != "name asc" && !newestFirst)
    throw ApiError(400, "invalid",
                   "Invalid value for field 'orderBy': '" + *orderBy +
                       "'. Results can only be ordered by name or by 'creationTimestamp desc'.");
  std::optional<std::string> after;
  if (pageToken && !pageToken->empty()) {
    after = unhex(*pageToken);
    if (!after || !after->starts_with(prefix))
      throw ApiError(400, "invalid",
                     "Invalid value for field 'pageToken': '" + *pageToken +
                         "'. It is not a token this list returned.");
  }
  // Calls `take` with the items that pass the filter, in name order after `from`, while it says
  // to go on.
  auto visit = [&](const std::optional<std::string>& from, auto&& take) {
    if (only) {
      for (auto it = from ? only->upper_bound(*from) : only->begin(); it != only->end(); ++it)
        if (const auto& item = items.at(*it); filter.matches(item) && !take(*it, item)) return;
      return;
    }
    for (auto it = from ? items.upper_bound(*from) : items.lower_bound(prefix);
         it != items.end() && it->first.starts_with(prefix); ++it)
      if (filter.matches(it->second) && !take(it->first, it->second)) return;
  };
  Page page;
  std::string lastToken;
  auto add = [&](const std::string& token, const ResourceDocument& item) {
    if (page.items.size() == maxResults) {
      page.nextPageToken = hexOf(lastToken);
      return false;
    }
    page.items.push_back(&item);
    lastToken = token;
    return true;
  };
  if (!newestFirst) {
    visit(after, add);
    return page;
  }
  // Newest first: the token carries the key and the creation time of the page's last item.
  std::vector<Newest> order;
  visit(std::nullopt, [&](const std::string& key, const ResourceDocument& item) {
    order.push_back({textOf(memberOrNull(item, "creationTimestamp")), key, &item});
    return true;
  });
  std::sort(order.begin(), order.end());
  auto it = order.begin();
  if (after) {
    auto newline = after->find('\n');
    Newest last{after->substr(newline == std::string::npos ? after->size() : newline + 1),
                after->substr(0, newline), nullptr};
    it = std::upper_bound(order.begin(), order.end(), last);
  }
  for (; it != order.end(); ++it)
    if (!add(it->key + "\n" + it->created, *it->item)) break;
  return page;
}

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
  // A filter on one network looks only at that network's routes.
  const std::set<std::string>* only = nullptr;
  if (auto network = networkAskedFor(call.param("filter"), call.project())) {
    static const std::set<std::string> kNone;
    auto it = project.routesByNetwork.find(*network);
    only = it == project.routesByNetwork.end() ? &kNone : &it->second;
  }
  return listDocument("compute#routeList", "projects/" + call.project() + "/global/routes",
                      pageOf(project.routes, "", call.param("filter"), call.param("maxResults"),
                             call.param("pageToken"), call.param("orderBy"), only));
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
  Change change{{}, false, {route["network"].get<std::string>()}};
  checkReady(link);
  checkNetworksFree(change);
  if (project.routes.count(name))
    throw ApiError(409, "alreadyExists",
                   "The resource '" + link.substr(kLinkPrefix.size()) + "' already exists");
  change.apply = [this, id = call.project(), route = std::move(route)] {
    store_.addRoute(id, route);
  };
  return startOperation(call, "insert", link, "", std::move(change));
}

ResourceDocument ComputeApi::deleteRoute(const Call& call) {
  Project& project = store_.project(call.project());
  checkReady(linkOf(joined(call.path)));
  auto it = project.routes.find(call.path[4]);
  if (it == project.routes.end()) throwNotFound(joined(call.path));
  if (project.generatedRoutes.count(call.path[4]))
    throw ApiError(400, "badRequest",
                   "The route '" + joined(call.path) +
                       "' is generated from a subnetwork or a peering and cannot be deleted.");
  Change change{
      [this, id = call.project(), name = call.path[4]] { store_.project(id).eraseRoute(name); },
      false,
      {it->second["network"].get<std::string>()}};
  checkNetworksFree(change);
  return startOperation(call, "delete", it->second["selfLink"], "", std::move(change));
}

ResourceDocument ComputeApi::addPeering(const Call& call) {
  ResourceDocument& network = store_.network(call.project(), call.path[4]);
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
  ResourceDocument peering = store_.makePeering(call.project(), given);
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
  Change change{[this, id = call.project(), name = call.path[4], peering = std::move(peering)] {
                  store_.network(id, name)["peerings"].push_back(peering);
                  store_.refreshNetworks();
                },
                true,
                {link, peer}};
  checkNetworksFree(change);
  checkReady(link);
  return startOperation(call, "addPeering", link, "", std::move(change));
}

ResourceDocument ComputeApi::removePeering(const Call& call) {
  ResourceDocument& network = store_.network(call.project(), call.path[4]);
  std::string link = network["selfLink"];
  if (!has(call.body, "name") || !call.body["name"].is_string())
    throw ApiError(400, "required", "Required field 'name' not specified");
  std::string name = call.body["name"];
  const ResourceDocument& peerings = arrayOrEmpty(network, "peerings");
  auto it = std::find_if(peerings.begin(), peerings.end(),
                         [&](const ResourceDocument& peering) { return peering["name"] == name; });
  if (it == peerings.end())
    throw ApiError(400, "invalid",
                   "There is no peering named '" + name + "' on network '" +
                       link.substr(kLinkPrefix.size()) + "'.");
  Change change{[this, id = call.project(), network = call.path[4], name] {
                  ResourceDocument& changed = store_.network(id, network);
                  ResourceDocument& list = changed["peerings"];
                  for (auto entry = list.begin(); entry != list.end(); ++entry)
                    if ((*entry)["name"] == name) {
                      list.erase(entry);
                      break;
                    }
                  if (list.empty()) changed.erase("peerings");
                  store_.refreshNetworks();
                },
                true,
                {link, (*it)["network"].get<std::string>()}};
  checkNetworksFree(change);
  checkReady(link);
  return startOperation(call, "removePeering", link, "", std::move(change));
}

ResourceDocument ComputeApi::patchRouter(const Call& call) {
  Project& project = store_.project(call.project());
  ResourceDocument& router = scoped(project.routers, call.path);
  std::string link = router["selfLink"];
  checkReady(link);
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
  Change change{[this, id = call.project(), path = call.path, patched = std::move(patched)] {
                  scoped(store_.project(id).routers, path) = patched;
                },
                false,
                {}};
  return startOperation(call, "patch", link, region, std::move(change));
}

// Operations.

ResourceDocument ComputeApi::startOperation(const Call& call, const std::string& type,
                                            const std::string& targetLink,
                                            const std::string& region, Change change) {
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
  operation.started = now_();
  operation.insertTime = timestamp(now);
  operation.error = call.operationError;
  operation.change = std::move(change);
  if (operation.error) operation.change.apply = nullptr;
  if (auto requestId = call.param("requestId")) {
    operation.doc["clientOperationId"] = *requestId;
    operationsByRequest_[call.project() + "/" + *requestId] = relative;
  }
  unfinished_.push_back(relative);
  return render(operations_.emplace(relative, std::move(operation)).first->second);
}

bool ComputeApi::done(const Operation& operation) const {
  return now_() - operation.started >= std::chrono::milliseconds(options_.operationDelayMs);
}

void ComputeApi::settle() {
  // Every operation takes as long, so they finish in the order they started.
  while (!unfinished_.empty()) {
    Operation& operation = operations_.at(unfinished_.front());
    if (!done(operation)) return;
    if (operation.change.apply) operation.change.apply();
    operation.change.apply = nullptr;
    unfinished_.pop_front();
  }
}

void ComputeApi::checkReady(const std::string& targetLink) const {
  for (const auto& name : unfinished_)
    if (operations_.at(name).doc["targetLink"] == targetLink && !done(operations_.at(name)))
      throw ApiError(400, "resourceNotReady",
                     "The resource '" + targetLink.substr(kLinkPrefix.size()) + "' is not ready");
}

void ComputeApi::checkNetworksFree(const Change& change) const {
  // The networks the change touches and their peers.
  std::set<std::string> near(change.networks.begin(), change.networks.end());
  for (const auto& link : change.networks)
    if (const ResourceDocument* network = store_.findNetwork(link))
      for (const auto& peering : arrayOrEmpty(*network, "peerings"))
        near.insert(peering["network"]);
  for (const auto& name : unfinished_) {
    const Operation& operation = operations_.at(name);
    if (done(operation) || (!operation.change.peering && !change.peering)) continue;
    for (const auto& link : operation.change.networks) {
      // Peering changes among themselves exclude each other on the two networks they join.
      bool excludes = operation.change.peering && change.peering
                          ? std::find(change.networks.begin(), change.networks.end(), link) !=
                                change.networks.end()
                          : near.count(link) > 0;
      if (excludes)
        throw ApiError(400, "badRequest",
                       std::string("There is a ") +
                           (operation.change.peering ? "peering" : "route") +
                           " operation in progress on the local or peer network. Try again later.");
    }
  }
}

ResourceDocument ComputeApi::render(const Operation& operation) const {
  auto delay = std::chrono::milliseconds(options_.operationDelayMs);
  auto elapsed = now_() - operation.started;
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
  if (fixed.contains("clientOperationId")) doc["clientOperationId"] = fixed["clientOperationId"];
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

ResourceDocument ComputeApi::listGlobalOperations(const Call& call) {
  store_.project(call.project());
  // As they stand now, so that a filter on "status" sees what a get would.
  const std::string relative = "projects/" + call.project() + "/global/operations";
  std::map<std::string, ResourceDocument> current;
  for (auto it = operations_.lower_bound(relative + "/");
       it != operations_.end() && it->first.starts_with(relative + "/"); ++it)
    current.emplace(it->first, render(it->second));
  return listDocument("compute#operationList", relative,
                      pageOf(current, "", call.param("filter"), call.param("maxResults"),
                             call.param("pageToken"), call.param("orderBy")));
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
      it->second.started + std::chrono::milliseconds(options_.operationDelayMs) - now_());
  return std::min(remaining, std::chrono::milliseconds(options_.waitTimeoutMs));
}

}  // namespace tolmi_gcp::emulator
