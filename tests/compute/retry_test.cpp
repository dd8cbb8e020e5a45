#include <chrono>
#include <functional>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_transport.hpp"
#include "log_capture.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp {
namespace {

using std::chrono::milliseconds;
using ::testing::_;
using ::testing::ElementsAre;
using testing::FakeTransport;

class Retries : public ::testing::Test {
 protected:
  RetryPolicy policy() {
    RetryPolicy retry = RetryPolicy::standard();
    retry.sleep = [this](milliseconds d) { sleeps.push_back(d.count()); };
    retry.random = [] { return 1.0 - 1e-9; };  // the full backoff, so the figures are exact
    return retry;
  }
  std::string requestId(std::size_t index) {
    for (const auto& [name, value] : transport->requests.at(index).query)
      if (name == "requestId") return value;
    return "";
  }
  std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
  std::vector<long long> sleeps;
};

TEST_F(Retries, ReadsRetryTransientStatusesAndDropsWithDoublingBackoff) {
  ComputeService service(transport, "http://e/compute/v1/", nullptr, policy());
  transport->replyError(503, "backendError", "try later")
      .dropConnection()
      .replyError(429, "rateLimitExceeded", "slow down")
      .replyError(500, "backendError", "oops")
      .reply({{"name", "hub"}});
  EXPECT_EQ(service.networks().get("p", "hub").execute()["name"], "hub");
  EXPECT_EQ(transport->requests.size(), 5u);
  EXPECT_EQ(sleeps, (std::vector<long long>{999, 1999, 3999, 7999}));
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(requestId(i), "") << "reads carry no requestId";
}

TEST_F(Retries, BackoffIsCappedAndRetryAfterIsHonoured) {
  RetryPolicy retry = policy();
  retry.maxBackoff = milliseconds(2000);
  ComputeService service(transport, "http://e/compute/v1/", nullptr, retry);
  transport->replyRaw(503, "{}", {{"retry-after", "7"}})
      .replyError(503, "x", "x")
      .replyError(503, "x", "x")
      .reply({{"status", "DONE"}});
  service.globalOperations().wait("p", "op").execute();
  EXPECT_EQ(sleeps, (std::vector<long long>{7000, 1999, 1999}));
}

TEST_F(Retries, ChangesKeepOneRequestIdAcrossTriesAndRetryOperationInProgress) {
  testing::LogCapture log("tolmi_gcp.compute");
  ComputeService service(transport, "http://e/compute/v1/", nullptr, policy());
  transport->dropConnection()
      .replyError(400, "badRequest",
                  "There is a peering operation in progress on the local or peer network. Try "
                  "again later.")
      .reply({{"name", "op-1"}});
  service.networks().removePeering("p", "hub", {{"name", "x"}}).execute();
  ASSERT_EQ(transport->requests.size(), 3u);
  std::string id = requestId(0);
  EXPECT_TRUE(std::regex_match(
      id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
      << id;
  EXPECT_EQ(requestId(1), id);
  EXPECT_EQ(requestId(2), id);
  // The line says why, its message cut short.
  EXPECT_THAT(log.lines(), ElementsAre(_,
                                       "retrying POST http://e/compute/v1/projects/p/global/"
                                       "networks/hub/removePeering after HTTP 400 badRequest: "
                                       "There is a peering operation in progress on the local "
                                       "or peer network. Try again ... (try 3 in 1999 ms)"));
  transport->reply({{"name", "op-2"}});
  service.networks().removePeering("p", "hub", {{"name", "y"}}).execute();
  EXPECT_NE(requestId(3), id) << "every change gets its own id";
}

TEST_F(Retries, SpentRateQuotasAreRetriedAndTheLineNamesTheQuota) {
  testing::LogCapture log("tolmi_gcp.compute");
  ComputeService service(transport, "http://e/compute/v1/", nullptr, policy());
  transport
      ->replyError(403, "rateLimitExceeded",
                   "Quota exceeded for quota metric 'Read requests' and limit 'Read requests per "
                   "minute' of service 'compute.googleapis.com' for consumer 'project_number:1'.")
      .reply({{"name", "hub"}});
  EXPECT_EQ(service.networks().get("p", "hub").execute()["name"], "hub");
  EXPECT_THAT(log.lines(),
              ElementsAre("retrying GET http://e/compute/v1/projects/p/global/networks/hub after "
                          "HTTP 403 rateLimitExceeded: quota 'Read requests per minute' is spent "
                          "until the next minute (try 2 in 999 ms)"));
}

TEST_F(Retries, ReadsDoNotRetryOtherErrorsAndGiveUpAfterTheTotalLimit) {
  RetryPolicy retry = policy();
  retry.totalLimit = milliseconds(0);
  ComputeService patient(transport, "http://e/compute/v1/", nullptr, policy());
  transport->replyError(400, "badRequest", "There is a peering operation in progress");
  EXPECT_THROW(patient.networks().get("p", "hub").execute(), HttpError);
  transport->replyError(404, "notFound", "gone");
  EXPECT_THROW(patient.networks().get("p", "hub").execute(), HttpError);
  transport->replyError(403, "forbidden", "Required 'compute.networks.get' permission");
  EXPECT_THROW(patient.networks().get("p", "hub").execute(), HttpError);
  EXPECT_TRUE(sleeps.empty());

  ComputeService hurried(transport, "http://e/compute/v1/", nullptr, retry);
  transport->replyError(503, "backendError", "still down");
  try {
    hurried.networks().get("p", "hub").execute();
    FAIL();
  } catch (const HttpError& failure) {
    EXPECT_EQ(failure.status(), 503);
    EXPECT_EQ(failure.apiMessage(), "still down");
  }
  transport->dropConnection("refused");
  EXPECT_THROW(hurried.networks().get("p", "hub").execute(), TransportError);
  EXPECT_EQ(transport->pending(), 0u);
}

TEST_F(Retries, ChangeRefusalsSayWhetherAnEarlierTryMayHaveBeenCarriedOut) {
  ComputeService service(transport, "http://e/compute/v1/", nullptr, policy());
  struct Case {
    std::function<void(FakeTransport&)> script;
    bool answerLost;
  };
  std::vector<Case> cases = {
      {[](FakeTransport& t) { t.replyError(404, "notFound", "x"); }, false},
      {[](FakeTransport& t) { t.dropConnection().replyError(404, "notFound", "x"); }, true},
      {[](FakeTransport& t) { t.replyError(503, "b", "x").replyError(409, "alreadyExists", "x"); },
       true},
      {[](FakeTransport& t) { t.replyError(429, "r", "x").replyError(400, "invalid", "x"); }, true},
      {[](FakeTransport& t) { t.refuseConnection().replyError(404, "notFound", "x"); }, false},
      // A spent rate quota refuses the change before it is made.
      {[](FakeTransport& t) {
         t.replyError(403, "rateLimitExceeded", "Quota exceeded").replyError(404, "notFound", "x");
       },
       false},
      // Busy answers prove the change was not made, and are retried under the same id.
      {[](FakeTransport& t) {
         t.replyError(400, "resourceNotReady", "The resource 'r' is not ready")
             .replyError(404, "notFound", "x");
       },
       false},
  };
  transport->reply(ResourceDocument::object());  // the endpoint has answered once
  service.routes().get("p", "r").execute();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    cases[i].script(*transport);
    try {
      service.routes().insert("p", {{"name", "r"}}).execute();
      ADD_FAILURE() << "case " << i;
    } catch (const HttpError& failure) {
      EXPECT_EQ(failure.answerLost(), cases[i].answerLost)
          << "case " << i << ": " << failure.what();
    }
    std::size_t last = transport->requests.size() - 1;
    if (i > 0) {
      EXPECT_EQ(requestId(last), requestId(last - 1)) << "case " << i;
    }
  }
  EXPECT_EQ(transport->pending(), 0u);

  transport->replyError(400, "resourceNotReady", "The resource 'r' is not ready");
  EXPECT_THROW(service.routes().get("p", "r").execute(), HttpError) << "reads are not retried";
}

TEST_F(Retries, AnEndpointThatNeverAnsweredEndsTheRunAtOnce) {
  ComputeService service(transport, "http://nowhere/compute/v1/", nullptr, policy());
  transport->refuseConnection();
  try {
    service.routes().get("p", "r").execute();
    FAIL();
  } catch (const ConnectError& failure) {
    EXPECT_THAT(failure.what(), ::testing::HasSubstr("http://nowhere/compute/v1/"));
  }
  EXPECT_TRUE(sleeps.empty());
  // Once it has answered, a refused connection is a passing fault.
  transport->reply(ResourceDocument::object()).refuseConnection().reply({{"name", "r"}});
  service.routes().get("p", "r").execute();
  EXPECT_EQ(service.routes().get("p", "r").execute()["name"], "r");
  EXPECT_EQ(sleeps, (std::vector<long long>{999}));
}

TEST_F(Retries, WithoutAPolicyEveryRequestIsSentOnce) {
  ComputeService service(transport, "http://e/compute/v1/", nullptr);
  transport->replyError(503, "backendError", "down").dropConnection();
  EXPECT_THROW(service.routes().get("p", "r").execute(), HttpError);
  EXPECT_THROW(service.routes().delete_("p", "r").execute(), TransportError);
  EXPECT_EQ(requestId(1), "");
  EXPECT_TRUE(sleeps.empty());
}

}  // namespace
}  // namespace tolmi_gcp
