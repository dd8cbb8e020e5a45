// Each kind of application-default credentials against compute-emulator --require-auth, over
// real HTTP: the lookup, the token grant, the API call, refresh and retry, and what reaches the
// log and error texts.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "failure_text.hpp"
#include "log_capture.hpp"
#include "test_keys.hpp"
#include "tolmi_gcp/compute/curl_transport.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/res/Globals.hpp"

extern char** environ;

namespace tolmi_gcp {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

const char* kAccount = "deployer@p1.iam.example";
const char* kRefreshToken = "1//refresh-token-of-ana";
const char* kClientSecret = "client-secret-of-the-cli";

// compute-emulator as a child process on a free loopback port; stopped with SIGTERM.
class EmulatorProcess {
 public:
  EmulatorProcess(const std::string& topology, const std::vector<std::string>& flags) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> args = {TOLMI_BINARY_DIR "/compute-emulator", "--topology", topology};
    args.insert(args.end(), flags.begin(), flags.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) throw std::runtime_error("cannot start compute-emulator");
    FILE* output = fdopen(out[0], "r");
    char line[256] = {};
    bool read = std::fgets(line, sizeof line, output) != nullptr;
    std::fclose(output);
    std::string first = read ? line : "";
    const std::string prefix = "listening on ";
    if (first.rfind(prefix, 0) != 0) throw std::runtime_error("compute-emulator said: " + first);
    url_ = first.substr(prefix.size(), first.find_last_not_of("\r\n") + 1 - prefix.size());
  }
  ~EmulatorProcess() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  const std::string& url() const { return url_; }  // "http://127.0.0.1:PORT"

 private:
  pid_t pid_ = 0;
  std::string url_;
};

class CredentialsEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "tolmi-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = new fs::path(pattern);
    ResourceDocument topology = {
        {"projects", {{"p1", {{"networks", {{{"name", "hub"}}}}}}}},
        {"auth",
         {{"service_accounts",
           {{{"client_email", kAccount}, {"public_key", testing::sharedRsaKeyPair().publicPem}}}},
          {"authorized_users",
           {{{"client_id", "cli.apps.example"},
             {"client_secret", kClientSecret},
             {"refresh_token", kRefreshToken},
             {"account", "ana@example.test"}}}},
          {"metadata", {{"project_id", "p1"}, {"service_account", "vm@p1.iam.example"}}}}}};
    std::ofstream(*dir / "topology.json") << topology.dump(2);
    emulator = new EmulatorProcess((*dir / "topology.json").string(), {"--require-auth"});
  }
  static void TearDownTestSuite() {
    delete emulator;
    fs::remove_all(*dir);
    delete dir;
  }

  void SetUp() override {
    Globals::reset();
    environment = CredentialsEnvironment::fromProcess();
    variables["HOME"] = (*dir / "home").string();
    variables["GCE_METADATA_HOST"] = emulator->url().substr(7);
    environment.variable = [this](const std::string& name) {
      auto it = variables.find(name);
      return it == variables.end() ? std::string() : it->second;
    };
    environment.clock = [this] { return now; };
    admin("DELETE", "requests");
    admin("DELETE", "faults");
  }

  std::string write(const std::string& name, const std::string& text) {
    fs::path path = *dir / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
    return path.string();
  }
  std::string keyFile(const std::string& name, const std::string& email) {
    return write(name, testing::serviceAccountKeyFile(email, emulator->url() + "/token",
                                                      testing::sharedRsaKeyPair().privatePem, "p1")
                           .dump());
  }
  std::string userFile(const std::string& secret) {
    return ResourceDocument({{"type", "authorized_user"},
                             {"client_id", "cli.apps.example"},
                             {"client_secret", secret},
                             {"refresh_token", kRefreshToken},
                             {"token_uri", emulator->url() + "/token"}})
        .dump();
  }

  ResourceDocument admin(const std::string& method, const std::string& path,
                         const std::string& body = "") {
    HttpRequest request{method, emulator->url() + "/emulator/v1/", path, {}, {}, body};
    return ResourceDocument::parse(adminTransport->send(request).body);
  }
  int grantsTo(const std::string& account) {
    ResourceDocument grants = admin("GET", "auth")["grants"];
    return grants.contains(account) ? grants[account].get<int>() : 0;
  }
  std::vector<int> apiStatuses() {
    std::vector<int> statuses;
    ResourceDocument journal = admin("GET", "requests");
    for (const ResourceDocument& entry : journal["requests"])
      statuses.push_back(entry["status"].get<int>());
    return statuses;
  }

  ComputeService service(std::shared_ptr<Credentials> credentials) {
    return ComputeService(makeCurlTransport(), emulator->url() + "/compute/v1/",
                          std::move(credentials));
  }
  std::string firstNetwork(const ComputeService& api) {
    return api.networks().list("p1").execute()["items"][0]["name"].get<std::string>();
  }

  inline static fs::path* dir = nullptr;
  inline static EmulatorProcess* emulator = nullptr;
  std::shared_ptr<HttpTransport> adminTransport = makeCurlTransport();
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
  write("home/.config/gcloud/application_default_credentials.json", userFile(kClientSecret));
  write("home/.config/gcloud/configurations/config_default", "[core]\nproject = p1\n");
  DefaultCredentials user = findDefaultCredentials(environment);
  EXPECT_EQ(user.project, "p1");
  EXPECT_EQ(firstNetwork(service(user.credentials)), "hub");
  EXPECT_EQ(grantsTo("ana@example.test"), userGrants + 1);

  variables["CLOUDSDK_CONFIG"] = (*dir / "empty-gcloud").string();
  DefaultCredentials metadata = findDefaultCredentials(environment);
  EXPECT_EQ(metadata.origin, "the metadata server at " + emulator->url() + "/computeMetadata/v1/");
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
  variables["GOOGLE_APPLICATION_CREDENTIALS"] = write("refresh.json", userFile(kClientSecret));
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
  admin("DELETE", "auth/tokens");
  EXPECT_EQ(firstNetwork(api), "hub");
  EXPECT_EQ(grantsTo(account), before + 3);
  EXPECT_EQ(apiStatuses(), (std::vector<int>{200, 200, 200, 401, 200}));

  // A refusal that persists is reported after that one retry, not retried again.
  admin("POST", "faults", R"({"path": "/compute/v1/*", "status": 401, "times": 5})");
  admin("DELETE", "requests");
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
  variables["GOOGLE_APPLICATION_CREDENTIALS"] = write("user.json", userFile("not-the-cli-secret"));
  ComputeService user = service(findDefaultCredentials(environment).credentials);
  attempt([&] { firstNetwork(user); });
  GcpLib::deletePeering(user, "p1", "hub", "peer");

  // A key file that does not parse.
  variables["GOOGLE_APPLICATION_CREDENTIALS"] =
      write("broken.json", R"({"type": "service_account", "private_key": ")" +
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
