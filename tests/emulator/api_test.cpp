#include <atomic>
#include <thread>

#include "emulator_fixture.hpp"

namespace tolmi_gcp::emulator {
namespace {

const std::string kLink = "https://www.googleapis.com/compute/v1/";

// One network with many routes, a custom and a default router.
std::string topology(int routes) {
  std::string text = R"(
projects:
  p:
    networks: [{name: n}, {name: n-2}]
    routers:
      - {name: r-custom, region: us-east1, network: n,
         bgp: {asn: 64512, advertiseMode: CUSTOM, keepaliveInterval: 30, advertisedGroups: [ALL_SUBNETS],
               advertisedIpRanges: [{range: 10.9.0.0/16, description: old}]}}
      - {name: r-default, region: us-west1, network: n, bgp: {asn: 64513}}
    routes:
)";
  for (int i = 0; i < routes; ++i)
    text += "      - {name: r" + std::to_string(100 + i) + ", network: " + (i % 2 ? "n-2" : "n") +
            ", destRange: 10." + std::to_string(i / 256) + "." + std::to_string(i % 256) +
            ".0/24, priority: " + std::to_string(100 + i) + ", nextHopIp: 10.0.0.1, tags: [t" +
            std::to_string(i % 3) + "]}\n";
  return text;
}

class ApiTest : public EmulatorFixture {
 protected:
  void start(Options options = {}, int routes = 7, Now now = Clock::now) {
    EmulatorFixture::start(topology(routes), options, std::move(now));
  }
  void SetUp() override { start(); }

  // Arms an emulator fault; its answer is the admin endpoint's.
  HttpResponse fault(const ResourceDocument& request) {
    return raw("POST", "/emulator/v1/faults", request.dump());
  }

  // A route in network "n" through the next hop 10.0.0.2.
  static ResourceDocument routeBody(const std::string& name, const std::string& destRange) {
    return {{"name", name},
            {"network", "global/networks/n"},
            {"destRange", destRange},
            {"nextHopIp", "10.0.0.2"}};
  }

