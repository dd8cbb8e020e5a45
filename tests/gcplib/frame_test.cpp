#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "fake_transport.hpp"
#include "log_capture.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/gcplib/frame.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

using testing::FakeTransport;

TEST(SelfLink, SegmentsOfSubnetworkAndNetworkLinks) {
  ResourceDocument links = {
      {"subnetwork",
       "https://www.googleapis.com/compute/v1/projects/proj-a/regions/us-east1/subnetworks/sub-1"},
      {"network", "https://www.googleapis.com/compute/v1/projects/proj-a/global/networks/hub"}};
  // The documented indexes into a link split on "/" name the parts the links are read by.
  auto segment = [&](const char* key, int index) {
    std::vector<std::string> parts;
    std::istringstream link(links[key].get<std::string>());
    for (std::string part; std::getline(link, part, '/');) parts.push_back(part);
    return parts.at(index);
  };
  ResourceLink subnet =
      frame::linkAt(links, "subnetwork", ResourceLink::Scope::kRegion, "subnetworks", "a network");
  EXPECT_EQ(subnet.project(), segment("subnetwork", GcpLib::PROJECT_I));
  EXPECT_EQ(subnet.location(), segment("subnetwork", GcpLib::REGION_I));
  EXPECT_EQ(subnet.name(), segment("subnetwork", GcpLib::SUBNET_I));
  EXPECT_EQ(
      frame::linkAt(links, "network", ResourceLink::Scope::kGlobal, "networks", "a router").name(),
      segment("network", GcpLib::NETWORK_I));
  EXPECT_THROW(
      frame::linkAt(links, "network", ResourceLink::Scope::kRegion, "subnetworks", "a network"),
      Error);
  EXPECT_THROW(frame::linkAt(links, "absent", ResourceLink::Scope::kGlobal, "networks", "a router"),
               MissingKeyError);
  EXPECT_EQ(frame::lastSegment("a/b/default-internet-gateway"), "default-internet-gateway");
  EXPECT_EQ(frame::lastSegment("10.0.0.5"), "10.0.0.5");
}

TEST(LogTable, ColumnsAreLeftJustifiedAndNeverTruncated) {
  testing::LogCapture log;
  frame::writeTableHead("CIDR", "REGION", "subnet");
  std::string exact(25, 'a');
  std::string longer(26, 'b');
  frame::info("  " + frame::ljust(exact, 25) + "next");
  frame::info("  " + frame::ljust(longer, 25) + "next");
  std::string rule = "  " + std::string(63, '.');
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             rule,
                             "  CIDR                     REGION                        subnet",
                             rule,
                             "  " + exact + "next",
                             "  " + longer + "next",
                         }));
}

class OperationWait : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = GcpLib::clock();
    GcpLib::clock() = [this] { return now; };
    GcpLib::sleeper() = [this] {
      ++sleeps;
      now += std::chrono::seconds(1);
    };
  }
  void TearDown() override {
    GcpLib::sleeper() = [] {};
    GcpLib::clock() = saved;
    Globals::reset();
  }
  std::function<std::chrono::steady_clock::time_point()> saved;
  std::chrono::steady_clock::time_point now;
  std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
  ComputeService service{transport, "http://emulator/compute/v1/", nullptr};
  int sleeps = 0;
};

TEST_F(OperationWait, DoneAtOnceMakesOneRequestAndNoSleep) {
  transport->reply({{"name", "op-1"}, {"status", "DONE"}});
  ResourceDocument result = GcpLib::wait_for_global_operation(service, "p", "op-1");
  EXPECT_EQ(result["name"], "op-1");
  EXPECT_EQ(transport->texts(),
            std::vector<std::string>{"POST projects/p/global/operations/op-1/wait"});
  EXPECT_EQ(sleeps, 0);
}

TEST_F(OperationWait, PollsUntilDoneWithOneSleepPerUnfinishedAnswer) {
  transport->reply({{"status", "PENDING"}})
      .reply({{"status", "RUNNING"}})
      .reply({{"status", "DONE"}, {"warnings", {{{"code", "X"}}}}});
  ResourceDocument result = GcpLib::wait_for_global_operation(service, "p", "op-1");
  EXPECT_EQ(transport->requests.size(), 3u);
  EXPECT_EQ(sleeps, 2);
  EXPECT_TRUE(result.contains("warnings"));
}

