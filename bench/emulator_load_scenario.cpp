// compute-emulator under kept-alive connections sending at once, each with its own curl handle on
// its own thread: small GETs on one connection, then small GETs and 500-route list pages on four.
// Throughput, latency as each client saw it, and the emulator's CPU per request. The clients share
// the machine's cores with the emulator, so these are figures for this machine, not the
// emulator's ceiling.

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "emulator_process.hpp"
#include "scenarios.hpp"
#include "temp_dir.hpp"

namespace tolmi_gcp::bench {
namespace {

constexpr auto kDuration = std::chrono::seconds(2);

ResourceDocument topology() {
  ResourceDocument routes = ResourceDocument::array();
  for (int i = 0; i < 1000; ++i)
    routes.push_back(
        {{"name", "route-" + std::to_string(i)},
         {"network", "n"},
         {"destRange", "10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".0/24"},
         {"nextHopIp", "10.255.0.1"}});
  return {{"projects", {{"p", {{"networks", {{{"name", "n"}}}}, {"routes", routes}}}}}};
}

// One connection's requests: the latency of each, in microseconds.
std::vector<double> sendFor(const std::string& url, std::chrono::steady_clock::time_point end,
                            std::atomic<bool>& failed) {
  std::vector<double> latencies;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discardBody);
  while (!failed && std::chrono::steady_clock::now() < end) {
    auto start = std::chrono::steady_clock::now();
    long code = 0;
    if (curl_easy_perform(curl) != CURLE_OK ||
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK || code != 200)
      failed = true;
    std::chrono::duration<double, std::micro> latency = std::chrono::steady_clock::now() - start;
    latencies.push_back(latency.count());
  }
  curl_easy_cleanup(curl);
  return latencies;
}

void load(Table& table, const testing::EmulatorProcess& emulator, int connectionCount,
          const std::string& what, const std::string& path) {
  std::string url = emulator.endpoint() + path;
  std::vector<std::vector<double>> perConnection(static_cast<std::size_t>(connectionCount));
  std::atomic<bool> failed = false;
  double cpu = processCpuSeconds(emulator.pid());
  auto start = std::chrono::steady_clock::now();
  {
    std::vector<std::jthread> connections;
    for (auto& latencies : perConnection)
      connections.emplace_back(
          [&, end = start + kDuration] { latencies = sendFor(url, end, failed); });
  }
  std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  cpu = processCpuSeconds(emulator.pid()) - cpu;
  if (failed) throw std::runtime_error("a request under load failed: GET " + url);
  std::vector<double> latencies;
  for (const auto& one : perConnection) latencies.insert(latencies.end(), one.begin(), one.end());
  double requests = static_cast<double>(latencies.size());
  std::string name = "compute-emulator, " + std::to_string(connectionCount) +
                     (connectionCount == 1 ? " connection, " : " connections, ") + what;
  table.add(name, "throughput", number(requests / wall.count(), 0, "requests/s"));
  table.add(name, "latency, median", number(percentile(latencies, 0.5) / 1000, 3, "ms"));
  table.add(name, "latency, 99th percentile", number(percentile(latencies, 0.99) / 1000, 3, "ms"));
  table.add(name, "emulator CPU per request", number(cpu / requests * 1e6, 1, "us"));
}

}  // namespace

void emulatorUnderLoad(Table& table) {
  progress("compute-emulator under 1 and 4 connections");
  testing::TempDir dir;
  testing::EmulatorProcess emulator(TOLMI_EMULATOR_PATH,
                                    dir.write("topology.json", topology().dump()));
  load(table, emulator, 1, "small GET", "projects/p/global/routes/route-7");
  load(table, emulator, 4, "small GET", "projects/p/global/routes/route-7");
  load(table, emulator, 4, "500-route page", "projects/p/global/routes?maxResults=500");
}

}  // namespace tolmi_gcp::bench
