#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>

#include "discovery_estate.hpp"
#include "emulator_process.hpp"
#include "log_capture.hpp"
#include "temp_dir.hpp"
#include "tolmi_gcp/compute/curl_transport.hpp"
#include "tolmi_gcp/gcplib.hpp"

namespace tolmi_gcp {
namespace {

const char* kBinary = TOLMI_BINARY_DIR "/compute-emulator";
const char* kTopology = TOLMI_SOURCE_DIR "/examples/demo-topology.yaml";
const char* kGolden = TOLMI_SOURCE_DIR "/tests/integration/golden/discover-demo.txt";

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << "cannot read " << path;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Sets an environment variable for the length of a scope and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// The whole discovery report of each project of the demo estate, found the way the tool finds
// the API (COMPUTE_EMULATOR_HOST), over real HTTP, against the reviewed report.
TEST(DiscoveryOverHttp, ReportOfTheDemoEstateMatchesTheGoldenFile) {
  testing::EmulatorProcess emulator(kBinary, kTopology);
  ScopedEnv host("COMPUTE_EMULATOR_HOST", emulator.hostPort());
  testing::LogCapture log;
  for (const char* project : {"net-transit-prod", "app-spoke-prod", "gke-tenant-n7f3a2c1"}) {
    ScopedEnv defaultProject("GOOGLE_CLOUD_PROJECT", project);
    GcpLib::listAllNetwork(nullptr);
  }
  EXPECT_EQ(log.lines(), readLines(kGolden));

  // Discovery only reads.
  ResourceDocument requests = emulator.journal()["requests"];
  EXPECT_FALSE(requests.empty());
  for (const ResourceDocument& request : requests)
    EXPECT_EQ(request["method"], "GET") << request.dump();
}

// Two route pages a network, so that pages read in order follow reads sent ahead.
TEST(DiscoveryOverHttp, ReadsInFlightWriteTheReportOfOneReadAtATime) {
  testing::TempDir dir;
  bench::ProjectSize size{4, 40, 2400};
  testing::EmulatorProcess emulator(
      kBinary, dir.write("estate.json", bench::discoveryEstate(size, "p").dump()));
  std::vector<std::vector<std::string>> reports;
  for (std::size_t inFlight : {1, 8}) {
    ComputeService service =
        ComputeService(makeCurlTransport(), emulator.endpoint(), nullptr).withMaxInFlight(inFlight);
    testing::LogCapture log;
    GcpLib::listNetworks(service, "p");
    reports.push_back(log.lines());
  }
  EXPECT_EQ(reports[0].size(), 13u * 4 + 2 * 40 + 2400);
  EXPECT_EQ(reports[1], reports[0]);
}

}  // namespace
}  // namespace tolmi_gcp
