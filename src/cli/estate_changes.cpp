#include "cli/estate_changes.hpp"

#include "tolmi_gcp/resource_link.hpp"
#include "tolmi_gcp/text_lists.hpp"

namespace tolmi_gcp::cli {

namespace {

const Peering* peeringNamed(const Network& network, const std::string& name) {
  for (const Peering& peering : network.peerings)
    if (peering.name == name) return &peering;
  return nullptr;
}

// The name a link ends in; the text itself when it is no link.
std::string nameIn(const std::string& link) {
  const std::optional<ResourceLink> parsed = ResourceLink::parse(link);
  return parsed ? parsed->name() : link;
}

// What each kind of next hop is called; an address or a peering name stands for itself.
constexpr std::pair<NextHop::Kind, std::string_view> kHopWords[] = {
    {NextHop::Kind::kInstance, "instance"},
    {NextHop::Kind::kIp, "ip"},
    {NextHop::Kind::kGateway, "gateway"},
    {NextHop::Kind::kVpnTunnel, "VPN tunnel"},
    {NextHop::Kind::kIlb, "internal load balancer"},
    {NextHop::Kind::kPeering, "peering"},
    {NextHop::Kind::kNetwork, "network"},
    {NextHop::Kind::kHub, "hub"},
    {NextHop::Kind::kInterconnectAttachment, "interconnect attachment"},
};

bool sameAdvertisements(const Router& a, const Router& b) {
  return a.advertiseMode == b.advertiseMode && a.advertisedGroups == b.advertisedGroups &&
         a.advertisedIpRanges == b.advertisedIpRanges;
}

// Routes and peerings compared by their typed fields: what the API adds on creation (id,
// timestamps) is no change.
bool sameRoute(const Route& a, const Route& b) {
  return a.network == b.network && a.destRange == b.destRange && a.priority == b.priority &&
         a.tags == b.tags && a.nextHop == b.nextHop;
}

}  // namespace

EstateChanges changesBetween(const Estate& before, const Estate& after) {
  EstateChanges changes;
  for (const Route& was : before.routes) {
    const Route* now = after.route(was.network.project, was.name);
    if (!now)
      changes.routes.push_back({was, std::nullopt});
    else if (!sameRoute(was, *now))
      changes.routes.push_back({was, *now});
  }
  for (const Route& now : after.routes)
    if (!before.route(now.network.project, now.name)) changes.routes.push_back({std::nullopt, now});

  for (const Network& was : before.networks) {
    const Network* now = after.network(was.key());
    for (const Peering& peering : was.peerings) {
      const Peering* then = now ? peeringNamed(*now, peering.name) : nullptr;
      if (!then || !(*then == peering))
        changes.peerings.push_back(
            {was.key(), peering, then ? std::optional<Peering>(*then) : std::nullopt});
    }
  }
  for (const Network& now : after.networks) {
    const Network* was = before.network(now.key());
    for (const Peering& peering : now.peerings)
      if (!was || !peeringNamed(*was, peering.name))
        changes.peerings.push_back({now.key(), std::nullopt, peering});
  }

  for (const Router& was : before.routers) {
    const Router* now = after.router(RouterKey{{was.project, ""}, was.region, was.name});
    if (now && !sameAdvertisements(was, *now)) changes.routers.push_back({was, *now});
  }
  return changes;
}

std::string nextHopText(const NextHop& hop) {
  if (hop.kind == NextHop::Kind::kInstance && hop.instance)
    return "instance " + hop.instance->name + " (" + hop.instance->zone + ")";
  for (const auto& [kind, word] : kHopWords)
    if (kind == hop.kind) return std::string(word) + " " + nameIn(hop.target);
  return "none";
}

std::string advertisedText(const Router& router) {
  std::string text = router.advertiseMode.empty() ? "DEFAULT" : router.advertiseMode;
  if (text != "CUSTOM") return text;
  std::vector<std::string> ranges;
  for (const AdvertisedRange& range : router.advertisedIpRanges) ranges.push_back(range.range);
  text += ": " + (ranges.empty() ? std::string("no ranges") : joined(ranges, ", "));
  if (!router.advertisedGroups.empty()) text += "; groups " + joined(router.advertisedGroups, ", ");
  return text;
}

}  // namespace tolmi_gcp::cli
