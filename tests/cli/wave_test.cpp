// A wave's schedule of parts and the conflicts between its files.
#include "cli/wave.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/wave_schedule.hpp"
#include "temp_dir.hpp"

namespace tolmi_gcp::cli {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::TempDir;

// A spoke joined to `transits`, its router patches on `routers`, run `together` with those
// spokes' routers parts.
std::vector<WaveStep> chain(const std::string& spoke, std::set<std::string> transits,
                            std::set<std::string> routers, std::vector<std::size_t> together = {}) {
  transits.insert(spoke);
  return {{"peerings", true, transits, {}, {}, {}},
          {"routes", false, {spoke}, {}, {}, {}},
          {"routers", false, {}, routers, {}, together}};
}

// Each round starts what may start, then every step started ends; `fails` names the step
// that fails ("b peerings").
std::vector<std::string> rounds(std::vector<std::vector<WaveStep>> chains, std::size_t maxInFlight,
                                bool keepGoing = false, const std::string& fails = "") {
  const std::string names = "abc";
  WaveSchedule schedule(std::move(chains), maxInFlight, keepGoing);
  std::vector<std::string> out;
  for (std::vector<WaveSchedule::Id> started = schedule.start(); !started.empty();
       started = schedule.start()) {
    std::string round;
    for (WaveSchedule::Id id : started) {
      round += round.empty() ? "" : ", ";
      for (std::size_t spoke : schedule.spokesOf(id))
        round += (spoke == id.spoke ? "" : "+") + names.substr(spoke, 1);
      round += " " + schedule.step(id).part;
    }
    for (WaveSchedule::Id id : started)
      schedule.finished(id, names.substr(id.spoke, 1) + " " + schedule.step(id).part != fails);
    out.push_back(round);
  }
  return out;
}

TEST(WaveSchedule, PartsOfDifferentSpokesRunTogetherUnlessTheApiWouldRefuseThem) {
  // Three spokes on one transit network and its router: the peering operations take turns, and
  // so do the patches of the router; routes run beside them.
  auto shared = [] {
    return std::vector{chain("a", {"t"}, {"r"}), chain("b", {"t"}, {"r"}),
                       chain("c", {"t"}, {"r"})};
  };
  EXPECT_THAT(rounds(shared(), 4),
              ElementsAre("a peerings", "a routes, b peerings", "a routers, b routes, c peerings",
                          "b routers, c routes", "c routers"));
  EXPECT_THAT(rounds(shared(), 2),
              ElementsAre("a peerings", "a routes, b peerings", "a routers, b routes",
                          "b routers, c peerings", "c routes", "c routers"));
  // Spokes on transit networks and routers of their own run side by side.
  EXPECT_THAT(rounds({chain("a", {"t"}, {"r"}), chain("b", {"u"}, {"s"})}, 4),
              ElementsAre("a peerings, b peerings", "a routes, b routes", "a routers, b routers"));
  // A failure ends its spoke, and unless the wave keeps going, starts nothing more.
  EXPECT_THAT(rounds(shared(), 4, false, "a routes"),
              ElementsAre("a peerings", "a routes, b peerings"));
  EXPECT_THAT(rounds(shared(), 4, true, "a routes"),
              ElementsAre("a peerings", "a routes, b peerings", "b routes, c peerings",
                          "b routers, c routes", "c routers"));
  // Routers parts run together start once each of their spokes has come to them; one that has
  // failed is left out.
  auto together = [] {
    return std::vector{chain("a", {"t"}, {"r"}, {0, 1, 2}), chain("b", {"t"}, {"r"}, {0, 1, 2}),
                       chain("c", {"t"}, {"r"}, {0, 1, 2})};
  };
  EXPECT_THAT(rounds(together(), 4),
              ElementsAre("a peerings", "a routes, b peerings", "b routes, c peerings", "c routes",
                          "a+b+c routers"));
  EXPECT_THAT(rounds(together(), 4, true, "b routes"),
              ElementsAre("a peerings", "a routes, b peerings", "b routes, c peerings", "c routes",
                          "a+c routers"));
}

TEST(WaveConflicts, FilesThatWouldUndoOrCollideWithEachOtherAreNamed) {
  TempDir dir;
  auto file = [&](const std::string& name, const std::string& spoke, const std::string& router,
                  const std::string& route) {
    return dir.write(name, "project_id: p\nvpc_name: " + spoke +
                               "\ntransit_vpcs:\n  - vpc_name: h::t\n    cloud_routers:\n"
                               "      - {region: r1, router_name: cr, " +
                               router +
                               "}\nmanage_routes:\n  s:\n    delete: []\n    add:\n"
                               "      - {cidr: 172.20.0.0/16, zone: z, dest_instance: gw, "
                               "priority: 900, name: " +
                               route + "}\n");
  };
  std::string a = file("a.yaml", "a", "add_advertised_routes: [10.1.0.0/20]", "ra");
  std::string b = file("b.yaml", "b", "remove_advertised_routes: [10.1.0.0/20]", "ra");
  std::string again = file("again.yaml", "a", "add_advertised_routes: [10.1.0.0/20]", "rb");
  EXPECT_THAT(waveConflicts({a, b}),
              ElementsAre(b + ": manage_routes.s.add[0] creates the route p/ra, which " + a +
                              " (manage_routes.s.add[0]) creates too",
                          a +
                              ": transit_vpcs[0].cloud_routers[0].add_advertised_routes adds "
                              "10.1.0.0/20 on the router h::t::r1::cr, which " +
                              b +
                              " (transit_vpcs[0].cloud_routers[0].remove_advertised_routes) "
                              "removes"));
  EXPECT_THAT(waveConflicts({a, again}),
              ElementsAre(again + ": project_id, vpc_name migrates the spoke p::a, which " + a +
                          " (project_id, vpc_name) migrates too"));
  const std::string shared = std::string(TOLMI_SOURCE_DIR) + "/examples/shared-routers/";
  EXPECT_THAT(waveConflicts(
                  {shared + "pay-core.yaml", shared + "pay-batch.yaml", shared + "data-lake.yaml"}),
              IsEmpty());
}

}  // namespace
}  // namespace tolmi_gcp::cli
