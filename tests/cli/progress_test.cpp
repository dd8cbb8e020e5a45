#include "cli/progress.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "fake_transport.hpp"
#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp::cli {
namespace {

using testing::FakeTransport;

// Holds each answer long enough for several progress ticks.
class SlowAnswers : public HttpTransport {
 public:
  explicit SlowAnswers(std::shared_ptr<FakeTransport> script) : script_(std::move(script)) {}
  HttpResponse send(const HttpRequest& request) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return script_->send(request);
  }

 private:
  std::shared_ptr<FakeTransport> script_;
};

ComputeService observed(std::shared_ptr<HttpTransport> transport,
                        std::shared_ptr<Progress> progress) {
  return ComputeService(std::move(transport), "http://emulator/compute/v1/", nullptr)
      .withObserver(std::move(progress));
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
  auto progress = std::make_shared<Progress>(&terminal, std::chrono::milliseconds(5));
  ComputeService service = observed(std::make_shared<SlowAnswers>(script), progress);

  service.routes().insert("p", {}).execute();
  EXPECT_EQ(terminal.str(), "");
  service.globalOperations().wait("p", "op-1").execute();
  std::string afterFirstWait = terminal.str();
  EXPECT_NE(afterFirstWait.find("\r\033[K  waiting for insert routes/r-1 (op-1): 0 s"),
            std::string::npos)
      << afterFirstWait;
  // Not done yet: the line stays for the next wait.
  EXPECT_FALSE(afterFirstWait.ends_with("\r\033[K"));
  service.globalOperations().wait("p", "op-1").execute();
  EXPECT_TRUE(terminal.str().ends_with("s\r\033[K")) << terminal.str();
}

TEST(Progress, FailedWaitErasesTheLineAndPassesTheFailureOn) {
  auto script = std::make_shared<FakeTransport>();
  script->dropConnection();
  std::ostringstream terminal;
  ComputeService service =
      observed(std::make_shared<SlowAnswers>(script),
               std::make_shared<Progress>(&terminal, std::chrono::milliseconds(5)));
  EXPECT_THROW(service.globalOperations().wait("p", "op-9").execute(), TransportError);
  EXPECT_NE(terminal.str().find("waiting for operation op-9"), std::string::npos);
  EXPECT_TRUE(terminal.str().ends_with("\r\033[K"));
}

}  // namespace
}  // namespace tolmi_gcp::cli
