// compute-emulator: the Compute Engine API emulator as a local HTTP server.
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <charconv>
#include <iostream>
#include <optional>
#include <string_view>

#include "emulator/emulator.hpp"
#include "emulator/server.hpp"

namespace {

// A positive count, or nullopt.
std::optional<long long> positiveCount(std::string_view text) {
  long long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value <= 0) return std::nullopt;
  return value;
}

// "--quota NAME=N": sets the quota in `quotas`, or says what is wrong.
std::string setQuota(const std::string& given, tolmi_gcp::emulator::QuotaOptions& quotas) {
  std::size_t equals = given.find('=');
  std::string name = given.substr(0, equals);
  std::optional<long long> count =
      equals == std::string::npos ? std::nullopt : positiveCount(given.substr(equals + 1));
  if (!count) return "expected NAME=N with N a positive whole number";
  if (name == "reads-per-minute")
    quotas.readsPerWindow = count;
  else if (name == "writes-per-minute")
    quotas.writesPerWindow = count;
  else
    return "no quota " + name + " (there are reads-per-minute and writes-per-minute)";
  return "";
}

// "--quota-window 60s": a duration in ms, s or m, at most a day.
std::string setWindow(const std::string& given, tolmi_gcp::emulator::QuotaOptions& quotas) {
  const std::string problem = "expected a duration such as 500ms, 60s or 2m, at most a day";
  std::size_t digits = given.find_first_not_of("0123456789");
  if (digits == 0 || digits == std::string::npos) return problem;
  std::string unit = given.substr(digits);
  long long scale = unit == "ms" ? 1 : unit == "s" ? 1000 : unit == "m" ? 60000 : 0;
  long long count = positiveCount(std::string_view(given).substr(0, digits)).value_or(0);
  if (scale == 0 || count == 0 || count > 24LL * 3600 * 1000 / scale) return problem;
  quotas.window = std::chrono::milliseconds(count * scale);
  return "";
}

}  // namespace

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
         "A rate quota per project and window, NAME=N: reads-per-minute (get, list, operation "
         "waits) or writes-per-minute; past it the API's 403 rateLimitExceeded")
      ->type_name("NAME=N");
  app.add_option_function<std::string>(
         "--quota-window",
         [&](const std::string& given) {
           if (std::string problem = setWindow(given, options.quotas); !problem.empty())
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
