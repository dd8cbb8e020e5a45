#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/credentials.hpp"
#include "tolmi_gcp/compute/http_transport.hpp"

namespace tolmi_gcp {

// The one scope every token is asked for.
inline constexpr const char* kCloudPlatformScope = "https://www.googleapis.com/auth/cloud-platform";

// Google's token endpoint, for credential files that name none.
inline constexpr const char* kGoogleTokenUri = "https://oauth2.googleapis.com/token";

using WallClock = std::function<std::chrono::system_clock::time_point()>;

// An OAuth 2.0 access token and the moment it stops being valid.
struct AccessToken {
  std::string value;
  std::chrono::system_clock::time_point expiry;
};

// One kind of credential: obtains a fresh access token each time it is asked.
class TokenSource {
 public:
  virtual ~TokenSource() = default;
  // Throws HttpError when the token endpoint refuses, TransportError when nothing answers. Neither
  // message carries a token, a refresh token or a key.
  virtual AccessToken fetch() = 0;
};

// Hands out "Bearer <token>" from a cached token, fetching a new one on first use, five minutes
// before the cached one expires, and after invalidate(). Safe to share between threads.
class TokenCredentials : public Credentials {
 public:
  static constexpr std::chrono::minutes kRefreshSlack{5};

  explicit TokenCredentials(std::unique_ptr<TokenSource> source,
                            WallClock clock = std::chrono::system_clock::now);

  std::optional<std::string> authorizationHeader() override;
  void invalidate() override;

 private:
  std::unique_ptr<TokenSource> source_;
  WallClock clock_;
  std::mutex mutex_;
  std::optional<AccessToken> token_;
};

// A credentials file of "type": "service_account": each fetch signs a JWT assertion with the key
// (RS256) and exchanges it at the key's "token_uri". `origin` names the file in error messages.
// Throws ConfigError when a field is missing, the key is not an RSA private key in PEM form, or the
// token_uri could expose the assertion (not https and not loopback).
std::unique_ptr<TokenSource> serviceAccountSource(const ResourceDocument& key,
                                                  const std::string& origin,
                                                  std::shared_ptr<HttpTransport> transport,
                                                  WallClock clock = std::chrono::system_clock::now);

// A credentials file of "type": "authorized_user" (gcloud's user login): the refresh-token grant at
// its "token_uri", Google's when absent. Throws ConfigError as serviceAccountSource does.
std::unique_ptr<TokenSource> authorizedUserSource(const ResourceDocument& file,
                                                  const std::string& origin,
                                                  std::shared_ptr<HttpTransport> transport,
                                                  WallClock clock = std::chrono::system_clock::now);

// The metadata server's token for the instance's default service account. `root` is the server's
// "http://HOST/computeMetadata/v1/".
std::unique_ptr<TokenSource> metadataSource(std::string root,
                                            std::shared_ptr<HttpTransport> transport,
                                            WallClock clock = std::chrono::system_clock::now);

}  // namespace tolmi_gcp
