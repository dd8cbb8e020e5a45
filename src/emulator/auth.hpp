#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/http_transport.hpp"

namespace tolmi_gcp::emulator {

// The emulator's sign-in: a token endpoint (POST /token) that verifies service-account JWT
// assertions against configured public keys and serves refresh-token grants, the metadata
// server's token and project paths, and the check that an API call carries a token issued here.
// Configured by the topology's "auth" section. Thread-safe.
class Auth {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  // `config` is the "auth" section (null when there is none). Throws ConfigError naming the
  // element that is wrong.
  explicit Auth(const ResourceDocument& config, Clock clock = std::chrono::system_clock::now);
  ~Auth();

  // The answer for the token endpoint or a metadata-server path; nullopt for any other path.
  std::optional<HttpResponse> serve(const std::string& method, const std::string& path,
                                    const QueryList& query, const HeaderList& headers,
                                    const std::string& body);

  // nullopt when `headers` carry "Authorization: Bearer T" with a token issued here that has not
  // expired or been revoked; otherwise the 401 answer with a Google error body.
  std::optional<HttpResponse> refuse(const HeaderList& headers) const;

  // GET /emulator/v1/auth: how many tokens were granted to whom (never the tokens themselves).
  ResourceDocument grants() const;
  // DELETE /emulator/v1/auth/tokens: every issued token stops working, as after a revocation.
  void revokeTokens();

 private:
  struct Config;
  HttpResponse grant(const std::string& body);
  HttpResponse metadata(const std::string& path, const HeaderList& headers);
  HttpResponse issue(const std::string& subject);

  std::unique_ptr<const Config> config_;
  Clock clock_;
  mutable std::mutex mutex_;                                             // guards what follows
  std::map<std::string, std::chrono::system_clock::time_point> tokens_;  // token → expiry
  std::map<std::string, int> grantCounts_;                               // subject → grants
};

}  // namespace tolmi_gcp::emulator
