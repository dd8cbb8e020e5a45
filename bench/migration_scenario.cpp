// The cost of a whole migration: tolmi-gcp switch and then revert, as processes, against
// compute-emulator whose operations take 200 ms each. Every peering and route change is awaited
// one after the other, so the floor of a run is the number of awaited operations times 200 ms;
// whatever the run takes beyond it is the tool's, the waits' and the revert file's own cost.

#include <chrono>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "emulator_process.hpp"
#include "scenarios.hpp"
#include "temp_dir.hpp"
#include "tool_process.hpp"

namespace tolmi_gcp::bench {
namespace {

constexpr int kOperationDelayMs = 200;
constexpr int kTransits = 4;         // peerings, each with one router to change
constexpr int kRoutesPerStage = 10;  // deleted, and as many created, in each of two stages

std::string hubName(int i) { return "hub-" + std::to_string(i); }

// A spoke peered with four transit networks of another project, each with one custom router, and
// the static routes that the two stages delete.
ResourceDocument topology() {
  ResourceDocument spokePeerings = ResourceDocument::array();
  ResourceDocument hubs = ResourceDocument::array();
  ResourceDocument routers = ResourceDocument::array();
  for (int i = 0; i < kTransits; ++i) {
    spokePeerings.push_back({{"name", "spoke-to-" + hubName(i)},
                             {"network", "projects/hub-proj/global/networks/" + hubName(i)}});
    hubs.push_back({{"name", hubName(i)},
                    {"peerings",
                     {{{"name", hubName(i) + "-to-spoke"},
                       {"network", "projects/spoke-proj/global/networks/spoke"}}}}});
    routers.push_back(
        {{"name", "cr-" + std::to_string(i)},
         {"region", "us-east1"},
         {"network", hubName(i)},
         {"bgp",
          {{"asn", 64512},
           {"advertiseMode", "CUSTOM"},
           {"advertisedGroups", {"ALL_SUBNETS"}},
           {"advertisedIpRanges", {{{"range", "10.100." + std::to_string(i) + ".0/24"}}}}}}});
  }
  ResourceDocument routes = ResourceDocument::array();
  for (int r = 0; r < 2 * kRoutesPerStage; ++r)
    routes.push_back({{"name", "old-" + std::to_string(r)},
                      {"network", "spoke"},
                      {"destRange", "172.16." + std::to_string(r) + ".0/24"},
                      {"nextHopIp", "10.0.0.9"}});
  return {{"projects",
           {{"spoke-proj",
             {{"networks", {{{"name", "spoke"}, {"peerings", spokePeerings}}}},
              {"subnetworks",
               {{{"name", "spoke-use1"},
                 {"region", "us-east1"},
                 {"network", "spoke"},
                 {"ipCidrRange", "10.0.0.0/24"}}}},
              {"instances",
               {{{"name", "gw-0"},
                 {"zone", "us-east1-b"},
                 {"canIpForward", true},
                 {"networkInterfaces", {{{"network", "spoke"}}}}}}},
              {"routes", routes}}},
            {"hub-proj", {{"networks", hubs}, {"routers", routers}}}}}};
}

// The migration file (JSON is YAML too): each stage deletes ten routes and creates ten others.
ResourceDocument migration() {
  ResourceDocument transits = ResourceDocument::array();
  for (int i = 0; i < kTransits; ++i)
    transits.push_back({{"vpc_name", "hub-proj::" + hubName(i)},
                        {"cloud_routers",
                         {{{"region", "us-east1"},
                           {"router_name", "cr-" + std::to_string(i)},
                           {"remove_advertised_routes", {"10.100." + std::to_string(i) + ".0/24"}},
                           {"add_advertised_routes", {"10.200." + std::to_string(i) + ".0/24"}},
                           {"remove_advertised_groups", ResourceDocument::array()}}}}});
  ResourceDocument stages = ResourceDocument::object();
  for (int s = 0; s < 2; ++s) {
    ResourceDocument deletions = ResourceDocument::array();
    ResourceDocument additions = ResourceDocument::array();
    for (int r = s * kRoutesPerStage; r < (s + 1) * kRoutesPerStage; ++r) {
      deletions.push_back("old-" + std::to_string(r));
      additions.push_back({{"cidr", "172.17." + std::to_string(r) + ".0/24"},
                           {"zone", "us-east1-b"},
                           {"dest_instance", "gw-0"},
                           {"priority", 900},
                           {"name", nullptr}});
    }
    stages["stage-" + std::to_string(s + 1)] = {{"delete", deletions}, {"add", additions}};
  }
  return {{"project_id", "spoke-proj"},
          {"vpc_name", "spoke"},
          {"transit_vpcs", transits},
          {"manage_routes", stages}};
}

// The operations a run waited for: each is waited on under its own path.
std::size_t awaitedOperations(const ResourceDocument& journal) {
  std::set<std::string> awaited;
  for (const ResourceDocument& entry : journal.at("requests")) {
    const std::string& path = entry.at("path").get_ref<const std::string&>();
    const ApiMethod* method =
        testing::journalMethod(entry.at("method").get_ref<const std::string&>(), path);
    if (method && method->kind == CallKind::kWait) awaited.insert(path);
  }
  return awaited.size();
}

void measure(Table& table, const testing::EmulatorProcess& emulator, const std::string& command,
             const testing::TempDir& dir) {
  emulator.admin("DELETE", "requests");
  // The generated spoke keeps no way to its old ranges: what is measured is the run, not its plan.
  double wall = toolWallTime({command, "--config", dir.file("migration.yaml"), "--endpoint",
                              emulator.endpoint(), "--accept-unreachable"},
                             dir);
  ResourceDocument journal = emulator.journal();
  std::size_t sent = testing::changeRequests(journal).size();
  std::size_t awaited = awaitedOperations(journal);
  // Both ends of each peering, each route, each router: anything less is a run that skipped work.
  std::size_t expected = 2 * kTransits + 4 * kRoutesPerStage + kTransits;
  if (sent != expected)
    throw std::runtime_error("tolmi-gcp " + command + " sent " + std::to_string(sent) +
                             " changes, expected " + std::to_string(expected));
  double floor = awaited * kOperationDelayMs / 1000.0;
  std::string name = "migration " + command + ", 4 peerings, 40 routes, 4 routers";
  table.add(name, "change requests (awaited)",
            std::to_string(sent) + " (" + std::to_string(awaited) + ")");
  table.add(name, "wall time", number(wall, 3, "s"));
  table.add(name, "awaited operations' own delays", number(floor, 3, "s"));
  table.add(name, "overhead beyond the delays", number((wall / floor - 1) * 100, 1, "%"));
}

}  // namespace

double toolWallTime(const std::vector<std::string>& arguments, const testing::TempDir& dir) {
  auto start = std::chrono::steady_clock::now();
  testing::ToolProcess tool(arguments, dir);
  int status = tool.finish();
  std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  if (status != 0)
    throw std::runtime_error("tolmi-gcp " + arguments[0] + " ended with status " +
                             std::to_string(status) + ": " + tool.err());
  return wall.count();
}

void migrationCost(Table& table) {
  progress("migration against operations of " + std::to_string(kOperationDelayMs) + " ms");
  testing::TempDir dir;
  dir.write("topology.json", topology().dump());
  dir.write("migration.yaml", migration().dump());
  testing::EmulatorProcess emulator(TOLMI_EMULATOR_PATH, dir.file("topology.json"),
                                    {"--operation-delay-ms", std::to_string(kOperationDelayMs)});
  measure(table, emulator, "switch", dir);
  measure(table, emulator, "revert", dir);
}

}  // namespace tolmi_gcp::bench
