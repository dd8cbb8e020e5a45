// Each kind of application-default credentials against compute-emulator --require-auth, over
// real HTTP: the lookup, the token grant, the API call, refresh and retry, and what reaches the
// log and error texts.

#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "emulator_process.hpp"
#include "failure_text.hpp"
#include "log_capture.hpp"
#include "temp_dir.hpp"
#include "test_keys.hpp"
#include "tolmi_gcp/compute/curl_transport.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/internal/encoding.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const char* kAccount = "deployer@p1.iam.example";
const char* kRefreshToken = "1//refresh-token-of-ana";
const char* kClientSecret = "client-secret-of-the-cli";

class CredentialsEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new testing::TempDir();
    ResourceDocument topology = {
        {"projects", {{"p1", {{"networks", {{{"name", "hub"}}}}}}}},
        {"auth",
         {{"service_accounts",
           {{{"client_email", kAccount}, {"public_key", testing::sharedRsaKeyPair().publicPem}}}},
          {"authorized_users",
           {{{"client_id", "cli.apps.example"},
             {"client_secret", kClientSecret},
             {"refresh_token", kRefreshToken},
             {"account", "ana@example.test"}},
            {{"client_id", "harness"}, {"client_secret", "s"}, {"refresh_token", "1//harness"}}}},
          {"metadata", {{"project_id", "p1"}, {"service_account", "vm@p1.iam.example"}}}}}};
    emulator = new testing::EmulatorProcess(TOLMI_BINARY_DIR "/compute-emulator",
                                            dir->write("topology.json", topology.dump()),
                                            {"--require-auth"});
    emulator->signInAdminCalls(
        "grant_type=refresh_token&client_id=harness&client_secret=s&refresh_token=1//harness");
  }
  static void TearDownTestSuite() {
    delete emulator;
    delete dir;
  }

  void SetUp() override {
    Globals::reset();
    environment = CredentialsEnvironment::fromProcess();
    variables["HOME"] = dir->file("home");
    variables["GCE_METADATA_HOST"] = emulator->hostPort();
    environment.variable = [this](const std::string& name) {
      auto it = variables.find(name);
      return it == variables.end() ? std::string() : it->second;
    };
    environment.clock = [this] { return now; };
    emulator->admin("DELETE", "requests");
    emulator->admin("DELETE", "faults");
  }

  std::string keyFile(const std::string& name, const std::string& email) {
    return dir->write(name,
                      testing::serviceAccountKeyFile(email, emulator->baseUrl() + "/token",
                                                     testing::sharedRsaKeyPair().privatePem, "p1")
                          .dump());
  }
  std::string userFile(const std::string& secret) {
    return ResourceDocument({{"type", "authorized_user"},
                             {"client_id", "cli.apps.example"},
                             {"client_secret", secret},
                             {"refresh_token", kRefreshToken},
                             {"token_uri", emulator->baseUrl() + "/token"}})
        .dump();
  }

  int grantsTo(const std::string& account) {
    ResourceDocument grants = emulator->admin("GET", "auth")["grants"];
    return grants.contains(account) ? grants[account].get<int>() : 0;
  }
  std::vector<int> apiStatuses() {
    std::vector<int> statuses;
    ResourceDocument journal = emulator->journal();
    for (const ResourceDocument& entry : journal["requests"])
      statuses.push_back(entry["status"].get<int>());
    return statuses;
  }

  ComputeService service(std::shared_ptr<Credentials> credentials) {
    return ComputeService(makeCurlTransport(), emulator->endpoint(), std::move(credentials));
  }
  std::string firstNetwork(const ComputeService& api) {
    return api.networks().list("p1").execute()["items"][0]["name"].get<std::string>();
  }

  inline static testing::TempDir* dir = nullptr;
  inline static testing::EmulatorProcess* emulator = nullptr;
  std::map<std::string, std::string> variables;
  std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
  CredentialsEnvironment environment;
};

TEST_F(CredentialsEndToEnd, EachKindOfCredentialsIsFoundGrantedAndAccepted) {
  int serviceAccountGrants = grantsTo(kAccount);
  int userGrants = grantsTo("ana@example.test");
  int vmGrants = grantsTo("vm@p1.iam.example");
  variables["GOOGLE_APPLICATION_CREDENTIALS"] = keyFile("key.json", kAccount);
  DefaultCredentials serviceAccount = findDefaultCredentials(environment);
  EXPECT_EQ(serviceAccount.project, "p1");
  EXPECT_EQ(firstNetwork(service(serviceAccount.credentials)), "hub");
  EXPECT_EQ(grantsTo(kAccount), serviceAccountGrants + 1);

  variables.erase("GOOGLE_APPLICATION_CREDENTIALS");
  dir->write("home/.config/gcloud/application_default_credentials.json", userFile(kClientSecret));
  dir->write("home/.config/gcloud/configurations/config_default", "[core]\nproject = p1\n");
  DefaultCredentials user = findDefaultCredentials(environment);
  EXPECT_EQ(user.project, "p1");
  EXPECT_EQ(firstNetwork(service(user.credentials)), "hub");
  EXPECT_EQ(grantsTo("ana@example.test"), userGrants + 1);

  variables["CLOUDSDK_CONFIG"] = dir->file("empty-gcloud");
  DefaultCredentials metadata = findDefaultCredentials(environment);
  EXPECT_EQ(metadata.origin,
            "the metadata server at " + emulator->baseUrl() + "/computeMetadata/v1/");
  EXPECT_EQ(metadata.project, "p1");
  EXPECT_EQ(firstNetwork(service(metadata.credentials)), "hub");
  EXPECT_EQ(grantsTo("vm@p1.iam.example"), vmGrants + 1);

  // Each kind was granted once and every API call was accepted at the first try.
  EXPECT_EQ(apiStatuses(), (std::vector<int>{200, 200, 200}));
}

