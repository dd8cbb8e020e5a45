#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/res/RouteInfo.hpp"

namespace tolmi_gcp {

// The migration library: discovery reports, peering, static-route and cloud-router migration, and
// their restores. Class-level operations only; nothing is kept between calls. Operations log
// through the logger "tolmi_gcp.gcplib" and record their changes in Globals::getRevertInfo().
class GcpLib {
 public:
  GcpLib() = delete;

  // Indexes into a self-link split on "/".
  static constexpr int PROJECT_I = 6;
  static constexpr int REGION_I = 8;
  static constexpr int NETWORK_I = 9;
  static constexpr int SUBNET_I = 10;

  // Logs the peerings of a network document as a table. Makes no request.
  static void listPeering(const ResourceDocument& network);

  // Waits until the global operation is DONE and returns its last document. Throws
  // ArgumentTypeError when project or operation is not a string, OperationError when the finished
  // operation carries "error", OperationTimeoutError when it is not DONE within
  // Globals::operationTimeout; request failures pass through.
  static ResourceDocument wait_for_global_operation(ComputeService& service,
                                                    const ResourceDocument& project,
                                                    const ResourceDocument& operation);

  // Removes one peering from one network (unless dry run) and logs the outcome; never throws for
  // a failed removal.
  static void deletePeering(ComputeService& service, const std::string& project,
                            const std::string& vpc, const std::string& peering);

  // The peering entry of the remote network that points back at the local network, or null.
  static ResourceDocument lookupRemotePeering(ComputeService& service,
                                              const std::string& localProject,
                                              const std::string& localVpcName,
                                              const std::string& remoteProject,
                                              const std::string& remoteVpcName);

  // Records and removes, on both ends, the spoke's peerings to the configured transit networks.
  static void deletePeerings(ComputeService& service, const std::string& project,
                             const ResourceDocument& vpc);

  // Re-creates both ends of each recorded PeeringPair.
  static void addPeerings(ComputeService& service, const ResourceDocument& peeringPairList);

  // Migrates (true) or restores (false) the peerings of the spoke named by Globals.
  static void managePeerings(bool switch_traffic);

  // Logs the route table of a network and returns the GKE export ranges found. The logger's
  // propagation switch holds `propagate` while the table is written and is true afterwards.
  static RouteInfo listRouteTable(const std::string& project, ComputeService& service,
                                  const ResourceDocument& network, bool propagate = true);

  // The ranges a spoke advertises in a region (array of CIDR strings), or null when none.
  static ResourceDocument composeVpcCidrs(ComputeService& service, const ResourceDocument& response,
                                          const ResourceDocument& region);

  // Logs the cloud routers of a network in a region with their advertisements.
  static void listRouterByRegion(ComputeService& service, const std::string& project,
                                 const std::string& network, const std::string& region);

  // Migrates (true) or restores (false) the transit routers' advertisements.
  static void manageCloudRouterAdvertisedRoute(bool switch_traffic);
  static void manageCloudRouterAdvertisedRoutePerVpc(ComputeService& service);
  static void restoreCloudRouterAdvertisedRoutePerVpc(ComputeService& service);

  // Applies (true) or undoes (false) the static-route changes of one stage.
  static void manageSwitchRoute(bool request, const std::string& stage);
  static void restoreRoute(ComputeService& service, const std::string& stage);
  static void manageRoute(ComputeService& service, const ResourceDocument& manage_routes,
                          const std::string& stage);

  // CIDR ranges of a network's subnetworks (listSubnet also logs the subnet table).
  static std::vector<std::string> listSubnetByRegion(ComputeService& service,
                                                     const ResourceDocument& network,
                                                     const std::string& region);
  static std::vector<std::string> listSubnet(ComputeService& service,
                                             const ResourceDocument& network);

  // The discovery report of the application-default credentials' project; project_id is unused.
  static void listAllNetwork(const ResourceDocument& project_id);
  // The discovery report of `project`: each network's header, subnet table and route table. The
  // reads of a page's networks go out together (see ReadAhead); the report is the same.
  static void listNetworks(ComputeService& service, const std::string& project);

  // The operation wait's one-second pause; tests replace it to count sleeps without sleeping.
  static std::function<void()>& sleeper();
  // The clock that the operation wait's deadline is read on; tests replace it with their own.
  static std::function<std::chrono::steady_clock::time_point()>& clock();
};

}  // namespace tolmi_gcp
