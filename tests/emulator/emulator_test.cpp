#include "emulator_fixture.hpp"

namespace tolmi_gcp::emulator {
namespace {

const char* kLink = "https://www.googleapis.com/compute/v1/";

// A small estate: hub and spoke peered both ways, one gateway VM, one router per mode.
const char* kTopology = R"(
projects:
  hub-prj:
    networks:
      - {name: hub, peerings: [{name: hub-to-spoke, network: projects/spoke-prj/global/networks/spoke}]}
    subnetworks:
      - {name: hub-sub, region: us-east1, network: hub, ipCidrRange: 10.0.0.0/24}
    routers:
      - {name: cr-custom, region: us-east1, network: hub,
         bgp: {asn: 64512, advertiseMode: CUSTOM, advertisedGroups: [ALL_SUBNETS],
               advertisedIpRanges: [{range: 10.9.0.0/16, description: old}]}}
      - {name: cr-default, region: us-east1, network: hub, bgp: {asn: 64513}}
  spoke-prj:
    networks:
      - {name: spoke, peerings: [{name: spoke-to-hub, network: projects/hub-prj/global/networks/hub}]}
    subnetworks:
      - {name: spoke-sub, region: us-east1, network: spoke, ipCidrRange: 10.1.0.0/24}
    instances:
      - {name: gw, zone: us-east1-b, networkInterfaces: [{network: spoke, networkIP: 10.1.0.5}]}
    routes:
      - {name: to-dc, network: spoke, destRange: 172.16.0.0/16, nextHopInstance: zones/us-east1-b/instances/gw}
)";

class EmulatorTest : public EmulatorFixture {
 protected:
  void SetUp() override { start(kTopology); }
};

INSTANTIATE_TEST_SUITE_P(Transports, EmulatorTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Http" : "InProcess"; });

TEST_P(EmulatorTest, ResourcesCarryFullLinksKindsAndStringIds) {
  ResourceDocument network = service->networks().get("spoke-prj", "spoke").execute();
  EXPECT_EQ(network["kind"], "compute#network");
  EXPECT_EQ(network["selfLink"], std::string(kLink) + "projects/spoke-prj/global/networks/spoke");
  EXPECT_TRUE(network["id"].is_string());
  EXPECT_EQ(network["subnetworks"][0],
            std::string(kLink) + "projects/spoke-prj/regions/us-east1/subnetworks/spoke-sub");
  ResourceDocument peering = network["peerings"][0];
  EXPECT_EQ(peering["network"], std::string(kLink) + "projects/hub-prj/global/networks/hub");
  EXPECT_EQ(peering["state"], "ACTIVE");
  EXPECT_EQ(peering["exportSubnetRoutesWithPublicIp"], true);

  ResourceDocument instance = service->instances().get("spoke-prj", "us-east1-b", "gw").execute();
  EXPECT_EQ(instance["selfLink"],
            std::string(kLink) + "projects/spoke-prj/zones/us-east1-b/instances/gw");
  EXPECT_EQ(instance["status"], "RUNNING");
  ResourceDocument route = service->routes().get("spoke-prj", "to-dc").execute();
  EXPECT_EQ(route["nextHopInstance"], instance["selfLink"]);
  EXPECT_EQ(route["priority"], 1000);
  ResourceDocument subnet = service->subnetworks().get("hub-prj", "us-east1", "hub-sub").execute();
  EXPECT_EQ(subnet["gatewayAddress"], "10.0.0.1");
  ResourceDocument router = service->routers().get("hub-prj", "us-east1", "cr-default").execute();
  EXPECT_EQ(router["bgp"]["advertiseMode"], "DEFAULT");
}

TEST_P(EmulatorTest, MissingResourcesAnswerNotFoundWithTheirRelativeName) {
  EXPECT_EQ(
      failure(service->networks().get("spoke-prj", "nope")),
      std::make_pair(404, std::string("The resource 'projects/spoke-prj/global/networks/nope' "
                                      "was not found")));
  EXPECT_EQ(failure(service->routes().get("spoke-prj", "nope")).second,
            "The resource 'projects/spoke-prj/global/routes/nope' was not found");
  EXPECT_EQ(failure(service->instances().get("spoke-prj", "us-east1-c", "gw")).second,
            "The resource 'projects/spoke-prj/zones/us-east1-c/instances/gw' was not found");
  EXPECT_EQ(failure(service->routers().get("hub-prj", "us-west1", "cr-custom")).first, 404);
  EXPECT_EQ(failure(service->subnetworks().get("hub-prj", "us-east1", "x")).first, 404);
  EXPECT_EQ(failure(service->globalOperations().wait("hub-prj", "operation-x")).second,
            "The resource 'projects/hub-prj/global/operations/operation-x' was not found");
  EXPECT_EQ(failure(service->networks().list("no-such-project")).first, 404);
}

TEST_P(EmulatorTest, RouteInsertAndDeleteReturnOperationsAndChangeTheList) {
  ResourceDocument body = {
      {"destRange", "192.168.0.0/16"},
      {"nextHopInstance", "gw"},
      {"priority", 700},
      {"name", "r-new"},
      {"zone", "us-east1-b"},  // not a route field: ignored
      {"network", std::string(kLink) + "projects/spoke-prj/global/networks/spoke"}};
  body["nextHopInstance"] = std::string(kLink) + "projects/spoke-prj/zones/us-east1-b/instances/gw";
  ResourceDocument operation = service->routes().insert("spoke-prj", body).execute();
  EXPECT_EQ(operation["kind"], "compute#operation");
  EXPECT_EQ(operation["operationType"], "insert");
  EXPECT_EQ(operation["status"], "DONE");
  EXPECT_EQ(operation["targetLink"], std::string(kLink) + "projects/spoke-prj/global/routes/r-new");
  EXPECT_FALSE(operation.contains("region"));
  ResourceDocument waited =
      service->globalOperations().wait("spoke-prj", operation["name"]).execute();
  EXPECT_EQ(waited["status"], "DONE");
  ResourceDocument route = service->routes().get("spoke-prj", "r-new").execute();
  EXPECT_EQ(route["priority"], 700);
  EXPECT_FALSE(route.contains("zone"));

  EXPECT_EQ(failure(service->routes().insert("spoke-prj", body)),
            std::make_pair(409, std::string("The resource 'projects/spoke-prj/global/routes/r-new' "
                                            "already exists")));
  ResourceDocument deleted = service->routes().delete_("spoke-prj", "r-new").execute();
  EXPECT_EQ(deleted["operationType"], "delete");
  EXPECT_EQ(failure(service->routes().get("spoke-prj", "r-new")).first, 404);
  EXPECT_EQ(failure(service->routes().delete_("spoke-prj", "r-new")).first, 404);
}

TEST_P(EmulatorTest, RouteInsertRefusesInvalidRoutesWithoutChangingAnything) {
  ResourceDocument valid = {{"name", "r1"},
                            {"network", "global/networks/spoke"},
                            {"destRange", "10.50.0.0/16"},
                            {"nextHopIp", "10.1.0.5"}};
  auto refused = [&](const char* field, const ResourceDocument& value) {
    ResourceDocument body = valid;
    if (value.is_null())
      body.erase(field);
    else
      body[field] = value;
    return failure(service->routes().insert("spoke-prj", body));
  };
  EXPECT_EQ(refused("name", "Bad_Name"),
            std::make_pair(400, std::string("Invalid value for field 'resource.name': 'Bad_Name'. "
                                            "Must be a match of regex "
                                            "'(?:[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?)'")));
  EXPECT_EQ(refused("destRange", nullptr).second,
            "Required field 'resource.destRange' not specified");
  EXPECT_EQ(refused("destRange", "10.50.0.1/16").first, 400);  // host bits set
  EXPECT_EQ(refused("destRange", "10.50.0.0/33").first, 400);
  EXPECT_EQ(refused("network", "global/networks/nope").second,
            "Invalid value for field 'resource.network': 'global/networks/nope'. The referenced "
            "network resource cannot be found.");
  EXPECT_EQ(refused("network", "projects/hub-prj/global/networks/hub").first, 400);
  EXPECT_EQ(refused("priority", 70000).first, 400);
  EXPECT_EQ(refused("nextHopIp", "10.1.0.500").first, 400);
  EXPECT_EQ(refused("nextHopGateway", "global/gateways/default-internet-gateway").second,
            "Invalid value for field 'resource': exactly one of nextHopGateway, nextHopInstance, "
            "nextHopIp, nextHopVpnTunnel or nextHopIlb must be set (given: nextHopGateway, "
            "nextHopIp).");
  EXPECT_EQ(refused("nextHopIp", nullptr).first, 400);
  ResourceDocument noInstance = valid;
  noInstance.erase("nextHopIp");
  noInstance["nextHopInstance"] = "zones/us-east1-b/instances/ghost";
  EXPECT_EQ(failure(service->routes().insert("spoke-prj", noInstance)).second,
            "Invalid value for field 'resource.nextHopInstance': "
            "'zones/us-east1-b/instances/ghost'. The referenced instance resource cannot be "
            "found.");
  EXPECT_EQ(failure(service->routes().get("spoke-prj", "r1")).first, 404);
}

TEST_P(EmulatorTest, GeneratedRoutesFollowSubnetworksAndActivePeerings) {
  std::string spoke = std::string(kLink) + "projects/spoke-prj/global/networks/spoke";
  std::vector<std::string> nextHops;
  ResourceDocument routes = service->routes().list("spoke-prj", "").execute();
  for (const auto& route : routes["items"]) {
    if (route.contains("nextHopNetwork"))
      nextHops.push_back("local " + route["destRange"].get<std::string>());
    if (route.contains("nextHopPeering"))
      nextHops.push_back(route["nextHopPeering"].get<std::string>() + " " +
                         route["destRange"].get<std::string>());
    if (route.contains("nextHopGateway") && route["destRange"] == "0.0.0.0/0")
      nextHops.push_back("internet");
  }
  std::sort(nextHops.begin(), nextHops.end());
  EXPECT_EQ(nextHops, (std::vector<std::string>{"internet", "local 10.1.0.0/24",
                                                "spoke-to-hub 10.0.0.0/24"}));

  // Removing one end leaves the other listed but INACTIVE, and takes the peering routes away.
  service->networks().removePeering("hub-prj", "hub", {{"name", "hub-to-spoke"}}).execute();
  ResourceDocument network = service->networks().get("spoke-prj", "spoke").execute();
  EXPECT_EQ(network["peerings"][0]["state"], "INACTIVE");
  EXPECT_FALSE(service->networks().get("hub-prj", "hub").execute().contains("peerings"));
  // The listing is held: a range over a temporary's member would outlive the temporary.
  ResourceDocument spokeRoutes = service->routes().list("spoke-prj", "").execute();
  for (const auto& route : spokeRoutes["items"])
    EXPECT_FALSE(route.contains("nextHopPeering")) << route.dump();
  ResourceDocument generated =
      service->routes().list("spoke-prj", "nextHopNetwork:*").execute()["items"][0];
  EXPECT_EQ(failure(service->routes().delete_("spoke-prj", generated["name"])).first, 400);

  // Adding it back makes both ends ACTIVE again, with the same generated route names.
  ResourceDocument body = {
      {"networkPeering",
       {{"name", "hub-to-spoke"}, {"network", spoke}, {"exchangeSubnetRoutes", true}}}};
  ResourceDocument operation = service->networks().addPeering("hub-prj", "hub", body).execute();
  EXPECT_EQ(operation["operationType"], "addPeering");
  EXPECT_EQ(operation["targetLink"], std::string(kLink) + "projects/hub-prj/global/networks/hub");
  EXPECT_EQ(service->networks().get("spoke-prj", "spoke").execute()["peerings"][0]["state"],
            "ACTIVE");
  EXPECT_EQ(service->routes().list("spoke-prj", "").execute()["items"], routes["items"]);
}

TEST_P(EmulatorTest, PeeringChangesAreValidated) {
  auto add = [&](const ResourceDocument& peering) {
    return failure(service->networks().addPeering("hub-prj", "hub", {{"networkPeering", peering}}));
  };
  EXPECT_EQ(
      add({{"name", "hub-to-spoke"}, {"network", "projects/spoke-prj/global/networks/x"}}).second,
      "There is already a peering named 'hub-to-spoke' on network "
      "'projects/hub-prj/global/networks/hub'.");
  EXPECT_EQ(
      add({{"name", "second"}, {"network", "projects/spoke-prj/global/networks/spoke"}}).first,
      400);
  EXPECT_EQ(add({{"name", "self"}, {"network", "global/networks/hub"}}).first, 400);
  EXPECT_EQ(failure(service->networks().addPeering(
                        "hub-prj", "nope",
                        {{"networkPeering", {{"name", "x"}, {"network", "global/networks/hub"}}}}))
                .first,
            404);
  EXPECT_EQ(
      failure(service->networks().removePeering("hub-prj", "hub", {{"name", "ghost"}})).second,
      "There is no peering named 'ghost' on network 'projects/hub-prj/global/networks/hub'.");
  // The older body form: name and peerNetwork at the top level. A missing peer leaves it INACTIVE.
  service->networks()
      .addPeering("hub-prj", "hub",
                  {{"name", "legacy"}, {"peerNetwork", "projects/x-prj/global/networks/y"}})
      .execute();
  ResourceDocument peerings = service->networks().get("hub-prj", "hub").execute()["peerings"];
  EXPECT_EQ(peerings[1]["name"], "legacy");
  EXPECT_EQ(peerings[1]["state"], "INACTIVE");
}

TEST(Topology, ErrorsNameTheElementAndTheProblem) {
  auto problem = [](const std::string& topology) {
    try {
      Emulator emulator(parseYamlText(topology, "t"));
    } catch (const ConfigError& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(problem("networks: []"),
            "projects: expected a mapping from project id to its resources");
  EXPECT_EQ(problem("projects: {p1: {networks: [{name: n}], routes: [{name: r, network: n, "
                    "destRange: 10.0.0.0/8, nextHopIp: 10.0.0.1}, {name: r2, network: n, "
                    "destRange: 10.0.0.1/8, nextHopIp: 10.0.0.1}]}}"),
            "projects.p1.routes[1]: Invalid value for field 'resource.destRange': '10.0.0.1/8'. "
            "Must be an IPv4 range in CIDR notation with zero host bits.");
  EXPECT_EQ(problem("projects: {p1: {subnetworks: [{name: s, region: r1, network: nope, "
                    "ipCidrRange: 10.0.0.0/24}]}}"),
            "projects.p1.subnetworks[0]: Invalid value for field 'resource.network': 'nope'. The "
            "referenced network resource cannot be found.");
  EXPECT_EQ(problem("projects: {p1: {networks: [{name: n}], subnetworks: [{name: a, region: r, "
                    "network: n, ipCidrRange: 10.0.0.0/16}, {name: b, region: r, network: n, "
                    "ipCidrRange: 10.0.1.0/24}]}}"),
            "projects.p1.subnetworks[1]: Invalid value for field 'resource.ipCidrRange': "
            "'10.0.1.0/24'. It overlaps with subnetwork 'a' (10.0.0.0/16) in the same network.");
  EXPECT_EQ(problem("projects: {p1: {networks: [{name: n}], routers: [{name: c, region: r, "
                    "network: n, bgp: {asn: 1, advertisedGroups: [ALL_SUBNETS]}}]}}"),
            "projects.p1.routers[0]: Invalid value for field 'resource.bgp.advertiseMode': "
            "'DEFAULT'. Advertised groups and IP ranges can only be set in CUSTOM mode.");
  EXPECT_EQ(problem("projects: {p1: {networks: [{name: n}], routers: [{name: c, region: r, "
                    "network: n, bgp: {asn: 1}, bgpPeers: [{name: dc1, peerIpAddress: 169.254.0.2, "
                    "learned_routes: [{destRange: 10.1.0.0/16}, {destRange: 10.0.0.1/16}]}]}]}}"),
            "projects.p1.routers[0]: router 'c', BGP peer 'dc1': learned_routes[1].destRange: "
            "'10.0.0.1/16'; expected an IPv4 range in CIDR notation with zero host bits");
  EXPECT_EQ(problem("{projects: {p1: {networks: [{name: n}]}}, external_peers: [{network: "
                    "projects/x/global/networks/g, exported_routes: [{destRange: 172.16.0.0/28}, "
                    "{destRange: 10.0.0.0/8, type: LOCAL}]}]}"),
            "external_peers[0]: external peer 'projects/x/global/networks/g': "
            "exported_routes[1].type: 'LOCAL'; expected SUBNET, STATIC or DYNAMIC");
  EXPECT_EQ(problem("{projects: {p1: {networks: [{name: n, peerings: [{name: ng, network: "
                    "projects/x/global/networks/g}]}], routes: [{name: r, network: n, destRange: "
                    "172.16.0.0/29, nextHopIp: 10.9.0.1}]}}, external_peers: [{network: "
                    "projects/x/global/networks/g, peered_with: [projects/p1/global/networks/n], "
                    "exported_routes: [{destRange: 172.16.0.0/28}]}]}"),
            "projects.p1.routes[0]: Invalid value for field 'resource.destRange': "
            "'172.16.0.0/29'. 172.16.0.0/29 hides the address space of the network "
            "(172.16.0.0/28). Cannot change the routing of packets destined for the network.");
  EXPECT_EQ(problem("projects: {p1: {networks: [{name: n}, {name: n}]}}"),
            "projects.p1.networks[1]: The resource 'projects/p1/global/networks/n' already exists");
  EXPECT_EQ(problem("projects: {p1: {networks: [{name: n}], subnetworks: [{name: s, region: r, "
                    "network: n, ipCidrRange: 10.0.0.0/16}], routes: [{name: r, network: n, "
                    "destRange: 10.0.1.0/24, nextHopIp: 10.9.0.1}]}}"),
            "projects.p1.routes[0]: Invalid value for field 'resource.destRange': '10.0.1.0/24'. "
            "10.0.1.0/24 hides the address space of the network (10.0.0.0/16). Cannot change the "
            "routing of packets destined for the network.");
  EXPECT_EQ(problem("projects: {p1: {networks: [{name: a, peerings: [{name: ab, network: b}]}, "
                    "{name: b, peerings: [{name: ba, network: a}]}], subnetworks: [{name: sa, "
                    "region: r, network: a, ipCidrRange: 10.0.0.0/16}, {name: sb, region: r, "
                    "network: b, ipCidrRange: 10.0.4.0/24}]}}"),
            "projects.p1.networks[0].peerings[0]: An IP range in the peer network (10.0.4.0/24) "
            "overlaps with an IP range in the local network (10.0.0.0/16) allocated by resource "
            "(projects/p1/regions/r/subnetworks/sa).");
  EXPECT_EQ(problem("projects: {p1: {firewalls: []}}").substr(0, 23), "projects.p1.firewalls: ");
}

}  // namespace
}  // namespace tolmi_gcp::emulator
