#include "tolmi_gcp/compute/compute_service.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "fake_transport.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/internal/json_text.hpp"

namespace tolmi_gcp {
namespace {

using testing::FakeTransport;

class ComputeServiceTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
  ComputeService service{transport, "http://emulator/compute/v1", nullptr};
};

TEST_F(ComputeServiceTest, EveryMethodBuildsItsRequestAndSendsNothingUntilExecuted) {
  ResourceDocument body = {{"name", "x"}, {"a", 1}};
  std::vector<Request> requests = {
      service.networks().list("p"),
      service.networks().get("p", "hub"),
      service.networks().addPeering("p", "hub", body),
      service.networks().removePeering("p", "hub", body),
      service.subnetworks().get("p", "us-east1", "sub"),
      service.routes().list("p", "network=\"n\""),
      service.routes().get("p", "r"),
      service.routes().delete_("p", "r"),
      service.routes().insert("p", body),
      service.instances().get("p", "us-east1-b", "vm"),
      service.routers().list("p", "us-east1"),
      service.routers().get("p", "us-east1", "rt"),
      service.routers().patch("p", "us-east1", "rt", body),
      service.globalOperations().wait("p", "op"),
  };
  EXPECT_TRUE(transport->requests.empty());
  for (const Request& request : requests) {
    transport->reply(ResourceDocument::object());
    request.execute();
  }
  EXPECT_EQ(transport->texts(),
            (std::vector<std::string>{
                "GET projects/p/global/networks",
                "GET projects/p/global/networks/hub",
                R"(POST projects/p/global/networks/hub/addPeering {"name":"x","a":1})",
                R"(POST projects/p/global/networks/hub/removePeering {"name":"x","a":1})",
                "GET projects/p/regions/us-east1/subnetworks/sub",
                R"(GET projects/p/global/routes?filter=network="n")",
                "GET projects/p/global/routes/r",
                "DELETE projects/p/global/routes/r",
                R"(POST projects/p/global/routes {"name":"x","a":1})",
                "GET projects/p/zones/us-east1-b/instances/vm",
                "GET projects/p/regions/us-east1/routers",
                "GET projects/p/regions/us-east1/routers/rt",
                R"(PATCH projects/p/regions/us-east1/routers/rt {"name":"x","a":1})",
                "POST projects/p/global/operations/op/wait",
            }));
  for (const auto& sent : transport->requests) {
    bool hasContentType = false;
    for (const auto& [name, value] : sent.headers)
      hasContentType = hasContentType || (name == "Content-Type" && value == "application/json");
    EXPECT_EQ(hasContentType, !sent.body.empty()) << sent.text();
  }
}

TEST_F(ComputeServiceTest, ListNextFollowsPageTokensUntilTheLastPage) {
  transport->reply({{"items", {1, 2}}, {"nextPageToken", "t2"}})
      .reply({{"items", {3}}, {"nextPageToken", "t3"}})
      .reply({{"items", {4}}, {"nextPageToken", ""}});
  auto routes = service.routes();
  std::vector<int> items;
  std::optional<Request> request = routes.list("p", "network=\"n\"");
  while (request) {
    ResourceDocument response = request->execute();
    for (const auto& item : response["items"]) items.push_back(item.get<int>());
    request = routes.list_next(*request, response);
  }
  EXPECT_EQ(items, (std::vector<int>{1, 2, 3, 4}));
  // The token replaces the previous one; the filter is kept on every page.
  EXPECT_EQ(transport->texts(),
            (std::vector<std::string>{
                R"(GET projects/p/global/routes?filter=network="n")",
                R"(GET projects/p/global/routes?filter=network="n"&pageToken=t2)",
                R"(GET projects/p/global/routes?filter=network="n"&pageToken=t3)",
            }));

  auto networks = service.networks();
  Request first = networks.list("p");
  EXPECT_EQ(networks.list_next(first, {{"items", ResourceDocument::array()}}), std::nullopt);
  EXPECT_THROW(networks.list_next(first, {{"nextPageToken", 7}}), MalformedAnswerError);
  std::optional<Request> second =
      service.routers().list_next(service.routers().list("p", "r"), {{"nextPageToken", "a b&c"}});
  ASSERT_TRUE(second);
  EXPECT_EQ(second->query(), (QueryList{{"pageToken", "a b&c"}}));
  // A token the listing already followed would loop for ever.
  std::optional<Request> third = service.routers().list_next(*second, {{"nextPageToken", "x"}});
  EXPECT_THROW(service.routers().list_next(*third, {{"nextPageToken", "a b&c"}}),
               MalformedAnswerError);
  // Nor does a listing whose tokens never repeat end.
  std::optional<Request> page = first;
  for (std::size_t i = 1; i < Request::kMaxPages; ++i)
    page = networks.list_next(*page, {{"nextPageToken", "t" + std::to_string(i)}});
  EXPECT_THROW(networks.list_next(*page, {{"nextPageToken", "last"}}), MalformedAnswerError);
}

HttpError httpErrorOf(ComputeService& service) {
  try {
    service.networks().get("p", "hub").execute();
  } catch (const HttpError& failure) {
    return failure;
  }
  throw std::runtime_error("no HttpError");
}

TEST_F(ComputeServiceTest, ErrorBodiesBecomeHttpErrorsWithTheApisOwnMessage) {
  transport->replyError(404, "notFound",
                        "The resource 'projects/p/global/networks/hub' was not found");
  HttpError notFound = httpErrorOf(service);
  EXPECT_EQ(notFound.status(), 404);
  EXPECT_EQ(notFound.reason(), "notFound");
  EXPECT_EQ(notFound.apiMessage(), "The resource 'projects/p/global/networks/hub' was not found");
  EXPECT_STREQ(notFound.what(),
               "HTTP 404 notFound: The resource 'projects/p/global/networks/hub' was not found "
               "[GET http://emulator/compute/v1/projects/p/global/networks/hub]");

  transport->replyRaw(502, "<html>Bad Gateway</html>");
  HttpError html = httpErrorOf(service);
  EXPECT_EQ(html.status(), 502);
  EXPECT_EQ(html.reason(), "");
  EXPECT_EQ(html.apiMessage(), "<html>Bad Gateway</html>");

  transport->replyRaw(500, R"({"error": "backend exploded"})");
  EXPECT_EQ(httpErrorOf(service).apiMessage(), R"({"error": "backend exploded"})");
  transport->replyRaw(503, "");
  EXPECT_EQ(httpErrorOf(service).apiMessage(), "(empty response body)");
  transport->replyRaw(404, std::string(2000, 'x'));
  EXPECT_EQ(httpErrorOf(service).apiMessage().size(), 500u) << "a huge body is cut short";
}

TEST_F(ComputeServiceTest, SuccessfulAnswersMustBeJson) {
  transport->replyRaw(204, "");
  EXPECT_EQ(service.routes().delete_("p", "r").execute(), ResourceDocument::object());
  transport->replyRaw(200, "<html>captive portal</html>");
  EXPECT_THROW(service.routes().get("p", "r").execute(), TransportError);
  transport->dropConnection("connection reset by peer");
  EXPECT_THROW(service.routes().get("p", "r").execute(), TransportError);

  // A text answer keeps the body and leaves the page's items out of its document; a body that its
  // reader could not read fails here too.
  Request page = service.routes().list("p", "f").withTextAnswer();
  std::string body = R"({"items": [{"a": 1}], "nextPageToken": "t"})";
  transport->replyRaw(200, body);
  Answer answer = page.fetch();
  EXPECT_EQ(answer.document, (ResourceDocument{{"nextPageToken", "t"}}));
  EXPECT_EQ(answer.text->text(), body);
  transport->replyRaw(200, "{\"items\": [");
  EXPECT_THROW(page.fetch(), TransportError);
  transport->replyRaw(200, R"({"items": [18446744073709551616]})");
  EXPECT_EQ(at(page.fetch().text->root(), "items").document(),
            parseDocument("[18446744073709551616]"));
  // A page's items that are not a list would be read as something else.
  for (bool text : {true, false}) {
    transport->replyRaw(200, R"({"items": {"a": {"name": "x"}}})");
    EXPECT_THROW(text ? page.fetch() : service.networks().list("p").fetch(), MalformedAnswerError);
  }
}

// Hands out "Bearer token-N", a new N after each invalidate().
class CountingCredentials : public Credentials {
 public:
  std::optional<std::string> authorizationHeader() override {
    return "Bearer token-" + std::to_string(invalidations + 1);
  }
  void invalidate() override { ++invalidations; }
  int invalidations = 0;
};

std::string authorizationOf(const testing::RecordedRequest& request) {
  for (const auto& [name, value] : request.headers)
    if (name == "Authorization") return value;
  return "(none)";
}

TEST_F(ComputeServiceTest, RefusedTokenIsRefreshedOnceAndRetriedOnce) {
  auto credentials = std::make_shared<CountingCredentials>();
  ComputeService authed{transport, "http://emulator/compute/v1/", credentials};
  transport->replyError(401, "authError", "expired").reply({{"name", "hub"}});
  EXPECT_EQ(authed.networks().get("p", "hub").execute()["name"], "hub");
  ASSERT_EQ(transport->requests.size(), 2u);
  EXPECT_EQ(authorizationOf(transport->requests[0]), "Bearer token-1");
  EXPECT_EQ(authorizationOf(transport->requests[1]), "Bearer token-2");
  EXPECT_EQ(credentials->invalidations, 1);

  transport->requests.clear();
  transport->replyError(401, "authError", "expired").replyError(401, "authError", "still bad");
  try {
    authed.networks().get("p", "hub").execute();
    FAIL() << "expected HttpError";
  } catch (const HttpError& failure) {
    EXPECT_EQ(failure.status(), 401);
    EXPECT_EQ(failure.apiMessage(), "still bad");
  }
  EXPECT_EQ(transport->requests.size(), 2u);
  EXPECT_EQ(credentials->invalidations, 2);

  // Without credentials there is no token to refresh: one request, no retry.
  transport->requests.clear();
  transport->replyError(401, "authError", "login required");
  EXPECT_THROW(service.networks().get("p", "hub").execute(), HttpError);
  EXPECT_EQ(transport->requests.size(), 1u);
  EXPECT_EQ(authorizationOf(transport->requests[0]), "(none)");
}

TEST_F(ComputeServiceTest, AHandleOnAnotherTransportKeepsEndpointCredentialsAndRetries) {
  RetryPolicy retry = RetryPolicy::standard();
  retry.sleep = [](std::chrono::milliseconds) {};
  ComputeService original{transport, "http://emulator/compute/v1/",
                          std::make_shared<CountingCredentials>(), retry};
  auto other = std::make_shared<FakeTransport>();
  ComputeService wrapped = original.withTransport(other);
  other->replyError(503, "backendError", "try later").reply({{"name", "hub"}});
  EXPECT_EQ(wrapped.networks().get("p", "hub").execute()["name"], "hub");
  EXPECT_TRUE(transport->requests.empty());
  ASSERT_EQ(other->requests.size(), 2u) << "the 503 was not retried";
  EXPECT_EQ(other->requests[1].url, "http://emulator/compute/v1/projects/p/global/networks/hub");
  EXPECT_EQ(authorizationOf(other->requests[1]), "Bearer token-1");
}

TEST_F(ComputeServiceTest, NamesCannotReachAnotherPath) {
  transport->reply(ResourceDocument::object()).reply(ResourceDocument::object());
  service.networks().get("p", "a/../../x?y=1#z").execute();
  service.routes().get("my project", "50%-off é").execute();
  EXPECT_EQ(transport->requests[0].path, "projects/p/global/networks/a%2F..%2F..%2Fx%3Fy%3D1%23z");
  EXPECT_EQ(transport->requests[1].path, "projects/my%20project/global/routes/50%25-off%20%C3%A9");

  for (std::string bad : {"", ".", ".."}) {
    EXPECT_THROW(service.networks().get("p", bad), ArgumentTypeError) << "'" << bad << "'";
    EXPECT_THROW(service.routers().patch(bad, "r", "x", {}), ArgumentTypeError)
        << "'" << bad << "'";
  }
  EXPECT_EQ(transport->requests.size(), 2u);

  HttpRequest wire{"GET",
                   "https://h/compute/v1/",
                   "projects/p/global/routes",
                   {{"filter", "name = \"a&b=c\""}, {"pageToken", "x+y/z"}},
                   {},
                   ""};
  EXPECT_EQ(wire.url(),
            "https://h/compute/v1/projects/p/global/routes"
            "?filter=name%20%3D%20%22a%26b%3Dc%22&pageToken=x%2By%2Fz");
}

}  // namespace
}  // namespace tolmi_gcp
