#include "emulator/auth.hpp"

#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "failure_text.hpp"
#include "test_keys.hpp"
#include "tolmi_gcp/compute/http_transport.hpp"
#include "tolmi_gcp/compute/token_credentials.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/internal/encoding.hpp"

namespace tolmi_gcp::emulator {
namespace {

using std::chrono::seconds;
using ::testing::HasSubstr;

const char* kAccount = "deployer@p1.iam.example";

class EmulatorAuth : public ::testing::Test {
 protected:
  EmulatorAuth()
      : auth(ResourceDocument{{"token_lifetime_seconds", 600},
                              {"service_accounts",
                               {{{"client_email", kAccount},
                                 {"public_key", testing::sharedRsaKeyPair().publicPem}}}},
                              {"authorized_users",
                               {{{"client_id", "cli"},
                                 {"client_secret", "shh"},
                                 {"refresh_token", "r1"},
                                 {"account", "ana@example.test"}}}},
                              {"metadata",
                               {{"project_id", "p1"}, {"service_account", "vm@p1.iam.example"}}}},
             [this] { return now; }) {}

  std::string assertion(ResourceDocument claims, const std::string& privatePem,
                        const std::string& algorithm = "RS256") {
    std::string input =
        base64UrlEncode(ResourceDocument({{"alg", algorithm}, {"typ", "JWT"}}).dump()) + "." +
        base64UrlEncode(claims.dump());
    return input + "." + base64UrlEncode(testing::signRs256(privatePem, input));
  }
  ResourceDocument claims(long long issued, long long expires) {
    return {{"iss", kAccount},
            {"scope", kCloudPlatformScope},
            {"aud", "http://127.0.0.1:1/token"},
            {"iat", issued},
            {"exp", expires}};
  }
  HttpResponse post(const std::string& form) {
    return auth.serve("POST", "/token", {}, {}, form).value_or(HttpResponse{});
  }
  HttpResponse jwtGrant(const std::string& jwt) {
    return post("grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Ajwt-bearer&assertion=" +
                jwt);
  }
  // The access token of a successful grant, or "" for a refusal.
  std::string tokenOf(const HttpResponse& answer) {
    ResourceDocument body = ResourceDocument::parse(answer.body);
    return answer.status == 200 ? body["access_token"].get<std::string>() : "";
  }
  std::string oauthError(const HttpResponse& answer) {
    ResourceDocument body = ResourceDocument::parse(answer.body);
    return std::to_string(answer.status) + " " + textOf(body["error"]) + ": " +
           textOf(valueOr(body, "error_description", ""));
  }
  HeaderList bearer(const std::string& token) { return {{"authorization", "Bearer " + token}}; }

