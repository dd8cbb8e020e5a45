#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/api_limits.hpp"
#include "tolmi_gcp/compute/http_transport.hpp"
#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp::emulator {

// Rate quotas per project and window, none unless given; per-network quotas, on at the API's
// defaults.
struct QuotaOptions {
  std::optional<long long> readsPerWindow;   // get, list and operation waits
  std::optional<long long> writesPerWindow;  // every other method
  std::chrono::milliseconds window{60000};   // the API's minute
  long long routesPerNetwork = api_limits::kStaticRoutesPerNetwork;  // static routes of a network
  long long peeringsPerNetwork = api_limits::kPeeringsPerNetwork;
  // Of a network and its directly peered networks.
  long long staticRoutesPerPeeringGroup = api_limits::kStaticRoutesPerPeeringGroup;
};

struct Options {
  int operationDelayMs = 0;  // PENDING → RUNNING → DONE over this time; 0: DONE at once
  int waitTimeoutMs = 2000;  // how long operations.wait holds a request open
  bool requireAuth = false;
  int latencyMs = 0;            // every answer to an API call comes this much later
  bool journalAnswers = false;  // journal entries carry the answer too ("answer")
  QuotaOptions quotas = {};
};

// The time operations run by; tests pass a clock they move by hand.
using Clock = std::chrono::steady_clock;
using Now = std::function<Clock::time_point()>;

// Thrown by Emulator::handle when an injected fault drops the connection: the server closes it
// before a complete answer, the in-process transport passes it on as the TransportError it is.
class ConnectionDropped : public TransportError {
 public:
  using TransportError::TransportError;
};

// A stateful Compute Engine API v1 emulator: the resources of a topology, the API methods over
// them, the admin endpoints (state, journal, faults, reset). Thread-safe: the HTTP server calls
// handle() from several connections at once.
class Emulator {
 public:
  // `topology` is a parsed topology document; throws ConfigError naming the path of a bad element.
  explicit Emulator(const ResourceDocument& topology, Options options = {}, Now now = Clock::now);
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Reads a topology file (YAML or JSON); throws ConfigError naming file, element and problem.
  static ResourceDocument loadTopology(const std::string& path);

  // Handles one request. `path` is the URL path as sent, e.g.
  // "/compute/v1/projects/p/global/networks" or "/emulator/v1/state"; `query` holds decoded values.
  // Throws ConnectionDropped for an injected dropped connection; every other problem is an HTTP
  // answer.
  HttpResponse handle(const std::string& method, const std::string& path, const QueryList& query,
                      const HeaderList& headers, const std::string& body);

  // The same documents as GET /emulator/v1/state and GET /emulator/v1/requests.
  ResourceDocument state() const;
  ResourceDocument journal() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The emulator as an HttpTransport, for fast tests without sockets.
class InProcessTransport : public HttpTransport {
 public:
  explicit InProcessTransport(std::shared_ptr<Emulator> emulator);
  HttpResponse send(const HttpRequest& request) override;

 private:
  std::shared_ptr<Emulator> emulator_;
};

}  // namespace tolmi_gcp::emulator