TEST_F(OperationWait, OnlyExactDoneFinishesAndErrorFails) {
  transport->reply({{"status", "done"}})
      .reply(
          {{"status", "DONE"}, {"error", {{"errors", {{{"code", "QUOTA"}}}}}}, {"warnings", {1}}});
  try {
    GcpLib::wait_for_global_operation(service, "p", "op-1");
    FAIL() << "expected OperationError";
  } catch (const OperationError& failure) {
    EXPECT_EQ(failure.error()["errors"][0]["code"], "QUOTA");
    EXPECT_STREQ(failure.what(), R"({"errors":[{"code":"QUOTA"}]})");
  }
  EXPECT_EQ(transport->requests.size(), 2u);
  EXPECT_EQ(sleeps, 1);
}

TEST_F(OperationWait, AFailedWaitReadsTheOperationAndItsStatusDecides) {
  testing::LogCapture log;
  transport->replyError(403, "forbidden", "no wait for you")
      .reply({{"status", "RUNNING"}})
      .reply({{"status", "DONE"}});
  EXPECT_EQ(GcpLib::wait_for_global_operation(service, "p", "op-1")["status"], "DONE");
  transport->replyError(403, "forbidden", "no wait for you")
      .reply({{"status", "DONE"}, {"error", {{"errors", {{{"code", "QUOTA"}}}}}}})
      .replyError(403, "forbidden", "no wait for you")
      .replyError(404, "notFound", "no such operation");
  EXPECT_THROW(GcpLib::wait_for_global_operation(service, "p", "op-1"), OperationError);
  try {
    GcpLib::wait_for_global_operation(service, "p", "op-1");
    FAIL() << "expected the read's HttpError";
  } catch (const HttpError& failure) {
    EXPECT_EQ(failure.status(), 404);
  }
  const std::string wait = "POST projects/p/global/operations/op-1/wait";
  const std::string read = "GET projects/p/global/operations/op-1";
  EXPECT_EQ(transport->texts(),
            (std::vector<std::string>{wait, read, read, wait, read, wait, read}));
  EXPECT_EQ(sleeps, 1);
  auto fellBack = ::testing::AllOf(
      ::testing::StartsWith("waiting for operation projects/p/global/operations/op-1 failed ("),
      ::testing::HasSubstr("no wait for you"),
      ::testing::EndsWith("): reading the operation instead"));
  EXPECT_THAT(log.lines(), ::testing::ElementsAre(fellBack, fellBack, fellBack));
}

TEST_F(OperationWait, GivesUpAtItsDeadlineAndRefusesAStatusThatIsNotText) {
  Globals::operationTimeout = std::chrono::seconds(3);
  for (int i = 0; i < 4; ++i) transport->reply({{"status", "RUNNING"}});
  transport->reply({{"status", 7}});
  for (const char* expected :
       {"operation projects/p/global/operations/op-1 is still RUNNING after 3 s "
        "(--operation-timeout)",
        R"(malformed answer for operation projects/p/global/operations/op-1: "status" is 7, )"
        "not a text"}) {
    try {
      GcpLib::wait_for_global_operation(service, "p", "op-1");
      ADD_FAILURE() << "expected: " << expected;
    } catch (const Error& failure) {
      EXPECT_STREQ(failure.what(), expected);
    }
  }
  EXPECT_EQ(transport->requests.size(), 5u);
}

TEST_F(OperationWait, RefusesNonStringArgumentsBeforeAnyRequest) {
  try {
    GcpLib::wait_for_global_operation(service, 42, "op-1");
    FAIL();
  } catch (const ArgumentTypeError& failure) {
    EXPECT_EQ(failure.argument(), "project");
  }
  try {
    GcpLib::wait_for_global_operation(service, "p", nullptr);
    FAIL();
  } catch (const ArgumentTypeError& failure) {
    EXPECT_EQ(failure.argument(), "operation");
  }
  EXPECT_TRUE(transport->requests.empty());
  transport->reply({{"name", "op-1"}});
  EXPECT_THROW(GcpLib::wait_for_global_operation(service, "p", "op-1"), MissingKeyError);
}

}  // namespace
}  // namespace tolmi_gcp
