#include "tolmi_gcp/compute/default_credentials.hpp"

#include <cstdlib>

#include "tolmi_gcp/compute/curl_transport.hpp"
#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp {

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

DefaultService defaultComputeService(const std::optional<std::string>& endpoint) {
  std::string emulatorHost = env("COMPUTE_EMULATOR_HOST");
  if (endpoint || !emulatorHost.empty()) {
    std::string root = endpoint ? *endpoint : "http://" + emulatorHost + "/compute/v1/";
    std::string project = env("GOOGLE_CLOUD_PROJECT");
    if (project.empty()) project = env("CLOUDSDK_CORE_PROJECT");
    return {std::make_shared<ComputeService>(makeCurlTransport(), root,
                                             std::make_shared<AnonymousCredentials>()),
            project};
  }
  // The application-default chain (key files, gcloud's file, the metadata server) comes with the
  // credentials work; until then only the emulator and explicit endpoints are reachable.
  throw ConfigError(
      "no application-default credentials: set COMPUTE_EMULATOR_HOST or pass an endpoint");
}

std::function<DefaultService()>& defaultServiceFactory() {
  static std::function<DefaultService()> factory = [] { return defaultComputeService(); };
  return factory;
}

}  // namespace tolmi_gcp
