#include "cli/change_log.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "fake_transport.hpp"
#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp::cli {
namespace {

using ::testing::ElementsAre;
using testing::FakeTransport;

// Each change's line, without its time: every result a change can end with.
TEST(ChangeLog, EachChangeEndsInOneLineWithItsResult) {
  auto script = std::make_shared<FakeTransport>();
  script->reply({{"name", "op-1"}, {"status", "RUNNING"}})
      .reply({{"name", "op-1"}, {"status", "DONE"}})
      .replyRaw(403, "no access \xe9")  // not UTF-8: the line is still JSON
      .reply({{"name", "op-2"}, {"status", "RUNNING"}})
      .reply({{"name", "op-2"},
              {"status", "DONE"},
              {"error", {{"errors", {{{"code", "QUOTA"}, {"message", "quota exceeded"}}}}}}})
      .reply({{"name", "op-3"}, {"status", "RUNNING"}})
      .reply({{"name", "op-4"}, {"status", "RUNNING"}})
      .replyError(403, "forbidden", "no wait")
      .reply({{"name", "op-4"}, {"status", "DONE"}});
  std::ostringstream events, out, err;
  Output output(out, err, {});
  auto changes = std::make_shared<ChangeLog>(output, &events);
  ComputeService service =
      ComputeService(script, "http://emulator/compute/v1/", nullptr).withObserver(changes);

  changes->setPart("peerings");
  service.networks().removePeering("p", "n", {{"name", "to-hub"}}).execute();
  service.globalOperations().wait("p", "op-1").execute();
  changes->setPart("routes s");
  EXPECT_THROW(service.routes().delete_("p", "r-1").execute(), HttpError);
  service.routes().insert("p", {{"name", "r-2"}}).execute();
  service.globalOperations().wait("p", "op-2").execute();
  service.routers().patch("p", "us-east1", "cr", {}).execute();
  // Only the wait failed: the operation read after it says the change was made.
  service.routes().insert("p", {{"name", "r-3"}}).execute();
  EXPECT_THROW(service.globalOperations().wait("p", "op-4").execute(), HttpError);
  service.globalOperations().get("p", "op-4").execute();
  changes->finish();

  std::vector<std::string> lines;
  std::istringstream written(events.str());
  for (std::string line; std::getline(written, line);) {
    ResourceDocument event = ResourceDocument::parse(line);
    event.erase("time");
    lines.push_back(event.dump());
  }
  EXPECT_THAT(
      lines,
      ElementsAre(
          R"({"event":"change","part":"peerings","action":"networks.removePeering","resource":"projects/p/global/networks/n","peering":"to-hub","operation":"op-1","result":"done"})",
          R"({"event":"change","part":"routes s","action":"routes.delete","resource":"projects/p/global/routes/r-1","result":"failed","error":"HTTP 403: no access � [DELETE http://emulator/compute/v1/projects/p/global/routes/r-1]"})",
          R"({"event":"change","part":"routes s","action":"routes.insert","resource":"projects/p/global/routes/r-2","operation":"op-2","result":"error","error":"quota exceeded"})",
          R"({"event":"change","part":"routes s","action":"routes.insert","resource":"projects/p/global/routes/r-3","operation":"op-4","result":"done"})",
          R"({"event":"change","part":"routes s","action":"routers.patch","resource":"projects/p/regions/us-east1/routers/cr","operation":"op-3","result":"unfinished"})"));
  // The summary counts as these lines say: an operation ended in error is no change made.
  EXPECT_EQ(changes->made(),
            (std::map<std::string, int>{{"peering removals", 1}, {"route creations", 1}}));
  EXPECT_EQ(changes->failed(), 2);
}

}  // namespace
}  // namespace tolmi_gcp::cli
