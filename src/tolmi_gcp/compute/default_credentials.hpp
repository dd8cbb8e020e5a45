#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/compute/curl_transport.hpp"
#include "tolmi_gcp/compute/token_credentials.hpp"

namespace tolmi_gcp {

// What the credential lookup reads: environment variables (an unset one reads as ""), the
// transports for token endpoints and for the metadata server, and the clock.
struct CredentialsEnvironment {
  std::function<std::string(const std::string&)> variable;
  std::shared_ptr<HttpTransport> tokenTransport;
  std::shared_ptr<HttpTransport>
      metadataTransport;  // short timeouts: off Compute Engine nothing answers
  WallClock clock = std::chrono::system_clock::now;

  // The process's environment, libcurl transports, the system clock.
  static CredentialsEnvironment fromProcess();
};

struct DefaultCredentials {
  std::shared_ptr<Credentials> credentials;
  std::string project;  // "" when nothing names a default project
  std::string origin;   // where the credentials were found, for messages
  std::string kind;     // "service_account", "authorized_user" or "metadata server"
};

// The application-default credentials, looked for in this order: the file that
// GOOGLE_APPLICATION_CREDENTIALS names (named but unusable is an error, not a reason to look
// further); gcloud's application_default_credentials.json in $CLOUDSDK_CONFIG or
// ~/.config/gcloud; the metadata server (GCE_METADATA_HOST or GCE_METADATA_ROOT give its
// host[:port]). The default project is the file's "project_id", else GOOGLE_CLOUD_PROJECT or
// CLOUDSDK_CORE_PROJECT, else gcloud's active configuration, else the metadata server's.
// Throws ConfigError naming the file and the problem for an unusable file, or listing every place
// looked at when nothing is found.
DefaultCredentials findDefaultCredentials(
    const CredentialsEnvironment& environment = CredentialsEnvironment::fromProcess());

// How the handle sends its requests. Rehearsals and tests shorten the waits and the request
// timeout to play faults through in seconds rather than minutes.
struct ServiceOptions {
  RetryPolicy retry = RetryPolicy::standard();
  CurlOptions transport;
  // Reads the library sends ahead at once, each on its own connection (see ReadAhead); 1 sends
  // one request at a time.
  std::size_t maxInFlight = ComputeService::kDefaultMaxInFlight;
};

struct DefaultService {
  std::shared_ptr<ComputeService> service;
  std::string project;  // the default project the credentials name; "" when none does
  // What authorises the requests, for a log: "none (emulator)" or the kind and where it was
  // found. Never a secret.
  std::string credentials;
};

// The handle the way clients find the API. COMPUTE_EMULATOR_HOST=host:port (or an explicit
// loopback `endpoint`) means the emulator: plain HTTP, no credentials, the project from
// GOOGLE_CLOUD_PROJECT or CLOUDSDK_CORE_PROJECT. Otherwise the default endpoint (or the explicit
// one, which must then be https) with the application-default credentials. Throws ConfigError
// naming what is missing or wrong.
DefaultService defaultComputeService(
    const std::optional<std::string>& endpoint = std::nullopt,
    const CredentialsEnvironment& environment = CredentialsEnvironment::fromProcess(),
    const ServiceOptions& options = {});

// What GcpLib::listAllNetwork builds its own handle with: defaultComputeService() unless replaced,
// as tests do to hand it a scripted transport.
std::function<DefaultService()>& defaultServiceFactory();

}  // namespace tolmi_gcp
