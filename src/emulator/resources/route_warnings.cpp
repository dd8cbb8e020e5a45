// The warnings the API puts on a route whose next hop cannot carry its traffic. They follow the
// instances as they are now, so they are worked out when a route is shown, never stored.
#include "emulator/resources/handlers.hpp"

namespace tolmi_gcp::emulator {

namespace {

void warn(ResourceDocument& warnings, const std::string& code, const std::string& message,
          const std::string& key, const std::string& value) {
  warnings.push_back(
      {{"code", code}, {"message", message}, {"data", {{{"key", key}, {"value", value}}}}});
}

bool onNetwork(const ResourceDocument& instance, const ResourceDocument& network,
               const std::string* address = nullptr) {
  for (const auto& nic : arrayOrEmpty(instance, "networkInterfaces"))
    if (nic["network"] == network && (!address || memberOrNull(nic, "networkIP") == *address))
      return true;
  return false;
}

// What keeps a found instance from forwarding the route's traffic.
void checkForwarder(ResourceDocument& warnings, const ResourceDocument& instance) {
  std::string link = instance["selfLink"];
  if (!valueOr(instance, "canIpForward", false).get<bool>())
    warn(warnings, "NEXT_HOP_CANNOT_IP_FORWARD",
         "Next hop instance '" + link + "' cannot ip forward.", "instance", link);
  if (instance["status"] != "RUNNING")
    warn(warnings, "NEXT_HOP_NOT_RUNNING", "Next hop instance '" + link + "' is not running.",
         "instance", link);
}

}  // namespace

ResourceDocument withWarnings(const Store& store, ResourceDocument route) {
  ResourceDocument warnings = ResourceDocument::array();
  const ResourceDocument& network = route["network"];
  if (has(route, "nextHopInstance")) {
    std::string link = route["nextHopInstance"];
    const ResourceDocument* instance = store.find(link, "zones/*/instances/*", &Project::instances);
    if (!instance)
      warn(warnings, "NEXT_HOP_INSTANCE_NOT_FOUND",
           "Next hop instance '" + link + "' does not exist.", "instance", link);
    else if (!onNetwork(*instance, network))
      warn(warnings, "NEXT_HOP_INSTANCE_NOT_ON_NETWORK",
           "Next hop instance '" + link + "' is not on network '" + textOf(network) + "'.",
           "instance", link);
    else
      checkForwarder(warnings, *instance);
  } else if (has(route, "nextHopIp") && !has(route, "nextHopIlb")) {
    // A load balancer's address is the forwarding rule's, not an instance's.
    std::string address = route["nextHopIp"];
    const ResourceDocument* owner = nullptr;
    for (const auto& [id, project] : store.projects())
      for (const auto& [key, instance] : project.instances)
        if (!owner && onNetwork(instance, network, &address)) owner = &instance;
    if (!owner)
      warn(warnings, "NEXT_HOP_ADDRESS_NOT_ASSIGNED",
           "Next hop address '" + address + "' is not assigned to an instance on network '" +
               textOf(network) + "'.",
           "ip", address);
    else
      checkForwarder(warnings, *owner);
  }
  if (!warnings.empty()) route["warnings"] = std::move(warnings);
  return route;
}

}  // namespace tolmi_gcp::emulator
