#include "cli/discover.hpp"

#include "cli/estate.hpp"

#include "tolmi_gcp/commonlib.hpp"
#include "tolmi_gcp/compute/read_ahead.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/network_key.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp::cli {

namespace {

std::string padded(const std::string& text, std::size_t width) {
  return text.size() < width ? text + std::string(width - text.size(), ' ') : text;
}

// The cloud routers of each transit network, region by region in the file's order: the regions'
// listings go out together.
void listTransitRouters() {
  ComputeService& service = *Globals::service;
  std::vector<std::pair<NetworkKey, std::string>> listings;  // network and region
  for (const ResourceDocument& transit : YamlContext{}.getContext("transit_vpcs")) {
    // The file was validated: every transit vpc_name is a network key.
    NetworkKey key = *NetworkKey::parse(transit["vpc_name"].get_ref<const std::string&>());
    std::vector<std::string> regions;
    for (const ResourceDocument& router : arrayOrEmpty(transit, "cloud_routers")) {
      const std::string& region = router["region"].get_ref<const std::string&>();
      if (!contains(regions, region)) regions.push_back(region);
    }
    for (const std::string& region : regions) listings.emplace_back(key, region);
  }
  ReadAhead ahead(service, readsUntilFailure(listings, [&](const auto& listing, auto& reads) {
                    reads.push_back(service.routers().list(listing.first.project, listing.second));
                  }));
  for (const auto& [key, region] : listings)
    GcpLib::listRouterByRegion(service, key.project, key.network, region);
}

void composeAdvertisements(const Setup& setup, Output& output) {
  output.report("");
  output.report("- Compose spoke advertisement(s)");
  ResourceDocument byRegion = spokeAdvertisements(setup);
  for (const auto& [region, cidrs] : byRegion.items()) {
    std::vector<std::string> ranges;
    for (const ResourceDocument& cidr : cidrs) ranges.push_back(textOf(cidr));
    output.report("  " + padded(region, 25) + (ranges.empty() ? "none" : joined(ranges, " ")));
  }
  if (byRegion.empty()) output.report("  no subnetwork found");
}

}  // namespace

int discover(const Setup& setup, Output& output, int errorsBefore) {
  // The report of GcpLib::listAllNetwork, but of the file's project: that operation reports the
  // project the credentials name, which need not be the file's.
  GcpLib::listNetworks(*Globals::service, setup.project);
  GcpLib::listPeering(setup.spokeNetwork);
  listTransitRouters();
  // Read without propagation: the route table is already in the report above.
  Globals::routeInfo =
      GcpLib::listRouteTable(setup.project, *Globals::service, setup.spokeNetwork, false);
  composeAdvertisements(setup, output);
  int errors = output.libraryErrors() - errorsBefore;
  output.note("discover of " + setup.spoke + ": done, " + std::to_string(errors) +
              " error(s) logged");
  return errors > 0 ? kErrorsLogged : kDone;
}

}  // namespace tolmi_gcp::cli
