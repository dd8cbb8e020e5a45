// compute-emulator: the Compute Engine API emulator as a local HTTP server.
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <iostream>

#include "emulator/emulator.hpp"
#include "emulator/quotas.hpp"
#include "emulator/server.hpp"

int main(int argc, char** argv) {
  using namespace tolmi_gcp::emulator;
  CLI::App app("A local, stateful emulator of the Compute Engine API v1 subset",
               "compute-emulator");
  std::string topology;
  std::string host = "127.0.0.1";
  int port = 0;
  Options options;
  app.add_option("--topology", topology, "Topology file (YAML or JSON)")->required();
  app.add_option("--host", host, "Address to listen on")->capture_default_str();
  app.add_option("--port", port, "Port to listen on; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--operation-delay-ms", options.operationDelayMs,
                 "Time an operation takes from PENDING to DONE")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--wait-timeout-ms", options.waitTimeoutMs,
                 "Longest time operations.wait holds a request")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--latency-ms", options.latencyMs, "Time every API answer takes")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option_function<std::vector<std::string>>(
         "--quota",
         [&](const std::vector<std::string>& given) {
           for (const std::string& quota : given)
             if (std::string problem = setQuota(quota, options.quotas); !problem.empty())
               throw CLI::ValidationError("--quota " + quota, problem);
         },
         "A quota, NAME=N: per network routes-per-network (200), peerings-per-network (25) and "
         "static-routes-per-peering-group (300), past which a change's operation ends in "
         "QUOTA_EXCEEDED; per project and window reads-per-minute (get, list, operation waits) "
         "and writes-per-minute, off unless given, past which the API's 403 rateLimitExceeded")
      ->type_name("NAME=N");
  app.add_option_function<std::string>(
         "--quota-window",
         [&](const std::string& given) {
           if (std::string problem = setQuotaWindow(given, options.quotas); !problem.empty())
             throw CLI::ValidationError("--quota-window " + given, problem);
         },
         "The window rate quotas count in (default 60s, the API's minute)")
      ->type_name("DURATION");
  app.add_flag("--require-auth", options.requireAuth,
               "Require a bearer token issued by this emulator on API calls");
  app.set_version_flag("--version", std::string("compute-emulator ") + TOLMI_GCP_VERSION);
  CLI11_PARSE(app, argc, argv);

  // Signals are taken by sigwait below, never by the server's threads.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    auto emulator = std::make_shared<Emulator>(Emulator::loadTopology(topology), options);
    Server server(emulator, host, port);
    std::cout << "listening on http://" << host << ":" << server.port() << std::endl;
    int signal = 0;
    sigwait(&stopSignals, &signal);
    return 0;
  } catch (const std::exception& failure) {
    std::cerr << "compute-emulator: " << failure.what() << std::endl;
    return 2;
  }
}
