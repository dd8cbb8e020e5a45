#include "cli/progress.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "fake_transport.hpp"
#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp::cli {
namespace {

using testing::FakeTransport;

// Holds each wait long enough for several progress ticks.
class SlowWaits : public HttpTransport {
 public:
  explicit SlowWaits(std::shared_ptr<FakeTransport> script) : script_(std::move(script)) {}
  HttpResponse send(const HttpRequest& request) override {
    if (request.path.size() > 5 && request.path.ends_with("/wait"))
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return script_->send(request);
  }

 private:
  std::shared_ptr<FakeTransport> script_;
};

HttpRequest request(const std::string& method, const std::string& path) {
  return {method, "http://emulator/compute/v1/", path, {}, {}, ""};
}

const ResourceDocument kInsertOperation = {
    {"name", "op-1"},
    {"operationType", "insert"},
    {"status", "RUNNING"},
    {"targetLink", "https://www.googleapis.com/compute/v1/projects/p/global/routes/r-1"},
    {"selfLink", "https://www.googleapis.com/compute/v1/projects/p/global/operations/op-1"}};

TEST(Progress, AwaitedOperationShowsOneLineUntilDone) {
  auto script = std::make_shared<FakeTransport>();
  script->reply(kInsertOperation)
      .reply({{"name", "op-1"}, {"status", "RUNNING"}})
      .reply({{"name", "op-1"}, {"status", "DONE"}});
  std::ostringstream terminal;
  ProgressTransport progress(std::make_shared<SlowWaits>(script), &terminal,
                             std::chrono::milliseconds(5));

  progress.send(request("POST", "projects/p/global/routes"));
  EXPECT_EQ(terminal.str(), "");
  progress.send(request("POST", "projects/p/global/operations/op-1/wait"));
  std::string afterFirstWait = terminal.str();
  EXPECT_NE(afterFirstWait.find("\r\033[K  waiting for insert routes/r-1 (op-1): 0 s"),
            std::string::npos)
      << afterFirstWait;
  // Not done yet: the line stays for the next wait.
  EXPECT_FALSE(afterFirstWait.ends_with("\r\033[K"));
  progress.send(request("POST", "projects/p/global/operations/op-1/wait"));
  EXPECT_TRUE(terminal.str().ends_with("s\r\033[K")) << terminal.str();
}

TEST(Progress, FailedWaitErasesTheLineAndPassesTheFailureOn) {
  auto script = std::make_shared<FakeTransport>();
  script->dropConnection();
  std::ostringstream terminal;
  ProgressTransport progress(std::make_shared<SlowWaits>(script), &terminal,
                             std::chrono::milliseconds(5));
  EXPECT_THROW(progress.send(request("POST", "projects/p/global/operations/op-9/wait")),
               TransportError);
  EXPECT_NE(terminal.str().find("waiting for operation op-9"), std::string::npos);
  EXPECT_TRUE(terminal.str().ends_with("\r\033[K"));
}

TEST(Progress, CountsAcceptedChangesOnlyAndDrawsNothingWithoutTerminal) {
  auto script = std::make_shared<FakeTransport>();
  script->reply(kInsertOperation)
      .reply({{"status", "DONE"}})
      .reply({{"name", "op-2"}})
      .replyError(404, "notFound", "The resource 'projects/p/global/routes/x' was not found")
      .reply({{"name", "op-3"}})
      .reply({{"name", "op-4"}})
      .reply({{"name", "r"}});
  ProgressTransport progress(script, nullptr, std::chrono::milliseconds(1));
  progress.send(request("POST", "projects/p/global/routes"));
  progress.send(request("POST", "projects/p/global/operations/op-1/wait"));
  progress.send(request("DELETE", "projects/p/global/routes/r-0"));
  progress.send(request("DELETE", "projects/p/global/routes/x"));
  progress.send(request("POST", "projects/p/global/networks/hub/removePeering"));
  progress.send(request("PATCH", "projects/p/regions/us-east1/routers/cr"));
  progress.send(request("GET", "projects/p/global/routes/r"));
  EXPECT_EQ(progress.changes(), (std::map<std::string, int>{{"peering removals", 1},
                                                            {"route creations", 1},
                                                            {"route deletions", 1},
                                                            {"router patches", 1}}));
}

}  // namespace
}  // namespace tolmi_gcp::cli
