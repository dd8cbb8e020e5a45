// The example switch, revert and discover against the emulator, every request and answer judged by
// Google's schema of the Compute Engine API.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "cli/app.hpp"
#include "emulator/emulator.hpp"
#include "emulator/schema.hpp"
#include "emulator/server.hpp"
#include "emulator/wire.hpp"
#include "temp_dir.hpp"

namespace tolmi_gcp::emulator {
namespace {

const std::string kExamples = std::string(TOLMI_SOURCE_DIR) + "/examples";
// The system parameters any client may add.
const std::set<std::string> kSystemParameters = {"alt",       "prettyPrint", "fields", "key",
                                                 "quotaUser", "$.xgafv",     "userIp"};

// What in one journal entry the schema does not allow; `methods` gains the method's id.
std::vector<std::string> problems(const ResourceDocument& entry, std::set<std::string>& methods) {
  const Schema& schema = Schema::compute();
  std::string path = entry["path"];
  std::vector<std::string> segments;
  std::istringstream parts(path.substr(std::min<std::size_t>(path.size(), 12)));
  for (std::string part; std::getline(parts, part, '/');) segments.push_back(percentDecode(part));
  const Schema::Method* method = schema.method(entry["method"].get<std::string>(), segments);
  if (!path.starts_with("/compute/v1/") || !method) return {"no such method"};
  methods.insert(method->id);
  std::vector<std::string> out;
  for (const auto& [name, value] : entry["query"].items())
    if (!kSystemParameters.count(name) &&
        std::find(method->query.begin(), method->query.end(), name) == method->query.end())
      out.push_back("query parameter " + name + " unknown to " + method->id);
  ResourceDocument body = entry["body"];
  // The one field sent on purpose beyond the API's own: the zone of a route's next-hop instance.
  if (method->id == "compute.routes.insert") body.erase("zone");
  for (const auto& line : method->requestBody.empty() ? std::vector<std::string>{}
                                                      : schema.problems(method->requestBody, body))
    out.push_back("request " + line);
  if (entry["status"] == 200)  // error bodies are not in the schema
    for (const auto& line : schema.problems(method->response, entry["answer"]))
      out.push_back("answer " + line);
  return out;
}

TEST(Conformance, ExampleRunsSendAndAnswerOnlyWhatTheApiHas) {
  auto emulator = std::make_shared<Emulator>(
      Emulator::loadTopology(kExamples + "/demo-topology.yaml"), Options{.journalAnswers = true});
  Server server(emulator, "127.0.0.1", 0);
  testing::TempDir dir;
  std::string config = dir.write("m.yaml", testing::TempDir::read(kExamples + "/migration.yaml"));
  for (const char* command : {"switch", "revert", "discover"}) {
    std::ostringstream out, err;
    EXPECT_EQ(cli::runTool({"tolmi-gcp", command, "--config", config, "--endpoint",
                            "http://127.0.0.1:" + std::to_string(server.port()) + "/compute/v1/"},
                           out, err, false),
              0)
        << command << ": " << err.str();
  }
  // What the tool does not ask for, asked as gcloud does.
  for (const char* direction : {"INCOMING", "OUTGOING"})
    EXPECT_EQ(emulator
                  ->handle("GET",
                           "/compute/v1/projects/net-transit-prod/global/networks/transit-a/"
                           "listPeeringRoutes",
                           {{"peeringName", "transit-a-to-spoke-2"},
                            {"direction", direction},
                            {"region", "us-east1"}},
                           {}, "")
                  .status,
              200);
  std::set<std::string> methods;
  const ResourceDocument journal = emulator->journal();
  for (const auto& entry : journal["requests"])
    EXPECT_THAT(problems(entry, methods), ::testing::IsEmpty()) << entry.dump();
  EXPECT_THAT(
      methods,
      ::testing::IsSupersetOf(
          {"compute.networks.addPeering", "compute.networks.removePeering", "compute.routes.insert",
           "compute.routes.delete", "compute.routers.patch", "compute.routes.list",
           "compute.networks.get", "compute.subnetworks.get", "compute.globalOperations.wait",
           "compute.routers.getRouterStatus", "compute.networks.listPeeringRoutes"}));
}

}  // namespace
}  // namespace tolmi_gcp::emulator
