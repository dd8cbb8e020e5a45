// A wave of twelve spokes on two transit networks whose two routers they share, switched and
// taken back by one tolmi-gcp run against compute-emulator whose operations take 500 ms, beside
// the same twelve spokes switched one after another, and beside the wave's bound.
//
// The bound: a peering operation excludes any other peering operation on either network it
// joins, so every peering end removed or added on a transit network waits for the one before;
// each spoke's own changes keep their order. The wave can end no sooner than the operations on
// the busier transit network one after another, then the last spoke's route and router changes.

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/demo.hpp"
#include "emulator_process.hpp"
#include "scenarios.hpp"
#include "temp_dir.hpp"
#include "tool_process.hpp"

namespace tolmi_gcp::bench {
namespace {

constexpr int kDelayMs = 500;
constexpr int kSpokes = 12;
constexpr int kTransits = 2;

std::string spokeName(int i) { return "spoke-" + std::to_string(i); }
std::string transitName(int t) { return "transit-" + std::to_string(t); }
std::string aggregate(int i) { return "10." + std::to_string(100 + i) + ".0.0/16"; }

// Twelve spokes in one project, each peered with both transit networks of the hub project, with
// one gateway and one old route; each transit network has one router announcing every spoke's
// aggregate.
ResourceDocument topology() {
  ResourceDocument spokes = ResourceDocument::array(), subnets = ResourceDocument::array(),
                   instances = ResourceDocument::array(), routes = ResourceDocument::array();
  ResourceDocument transits = ResourceDocument::array(), routers = ResourceDocument::array();
  for (int t = 0; t < kTransits; ++t) {
    ResourceDocument peerings = ResourceDocument::array();
    ResourceDocument ranges = ResourceDocument::array();
    for (int i = 0; i < kSpokes; ++i) {
      peerings.push_back({{"name", transitName(t) + "-to-" + spokeName(i)},
                          {"network", "projects/spoke-proj/global/networks/" + spokeName(i)}});
      ranges.push_back({{"range", aggregate(i)}});
    }
    transits.push_back({{"name", transitName(t)}, {"peerings", peerings}});
    routers.push_back(
        {{"name", "cr-" + std::to_string(t)},
         {"region", "us-east1"},
         {"network", transitName(t)},
         {"bgp",
          {{"asn", 64512 + t}, {"advertiseMode", "CUSTOM"}, {"advertisedIpRanges", ranges}}}});
  }
  for (int i = 0; i < kSpokes; ++i) {
    ResourceDocument peerings = ResourceDocument::array();
    for (int t = 0; t < kTransits; ++t)
      peerings.push_back({{"name", spokeName(i) + "-to-" + transitName(t)},
                          {"network", "projects/hub-proj/global/networks/" + transitName(t)}});
    spokes.push_back({{"name", spokeName(i)}, {"peerings", peerings}});
    std::string prefix = "10." + std::to_string(100 + i) + ".";
    subnets.push_back({{"name", spokeName(i) + "-use1"},
                       {"region", "us-east1"},
                       {"network", spokeName(i)},
                       {"ipCidrRange", prefix + "0.0/20"}});
    instances.push_back(
        {{"name", "gw-" + std::to_string(i)},
         {"zone", "us-east1-b"},
         {"canIpForward", true},
         {"networkInterfaces", {{{"network", spokeName(i)}, {"networkIP", prefix + "0.2"}}}}});
    routes.push_back({{"name", "old-" + std::to_string(i)},
                      {"network", spokeName(i)},
                      {"destRange", "172.20.0.0/16"},
                      {"nextHopIp", prefix + "0.9"}});
  }
  return {{"projects",
           {{"spoke-proj",
             {{"networks", spokes},
              {"subnetworks", subnets},
              {"instances", instances},
              {"routes", routes}}},
            {"hub-proj", {{"networks", transits}, {"routers", routers}}}}}};
}

// Spoke i's file (JSON is YAML too): both peerings, one stage, its aggregate on both routers.
ResourceDocument migration(int i) {
  ResourceDocument transits = ResourceDocument::array();
  for (int t = 0; t < kTransits; ++t)
    transits.push_back({{"vpc_name", "hub-proj::" + transitName(t)},
                        {"cloud_routers",
                         {{{"region", "us-east1"},
                           {"router_name", "cr-" + std::to_string(t)},
                           {"remove_advertised_routes", {aggregate(i)}},
                           {"add_advertised_routes", {"10." + std::to_string(100 + i) + ".0.0/20"}},
                           {"remove_advertised_groups", ResourceDocument::array()}}}}});
  return {{"project_id", "spoke-proj"},
          {"vpc_name", spokeName(i)},
          {"transit_vpcs", transits},
          {"manage_routes",
           {{"dc",
             {{"delete", {"old-" + std::to_string(i)}},
              {"add",
               {{{"cidr", "172.20.0.0/16"},
                 {"zone", "us-east1-b"},
                 {"dest_instance", "gw-" + std::to_string(i)},
                 {"priority", 900},
                 {"name", nullptr}}}}}}}}};
}

double timed(std::vector<std::string> args, const testing::EmulatorProcess& emulator,
             const testing::TempDir& dir) {
  args.insert(args.end(), {"--endpoint", emulator.endpoint(), "--yes", "--accept-unreachable"});
  return toolWallTime(args, dir);
}

// Every answer was a success: no change was refused for another's unfinished operation. Returns
// the router patches sent.
int expectNoRefusal(const testing::EmulatorProcess& emulator, const std::string& what) {
  const ResourceDocument journal = emulator.journal();
  int patches = 0;
  for (const ResourceDocument& request : journal["requests"]) {
    if (request["status"] != 200)
      throw std::runtime_error(what + ": " + request["method"].get<std::string>() + " " +
                               request["path"].get<std::string>() + " answered " +
                               request["status"].dump());
    patches += request["method"] == "PATCH";
  }
  return patches;
}

}  // namespace

void waveCost(Table& table) {
  progress("a wave of 12 spokes against operations of " + std::to_string(kDelayMs) + " ms");
  testing::TempDir dir;
  dir.write("topology.json", topology().dump());
  std::vector<std::string> configs;
  for (int i = 0; i < kSpokes; ++i)
    configs.push_back(dir.write(spokeName(i) + ".yaml", migration(i).dump()));
  testing::EmulatorProcess emulator(TOLMI_EMULATOR_PATH, dir.file("topology.json"),
                                    {"--operation-delay-ms", std::to_string(kDelayMs)});
  ResourceDocument before = cli::comparableState(emulator.state());

  double oneByOne = 0;
  for (const std::string& config : configs)
    oneByOne += timed({"switch", "--config", config}, emulator, dir);
  int singlePatches = expectNoRefusal(emulator, "the single switches");
  ResourceDocument switched = cli::comparableState(emulator.state());
  for (const std::string& config : configs) timed({"revert", "--config", config}, emulator, dir);
  if (cli::comparableState(emulator.state()) != before)
    throw std::runtime_error("the single reverts did not give back the estate");

  emulator.admin("DELETE", "requests");
  std::vector<std::string> wave{"switch"};
  for (const std::string& config : configs) wave.insert(wave.end(), {"--config", config});
  double waveSwitch = timed(wave, emulator, dir);
  int wavePatches = expectNoRefusal(emulator, "the wave's switch");
  if (cli::comparableState(emulator.state()) != switched)
    throw std::runtime_error("the wave's switch left another estate than twelve single switches");
  wave[0] = "revert";
  emulator.admin("DELETE", "requests");
  double waveRevert = timed(wave, emulator, dir);
  expectNoRefusal(emulator, "the wave's revert");
  if (cli::comparableState(emulator.state()) != before)
    throw std::runtime_error("the wave's revert did not give back the estate");

  // Each spoke: both ends of two peerings, a route deleted and one created, two router patches.
  const int peeringEnds = 2 * kTransits, routeChanges = 2, routerPatches = kTransits;
  double delay = kDelayMs / 1000.0;
  // Operation by operation: a transit network's peering ends one after another, then the last
  // spoke's routes and routers.
  double bound = (kSpokes * 2 + routeChanges + routerPatches) * delay;
  // Part by part, as the library removes a spoke's peerings with both transit networks in one
  // operation: the spokes' peerings parts one after another, then the last one's routes and
  // routers.
  double partBound = (kSpokes * peeringEnds + routeChanges + routerPatches) * delay;
  std::string name = "wave of 12 spokes, 2 transit networks, 2 shared routers";
  table.add(name, "12 single switches one after another", number(oneByOne, 3, "s"));
  table.add(name, "wave switch", number(waveSwitch, 3, "s"));
  table.add(name, "wave revert", number(waveRevert, 3, "s"));
  table.add(name, "bound, operation by operation", number(bound, 3, "s"));
  table.add(name, "bound, part by part", number(partBound, 3, "s"));
  table.add(name, "wave switch / bound by operation", number(waveSwitch / bound, 2, "x"));
  table.add(name, "wave switch / bound by part", number(waveSwitch / partBound, 2, "x"));
  table.add(name, "one after another / wave switch", number(oneByOne / waveSwitch, 2, "x"));
  table.add(name, "router patches: single switches, wave switch",
            std::to_string(singlePatches) + ", " + std::to_string(wavePatches));
}

}  // namespace tolmi_gcp::bench
