#include "tolmi_gcp/reachability.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "emulator/emulator.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"

namespace tolmi_gcp {
namespace {

using ::testing::ElementsAreArray;

// a is peered with b (which exports its custom routes to a, which imports them) and with c (no
// exchange); d's peering to e is not returned, so it is INACTIVE. e has no route to the internet.
constexpr const char* kTopology = R"(
projects:
  p:
    networks:
      - {name: a, peerings: [{name: a-b, network: b, importCustomRoutes: true}, {name: a-c, network: c}]}
      - {name: b, routingConfig: {routingMode: GLOBAL},
         peerings: [{name: b-a, network: a, exportCustomRoutes: true}]}
      - {name: c, peerings: [{name: c-a, network: a, exportCustomRoutes: true}]}
      - {name: d, peerings: [{name: d-e, network: e}]}
      - {name: e}
    subnetworks:
      - {name: a-s, region: r1, network: a, ipCidrRange: 10.10.0.0/20,
         secondaryIpRanges: [{rangeName: pods, ipCidrRange: 10.20.0.0/16}]}
      - {name: b-s, region: r1, network: b, ipCidrRange: 10.0.0.0/20}
      - {name: c-s, region: r1, network: c, ipCidrRange: 10.1.0.0/20}
      - {name: d-s, region: r1, network: d, ipCidrRange: 10.2.0.0/20}
      - {name: e-s, region: r1, network: e, ipCidrRange: 10.3.0.0/20}
    instances:
      - {name: gw-ok, zone: z1, canIpForward: true, networkInterfaces: [{network: a, networkIP: 10.10.0.5}]}
      - {name: gw-off, zone: z1, networkInterfaces: [{network: a, networkIP: 10.10.0.6}]}
      - {name: gw-stopped, zone: z1, status: TERMINATED, canIpForward: true,
         networkInterfaces: [{network: a, networkIP: 10.10.0.7}]}
      - {name: gw-in-b, zone: z1, canIpForward: true, networkInterfaces: [{network: b, networkIP: 10.0.0.5}]}
    routes:
      - {name: summary, network: a, destRange: 172.16.0.0/12, nextHopInstance: zones/z1/instances/gw-ok}
      - {name: via-off, network: a, destRange: 172.20.0.0/16, nextHopInstance: zones/z1/instances/gw-off}
      - {name: via-stopped, network: a, destRange: 172.21.0.0/16, nextHopInstance: zones/z1/instances/gw-stopped}
      - {name: via-b-vm, network: a, destRange: 172.22.0.0/16, nextHopInstance: zones/z1/instances/gw-in-b}
      - {name: via-ip, network: a, destRange: 172.23.0.0/16, nextHopIp: 10.10.0.7}
      - {name: ecmp-1, network: a, destRange: 192.168.1.0/24, priority: 500, nextHopInstance: zones/z1/instances/gw-ok}
      - {name: ecmp-2, network: a, destRange: 192.168.1.0/24, priority: 500, nextHopIp: 10.10.0.5}
      - {name: preferred, network: a, destRange: 192.168.2.0/24, priority: 100, nextHopInstance: zones/z1/instances/gw-ok}
      - {name: fallback, network: a, destRange: 192.168.2.0/24, priority: 200, nextHopInstance: zones/z1/instances/gw-off}
      - {name: egress, network: a, destRange: 0.0.0.0/0, priority: 800, tags: [egress],
         nextHopInstance: zones/z1/instances/gw-ok}
      - {name: b-custom, network: b, destRange: 172.30.0.0/16, nextHopInstance: zones/z1/instances/gw-in-b}
      - {name: b-tagged, network: b, destRange: 172.31.0.0/16, tags: [t], nextHopInstance: zones/z1/instances/gw-in-b}
      - {name: c-custom, network: c, destRange: 172.29.0.0/16, nextHopIp: 10.1.0.9}
    routers:
      - {name: cr-a, region: r1, network: a, bgp: {asn: 64512},
         interfaces: [{name: if-t1, linkedVpnTunnel: regions/r1/vpnTunnels/t1}],
         bgpPeers: [{name: onprem, interfaceName: if-t1, peerIpAddress: 169.254.0.2,
                     learned_routes: [{destRange: 192.168.100.0/24}]},
                    {name: appliance, peerIpAddress: 10.10.0.9,
                     learned_routes: [{destRange: 192.168.101.0/24}]}]}
      - {name: cr-b, region: r1, network: b, bgp: {asn: 64513},
         interfaces: [{name: if-ic, linkedInterconnectAttachment: regions/r1/interconnectAttachments/ic}],
         bgpPeers: [{name: dc, interfaceName: if-ic, peerIpAddress: 169.254.1.2,
                     learned_routes: [{destRange: 172.28.0.0/16, priority: 100}]}]}
      - {name: cr-c, region: r1, network: c, bgp: {asn: 64514},
         bgpPeers: [{name: dc, peerIpAddress: 169.254.2.2, learned_routes: [{destRange: 172.27.0.0/16}]}]}
)";

std::string shown(const Path& path) {
  std::string tags;
  for (const std::string& tag : path.tags) tags += " " + tag;
  return path.range + (tags.empty() ? "" : " [" + tags.substr(1) + "]") + ": " +
         std::string(verdictName(path.verdict)) + (path.via.empty() ? "" : " " + path.via) +
         (path.forwards ? (path.why.empty() ? "" : " (" + path.why + ")")
                        : " / cannot forward: " + path.why);
}

TEST(Reachability, RoutesAreChosenAsTheApiChoosesThem) {
  const NetworkKey a{"p", "a"};
  EstateScope scope{a, {{"p", "b"}, {"p", "c"}, {"p", "d"}, {"p", "e"}}, {}, {}};
  ComputeService api(std::make_shared<emulator::InProcessTransport>(
                         std::make_shared<emulator::Emulator>(parseYamlText(kTopology, "t.yaml"))),
                     "http://emulator.test/compute/v1/", nullptr);
  Estate estate = readEstate(api, scope);
  std::erase_if(estate.routes, [](const Route& route) { return route.network.network == "e"; });
  struct Case {
    NetworkKey from;
    std::string destination;
    std::vector<std::string> paths;
  };
  const std::string toInternet =
      "internet default-route-2b46e83f4b1adb8f via default-internet-gateway";
  const std::string tagged = " [egress]: instance egress via instance gw-ok";
  // Pages: R = cloud.google.com/vpc/docs/routes, P = cloud.google.com/vpc/docs/vpc-peering,
  // S = cloud.google.com/vpc/docs/static-routes, M =
  // cloud.google.com/router/docs/how-to/configuring-routing-mode.
  for (const Case& c : std::vector<Case>{
           // R, subnet routes: a subnet's primary and secondary ranges.
           {a, "10.10.1.0/24", {"10.10.1.0/24: local subnetwork a-s"}},
           {a, "10.20.5.0/24", {"10.20.5.0/24: local subnetwork a-s"}},
           // P: subnet routes are always exchanged over an ACTIVE peering, without flags too.
           {a, "10.0.0.0/20", {"10.0.0.0/20: peering peering a-b"}},
           {a, "10.1.0.0/24", {"10.1.0.0/24: peering peering a-c"}},
           // P: an INACTIVE peering exchanges nothing; a private range then reaches the internet
           // gateway (R, routing order: most specific destination first).
           {{"p", "d"},
            "10.3.0.0/20",
            {"10.3.0.0/20: internet default-route-49adb7692aa72c76 via default-internet-gateway"
             " (a private range: it leaves for the internet gateway and is dropped)"}},
           // R, applicability: a tag-scoped route holds for the instances with its tags only.
           {a, "8.8.8.0/24", {"8.8.8.0/24: " + toInternet, "8.8.8.0/24" + tagged}},
           // R: the most specific destination wins; within it the lowest priority; equals share
           // the traffic (ECMP).
           {a, "172.16.5.0/24", {"172.16.5.0/24: instance summary via instance gw-ok"}},
           {a, "192.168.2.0/24", {"192.168.2.0/24: instance preferred via instance gw-ok"}},
           {a,
            "192.168.1.0/24",
            {"192.168.1.0/24: instance ecmp-1 via instance gw-ok, ecmp-2 via ip 10.10.0.5"}},
           // S, instance next hops: IP forwarding on, running, an interface in the network; an
           // address next hop is the instance that has it.
           {a,
            "172.20.0.0/16",
            {"172.20.0.0/16: instance via-off via instance gw-off / cannot forward: the instance "
             "gw-off: IP forwarding is off (canIpForward false)"}},
           {a,
            "172.21.0.0/16",
            {"172.21.0.0/16: instance via-stopped via instance gw-stopped / cannot forward: the "
             "instance gw-stopped: it is TERMINATED, not RUNNING"}},
           {a,
            "172.22.0.0/16",
            {"172.22.0.0/16: instance via-b-vm via instance gw-in-b / cannot forward: the "
             "instance gw-in-b: it has no network interface in p::a"}},
           {a,
            "172.23.0.0/16",
            {"172.23.0.0/16: ip via-ip via ip 10.10.0.7 / cannot forward: the instance "
             "gw-stopped: it is TERMINATED, not RUNNING"}},
           // P, custom routes: exported by one end and imported by the other; never tag-scoped
           // ones.
           {a, "172.30.0.0/16", {"172.30.0.0/16: peering peering a-b (b-custom of p::b)"}},
           {a, "172.31.0.0/16", {"172.31.0.0/16: instance summary via instance gw-ok"}},
           {a, "172.29.0.0/16", {"172.29.0.0/16: instance summary via instance gw-ok"}},
           // R, dynamic routes: learned by the network's routers, toward the BGP peer over its
           // tunnel; M: under regional dynamic routing, in the router's region only. A peer on no
           // tunnel or attachment (a router appliance) is not judged.
           {a,
            "192.168.100.0/24",
            {"192.168.100.0/24: vpn-tunnel router cr-a via vpn-tunnel t1 (only in r1: the dynamic "
             "routing of p::a is regional)"}},
           {a,
            "192.168.101.0/24",
            {"192.168.101.0/24: unknown router cr-a via BGP peer appliance (the BGP peer appliance "
             "is on neither a VPN tunnel nor an interconnect attachment; only in r1: the dynamic "
             "routing of p::a is regional)"}},
           // P: a peer's dynamic routes cross with its custom routes (the way back from a transit
           // network's interconnect), and not where this end does not import them.
           {a, "172.28.0.0/16", {"172.28.0.0/16: peering peering a-b (router cr-b of p::b)"}},
           {a, "172.27.0.0/16", {"172.27.0.0/16: instance summary via instance gw-ok"}},
           // A range split by a more specific route: its part first, then the rest.
           {a,
            "10.10.0.0/16",
            {"10.10.0.0/20: local subnetwork a-s",
             "10.10.0.0/16: " + toInternet +
                 " (a private range: it leaves for the internet gateway and is dropped)",
             "10.10.0.0/16" + tagged}},
           // No route at all: dropped.
           {{"p", "e"}, "8.8.8.0/24", {"8.8.8.0/24: none"}},
       }) {
    std::vector<std::string> got;
    for (const Path& path : pathsTo(estate, c.from, c.destination)) got.push_back(shown(path));
    EXPECT_THAT(got, ElementsAreArray(c.paths)) << c.from.text() << " to " << c.destination;
  }
}

}  // namespace
}  // namespace tolmi_gcp
