#pragma once

// End-to-end benchmarks against compute-emulator started as a process, over loopback HTTP. Each
// adds its figures to the table and throws std::runtime_error when a run goes wrong.

#include <cstddef>
#include <string>
#include <vector>

#include "discovery_estate.hpp"
#include "report.hpp"

namespace tolmi_gcp::testing {
class TempDir;
}

namespace tolmi_gcp::bench {

// Runs the built tolmi-gcp with `arguments` in `dir` to its end; returns its wall time in
// seconds. Throws std::runtime_error with what it wrote when it ends otherwise than with 0.
double toolWallTime(const std::vector<std::string>& arguments, const testing::TempDir& dir);

// listAllNetwork, one read at a time, on a generated project against the bare keep-alive floor,
// median of `runs`;
// `besidePython`: also Google's Python client writing the same report, where it is installed.
void discoveryAtScale(Table& table, const ProjectSize& size, int runs, bool besidePython);

// listAllNetwork against an emulator whose every answer takes `latencyMs`, with one read in flight
// and with the default eight, each beside its bound: the longest chain of reads that wait for one
// another, or the requests shared among the connections, whichever takes longer.
void discoveryAtLatency(Table& table, const ProjectSize& size, int latencyMs);

// The two measured processes of discoveryAtScale (this program started again with --client or
// --floor): the library's report logged to `logFile` with up to `maxInFlight` reads at once, and
// the floor replaying `urlFile`.
int discoveryClient(const std::string& logFile, std::size_t maxInFlight);
int discoveryFloor(const std::string& urlFile);

// tolmi-gcp switch and revert of a whole migration against operations that take 200 ms each.
void migrationCost(Table& table);

// A wave of twelve spokes switched and reverted by one run, beside one run per spoke and its bound.
void waveCost(Table& table);

// compute-emulator answering four kept-alive connections at once.
void emulatorUnderLoad(Table& table);

}  // namespace tolmi_gcp::bench