  std::vector<std::string> names(const std::string& filter) {
    std::vector<std::string> out;
    ResourceDocument list = service->routes().list("p", filter).execute();
    for (const auto& item : arrayOrEmpty(list, "items")) out.push_back(item["name"]);
    return out;
  }
};

INSTANTIATE_TEST_SUITE_P(Transports, ApiTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Http" : "InProcess"; });

TEST_P(ApiTest, ListsPageInNameOrderAndLeaveOutEmptyItems) {
  start({}, 1203);
  Request request =
      service->routes().list("p", "network eq .*/networks/n").withQuery("maxResults", "250");
  std::vector<std::string> seen;
  std::optional<Request> next = request;
  int pages = 0;
  while (next) {
    ResourceDocument page = next->execute();
    ++pages;
    for (const auto& item : page["items"]) seen.push_back(item["name"]);
    EXPECT_EQ(page["kind"], "compute#routeList");
    next = service->routes().list_next(*next, page);
  }
  EXPECT_EQ(pages, 3);  // 602 routes of network n plus its internet route, 250 a page
  EXPECT_EQ(seen.size(), 603u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), seen.size());

  ResourceDocument empty = service->routes().list("p", "name = nothing").execute();
  EXPECT_FALSE(empty.contains("items"));
  EXPECT_FALSE(empty.contains("nextPageToken"));
  EXPECT_EQ(empty["selfLink"], kLink + "projects/p/global/routes");
  EXPECT_EQ(status(request.withQuery("maxResults", "501")), 400);
  EXPECT_EQ(status(request.withQuery("maxResults", "-1")), 400);
  EXPECT_EQ(status(request.withQuery("pageToken", "zz")), 400);
  EXPECT_EQ(status(request.withQuery("orderBy", "priority")), 400);
  ResourceDocument defaults = service->routes().list("p", "").execute();
  EXPECT_EQ(defaults["items"].size(), 500u);
  EXPECT_TRUE(defaults.contains("nextPageToken"));
}

TEST_P(ApiTest, FiltersInBothForms) {
  // What gcloud sends: anchored regular expressions, terms in parentheses.
  EXPECT_EQ(names(R"((name eq ".*\br10[23]\b.*")(priority eq 103))"),
            (std::vector<std::string>{"r103"}));
  EXPECT_EQ(names("name eq r10[0-2]"), (std::vector<std::string>{"r100", "r101", "r102"}));
  EXPECT_EQ(names("name eq r10"), std::vector<std::string>{});  // the whole value must match
  EXPECT_EQ(names("(name ne r10.*)(name ne default.*)").size(), 0u);
  EXPECT_EQ(names("(tags eq t1)(name ne r101)"), std::vector<std::string>{});
  // Comparisons, ANDed side by side or explicitly, with OR and NOT.
  EXPECT_EQ(names("priority >= 105 priority < 1000"), (std::vector<std::string>{"r105", "r106"}));
  EXPECT_EQ(names("priority < 102 AND name != r100"), (std::vector<std::string>{"r101"}));
  EXPECT_EQ(names("(name = r100 OR name = r106) tags:t0"), std::vector<std::string>{});
  EXPECT_EQ(names("NOT priority > 100 name:r100"), (std::vector<std::string>{"r100"}));
  // A link matches the network named in any form, and no other network of a similar name.
  std::vector<std::string> onN = names("network: \"" + kLink + "projects/p/global/networks/n\"");
  EXPECT_EQ(onN.size(), 5u);  // r100 r102 r104 r106 and the internet route
  EXPECT_EQ(names("network: \"projects/p/global/networks/n\""), onN);
  EXPECT_EQ(names("network: n"), onN);
  EXPECT_EQ(names("nextHopIp:* priority < 101"), (std::vector<std::string>{"r100"}));

  for (const char* bad : {"name eq (", "priority >", "name = 'open", "(name = a",
                          "(name eq a)(priority > 1)", "(name eq a) AND (name eq b)", "=5"})
    EXPECT_EQ(status(service->routes().list("p", bad)), 400) << bad;
}

TEST_P(ApiTest, RouterPatchMergesReplacesListsAndKeepsTheDefaultModeRule) {
  ResourceDocument operation =
      service->routers()
          .patch("p", "us-east1", "r-custom",
                 {{"bgp", {{"advertisedIpRanges", {{{"range", "10.7.0.0/16"}}}}}}})
          .execute();
  EXPECT_EQ(operation["operationType"], "patch");
  EXPECT_EQ(operation["region"], kLink + "projects/p/regions/us-east1");
  EXPECT_EQ(operation["selfLink"].get<std::string>().find(
                kLink + "projects/p/regions/us-east1/operations/"),
            0u);
  ResourceDocument bgp = service->routers().get("p", "us-east1", "r-custom").execute()["bgp"];
  EXPECT_EQ(bgp["advertisedIpRanges"], ResourceDocument::parse(R"([{"range":"10.7.0.0/16"}])"));
  EXPECT_EQ(bgp["advertisedGroups"], ResourceDocument::parse(R"(["ALL_SUBNETS"])"));
  EXPECT_EQ(bgp["keepaliveInterval"], 30);
  EXPECT_EQ(bgp["asn"], 64512);

  // What gcloud sends: the whole router as read, output fields included, lists cleared by [].
  ResourceDocument router = service->routers().get("p", "us-east1", "r-custom").execute();
  router["bgp"]["advertisedGroups"] = ResourceDocument::array();
  router["bgp"]["keepaliveInterval"] = nullptr;  // null removes
  service->routers().patch("p", "us-east1", "r-custom", router).execute();
  bgp = service->routers().get("p", "us-east1", "r-custom").execute()["bgp"];
  EXPECT_EQ(bgp["advertisedGroups"], ResourceDocument::array());
  EXPECT_FALSE(bgp.contains("keepaliveInterval"));

  auto patch = [&](const char* router, const ResourceDocument& body) {
    return status(service->routers().patch(
        "p", router == std::string("r-custom") ? "us-east1" : "us-west1", router, body));
  };
  EXPECT_EQ(patch("r-default", {{"bgp", {{"advertisedIpRanges", {{{"range", "10.1.0.0/16"}}}}}}}),
            400);
  EXPECT_EQ(patch("r-custom", {{"bgp", {{"advertiseMode", "DEFAULT"}}}}), 400);
  EXPECT_EQ(patch("r-default",
                  {{"bgp", {{"advertiseMode", "CUSTOM"}, {"advertisedGroups", {"ALL_SUBNETS"}}}}}),
            200);
  EXPECT_EQ(patch("r-custom", {{"bgp", {{"asn", 65000}}}}), 400);
  EXPECT_EQ(patch("r-custom", {{"bgp", {{"keepaliveInterval", 5}}}}), 400);
  EXPECT_EQ(patch("r-custom", {{"bgp", {{"advertisedIpRanges", {{{"range", "10.7.0.1/16"}}}}}}}),
            400);
  EXPECT_EQ(patch("r-custom", {{"name", "other"}}), 400);
  EXPECT_EQ(patch("r-custom", {{"network", "global/networks/n-2"}}), 400);
  EXPECT_EQ(patch("r-custom", {{"network", "global/networks/n"}}), 200);
  EXPECT_EQ(status(service->routers().patch("p", "us-east1", "ghost", ResourceDocument::object())),
            404);
  // Refused patches change nothing.
  EXPECT_EQ(service->routers().get("p", "us-east1", "r-custom").execute()["bgp"], bgp);
}

TEST_P(ApiTest, OperationsMoveFromPendingToDoneAndWaitHoldsUntilDoneOrTimeout) {
  start({.operationDelayMs = 400, .waitTimeoutMs = 100}, 1);
  ResourceDocument operation = service->routes().delete_("p", "r100").execute();
  EXPECT_EQ(operation["status"], "PENDING");
  EXPECT_EQ(operation["progress"], 0);
  EXPECT_FALSE(operation.contains("endTime"));
  auto started = std::chrono::steady_clock::now();
  ResourceDocument waited = service->globalOperations().wait("p", operation["name"]).execute();
  auto held = std::chrono::steady_clock::now() - started;
  EXPECT_GE(held, std::chrono::milliseconds(90));
  EXPECT_NE(waited["status"], "DONE");
  while (waited["status"] != "DONE")
    waited = service->globalOperations().wait("p", operation["name"]).execute();
  EXPECT_EQ(waited["progress"], 100);
  EXPECT_TRUE(waited.contains("endTime"));
  // Get by name or by id; regional operations under their region only.
  HttpResponse byId =
      raw("GET", "/compute/v1/projects/p/global/operations/" + operation["id"].get<std::string>());
  EXPECT_EQ(byId.status, 200);
  ResourceDocument patch =
      service->routers().patch("p", "us-east1", "r-custom", ResourceDocument::object()).execute();
  std::string regional =
      "/compute/v1/projects/p/regions/us-east1/operations/" + patch["name"].get<std::string>();
  EXPECT_EQ(raw("POST", regional + "/wait").status, 200);
  EXPECT_EQ(raw("GET", regional).status, 200);
  EXPECT_EQ(
      raw("GET", "/compute/v1/projects/p/global/operations/" + patch["name"].get<std::string>())
          .status,
      404);
}

TEST_P(ApiTest, PeeringChangesWaitForUnfinishedOnesOnEitherNetwork) {
  std::atomic<Clock::time_point> now{};
  start({.operationDelayMs = 200}, 0, [&] { return now.load(); });
  ResourceDocument peering = {
      {"networkPeering", {{"name", "a"}, {"network", "global/networks/n-2"}}}};
  service->networks().addPeering("p", "n", peering).execute();
  ResourceDocument back = {{"networkPeering", {{"name", "b"}, {"network", "global/networks/n"}}}};
  try {
    service->networks().addPeering("p", "n-2", back).execute();
    ADD_FAILURE() << "a second peering change went through while the first was unfinished";
  } catch (const HttpError& error) {
    EXPECT_EQ(error.status(), 400);
    EXPECT_EQ(error.apiMessage(),
              "There is a peering operation in progress on the local or peer network. Try again "
              "later.");
  }
  now = now.load() + std::chrono::milliseconds(220);
  ResourceDocument operation = service->networks().addPeering("p", "n-2", back).execute();
  now = now.load() + std::chrono::milliseconds(220);
  while (operation["status"] != "DONE")
    operation = service->globalOperations().wait("p", operation["name"]).execute();
  EXPECT_EQ(service->networks().get("p", "n").execute()["peerings"][0]["state"], "ACTIVE");
}

TEST_P(ApiTest, RequestIdsReturnTheFirstOperationAndDoTheWorkOnce) {
  const char* id = "4c2b7a10-0f3e-4d1a-9b7c-0123456789ab";
  ResourceDocument body = routeBody("once", "10.200.0.0/16");
  Request insert = service->routes().insert("p", body).withQuery("requestId", id);
  ResourceDocument first = insert.execute();
  ResourceDocument again = insert.execute();
  EXPECT_EQ(again["name"], first["name"]);
  EXPECT_EQ(status(service->routes().insert("p", body)), 409);
  EXPECT_EQ(status(service->routes().delete_("p", "once").withQuery("requestId", "not-a-uuid")),
            400);
  EXPECT_EQ(status(service->routes().get("p", "once")), 200);
}

TEST_P(ApiTest, FaultsHitMatchingRequestsTheGivenNumberOfTimes) {
  EXPECT_EQ(fault({{"path", "/compute/v1/projects/p/global/routes/*"},
                   {"method", "get"},
                   {"status", 503},
                   {"times", 2}})
                .status,
            200);
  EXPECT_EQ(status(service->routes().get("p", "r100")), 503);
  EXPECT_EQ(status(service->routes().delete_("p", "r100")), 200);  // other method: untouched
  EXPECT_EQ(status(service->routes().get("p", "r101")), 503);
  EXPECT_EQ(status(service->routes().get("p", "r101")), 200);  // used up

  fault({{"path", "*/networks/n"}, {"drop", true}});
  EXPECT_THROW(service->networks().get("p", "n").execute(), TransportError);
  fault({{"path", "*/routes"},
         {"method", "POST"},
         {"operationError", {{"code", "RESOURCE_NOT_FOUND"}, {"message", "gone"}}}});
  ResourceDocument body = routeBody("x", "10.200.0.0/16");
  ResourceDocument operation = service->routes().insert("p", body).execute();
  EXPECT_EQ(operation["status"], "DONE");
  EXPECT_EQ(operation["error"]["errors"][0]["code"], "RESOURCE_NOT_FOUND");
  EXPECT_EQ(operation["httpErrorStatusCode"], 400);
  EXPECT_EQ(status(service->routes().get("p", "x")), 404);  // a failed change is not made
  fault({{"path", "*"}, {"delayMs", 50}});
  auto started = std::chrono::steady_clock::now();
  service->networks().get("p", "n").execute();
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50));

  EXPECT_EQ(fault({{"path", "*"}}).status, 400);  // no effect given
  EXPECT_EQ(fault({{"path", "*"}, {"status", 200}}).status, 400);
  EXPECT_EQ(fault({{"path", "*"}, {"drop", true}, {"status", 500}}).status, 400);
  EXPECT_EQ(fault({{"status", 500}}).status, 400);
  fault({{"path", "*"}, {"status", 500}});
  EXPECT_EQ(ResourceDocument::parse(raw("DELETE", "/emulator/v1/faults").body)["faults"].size(),
            1u);
  EXPECT_EQ(status(service->networks().get("p", "n")), 200);

  // The journal saw every API request with its outcome, a dropped one as status 0.
  ResourceDocument journal = emulator->journal()["requests"];
  std::vector<int> statuses;
  for (const auto& entry : journal) statuses.push_back(entry["status"]);
  EXPECT_EQ(statuses, (std::vector<int>{503, 200, 503, 200, 0, 200, 404, 200, 200}));
  EXPECT_EQ(journal[5]["body"]["name"], "x");
  EXPECT_EQ(journal[5]["method"], "POST");
}

