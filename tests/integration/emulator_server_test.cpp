#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "emulator_process.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/compute/curl_transport.hpp"
#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp {
namespace {

using testing::EmulatorProcess;

const char* kBinary = TOLMI_BINARY_DIR "/compute-emulator";
const char* kTopology = TOLMI_SOURCE_DIR "/examples/demo-topology.yaml";

TEST(EmulatorServer, ServesTheApiOverHttpAndStopsCleanlyOnSigterm) {
  EmulatorProcess emulator(kBinary, kTopology);
  EXPECT_TRUE(emulator.baseUrl().starts_with("http://127.0.0.1:"));
  ComputeService service(makeCurlTransport(), emulator.endpoint(), nullptr);
  ResourceDocument network = service.networks().get("app-spoke-prod", "spoke-1").execute();
  // Links name the real service whatever address the emulator listens on.
  EXPECT_EQ(
      network["selfLink"],
      "https://www.googleapis.com/compute/v1/projects/app-spoke-prod/global/networks/spoke-1");
  try {
    service.routes().get("app-spoke-prod", "nope").execute();
    ADD_FAILURE() << "a missing route was found";
  } catch (const HttpError& error) {
    EXPECT_EQ(error.status(), 404);
    EXPECT_EQ(error.apiMessage(),
              "The resource 'projects/app-spoke-prod/global/routes/nope' was not found");
  }
  ResourceDocument requests = emulator.journal()["requests"];
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0]["path"], "/compute/v1/projects/app-spoke-prod/global/networks/spoke-1");
  EXPECT_EQ(requests[1]["status"], 404);
  EXPECT_EQ(emulator.state()["projects"]["net-transit-prod"]["routers"].size(), 3u);

  // An injected dropped connection reaches the client as a transport failure, once.
  emulator.admin("POST", "faults", {{"path", "*/networks/spoke-1"}, {"drop", true}});
  EXPECT_THROW(service.networks().get("app-spoke-prod", "spoke-1").execute(), TransportError);
  EXPECT_EQ(service.networks().get("app-spoke-prod", "spoke-1").execute()["name"], "spoke-1");
  EXPECT_EQ(emulator.stop(), 0);
}

TEST(EmulatorServer, AnswersSeveralConnectionsAtOnceWhileAWaitIsHeld) {
  EmulatorProcess emulator(kBinary, kTopology,
                           {"--operation-delay-ms", "60000", "--wait-timeout-ms", "1500"});
  ComputeService service(makeCurlTransport(), emulator.endpoint(), nullptr);
  ResourceDocument operation =
      service.routes().delete_("app-spoke-prod", "onprem-dc1-via-gw").execute();
  EXPECT_EQ(operation["status"], "PENDING");
  ResourceDocument waited;
  std::thread waiter([&] {
    ComputeService other(makeCurlTransport(), emulator.endpoint(), nullptr);
    waited = other.globalOperations().wait("app-spoke-prod", operation["name"]).execute();
  });
  // While the wait is held open, other connections are served at once.
  auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) service.networks().list("app-spoke-prod").execute();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));
  waiter.join();
  EXPECT_EQ(waited["status"], "PENDING");
}

TEST(EmulatorServer, RefusesOversizedBodiesAndReportsBadTopologies) {
  EmulatorProcess emulator(kBinary, kTopology);
  httplib::Client client(emulator.baseUrl());
  std::string huge(40 * 1024 * 1024, 'x');
  auto answer =
      client.Post("/compute/v1/projects/app-spoke-prod/global/routes", huge, "application/json");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 413);

  EXPECT_THROW(EmulatorProcess(kBinary, TOLMI_SOURCE_DIR "/examples/migration.yaml"),
               std::runtime_error);
}

TEST(EmulatorServer, DelaysAnswersByTheLatencyAndTellsItsVersion) {
  EmulatorProcess emulator(kBinary, kTopology, {"--latency-ms", "100"});
  httplib::Client client(emulator.baseUrl());
  auto started = std::chrono::steady_clock::now();
  auto answer = client.Get("/compute/v1/projects/app-spoke-prod/global/networks/spoke-1");
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(100));
  EXPECT_TRUE(answer && answer->status == 200);
  FILE* version = popen((std::string(kBinary) + " --version").c_str(), "r");
  char line[80] = {};
  EXPECT_NE(fgets(line, sizeof line, version), nullptr);
  EXPECT_EQ(pclose(version), 0);
  EXPECT_STREQ(line, "compute-emulator " TOLMI_GCP_VERSION "\n");
}

}  // namespace
}  // namespace tolmi_gcp
