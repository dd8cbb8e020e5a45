#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <thread>

#include "cli/output.hpp"
#include "emulator/emulator.hpp"
#include "emulator/server.hpp"
#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::cli {

// Starts compute-emulator in this process on a free loopback port with the bundled example
// topology, runs discover, switch and revert on the bundled migration file (revert file in a
// temporary folder), and checks that the emulator's state after revert equals its state before
// switch, ids and timestamps aside. Returns kDone when the round trip holds.
int runDemo(Output& output, std::ostream* terminal);

// compute-emulator served from this process on a free loopback port for as long as this lives.
class LocalEmulator {
 public:
  // Throws ConfigError naming the topology file when it is unusable.
  explicit LocalEmulator(const std::string& topology);
  ~LocalEmulator();
  LocalEmulator(const LocalEmulator&) = delete;
  LocalEmulator& operator=(const LocalEmulator&) = delete;

  std::string endpoint() const;  // http://127.0.0.1:PORT/compute/v1/
  emulator::Emulator& emulator() { return *emulator_; }

 private:
  std::shared_ptr<emulator::Emulator> emulator_;
  emulator::Server server_;
};

// The folder of the bundled examples: $TOLMI_EXAMPLES_DIR, else share/tolmi_gcp/examples beside
// an installed binary, else the source tree's examples/.
std::string examplesDir();

// An emulator state as the round trip must keep it: without "id" and "creationTimestamp" (which a
// re-created resource gets anew), and with each network's peerings in name order (a re-created
// peering goes to the end of the list).
ResourceDocument comparableState(const ResourceDocument& state);

}  // namespace tolmi_gcp::cli
