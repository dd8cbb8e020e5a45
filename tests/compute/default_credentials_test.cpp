#include "tolmi_gcp/compute/default_credentials.hpp"

#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "failure_text.hpp"
#include "fake_transport.hpp"
#include "temp_dir.hpp"
#include "test_keys.hpp"
#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp {
namespace {

using testing::FakeTransport;
using ::testing::HasSubstr;
using ::testing::Not;

const char* kMetadataRoot = "http://127.0.0.1:1/computeMetadata/v1/";

// The lookup against a scratch directory and a scripted environment: no real home, no real
// metadata server.
class CredentialLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    variables["HOME"] = dir.file("home");
    variables["GCE_METADATA_HOST"] = "127.0.0.1:1";
    environment.variable = [this](const std::string& name) {
      auto it = variables.find(name);
      return it == variables.end() ? std::string() : it->second;
    };
    environment.tokenTransport = tokens;
    environment.metadataTransport = metadata;
  }
  std::string userFile(const std::string& extra = "") {
    return R"({"type": "authorized_user", "client_id": "id", "client_secret": "secret-1",)" +
           extra + R"( "refresh_token": "refresh-1"})";
  }
  std::string gcloudFile() {
    return dir.file("home/.config/gcloud/application_default_credentials.json");
  }

  // Makes the credentials fetch a token: where the request went tells which file they came from.
  void fetchToken(const DefaultCredentials& found) {
    tokens->reply({{"access_token", "t"}});
    found.credentials->authorizationHeader();
  }

  testing::TempDir dir;
  std::map<std::string, std::string> variables;
  std::shared_ptr<FakeTransport> tokens = std::make_shared<FakeTransport>();
  std::shared_ptr<FakeTransport> metadata = std::make_shared<FakeTransport>();
  CredentialsEnvironment environment;
};