TEST_F(CredentialsEndToEnd, CallsWithoutAGrantedTokenAreRefused) {
  auto refusal = [&](std::shared_ptr<Credentials> credentials) {
    try {
      firstNetwork(service(std::move(credentials)));
    } catch (const HttpError& failure) {
      return std::to_string(failure.status()) + " " + failure.reason();
    }
    return std::string("accepted");
  };
  struct MadeUp : Credentials {
    std::optional<std::string> authorizationHeader() override { return "Bearer ya29.made-up"; }
  };
  EXPECT_EQ(refusal(std::make_shared<AnonymousCredentials>()), "401 required");
  EXPECT_EQ(refusal(std::make_shared<MadeUp>()), "401 authError");
}

TEST_F(CredentialsEndToEnd, TokensAreRefreshedBeforeExpiryAndOnceAfterARefusal) {
  // User credentials: a refresh-token grant carries no timestamps, so the client's clock can move.
  variables["GOOGLE_APPLICATION_CREDENTIALS"] = dir->write("refresh.json", userFile(kClientSecret));
  DefaultCredentials found = findDefaultCredentials(environment);
  ComputeService api = service(found.credentials);
  const std::string account = "ana@example.test";
  int before = grantsTo(account);

  firstNetwork(api);
  now += std::chrono::minutes(54);  // six minutes left: still good
  firstNetwork(api);
  EXPECT_EQ(grantsTo(account), before + 1);
  now += std::chrono::minutes(1) + std::chrono::seconds(1);  // under five minutes left
  firstNetwork(api);
  EXPECT_EQ(grantsTo(account), before + 2);

  // The emulator forgets every token: the next call is refused, refreshed once and retried once.
  emulator->admin("DELETE", "auth/tokens");
  EXPECT_EQ(firstNetwork(api), "hub");
  EXPECT_EQ(grantsTo(account), before + 3);
  EXPECT_EQ(apiStatuses(), (std::vector<int>{200, 200, 200, 401, 200}));

  // A refusal that persists is reported after that one retry, not retried again.
  emulator->admin("POST", "faults", {{"path", "/compute/v1/*"}, {"status", 401}, {"times", 5}});
  emulator->admin("DELETE", "requests");
  EXPECT_THAT(testing::failureText<HttpError>([&] { firstNetwork(api); }),
              HasSubstr("HTTP 401 invalid: Injected fault"));
  EXPECT_EQ(grantsTo(account), before + 4);
  EXPECT_EQ(apiStatuses(), (std::vector<int>{401, 401}));
}

TEST_F(CredentialsEndToEnd, NoSecretReachesTheLogOrAnErrorText) {
  testing::LogCapture log;
  std::vector<std::string> texts;
  auto attempt = [&](const std::function<void()>& action) {
    try {
      action();
    } catch (const std::exception& failure) {
      texts.push_back(failure.what());
      texts.push_back(describeFailure(failure));
    }
  };
  GcpLib::sleeper() = [] {};

  // A working token, then an API error while it is in use.
  variables["GOOGLE_APPLICATION_CREDENTIALS"] = keyFile("secret.json", kAccount);
  DefaultCredentials good = findDefaultCredentials(environment);
  std::string token = good.credentials->authorizationHeader().value();
  ComputeService api = service(good.credentials);
  attempt([&] { api.networks().get("p1", "no-such-network").execute(); });
  GcpLib::deletePeering(api, "p1", "no-such-network", "peer");

  // Refused grants: a key the emulator does not know, a wrong client secret.
  variables["GOOGLE_APPLICATION_CREDENTIALS"] = keyFile("unknown.json", "stranger@p1.iam.example");
  ComputeService stranger = service(findDefaultCredentials(environment).credentials);
  attempt([&] { firstNetwork(stranger); });
  GcpLib::deletePeering(stranger, "p1", "hub", "peer");
  variables["GOOGLE_APPLICATION_CREDENTIALS"] =
      dir->write("user.json", userFile("not-the-cli-secret"));
  ComputeService user = service(findDefaultCredentials(environment).credentials);
  attempt([&] { firstNetwork(user); });
  GcpLib::deletePeering(user, "p1", "hub", "peer");

  // A key file that does not parse.
  variables["GOOGLE_APPLICATION_CREDENTIALS"] =
      dir->write("broken.json", R"({"type": "service_account", "private_key": ")" +
                                    testing::sharedRsaKeyPair().privatePem);
  attempt([&] { findDefaultCredentials(environment); });

  for (const std::string& line : log.lines()) texts.push_back(line);
  ASSERT_THAT(texts, ::testing::Contains(HasSubstr("Invalid grant: account not found")));
  ASSERT_THAT(texts, ::testing::Contains(HasSubstr("invalid_client")));
  ASSERT_THAT(texts, ::testing::Contains(HasSubstr("is not a JSON object")));
  ASSERT_THAT(texts, ::testing::Contains(HasSubstr("**Error**")));
  // A JWT (the signed assertion is a credential for an hour) starts with the base64 of {"alg":.
  std::vector<std::string> secrets = {
      token.substr(7), kRefreshToken, "not-the-cli-secret",
      testing::sharedRsaKeyPair().privatePem.substr(
          testing::sharedRsaKeyPair().privatePem.find('\n') + 1, 64),
      "eyJhbGciOi"};
  for (const std::string& text : texts)
    for (const std::string& secret : secrets) {
      EXPECT_THAT(text, Not(HasSubstr(secret)));
      EXPECT_THAT(text, Not(HasSubstr(percentEncode(secret))));
    }
}

}  // namespace
}  // namespace tolmi_gcp
