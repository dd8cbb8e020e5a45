#include "tolmi_gcp/reachability.hpp"

#include <algorithm>
#include <optional>

#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/ipv4_network.hpp"
#include "tolmi_gcp/resource_link.hpp"
#include "tolmi_gcp/text_lists.hpp"

namespace tolmi_gcp {

namespace {

using Candidate = RoutingTable::Entry;

Ipv4Network networkOrThrow(const std::string& text, const std::string& what) {
  Ipv4Network::Parsed parsed = Ipv4Network::parse(text);
  if (!parsed.ok()) throw Error(what + " " + text + " is not an IPv4 network: " + parsed.reason());
  return parsed.network;
}

bool isPrivate(const Ipv4Network& range) {
  for (const char* block : {"10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "100.64.0.0/10"})
    if (Ipv4Network::parse(block).network.contains(range)) return true;
  return false;
}

std::string lastSegment(const std::string& link) { return link.substr(link.rfind('/') + 1); }

// What a static route of `from` does with traffic, as far as the estate shows.
Path pathOfRoute(const Estate& estate, const NetworkKey& from, const Route& route) {
  Path path;
  path.routes = {route.name};
  const NextHop& hop = route.nextHop;
  const Instance* instance = nullptr;
  switch (hop.kind) {
    case NextHop::Kind::kInstance:
      path.verdict = Verdict::kInstance;
      path.via = route.name + " via instance " + lastSegment(hop.target);
      instance = hop.instance ? estate.instance(*hop.instance) : nullptr;
      if (!instance) {
        path.forwards = false;
        path.why = "the instance " + lastSegment(hop.target) + " is not there";
      }
      break;
    case NextHop::Kind::kIp:
      path.verdict = Verdict::kIp;
      path.via = route.name + " via ip " + hop.target;
      // An address of an instance on the network is that instance.
      for (const Instance& candidate : estate.instances)
        for (const NetworkInterface& nic : candidate.networkInterfaces)
          if (nic.network == from && nic.networkIP == hop.target) instance = &candidate;
      break;
    case NextHop::Kind::kIlb:
    case NextHop::Kind::kVpnTunnel:
    case NextHop::Kind::kInterconnectAttachment:
    case NextHop::Kind::kHub: {
      static constexpr std::pair<NextHop::Kind, Verdict> kPassed[] = {
          {NextHop::Kind::kIlb, Verdict::kIlb},
          {NextHop::Kind::kVpnTunnel, Verdict::kVpnTunnel},
          {NextHop::Kind::kInterconnectAttachment, Verdict::kInterconnect},
          {NextHop::Kind::kHub, Verdict::kHub}};
      for (const auto& [kind, verdict] : kPassed)
        if (kind == hop.kind) path.verdict = verdict;
      path.via = route.name + " via " + std::string(verdictName(path.verdict)) + " " +
                 lastSegment(hop.target);
      break;
    }
    case NextHop::Kind::kGateway:
      path.verdict = hop.target.ends_with("/default-internet-gateway") ? Verdict::kInternet
                                                                       : Verdict::kUnknown;
      path.via = route.name + " via " + lastSegment(hop.target);
      if (path.verdict == Verdict::kUnknown) path.why = "a gateway the model does not know";
      break;
    default:
      path.verdict = Verdict::kUnknown;
      path.via = route.name;
      path.why = "a next hop the model does not judge";
  }
  if (instance) {
    path.why = whyNotForwarding(*instance, from);
    path.forwards = path.why.empty();
    if (!path.forwards) path.why = "the instance " + instance->key.name + ": " + path.why;
  }
  return path;
}

// What a dynamic route that `router` learned does with traffic: it goes to the BGP peer the route
// came from, over the VPN tunnel or interconnect attachment of the peer's interface.
Path pathOfLearned(const Router& router, const LearnedRoute& route) {
  Path path;
  path.routes = {"router " + router.name};
  path.verdict = Verdict::kUnknown;
  std::optional<std::size_t> peer = router.peerOf(route);
  if (!peer) {
    path.via = "router " + router.name;
    path.why = "learned from " + route.nextHopIp + ", which is none of the router's BGP peers";
    return path;
  }
  const ResourceDocument& bgpPeer = router.bgpPeers()[*peer];
  std::string name = textOf(memberOrNull(bgpPeer, "name"));
  for (const ResourceDocument& interface : arrayOrEmpty(router.document, "interfaces")) {
    if (memberOrNull(interface, "name") != memberOrNull(bgpPeer, "interfaceName")) continue;
    static constexpr std::pair<const char*, Verdict> kLinks[] = {
        {"linkedVpnTunnel", Verdict::kVpnTunnel},
        {"linkedInterconnectAttachment", Verdict::kInterconnect}};
    for (const auto& [field, verdict] : kLinks)
      if (const ResourceDocument& link = memberOrNull(interface, field); link.is_string()) {
        path.verdict = verdict;
        path.via = "router " + router.name + " via " + std::string(verdictName(verdict)) + " " +
                   lastSegment(link.get<std::string>());
        return path;
      }
  }
  path.via = "router " + router.name + " via BGP peer " + name;
  path.why = "the BGP peer " + name + " is on neither a VPN tunnel nor an interconnect attachment";
  return path;
}

// A network's dynamic routes hold in the region of the router that learned them only, unless
// its dynamic routing is GLOBAL; the model has no regions, so it says so.
std::string regionalNote(const Network& network, const Router& router) {
  if (textOf(memberOrNull(memberOrNull(network.document, "routingConfig"), "routingMode")) ==
      "GLOBAL")
    return "";
  return "only in " + router.region + ": the dynamic routing of " + network.key().text() +
         " is regional";
}

// Calls `take` with each dynamic route the routers of `network` learned, and its range.
template <typename Take>
void eachLearned(const Estate& estate, const NetworkKey& network, Take take) {
  for (const Router& router : estate.routers)
    if (router.network == network)
      for (const LearnedRoute& route : router.learnedRoutes)
        if (Ipv4Network::Parsed range = Ipv4Network::parse(route.destRange); range.ok())
          take(router, route, range.network);
}

void addNote(Path& path, const std::string& note) {
  if (!note.empty()) path.why = path.why.empty() ? note : path.why + "; " + note;
}

// The routes `from` holds: its subnet routes and those of ACTIVE peers, its static routes and the
// network's route to the internet, the dynamic routes its routers learned, and the custom routes
// (static and dynamic) ACTIVE peers export to it.
std::vector<Candidate> candidatesOf(const Estate& estate, const Network& from) {
  std::vector<Candidate> candidates;
  for (const SubnetRange& subnet : subnetRangesOf(estate, from.key())) {
    Ipv4Network::Parsed range = Ipv4Network::parse(subnet.range);
    if (!range.ok()) continue;
    Path path;
    if (subnet.peering.empty()) {
      path.verdict = Verdict::kLocal;
      path.via = "subnetwork " + subnet.subnetwork;
      path.routes = {"subnetwork " + subnet.subnetwork};
    } else {
      path.verdict = Verdict::kPeering;
      path.via = "peering " + subnet.peering;
      path.routes = {"peering " + subnet.peering};
    }
    candidates.push_back({range.network, -1, {}, std::move(path)});
  }
  for (const Route& route : estate.routes) {
    // The API's own subnet and peering routes are modelled above, from what they follow.
    if (route.network != from.key() ||
        (route.derived() && route.nextHop.kind != NextHop::Kind::kGateway))
      continue;
    Ipv4Network::Parsed range = Ipv4Network::parse(route.destRange);
    if (range.ok())
      candidates.push_back(
          {range.network, route.priority, route.tags, pathOfRoute(estate, from.key(), route)});
  }
  eachLearned(estate, from.key(),
              [&](const Router& router, const LearnedRoute& route, const Ipv4Network& range) {
                Path path = pathOfLearned(router, route);
                addNote(path, regionalNote(from, router));
                candidates.push_back({range, route.priority, {}, std::move(path)});
              });
  for (const Peering& peering : from.peerings) {
    const Network* peer = estate.network(peering.network);
    if (peering.state != "ACTIVE" || !peering.importCustomRoutes || !peer) continue;
    auto back = std::find_if(peer->peerings.begin(), peer->peerings.end(),
                             [&](const Peering& end) { return end.network == from.key(); });
    if (back == peer->peerings.end() || !back->exportCustomRoutes) continue;
    for (const Route& route : estate.routes) {
      // Tag-scoped routes and routes to the internet gateway are not exported.
      if (route.network != peer->key() || route.derived() || !route.tags.empty() ||
          route.nextHop.kind == NextHop::Kind::kGateway)
        continue;
      Ipv4Network::Parsed range = Ipv4Network::parse(route.destRange);
      if (!range.ok()) continue;
      Path path;
      path.verdict = Verdict::kPeering;
      path.via = "peering " + peering.name + " (" + route.name + " of " + peer->key().text() + ")";
      path.routes = {route.name};
      candidates.push_back({range.network, route.priority, {}, std::move(path)});
    }
    eachLearned(estate, peer->key(),
                [&](const Router& router, const LearnedRoute& route, const Ipv4Network& range) {
                  Path path;
                  path.verdict = Verdict::kPeering;
                  path.via = "peering " + peering.name + " (router " + router.name + " of " +
                             peer->key().text() + ")";
                  path.routes = {"router " + router.name};
                  addNote(path, regionalNote(*peer, router));
                  candidates.push_back({range, route.priority, {}, std::move(path)});
                });
  }
  return candidates;
}

// The path of `block` for instances with `tags` (none: every instance): the most specific route
// that holds it, then the lowest priority; routes equal in both share the traffic (ECMP).
Path choose(const std::vector<Candidate>& candidates, const Ipv4Network& block,
            const std::vector<std::string>& tags) {
  std::vector<const Candidate*> best;
  for (const Candidate& candidate : candidates) {
    if (!candidate.range.contains(block)) continue;
    if (!candidate.tags.empty() &&
        std::none_of(candidate.tags.begin(), candidate.tags.end(),
                     [&](const std::string& tag) { return contains(tags, tag); }))
      continue;
    if (!best.empty()) {
      const Candidate& held = *best.front();
      if (candidate.range.prefix < held.range.prefix ||
          (candidate.range.prefix == held.range.prefix && candidate.priority > held.priority))
        continue;
      if (candidate.range.prefix > held.range.prefix || candidate.priority < held.priority)
        best.clear();
    }
    best.push_back(&candidate);
  }
  Path path;
  path.range = block.text();
  path.tags = tags;
  if (best.empty()) return path;  // none
  path.verdict = best.front()->path.verdict;
  std::vector<std::string> vias, whys;
  for (const Candidate* chosen : best) {
    path.routes.insert(path.routes.end(), chosen->path.routes.begin(), chosen->path.routes.end());
    vias.push_back(chosen->path.via);
    if (!chosen->path.why.empty()) whys.push_back(chosen->path.why);
    path.forwards = path.forwards && chosen->path.forwards;
  }
  path.via = joined(vias, ", ");
  path.why = joined(whys, "; ");
  if (path.verdict == Verdict::kInternet && isPrivate(block))
    path.why = "a private range: it leaves for the internet gateway and is dropped";
  return path;
}

void pathsOf(const std::vector<Candidate>& candidates, const Ipv4Network& block,
             std::vector<Path>& paths) {
  // The ranges strictly inside `block` that no other one inside it holds: each its own part.
  std::vector<Ipv4Network> inner;
  for (const Candidate& candidate : candidates)
    if (candidate.range.prefix > block.prefix && block.contains(candidate.range) &&
        std::none_of(candidates.begin(), candidates.end(),
                     [&](const Candidate& other) {
                       return other.range.prefix > block.prefix &&
                              other.range.prefix < candidate.range.prefix &&
                              other.range.contains(candidate.range);
                     }) &&
        std::none_of(inner.begin(), inner.end(), [&](const Ipv4Network& known) {
          return known.address == candidate.range.address && known.prefix == candidate.range.prefix;
        }))
      inner.push_back(candidate.range);
  std::sort(inner.begin(), inner.end(),
            [](const Ipv4Network& a, const Ipv4Network& b) { return a.address < b.address; });
  for (const Ipv4Network& part : inner) pathsOf(candidates, part, paths);
  Path all = choose(candidates, block, {});
  paths.push_back(all);
  // Instances with the tags of a tag-scoped route that holds the block may go their own way.
  std::vector<std::vector<std::string>> tagSets;
  for (const Candidate& candidate : candidates)
    if (!candidate.tags.empty() && candidate.range.contains(block) &&
        std::find(tagSets.begin(), tagSets.end(), candidate.tags) == tagSets.end())
      tagSets.push_back(candidate.tags);
  for (const std::vector<std::string>& tags : tagSets) {
    Path tagged = choose(candidates, block, tags);
    Path untagged = all;
    untagged.tags = tags;
    if (!(tagged == untagged)) paths.push_back(std::move(tagged));
  }
}

}  // namespace

std::string whyNotForwarding(const Instance& instance, const NetworkKey& network) {
  if (!instance.canIpForward) return "IP forwarding is off (canIpForward false)";
  if (instance.status != "RUNNING") return "it is " + instance.status + ", not RUNNING";
  for (const NetworkInterface& nic : instance.networkInterfaces)
    if (nic.network == network) return "";
  return "it has no network interface in " + network.text();
}

std::string_view verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kLocal:
      return "local";
    case Verdict::kPeering:
      return "peering";
    case Verdict::kInstance:
      return "instance";
    case Verdict::kIp:
      return "ip";
    case Verdict::kIlb:
      return "ilb";
    case Verdict::kVpnTunnel:
      return "vpn-tunnel";
    case Verdict::kInterconnect:
      return "interconnect";
    case Verdict::kHub:
      return "hub";
    case Verdict::kInternet:
      return "internet";
    case Verdict::kNone:
      return "none";
    case Verdict::kUnknown:
      break;
  }
  return "unknown";
}

std::vector<Path> pathsTo(const Estate& estate, const NetworkKey& from,
                          const std::string& destination) {
  return RoutingTable(estate, from).pathsTo(destination);
}

RoutingTable::RoutingTable(const Estate& estate, const NetworkKey& from) {
  const Network* network = estate.network(from);
  if (!network) throw Error("the network " + from.text() + " is not in the estate");
  entries_ = candidatesOf(estate, *network);
}

std::vector<Path> RoutingTable::pathsTo(const std::string& destination) const {
  const Ipv4Network block = networkOrThrow(destination, "the destination");
  std::vector<Path> paths;
  pathsOf(entries_, block, paths);
  return paths;
}

}  // namespace tolmi_gcp
