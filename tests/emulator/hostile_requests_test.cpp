// Requests no client of the API would send: each still gets an answer that is JSON.
#include <gtest/gtest.h>

#include "emulator/emulator.hpp"

namespace tolmi_gcp::emulator {
namespace {

TEST(HostileRequests, BytesThatAreNotUtf8GetJsonAnswersAndAReadableJournal) {
  Emulator emulator(Emulator::loadTopology(TOLMI_SOURCE_DIR "/examples/demo-topology.yaml"));
  const std::string routes = "/compute/v1/projects/app-spoke-prod/global/routes";
  struct Case {
    std::string method, path;
    QueryList query;
    std::string body;
    int status;
  };
  const Case cases[] = {
      {"GET",
       "/tok\xE0"
       "enX",
       {},
       "",
       404},
      {"GET", routes + "/r\xFF", {}, "", 404},
      {"GET", routes, {{"filter", "name = \"\xC3\x28\""}}, "", 200},
      {"POST", routes, {{"requestId", "\xFF"}}, "{\"name\": \"r\xFF\"}", 400},
      {"POST", "/token", {}, "grant_type=\xFF&refresh_token=\xFE", 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.path);
    HttpResponse answer = emulator.handle(c.method, c.path, c.query, {}, c.body);
    EXPECT_EQ(answer.status, c.status);
    EXPECT_NO_THROW(ResourceDocument::parse(answer.body)) << answer.body;
  }
  HttpResponse journal = emulator.handle("GET", "/emulator/v1/requests", {}, {}, "");
  ASSERT_EQ(journal.status, 200);
  EXPECT_EQ(ResourceDocument::parse(journal.body)["requests"][0]["path"],
            "/compute/v1/projects/app-spoke-prod/global/routes/r\xEF\xBF\xBD");
}

TEST(HostileRequests, FiltersNestedTooDeepAreRefusedWithA400) {
  Emulator emulator(Emulator::loadTopology(TOLMI_SOURCE_DIR "/examples/demo-topology.yaml"));
  const std::string routes = "/compute/v1/projects/app-spoke-prod/global/routes";
  auto nested = [](int depth) {
    return std::string(depth, '(') + "name=a" + std::string(depth, ')');
  };
  struct Case {
    std::string filter;
    bool inBatch;
    int status;
  };
  const Case cases[] = {{nested(300000), false, 400},
                        {nested(300000), true, 200},
                        {nested(257), false, 400},
                        {"NOT " + nested(256), false, 400},
                        {nested(256), false, 200}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.filter.substr(0, 300) + (c.inBatch ? " in a batch" : ""));
    HttpResponse answer = c.inBatch
                              ? emulator.handle("POST", "/batch/compute/v1", {},
                                                {{"Content-Type", "multipart/mixed; boundary=b"}},
                                                "--b\r\n\r\nGET " + routes + "?filter=" + c.filter +
                                                    " HTTP/1.1\r\n\r\n--b--")
                              : emulator.handle("GET", routes, {{"filter", c.filter}}, {}, "");
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.body.find("nest more than 256 levels deep") != std::string::npos,
              c.status == 400 || c.inBatch)
        << answer.body.substr(0, 300);
  }
}

TEST(HostileRequests, TheJournalStopsHoldingBodiesBeyondItsBudget) {
  Emulator emulator(Emulator::loadTopology(TOLMI_SOURCE_DIR "/examples/demo-topology.yaml"));
  const std::size_t mebibyte = 1024 * 1024;
  // Over the limit of one body, then sixteen that fill the budget, then one more.
  std::vector<std::size_t> sizes = {mebibyte + 1};
  sizes.insert(sizes.end(), 16, mebibyte);
  sizes.push_back(10);
  for (std::size_t size : sizes)
    emulator.handle("POST", "/compute/v1/projects/p/global/routes", {}, {}, std::string(size, 'x'));
  ResourceDocument journal = emulator.journal();
  std::vector<std::size_t> elided;
  for (const auto& entry : journal["requests"])
    elided.push_back(entry.value("bodyElided", std::size_t{0}));
  std::vector<std::size_t> expected(sizes.size(), 0);
  expected[0] = mebibyte + 1;
  expected[1] = mebibyte;
  EXPECT_EQ(elided, expected);
  EXPECT_EQ(journal["requests"].back()["body"], "xxxxxxxxxx");
}

TEST(HostileRequests, TheAdminDoorWantsTheApiTokenWhenOneIsRequired) {
  ResourceDocument topology =
      Emulator::loadTopology(TOLMI_SOURCE_DIR "/examples/demo-topology.yaml");
  topology["auth"] = {
      {"authorized_users", {{{"client_id", "c"}, {"client_secret", "s"}, {"refresh_token", "r"}}}}};
  Emulator open(topology), guarded(topology, {.requireAuth = true});
  HttpResponse grant = guarded.handle("POST", "/token", {}, {},
                                      "grant_type=refresh_token&client_id=c&client_secret=s&"
                                      "refresh_token=r");
  HeaderList signedIn = {
      {"Authorization",
       "Bearer " + ResourceDocument::parse(grant.body)["access_token"].get<std::string>()}};
  struct Case {
    Emulator& emulator;
    std::string method, path, body;
    HeaderList headers;
    int status;
  };
  const Case cases[] = {
      {guarded, "GET", "state", "", {}, 401},
      {guarded, "POST", "reset", "", {{"Authorization", "Bearer ya29.made-up"}}, 401},
      {guarded, "GET", "state", "", signedIn, 200},
      {open, "POST", "reset", "", {}, 200},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.emulator.handle(c.method, "/emulator/v1/" + c.path, {}, c.headers, c.body).status,
              c.status)
        << c.method << " " << c.path << " " << c.body;
}

}  // namespace
}  // namespace tolmi_gcp::emulator