  long long at = 1'700'000'000;
  std::chrono::system_clock::time_point now{seconds(at)};
  Auth auth;
};

TEST_F(EmulatorAuth, ServiceAccountAssertionsAreVerifiedBeforeATokenIsIssued) {
  HttpResponse granted =
      jwtGrant(assertion(claims(at, at + 3600), testing::sharedRsaKeyPair().privatePem));
  EXPECT_EQ(granted.status, 200);
  ResourceDocument body = ResourceDocument::parse(granted.body);
  EXPECT_EQ(body["expires_in"], 600);
  EXPECT_EQ(body["token_type"], "Bearer");
  EXPECT_EQ(auth.refuse(bearer(tokenOf(granted))), std::nullopt);

  std::string bad = "400 invalid_grant: Invalid JWT Signature.";
  std::string other = testing::generateRsaKeyPair(1024).privatePem;
  EXPECT_EQ(oauthError(jwtGrant(assertion(claims(at, at + 3600), other))), bad);
  std::string good = assertion(claims(at, at + 3600), testing::sharedRsaKeyPair().privatePem);
  std::size_t dot = good.find('.');
  std::string tampered = good.substr(0, dot + 1) + base64UrlEncode(claims(at, at + 7200).dump()) +
                         good.substr(good.rfind('.'));
  EXPECT_EQ(oauthError(jwtGrant(tampered)), bad);

  ResourceDocument stranger = claims(at, at + 3600);
  stranger["iss"] = "stranger@p1.iam.example";
  EXPECT_EQ(oauthError(jwtGrant(assertion(stranger, testing::sharedRsaKeyPair().privatePem))),
            "400 invalid_grant: Invalid grant: account not found");
  EXPECT_EQ(oauthError(jwtGrant(
                assertion(claims(at, at + 3600), testing::sharedRsaKeyPair().privatePem, "HS256"))),
            "400 invalid_grant: Invalid JWT: the algorithm must be RS256.");
  EXPECT_EQ(oauthError(jwtGrant("not-a-jwt")),
            "400 invalid_grant: Invalid JWT: the assertion is not a signed JWT.");
  ResourceDocument unscoped = claims(at, at + 3600);
  unscoped.erase("scope");
  EXPECT_THAT(oauthError(jwtGrant(assertion(unscoped, testing::sharedRsaKeyPair().privatePem))),
              HasSubstr("a scope is required"));
  for (auto [issued, expires] : {std::pair{at - 3600, at},        // expired
                                 std::pair{at + 120, at + 3000},  // issued in the future
                                 std::pair{at, at + 3601},        // too long-lived
                                 std::pair{std::numeric_limits<long long>::min(), at + 60}}) {
    EXPECT_THAT(oauthError(jwtGrant(
                    assertion(claims(issued, expires), testing::sharedRsaKeyPair().privatePem))),
                HasSubstr("400 invalid_grant: Invalid JWT: Token must be a short-lived token"))
        << issued << " " << expires;
  }
  EXPECT_EQ(auth.grants(),
            ResourceDocument::parse(R"({"grants": {"deployer@p1.iam.example": 1}})"));
}

TEST_F(EmulatorAuth, RefreshTokenGrantsCheckTheClientAndTheToken) {
  std::string token =
      tokenOf(post("grant_type=refresh_token&client_id=cli&client_secret=shh&refresh_token=r1"));
  EXPECT_EQ(auth.refuse(bearer(token)), std::nullopt);
  EXPECT_EQ(
      oauthError(post("grant_type=refresh_token&client_id=cli&client_secret=no&refresh_token=r1")),
      "401 invalid_client: Unauthorized");
  EXPECT_EQ(
      oauthError(post("grant_type=refresh_token&client_id=cli&client_secret=shh&refresh_token=r2")),
      "400 invalid_grant: Bad Request");
  EXPECT_EQ(oauthError(post("grant_type=password")),
            "400 unsupported_grant_type: Invalid grant_type: password");
  EXPECT_EQ(auth.serve("GET", "/token", {}, {}, "")->status, 405);
  EXPECT_EQ(auth.grants(), ResourceDocument::parse(R"({"grants": {"ana@example.test": 1}})"));
}

TEST_F(EmulatorAuth, ApiCallsNeedALiveTokenIssuedHere) {
  auto reason = [&](const HeaderList& headers) {
    std::optional<HttpResponse> refusal = auth.refuse(headers);
    if (!refusal) return std::string("accepted");
    EXPECT_EQ(refusal->status, 401);
    EXPECT_EQ(refusal->header("www-authenticate"), "Bearer realm=\"https://accounts.google.com/\"");
    ResourceDocument error = ResourceDocument::parse(refusal->body)["error"];
    EXPECT_EQ(error["code"], 401);
    EXPECT_EQ(error["status"], "UNAUTHENTICATED");
    return error["errors"][0]["reason"].get<std::string>();
  };
  EXPECT_EQ(reason({}), "required");
  EXPECT_EQ(reason(bearer("ya29.made-up")), "authError");

  std::string token =
      tokenOf(post("grant_type=refresh_token&client_id=cli&client_secret=shh&refresh_token=r1"));
  EXPECT_EQ(reason({{"Authorization", "bearer " + token}}), "accepted");
  EXPECT_EQ(reason({{"Authorization", "Basic " + token}}), "authError");
  now += seconds(599);
  EXPECT_EQ(reason(bearer(token)), "accepted");
  now += seconds(1);
  EXPECT_EQ(reason(bearer(token)), "authError");

  std::string fresh =
      tokenOf(post("grant_type=refresh_token&client_id=cli&client_secret=shh&refresh_token=r1"));
  EXPECT_EQ(reason(bearer(fresh)), "accepted");
  auth.revokeTokens();
  EXPECT_EQ(reason(bearer(fresh)), "authError");
}

TEST_F(EmulatorAuth, MetadataServerAnswersOnlyWithItsFlavorHeader) {
  HeaderList flavor = {{"Metadata-Flavor", "Google"}};
  std::optional<HttpResponse> project =
      auth.serve("GET", "/computeMetadata/v1/project/project-id", {}, flavor, "");
  ASSERT_TRUE(project);
  EXPECT_EQ(project->body, "p1");
  EXPECT_EQ(project->header("metadata-flavor"), "Google");
  EXPECT_EQ(auth.serve("GET", "/computeMetadata/v1/project/project-id", {}, {}, "")->status, 403);
  EXPECT_EQ(auth.serve("GET", "/computeMetadata/v1/instance/zone", {}, flavor, "")->status, 404);

  std::optional<HttpResponse> token = auth.serve(
      "GET", "/computeMetadata/v1/instance/service-accounts/default/token", {}, flavor, "");
  ASSERT_TRUE(token);
  EXPECT_EQ(token->header("metadata-flavor"), "Google");
  EXPECT_EQ(auth.refuse(bearer(tokenOf(*token))), std::nullopt);
  EXPECT_EQ(auth.grants(), ResourceDocument::parse(R"({"grants": {"vm@p1.iam.example": 1}})"));

  EXPECT_EQ(auth.serve("GET", "/compute/v1/projects/p1/global/networks", {}, flavor, ""),
            std::nullopt);
  Auth plain(nullptr);
  EXPECT_EQ(plain.serve("GET", "/computeMetadata/v1/project/project-id", {}, flavor, ""),
            std::nullopt);
}

TEST(EmulatorAuthConfig, BadSectionsNameTheElement) {
  auto refusal = [](const ResourceDocument& section) {
    return testing::failureText<ConfigError>([&] { Auth auth(section); });
  };
  EXPECT_EQ(refusal({{"users", ResourceDocument::array()}}), "auth.users: unknown key");
  EXPECT_EQ(refusal({{"token_lifetime_seconds", 0}}),
            "auth.token_lifetime_seconds: expected a whole number from 1 to 86400");
  EXPECT_EQ(
      refusal({{"service_accounts", {{{"client_email", "a@b"}, {"public_key", "-----BEGIN"}}}}}),
      "auth.service_accounts[0].public_key: expected an RSA public key in PEM form");
  EXPECT_EQ(refusal({{"authorized_users", {{{"client_id", "c"}, {"client_secret", "s"}}}}}),
            "auth.authorized_users[0].refresh_token: expected a non-empty text");
  EXPECT_EQ(refusal({{"metadata", {{"project", "p"}}}}), "auth.metadata.project: unknown key");
}

}  // namespace
}  // namespace tolmi_gcp::emulator