TEST_P(ApiTest, FaultsCanSkipMatchesAndHitTheAnswerOfAChangeMade) {
  EXPECT_EQ(fault({{"path", "*/routes/*"}, {"method", "GET"}, {"skip", 1}, {"status", 503}}).status,
            200);
  EXPECT_EQ(status(service->routes().get("p", "r100")), 200);  // skipped
  EXPECT_EQ(status(service->routes().get("p", "r100")), 503);
  EXPECT_EQ(status(service->routes().get("p", "r100")), 200);

  // The insert is carried out, then its answer is lost; its retry with the same id is answered
  // with the first operation rather than "already exists".
  const char* id = "7d1e2f30-4a5b-4c6d-8e9f-0a1b2c3d4e5f";
  ResourceDocument body = routeBody("late", "10.201.0.0/16");
  Request insert = service->routes().insert("p", body).withQuery("requestId", id);
  fault({{"path", "*/routes"}, {"method", "POST"}, {"after", true}, {"drop", true}});
  EXPECT_THROW(insert.execute(), TransportError);
  EXPECT_EQ(status(service->routes().get("p", "late")), 200);
  EXPECT_EQ(insert.execute()["operationType"], "insert");
  fault({{"path", "*/routes/late"}, {"method", "DELETE"}, {"after", true}, {"status", 500}});
  EXPECT_EQ(status(service->routes().delete_("p", "late")), 500);
  EXPECT_EQ(status(service->routes().get("p", "late")), 404);
  ResourceDocument journal = emulator->journal()["requests"];
  EXPECT_EQ(journal[journal.size() - 2]["status"], 200);  // the journal shows what was done

  // A held request goes on as soon as the faults are disarmed.
  fault({{"path", "*/networks/n"}, {"delayMs", 600000}, {"after", true}});
  std::thread held([&] { EXPECT_EQ(status(service->networks().get("p", "n")), 200); });
  while (!ResourceDocument::parse(raw("GET", "/emulator/v1/faults").body)["faults"].empty())
    std::this_thread::yield();
  raw("DELETE", "/emulator/v1/faults");
  held.join();

  EXPECT_EQ(fault({{"path", "*"}, {"status", 500}, {"skip", -1}}).status, 400);
  EXPECT_EQ(fault({{"path", "*"}, {"status", 500}, {"after", 1}}).status, 400);
  EXPECT_EQ(fault({{"path", "*"}, {"operationError", ResourceDocument::object()}, {"after", true}})
                .status,
            400);
}

