#include "tolmi_gcp/compute/read_ahead.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "log_capture.hpp"
#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp {
namespace {

// Holds each request until `limit` have been on the wire together (or all have started), then
// answers with its path; counts the most on the wire at once. Its twins share the count.
class GatheringTransport : public HttpTransport {
 public:
  struct Count {
    Count(int limit, int total) : limit(limit), total(total) {}
    const int limit, total;
    std::mutex mutex;
    std::condition_variable changed;
    int onWire = 0, most = 0, started = 0;
  };
  explicit GatheringTransport(std::shared_ptr<Count> count) : count_(std::move(count)) {}

  HttpResponse send(const HttpRequest& request) override {
    std::unique_lock lock(count_->mutex);
    count_->most = std::max(count_->most, ++count_->onWire);
    ++count_->started;
    count_->changed.notify_all();
    // Bounded, so that a pool that never gathers `limit` fails below rather than hangs.
    count_->changed.wait_for(lock, std::chrono::seconds(1), [&] {
      return count_->most >= count_->limit || count_->started == count_->total;
    });
    --count_->onWire;
    return {200, {}, R"({"name": ")" + request.path + R"("})"};
  }
  std::shared_ptr<HttpTransport> twin() const override {
    return std::make_shared<GatheringTransport>(count_);
  }

 private:
  std::shared_ptr<Count> count_;
};

// Answers 403 for the route "refused", 503 for "busy" and for "flaky" in the first two requests.
struct Faulty : HttpTransport {
  explicit Faulty(std::shared_ptr<std::atomic<int>> sent) : sent(std::move(sent)) {}
  HttpResponse send(const HttpRequest& request) override {
    const bool early = ++*sent <= 2;
    const std::string& path = request.path;
    if (path.ends_with("/refused")) return {403, {}, "{}"};
    return {path.ends_with("/busy") || (early && path.ends_with("/flaky")) ? 503 : 200, {}, "{}"};
  }
  std::shared_ptr<HttpTransport> twin() const override { return std::make_shared<Faulty>(*this); }
  std::shared_ptr<std::atomic<int>> sent;  // the requests, its twins' too
};

TEST(ReadAhead, AReadNotTakenNeitherDelaysAFailureNorWritesItsRetries) {
  testing::LogCapture log("tolmi_gcp.compute");
  auto sent = std::make_shared<std::atomic<int>>(0);
  ComputeService service(std::make_shared<Faulty>(sent), "http://api/", nullptr,
                         RetryPolicy::standard());
  auto start = std::chrono::steady_clock::now();
  {
    Request refused = service.routes().get("p", "refused");
    ReadAhead ahead(service, {refused, service.routes().get("p", "busy")});
    while (*sent < 2) std::this_thread::yield();  // the busy read is between its tries
    EXPECT_THROW(refused.execute(), HttpError);
  }
  // Left to its retries, the busy read would have held the failure back for five minutes.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_THAT(log.lines(), ::testing::ElementsAre());

  // A read taken writes its retries when taken, not while the reads before it are written.
  RetryPolicy instant = RetryPolicy::standard();
  instant.sleep = [](std::chrono::milliseconds) {};
  *sent = 0;
  ComputeService quick(service.transport(), "http://api/", nullptr, instant);
  Request flaky = quick.routes().get("p", "flaky");
  ReadAhead ahead(quick, {flaky});
  while (*sent < 3) std::this_thread::yield();
  EXPECT_THAT(log.lines(), ::testing::ElementsAre());
  flaky.execute();
  EXPECT_THAT(log.lines(), ::testing::ElementsAre(::testing::HasSubstr("flaky after HTTP 503"),
                                                  ::testing::HasSubstr("(try 3 in")));
}

TEST(ReadAhead, KeepsTheBoundOnTheWireAndHandsEachAnswerToItsOwnRead) {
  auto count = std::make_shared<GatheringTransport::Count>(3, 20);
  ComputeService service =
      ComputeService(std::make_shared<GatheringTransport>(count), "http://api/", nullptr)
          .withMaxInFlight(3);
  std::vector<Request> reads;
  for (int i = 0; i < 20; ++i) reads.push_back(service.routes().get("p", "r" + std::to_string(i)));
  ReadAhead ahead(service, reads);
  for (const Request& read : reads) EXPECT_EQ(read.execute()["name"], read.path());
  EXPECT_EQ(count->most, 3);
  EXPECT_EQ(count->started, 20);
  EXPECT_THROW(ReadAhead(service, {service.routes().delete_("p", "r")}), std::invalid_argument);

  // One read at a time sends nothing ahead, so the reads given as a function are not even made.
  ComputeService oneAtATime = service.withMaxInFlight(1);
  int made = 0;
  auto make = [&] { return ++made, reads; };
  ReadAhead(service, make);
  ReadAhead(oneAtATime, make);
  EXPECT_EQ(made, 1);
}

}  // namespace
}  // namespace tolmi_gcp
