// Network discovery: the subnet table, the route table and the whole-project report.

#include <array>
#include <optional>

#include "tolmi_gcp/commonlib.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"
#include "tolmi_gcp/compute/read_ahead.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/gcplib/frame.hpp"
#include "tolmi_gcp/internal/json_text.hpp"

namespace tolmi_gcp {

namespace {

// An entry of a network's "subnetworks" array: a subnetwork self-link.
ResourceLink subnetworkLink(const ResourceDocument& entry) {
  if (!entry.is_string()) throw ArgumentTypeError("subnetworks entry", "a self-link string", entry);
  return ResourceLink::of(entry, ResourceLink::Scope::kRegion, "subnetworks",
                          "a subnetworks entry");
}

Request subnetRead(ComputeService& service, const ResourceLink& link) {
  return service.subnetworks().get(link.project(), link.location(), link.name());
}

// The subnetworks.get of each of a network's links (only `region`'s when given), in its order.
std::vector<Request> subnetReads(ComputeService& service, const ResourceDocument& network,
                                 const std::string* region = nullptr) {
  return readsUntilFailure(arrayOrEmpty(network, "subnetworks"),
                           [&](const ResourceDocument& entry, std::vector<Request>& reads) {
                             ResourceLink link = subnetworkLink(entry);
                             if (!region || link.location() == *region)
                               reads.push_back(subnetRead(service, link));
                           });
}

// The first page of a network's route list, answered as text: only a few members of its many
// routes are read.
Request routeListRead(ComputeService& service, const std::string& project,
                      const ResourceDocument& network) {
  return service.routes().listOfNetwork(project, stringAt(network, "selfLink")).withTextAnswer();
}

// The propagation switch is process-wide, so it must be back on however listRouteTable ends;
// leaving it off after a failure would silently cut the library's lines from the tool's handlers.
class PropagationSwitch {
 public:
  explicit PropagationSwitch(bool propagate) { frame::logger().setAdditivity(propagate); }
  ~PropagationSwitch() { frame::logger().setAdditivity(true); }
  PropagationSwitch(const PropagationSwitch&) = delete;
  PropagationSwitch& operator=(const PropagationSwitch&) = delete;
};

bool isGkePeering(std::string_view peering) {
  return peering.starts_with("gke-") && peering.ends_with("-peer");
}

// The members a route's row is made of, found in one pass over the route: its destination, then
// the next-hop keys in the order a row looks for them.
enum RowKey {
  kDestRange,
  kNetwork,
  kIp,
  kGateway,
  kIlb,
  kPeering,
  kInstance,
  kVpnTunnel,
  kHub,
  kRowKeys
};
constexpr std::array<std::string_view, kRowKeys> kRowKeyNames = {
    "destRange",      "nextHopNetwork",  "nextHopIp",        "nextHopGateway", "nextHopIlb",
    "nextHopPeering", "nextHopInstance", "nextHopVpnTunnel", "nextHopHub"};

using RowMembers = std::array<std::optional<JsonView>, kRowKeys>;

// The string at `key`, with stringAt's failures.
std::string_view rowText(const RowMembers& found, RowKey key) {
  if (!found[key]) throw MissingKeyError(std::string(kRowKeyNames[key]));
  return stringOf(*found[key], kRowKeyNames[key]);
}

// The short next-hop text of a route's row, or nullopt when the route has none of the next-hop
// keys. A route that leads to a GKE peering has its destination added to `gke`.
std::optional<std::string> nextHop(const RowMembers& found, RouteInfo& gke) {
  if (found[kNetwork]) return "Virtual network " + frame::lastSegment(rowText(found, kNetwork));
  if (found[kIp]) return std::string(rowText(found, kIp));
  if (found[kGateway]) return frame::lastSegment(rowText(found, kGateway));
  if (found[kIlb]) return frame::lastSegment(rowText(found, kIlb));
  if (found[kPeering]) {
    std::string_view peering = rowText(found, kPeering);
    if (isGkePeering(peering)) gke.add_gke_export_routes(std::string(rowText(found, kDestRange)));
    return std::string(peering);
  }
  if (found[kInstance])
    return ResourceLink::of(ResourceDocument(std::string(rowText(found, kInstance))),
                            ResourceLink::Scope::kZone, "instances",
                            "the nextHopInstance of a route")
        .name();
  if (found[kVpnTunnel]) return frame::lastSegment(rowText(found, kVpnTunnel));
  if (found[kHub]) return frame::lastSegment(rowText(found, kHub));
  return std::nullopt;
}

// A route's row of the table: "  ", its destination left-justified to 25, its next hop.
void logRouteRow(const JsonView& route, RouteInfo& gke) {
  RowMembers found;
  findMembers(route, kRowKeyNames, found);
  std::optional<std::string> hop = nextHop(found, gke);
  if (!hop) {
    frame::error("  **Error** unknown destination " + textOf(route.document()));
    return;
  }
  std::string line;
  line.reserve(2 + 25 + hop->size());
  line.append("  ");
  frame::appendJustified(line, rowText(found, kDestRange), 25);
  frame::info(line.append(*hop));
}

}  // namespace

std::vector<std::string> GcpLib::listSubnet(ComputeService& service,
                                            const ResourceDocument& network) {
  ReadAhead ahead(service, [&] { return subnetReads(service, network); });
  frame::info("");
  frame::info("- Discover subnet(s)");
  frame::writeTableHead("CIDR", "REGION", "subnet");
  std::vector<std::string> cidrs;
  for (const ResourceDocument& entry : arrayOrEmpty(network, "subnetworks")) {
    ResourceDocument document = subnetRead(service, subnetworkLink(entry)).execute();
    Common::logSubnet(document);
    cidrs.push_back(stringAt(document, "ipCidrRange"));
  }
  return cidrs;
}

std::vector<std::string> GcpLib::listSubnetByRegion(ComputeService& service,
                                                    const ResourceDocument& network,
                                                    const std::string& region) {
  ReadAhead ahead(service, [&] { return subnetReads(service, network, &region); });
  std::vector<std::string> cidrs;
  for (const ResourceDocument& entry : arrayOrEmpty(network, "subnetworks")) {
    ResourceLink link = subnetworkLink(entry);
    // Links of other regions cost no request.
    if (link.location() != region) continue;
    ResourceDocument document = subnetRead(service, link).execute();
    cidrs.push_back(stringAt(document, "ipCidrRange"));
  }
  return cidrs;
}

RouteInfo GcpLib::listRouteTable(const std::string& project, ComputeService& service,
                                 const ResourceDocument& network, bool propagate) {
  PropagationSwitch propagation(propagate);
  frame::info("");
  frame::info("- Discover route(s)");
  std::optional<Request> request = routeListRead(service, project, network);
  frame::writeTableHead("CIDR", "Next-hop");
  RouteInfo gke;
  while (request) {
    Answer answer = request->fetch();
    const JsonText& page = *answer.text;
    if (!has(page.root(), "items")) {
      frame::info("    no route found");
      break;
    }
    at(page.root(), "items").forEach([&](const JsonView& route) { logRouteRow(route, gke); });
    request = service.routes().list_next(*request, answer.document);
  }
  return gke;
}

// project_id is not used: the report is always of the project the credentials name.
void GcpLib::listAllNetwork(const ResourceDocument& /*project_id*/) {
  DefaultService handle = defaultServiceFactory()();
  if (handle.project.empty())
    throw ConfigError(
        "the application-default credentials name no default project: set GOOGLE_CLOUD_PROJECT");
  listNetworks(*handle.service, handle.project);
}

void GcpLib::listNetworks(ComputeService& service, const std::string& project) {
  std::optional<Request> request = service.networks().list(project);
  while (request) {
    ResourceDocument page = request->execute();
    // The API leaves "items" out of an empty list: a project without networks has an empty
    // report, not a failure.
    const ResourceDocument& networks = arrayOrEmpty(page, "items");
    // The page's networks are independent: their subnetworks and first route pages go out
    // together, and the report takes the answers in its own order.
    ReadAhead ahead(service, [&] {
      return readsUntilFailure(networks,
                               [&](const ResourceDocument& network, std::vector<Request>& reads) {
                                 std::vector<Request> subnets = subnetReads(service, network);
                                 reads.insert(reads.end(), subnets.begin(), subnets.end());
                                 reads.push_back(routeListRead(service, project, network));
                               });
    });
    for (const ResourceDocument& network : networks) {
      Common::logVpcHeader(network);
      listSubnet(service, network);
      listRouteTable(project, service, network);
    }
    request = service.networks().list_next(*request, page);
  }
}

}  // namespace tolmi_gcp
