#include "tolmi_gcp/compute/token_credentials.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "failure_text.hpp"
#include "fake_transport.hpp"
#include "test_keys.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/internal/encoding.hpp"

namespace tolmi_gcp {
namespace {

using std::chrono::seconds;
using testing::FakeTransport;
using ::testing::HasSubstr;
using ::testing::Not;

const char* kTokenUri = "https://oauth2.example.test/token";

class TokenSources : public ::testing::Test {
 protected:
  std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
  std::chrono::system_clock::time_point now{seconds(1'700'000'000)};
  WallClock clock = [this] { return now; };
  ResourceDocument userFile = {{"type", "authorized_user"},
                               {"client_id", "client-1.apps"},
                               {"client_secret", "s3cret&=+"},
                               {"refresh_token", "1//refresh-abc"}};
};

TEST_F(TokenSources, ServiceAccountSignsAnAssertionAndExchangesIt) {
  auto source =
      serviceAccountSource(testing::serviceAccountKeyFile("sa@p.iam.example", kTokenUri,
                                                          testing::sharedRsaKeyPair().privatePem),
                           "key.json", transport, clock);
  transport->reply(
      {{"access_token", "ya29.first"}, {"expires_in", 1800}, {"token_type", "Bearer"}});

  AccessToken token = source->fetch();
  EXPECT_EQ(token.value, "ya29.first");
  EXPECT_EQ(token.expiry, now + seconds(1800));

  ASSERT_EQ(transport->requests.size(), 1u);
  const auto& request = transport->requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url, kTokenUri);
  EXPECT_THAT(request.headers, ::testing::Contains(std::pair<std::string, std::string>(
                                   "Content-Type", "application/x-www-form-urlencoded")));
  std::string prefix =
      "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Ajwt-bearer&assertion=";
  ASSERT_EQ(request.body.rfind(prefix, 0), 0u) << request.body;
  std::string assertion = request.body.substr(prefix.size());

  std::size_t firstDot = assertion.find('.');
  std::size_t lastDot = assertion.rfind('.');
  ASSERT_NE(firstDot, lastDot);
  auto header = base64UrlDecode(assertion.substr(0, firstDot));
  auto claims = base64UrlDecode(assertion.substr(firstDot + 1, lastDot - firstDot - 1));
  auto signature = base64UrlDecode(assertion.substr(lastDot + 1));
  ASSERT_TRUE(header && claims && signature);
  EXPECT_EQ(ResourceDocument::parse(*header),
            ResourceDocument::parse(R"({"alg":"RS256","typ":"JWT","kid":"0123456789abcdef"})"));
  EXPECT_EQ(ResourceDocument::parse(*claims),
            ResourceDocument({{"iss", "sa@p.iam.example"},
                              {"scope", "https://www.googleapis.com/auth/cloud-platform"},
                              {"aud", kTokenUri},
                              {"iat", 1'700'000'000},
                              {"exp", 1'700'003'600}}));
  std::string signingInput = assertion.substr(0, lastDot);
  EXPECT_TRUE(
      testing::verifyRs256(testing::sharedRsaKeyPair().publicPem, signingInput, *signature));
  EXPECT_FALSE(
      testing::verifyRs256(testing::generateRsaKeyPair(1024).publicPem, signingInput, *signature));
}

TEST_F(TokenSources, AuthorizedUserAndMetadataRequests) {
  auto user = authorizedUserSource(userFile, "adc.json", transport, clock);
  transport->reply({{"access_token", "ya29.user"}});
  AccessToken token = user->fetch();
  EXPECT_EQ(token.value, "ya29.user");
  EXPECT_EQ(token.expiry, now + seconds(3600));  // no expires_in: an hour

  auto metadata = metadataSource("http://127.0.0.1:9/computeMetadata/v1/", transport, clock);
  transport->reply({{"access_token", "ya29.vm"}, {"expires_in", 3599}});
  EXPECT_EQ(metadata->fetch().value, "ya29.vm");

  ASSERT_EQ(transport->requests.size(), 2u);
  EXPECT_EQ(transport->requests[0].url, "https://oauth2.googleapis.com/token");
  EXPECT_EQ(transport->requests[0].body,
            "grant_type=refresh_token&client_id=client-1.apps&client_secret=s3cret%26%3D%2B"
            "&refresh_token=1%2F%2Frefresh-abc");
  EXPECT_EQ(transport->requests[1].url,
            "http://127.0.0.1:9/computeMetadata/v1/instance/service-accounts/default/token"
            "?scopes=https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fcloud-platform");
  EXPECT_EQ(transport->requests[1].method, "GET");
  EXPECT_EQ(transport->requests[1].headers, (HeaderList{{"Metadata-Flavor", "Google"}}));

  // A lifetime out of all reason is bounded to a day; a negative one means already expired.
  transport->reply({{"access_token", "t"}, {"expires_in", 9'000'000'000'000'000'000LL}});
  EXPECT_EQ(user->fetch().expiry, now + std::chrono::hours(24));
  transport->reply({{"access_token", "t"}, {"expires_in", -60}});
  EXPECT_EQ(user->fetch().expiry, now);
}

TEST_F(TokenSources, RefusalsAndBadAnswersNameTheCredentialsButNoSecret) {
  auto user = authorizedUserSource(userFile, "adc.json", transport, clock);

  transport->reply({{"error", "invalid_grant"}, {"error_description", "Token has been revoked."}},
                   400);
  try {
    user->fetch();
    ADD_FAILURE() << "no failure";
  } catch (const HttpError& failure) {
    EXPECT_EQ(failure.status(), 400);
    EXPECT_EQ(failure.reason(), "invalid_grant");
    EXPECT_EQ(std::string(failure.what()),
              "HTTP 400 invalid_grant: the token request for user credentials (adc.json) was "
              "refused: Token has been revoked. [POST https://oauth2.googleapis.com/token]");
  }

  // An answer that echoes the request is not quoted: it carries the refresh token.
  transport->replyRaw(502, "bad gateway for grant_type=refresh_token&refresh_token=1//refresh-abc");
  std::string echoed = testing::failureText([&] { user->fetch(); });
  EXPECT_THAT(echoed,
              HasSubstr("HTTP 502: the token request for user credentials (adc.json) was refused"));

  transport->reply({{"token_type", "Bearer"}});
  std::string empty = testing::failureText([&] { user->fetch(); });
  EXPECT_THAT(empty, HasSubstr("holds no access_token"));

  transport->dropConnection("connection refused");
  std::string dropped = testing::failureText([&] { user->fetch(); });
  EXPECT_EQ(dropped,
            "cannot obtain an access token for user credentials (adc.json): connection refused");

  for (const std::string& text : {echoed, empty, dropped}) {
    EXPECT_THAT(text, Not(HasSubstr("refresh-abc")));
    EXPECT_THAT(text, Not(HasSubstr("s3cret")));
  }
}

// A token endpoint that echoes the request in its error text shows only the code and the rest of
// its message: the assertion, refresh token and secret are redacted, whole or in part.
TEST_F(TokenSources, EchoedRequestsAreRedactedFromRefusals) {
  auto user = authorizedUserSource(userFile, "adc.json", transport, clock);
  auto account =
      serviceAccountSource(testing::serviceAccountKeyFile("sa@p.iam.example", kTokenUri,
                                                          testing::sharedRsaKeyPair().privatePem),
                           "key.json", transport, clock);
  for (TokenSource* source : {user.get(), account.get()}) {
    transport->reply({{"access_token", "t"}});
    source->fetch();
    const std::string sent = transport->requests.back().body;
    const std::string secret = sent.substr(sent.rfind('=') + 1);
    for (const ResourceDocument& answer :
         {ResourceDocument{{"error", "invalid_request"}, {"error_description", "echo " + sent}},
          ResourceDocument{{"error", sent}},
          ResourceDocument{{"error", {{"message", "bad " + secret.substr(0, 20)}}}}}) {
      transport->reply(answer, 400);
      std::string text = testing::failureText([&] { source->fetch(); });
      EXPECT_THAT(text, Not(HasSubstr(secret.substr(0, 10)))) << text;
      EXPECT_THAT(text, Not(HasSubstr("s3cret"))) << text;
      EXPECT_THAT(text, HasSubstr("[redacted]")) << text;
    }
  }
}

TEST_F(TokenSources, UnusableFilesAreRefusedBeforeAnyRequest) {
  ResourceDocument key =
      testing::serviceAccountKeyFile("sa@p", kTokenUri, testing::sharedRsaKeyPair().privatePem);
  auto refusal = [&](ResourceDocument file) {
    return testing::failureText([&] {
      if (file["type"] == "service_account")
        serviceAccountSource(file, "key.json", transport, clock);
      else
        authorizedUserSource(file, "adc.json", transport, clock);
    });
  };

  ResourceDocument noEmail = key;
  noEmail.erase("client_email");
  EXPECT_EQ(refusal(noEmail), "key.json lacks \"client_email\" (a non-empty text)");
  ResourceDocument noSecret = userFile;
  noSecret["client_secret"] = "";
  EXPECT_EQ(refusal(noSecret), "adc.json lacks \"client_secret\" (a non-empty text)");

  std::string notRsa = "the \"private_key\" of key.json is not an RSA private key in PEM form";
  ResourceDocument garbled = key;
  std::string pem = testing::sharedRsaKeyPair().privatePem;
  garbled["private_key"] = pem.substr(0, pem.size() / 2);
  EXPECT_EQ(refusal(garbled), notRsa);

  // An encrypted key must fail, not wait for a passphrase on the terminal.
  ResourceDocument encrypted = key;
  encrypted["private_key"] = testing::encryptedPem(pem, "passphrase");
  EXPECT_EQ(refusal(encrypted), notRsa);
  ResourceDocument ec = key;
  ec["private_key"] = testing::ecPrivatePem();
  EXPECT_EQ(refusal(ec), notRsa);

  ResourceDocument plainHttp = userFile;
  plainHttp["token_uri"] = "http://tokens.example.test/token";
  EXPECT_EQ(refusal(plainHttp),
            "adc.json names the token_uri http://tokens.example.test/token, which is neither https "
            "nor a loopback address");
  plainHttp["token_uri"] = "http://127.0.0.1:8080/token";
  EXPECT_NO_THROW(authorizedUserSource(plainHttp, "adc.json", transport, clock));

  EXPECT_TRUE(transport->requests.empty());
}

TEST(TokenCredentials, CachesUntilFiveMinutesBeforeExpiryAndRefreshesWhenInvalidated) {
  auto transport = std::make_shared<FakeTransport>();
  std::chrono::system_clock::time_point now{seconds(1'000'000)};
  WallClock clock = [&] { return now; };
  ResourceDocument file = {{"type", "authorized_user"},
                           {"client_id", "c"},
                           {"client_secret", "s"},
                           {"refresh_token", "r"}};
  TokenCredentials credentials(authorizedUserSource(file, "adc.json", transport, clock), clock);
  transport->reply({{"access_token", "t1"}, {"expires_in", 3600}});
  transport->reply({{"access_token", "t2"}, {"expires_in", 3600}});
  transport->reply({{"access_token", "t3"}, {"expires_in", 3600}});

  EXPECT_EQ(credentials.authorizationHeader(), "Bearer t1");
  now += seconds(3600 - 301);
  EXPECT_EQ(credentials.authorizationHeader(), "Bearer t1");
  EXPECT_EQ(transport->requests.size(), 1u);
  now += seconds(1);  // exactly five minutes left
  EXPECT_EQ(credentials.authorizationHeader(), "Bearer t2");
  EXPECT_EQ(credentials.authorizationHeader(), "Bearer t2");
  credentials.invalidate();
  EXPECT_EQ(credentials.authorizationHeader(), "Bearer t3");
  EXPECT_EQ(transport->requests.size(), 3u);
}

TEST(UrlHelpers, LoopbackUrls) {
  for (const char* url : {"http://127.0.0.1:8080/token", "https://127.255.0.1/", "http://localhost",
                          "HTTP://LOCALHOST:99/x", "http://[::1]:8080/compute/v1/", "http://[::1]"})
    EXPECT_TRUE(isLoopbackUrl(url)) << url;
  for (const char* url :
       {"http://128.0.0.1/", "http://127.0.0.1.example.test/", "http://localhost.example.test/",
        "http://127.0.0.1@evil.example.test/", "http://[::2]/", "ftp://127.0.0.1/", "127.0.0.1:80",
        "http://[::1]evil/", "http://127.1/"})
    EXPECT_FALSE(isLoopbackUrl(url)) << url;
}

TEST(UrlHelpers, Base64UrlRoundTripsAndRejectsForeignText) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  for (std::size_t length : {0u, 1u, 2u, 3u, 4u, 5u, 256u}) {
    std::string encoded = base64UrlEncode(bytes.substr(0, length));
    EXPECT_EQ(encoded.find_first_of("+/="), std::string::npos) << encoded;
    EXPECT_EQ(base64UrlDecode(encoded), bytes.substr(0, length));
  }
  EXPECT_EQ(base64UrlEncode("\xfb\xff"), "-_8");
  EXPECT_EQ(base64UrlDecode("-_8"), "\xfb\xff");
  EXPECT_EQ(base64UrlDecode("ab+c"), std::nullopt);
  EXPECT_EQ(base64UrlDecode("abcd="), std::nullopt);
  EXPECT_EQ(base64UrlDecode("abcde"), std::nullopt);
}

}  // namespace
}  // namespace tolmi_gcp