TEST_F(CredentialLookup, TheNamedFileComesFirstThenGcloudsFileThenTheMetadataServer) {
  std::string named =
      dir.write("named.json", userFile(R"( "token_uri": "https://named.test/token",)"));
  dir.write("home/.config/gcloud/application_default_credentials.json",
            userFile(R"( "token_uri": "https://gcloud.test/token",)"));
  variables["GOOGLE_CLOUD_PROJECT"] = "proj";

  variables["GOOGLE_APPLICATION_CREDENTIALS"] = named;
  DefaultCredentials found = findDefaultCredentials(environment);
  EXPECT_EQ(found.origin,
            "the credentials file " + named + " (named by GOOGLE_APPLICATION_CREDENTIALS)");
  fetchToken(found);

  variables.erase("GOOGLE_APPLICATION_CREDENTIALS");
  found = findDefaultCredentials(environment);
  EXPECT_EQ(found.origin, "gcloud's credentials file " + gcloudFile());
  fetchToken(found);

  // CLOUDSDK_CONFIG moves gcloud's directory away from the home directory.
  variables["CLOUDSDK_CONFIG"] = dir.file("elsewhere");
  metadata->replyRaw(200, "vm-project", {{"metadata-flavor", "Google"}});
  found = findDefaultCredentials(environment);
  EXPECT_EQ(found.origin, "the metadata server at " + std::string(kMetadataRoot));
  EXPECT_EQ(found.project, "proj");
  metadata->reply({{"access_token", "vm-token"}});
  EXPECT_EQ(found.credentials->authorizationHeader(), "Bearer vm-token");

  EXPECT_EQ(tokens->requests.size(), 2u);
  EXPECT_EQ(tokens->requests[0].url, "https://named.test/token");
  EXPECT_EQ(tokens->requests[1].url, "https://gcloud.test/token");
  EXPECT_EQ(metadata->texts(),
            (std::vector<std::string>{"GET project/project-id",
                                      "GET instance/service-accounts/default/token?scopes="
                                      "https://www.googleapis.com/auth/cloud-platform"}));
}

TEST_F(CredentialLookup, ANamedFileThatCannotBeUsedIsAnErrorNotAFallback) {
  dir.write("home/.config/gcloud/application_default_credentials.json", userFile());
  auto refusal = [&](const std::string& path) {
    variables["GOOGLE_APPLICATION_CREDENTIALS"] = path;
    return testing::failureText<ConfigError>([&] { findDefaultCredentials(environment); });
  };
  std::string missing = dir.file("missing.json");
  EXPECT_EQ(refusal(missing), "the credentials file " + missing +
                                  " (named by GOOGLE_APPLICATION_CREDENTIALS) does not exist");
  EXPECT_EQ(refusal(dir.path().string()), "the credentials file " + dir.path().string() +
                                              " (named by GOOGLE_APPLICATION_CREDENTIALS) is not a "
                                              "regular file");
  std::string big = dir.write("big.json", std::string((1 << 20) + 1, ' '));
  EXPECT_THAT(refusal(big), HasSubstr(" is larger than 1 MiB"));

  // The parser's message would quote the text near the fault: here, part of the secret.
  std::string broken =
      dir.write("broken.json", R"({"type": "authorized_user", "client_secret": "abc-secret-xyz)");
  std::string message = refusal(broken);
  EXPECT_THAT(message, HasSubstr(" is not a JSON object"));
  EXPECT_THAT(message, Not(HasSubstr("secret-xyz")));

  std::string external = dir.write("external.json", R"({"type": "external_account"})");
  EXPECT_THAT(refusal(external),
              HasSubstr(" has the type \"external_account\"; the types understood are "
                        "service_account and authorized_user"));
  std::string untyped = dir.write("untyped.json", "{}");
  EXPECT_THAT(refusal(untyped), HasSubstr(" has no \"type\""));
  std::string incomplete = dir.write("incomplete.json", R"({"type": "authorized_user"})");
  EXPECT_THAT(refusal(incomplete), HasSubstr(" lacks \"client_id\""));

  EXPECT_TRUE(metadata->requests.empty());
  EXPECT_TRUE(tokens->requests.empty());
}

TEST_F(CredentialLookup, NothingFoundListsEveryPlaceLookedAt) {
  metadata->dropConnection("Couldn't connect to server");
  EXPECT_EQ(testing::failureText<ConfigError>([&] { findDefaultCredentials(environment); }),
            "no application-default credentials found; looked at GOOGLE_APPLICATION_CREDENTIALS "
            "(not set), " +
                gcloudFile() +
                " (does not exist), the metadata server at http://127.0.0.1:1/computeMetadata/v1/ "
                "(no answer: Couldn't connect to server). Set GOOGLE_APPLICATION_CREDENTIALS to a "
                "service account key file or run `gcloud auth application-default login`");

  // Something answers, but not a metadata server; and no home directory to look in.
  variables.erase("HOME");
  variables.erase("GCE_METADATA_HOST");
  variables["GCE_METADATA_ROOT"] = "127.0.0.1:2";
  metadata->replyRaw(200, "<html>portal</html>");
  EXPECT_EQ(testing::failureText<ConfigError>([&] { findDefaultCredentials(environment); }),
            "no application-default credentials found; looked at GOOGLE_APPLICATION_CREDENTIALS "
            "(not set), gcloud's application_default_credentials.json (neither CLOUDSDK_CONFIG nor "
            "HOME is set), the metadata server at http://127.0.0.1:2/computeMetadata/v1/ (the "
            "answer (HTTP 200) lacks Metadata-Flavor: Google, so it is no metadata server). Set "
            "GOOGLE_APPLICATION_CREDENTIALS to a service account key file or run `gcloud auth "
            "application-default login`");
}

TEST_F(CredentialLookup, TheDefaultProjectComesFromTheFirstPlaceThatNamesOne) {
  variables["GOOGLE_APPLICATION_CREDENTIALS"] = dir.write(
      "key.json", testing::serviceAccountKeyFile("sa@p", "https://t.test/token",
                                                 testing::sharedRsaKeyPair().privatePem, "from-key")
                      .dump());
  variables["GOOGLE_CLOUD_PROJECT"] = "from-env";
  variables["CLOUDSDK_CORE_PROJECT"] = "from-sdk-env";
  dir.write("home/.config/gcloud/configurations/config_default",
            "[core]\nproject = from-default\n");
  dir.write("home/.config/gcloud/configurations/config_work",
            "[compute]\nproject = not-this\n\n[core]\naccount = a@b\n  project  =  from-work \n");
  auto project = [&] { return findDefaultCredentials(environment).project; };

  EXPECT_EQ(project(), "from-key");
  variables["GOOGLE_APPLICATION_CREDENTIALS"] = dir.write("user.json", userFile());
  EXPECT_EQ(project(), "from-env");
  variables.erase("GOOGLE_CLOUD_PROJECT");
  EXPECT_EQ(project(), "from-sdk-env");
  variables.erase("CLOUDSDK_CORE_PROJECT");
  EXPECT_EQ(project(), "from-default");
  dir.write("home/.config/gcloud/active_config", "work\n");
  EXPECT_EQ(project(), "from-work");
  variables["CLOUDSDK_ACTIVE_CONFIG_NAME"] = "default";
  EXPECT_EQ(project(), "from-default");
  variables["CLOUDSDK_ACTIVE_CONFIG_NAME"] = "../../escape";
  metadata->replyRaw(200, "from-metadata\n", {{"metadata-flavor", "Google"}});
  EXPECT_EQ(project(), "from-metadata");
  metadata->dropConnection();
  EXPECT_EQ(project(), "");
  EXPECT_TRUE(tokens->requests.empty());
}

TEST_F(CredentialLookup, TheServiceGoesToTheEmulatorOrToHttpsWithCredentials) {
  variables["GOOGLE_CLOUD_PROJECT"] = "p1";
  variables["COMPUTE_EMULATOR_HOST"] = "127.0.0.1:8089";
  DefaultService emulated = defaultComputeService(std::nullopt, environment);
  EXPECT_EQ(emulated.service->endpoint(), "http://127.0.0.1:8089/compute/v1/");
  EXPECT_EQ(emulated.project, "p1");
  DefaultService local = defaultComputeService("http://localhost:9/compute/v1", environment);
  EXPECT_EQ(local.service->endpoint(), "http://localhost:9/compute/v1/");

  EXPECT_EQ(testing::failureText<ConfigError>([&] {
              defaultComputeService("http://compute.example.test/compute/v1/", environment);
            }),
            "the endpoint http://compute.example.test/compute/v1/ is neither https nor a loopback "
            "address; credentials go only over https");
  variables.erase("COMPUTE_EMULATOR_HOST");
  metadata->dropConnection();
  EXPECT_THAT(
      testing::failureText<ConfigError>([&] { defaultComputeService(std::nullopt, environment); }),
      HasSubstr("no application-default credentials found"));

  variables["GOOGLE_APPLICATION_CREDENTIALS"] = dir.write("user.json", userFile());
  DefaultService real = defaultComputeService(std::nullopt, environment);
  EXPECT_EQ(real.service->endpoint(), "https://compute.googleapis.com/compute/v1/");
  EXPECT_EQ(real.project, "p1");
  EXPECT_TRUE(tokens->requests.empty());
}

TEST_F(CredentialLookup, TestsMayShortenTheRetryWaitsAndTheRequestTimeout) {
  variables["COMPUTE_EMULATOR_HOST"] = "127.0.0.1:8089";
  DefaultService service = defaultComputeService(std::nullopt, environment);
  const RetryPolicy& standard = service.service->retryPolicy();
  EXPECT_TRUE(standard.enabled);
  EXPECT_EQ(standard.initialBackoff, std::chrono::seconds(1));
  EXPECT_EQ(standard.totalLimit, std::chrono::minutes(5));

  ServiceOptions options{standard.scaled(0.01), {.totalTimeoutMs = 500}};
  DefaultService quick = defaultComputeService(std::nullopt, environment, options);
  EXPECT_EQ(quick.service->retryPolicy().initialBackoff, std::chrono::milliseconds(10));
  EXPECT_EQ(quick.service->retryPolicy().maxBackoff, std::chrono::milliseconds(320));
  EXPECT_EQ(quick.service->retryPolicy().totalLimit, std::chrono::seconds(3));
}

}  // namespace
}  // namespace tolmi_gcp
