#pragma once

#include <optional>
#include <string>

namespace tolmi_gcp {

// Hands out the Authorization header for API requests.
class Credentials {
 public:
  virtual ~Credentials() = default;
  // The header value ("Bearer ..."), or nullopt to send none.
  virtual std::optional<std::string> authorizationHeader() = 0;
  // The API refused the current token (401): drop it so the next call fetches a fresh one.
  virtual void invalidate() {}
};

// Sends no credentials; used against compute-emulator.
class AnonymousCredentials : public Credentials {
 public:
  std::optional<std::string> authorizationHeader() override { return std::nullopt; }
};

}  // namespace tolmi_gcp