TEST_P(ApiTest, ResetReturnsToTheTopologyAndAdminErrorsAreClear) {
  ResourceDocument before = emulator->state();
  service->routes().delete_("p", "r100").execute();
  service->routers()
      .patch("p", "us-east1", "r-custom",
             {{"bgp", {{"advertisedGroups", ResourceDocument::array()}}}})
      .execute();
  ResourceDocument changed = emulator->state();
  EXPECT_EQ(raw("POST", "/emulator/v1/reset").status, 200);
  EXPECT_NE(before, changed);
  EXPECT_EQ(emulator->state(), before);
  EXPECT_EQ(status(service->routes().get("p", "r100")), 200);
  EXPECT_EQ(raw("GET", "/emulator/v1/nothing").status, 404);
  EXPECT_EQ(raw("GET", "/elsewhere").status, 404);
  EXPECT_EQ(ResourceDocument::parse(raw("DELETE", "/emulator/v1/requests").body)["requests"].size(),
            3u);
  EXPECT_EQ(emulator->journal()["requests"].size(), 0u);
}

TEST_P(ApiTest, BatchRequestsAreAnsweredPartByPart) {
  std::string body =
      "--==b==\r\nContent-Type: application/http\r\nContent-ID: <id+0>\r\n\r\n"
      "GET /compute/v1/projects/p/global/routes/r100?alt=json HTTP/1.1\r\nHost: x\r\n\r\n\r\n"
      "--==b==\r\nContent-Type: application/http\r\nContent-ID: <id+1>\r\n\r\n"
      "DELETE /compute/v1/projects/p/global/routes/ghost?alt=json HTTP/1.1\r\n\r\n\r\n"
      "--==b==--\r\n";
  HttpResponse answer = raw("POST", "/batch/compute/v1", body, {},
                            {{"Content-Type", "multipart/mixed; boundary=\"==b==\""}});
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.header("content-type"), "multipart/mixed; boundary=batch_compute_emulator");
  EXPECT_NE(answer.body.find("Content-ID: <response-id+0>\r\n\r\nHTTP/1.1 200 OK"),
            std::string::npos);
  EXPECT_NE(answer.body.find("Content-ID: <response-id+1>\r\n\r\nHTTP/1.1 404 Not Found"),
            std::string::npos);
  EXPECT_NE(answer.body.find("\"name\":\"r100\""), std::string::npos);
  EXPECT_EQ(emulator->journal()["requests"].size(), 2u);
  EXPECT_EQ(raw("POST", "/batch/compute/v1", "x", {}, {{"Content-Type", "text/plain"}}).status,
            400);
}

TEST_P(ApiTest, AggregatedRoutersGroupByRegionAndReportEmptyRegions) {
  ResourceDocument list =
      ResourceDocument::parse(raw("GET", "/compute/v1/projects/p/aggregated/routers", "",
                                  {{"includeAllScopes", "True"}, {"maxResults", "500"}})
                                  .body);
  EXPECT_EQ(list["kind"], "compute#routerAggregatedList");
  EXPECT_EQ(list["items"]["regions/us-east1"]["routers"][0]["name"], "r-custom");
  EXPECT_EQ(list["items"]["regions/us-west1"]["routers"][0]["name"], "r-default");
  ResourceDocument regional = service->routers().list("p", "us-west1").execute();
  EXPECT_EQ(regional["items"].size(), 1u);
  EXPECT_FALSE(service->routers().list("p", "europe-west1").execute().contains("items"));
}

}  // namespace
}  // namespace tolmi_gcp::emulator
