// The discovery report of a large project, end to end: listAllNetwork against compute-emulator
// over loopback HTTP, beside a floor, a bare keep-alive client that sends the very same requests
// (taken from the emulator's journal) and neither parses nor logs. The ratio of the two is the
// library's own cost. Each run is a fresh process so that its peak memory is its own.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <log4cplus/initializer.h>

#include "cli/output.hpp"
#include "emulator_process.hpp"
#include "scenarios.hpp"
#include "temp_dir.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"
#include "tolmi_gcp/compute/http_transport.hpp"
#include "tolmi_gcp/gcplib.hpp"

namespace tolmi_gcp::bench {
namespace {

namespace fs = std::filesystem;

const char* kProject = "bench-proj";

// What one measured process reports on its standard output.
struct Measure {
  double wallSeconds = 0;
  double cpuSeconds = 0;
  long peakKib = 0;
};

// Times `work` and prints the Measure line the driver reads.
template <typename Work>
int measured(Work work) {
  double cpu = ownCpuSeconds();
  auto start = std::chrono::steady_clock::now();
  work();
  std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  std::printf("%.6f %.6f %ld\n", wall.count(), ownCpuSeconds() - cpu, ownPeakKib());
  return 0;
}

// Runs one measured process and reads the Measure line it prints.
Measure runMeasured(const std::string& command) {
  FILE* out = popen(command.c_str(), "r");
  if (!out) throw std::runtime_error("cannot run " + command);
  Measure m;
  int read = std::fscanf(out, "%lf %lf %ld", &m.wallSeconds, &m.cpuSeconds, &m.peakKib);
  if (pclose(out) != 0 || read != 3) throw std::runtime_error("a measured run failed: " + command);
  return m;
}

// The API requests of the emulator's journal as the URLs the floor sends.
std::vector<std::string> journalUrls(const testing::EmulatorProcess& emulator) {
  ResourceDocument journal = emulator.journal();
  if (journal.contains("dropped")) throw std::runtime_error("the emulator's journal overflowed");
  std::vector<std::string> urls;
  for (const ResourceDocument& entry : journal.at("requests")) {
    if (entry.at("method") != "GET") throw std::runtime_error("discovery sent a non-GET request");
    HttpRequest request;
    request.baseUrl = emulator.baseUrl();
    request.path = entry.at("path").get<std::string>();
    for (const auto& [name, value] : entry.at("query").items())
      request.query.emplace_back(name, value.get<std::string>());
    urls.push_back(request.url());
  }
  return urls;
}

std::size_t countLines(const fs::path& file) {
  std::ifstream in(file);
  return static_cast<std::size_t>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
}

std::string sizeText(const ProjectSize& size) {
  return std::to_string(size.networks) + " networks, " + std::to_string(size.subnetworks) +
         " subnetworks, " + std::to_string(size.routes) + " routes";
}

// compute-emulator serving the generated project, as the project the library finds.
std::unique_ptr<testing::EmulatorProcess> serve(const testing::TempDir& dir,
                                                const ProjectSize& size,
                                                const std::vector<std::string>& options = {}) {
  auto emulator = std::make_unique<testing::EmulatorProcess>(
      TOLMI_EMULATOR_PATH, dir.write("topology.json", discoveryEstate(size, kProject).dump()),
      options);
  setenv("COMPUTE_EMULATOR_HOST", emulator->hostPort().c_str(), 1);
  setenv("GOOGLE_CLOUD_PROJECT", kProject, 1);
  return emulator;
}

// Every network: its header (2), two table heads (10), its default route, and per subnetwork its
// row and its local route's row; then one row per route of the topology.
std::size_t reportLines(const ProjectSize& size) {
  return 13u * size.networks + 2u * size.subnetworks + size.routes;
}

void expectReport(const fs::path& log, const ProjectSize& size) {
  if (countLines(log) != reportLines(size))
    throw std::runtime_error("the report has " + std::to_string(countLines(log)) +
                             " lines, expected " + std::to_string(reportLines(size)));
}

// The longest chain of reads in the emulator's journal that wait for one another: the networks
// list's pages, then the route list's pages of one network (its subnetworks and first route page
// need only the networks page).
int dependentReads(const ResourceDocument& journal) {
  int networkPages = 0;
  std::map<std::string, int> routePages;  // by filter
  for (const ResourceDocument& entry : journal.at("requests")) {
    std::string path = entry.at("path").get<std::string>();
    if (path.ends_with("/global/networks")) ++networkPages;
    if (path.ends_with("/global/routes")) ++routePages[entry.at("query").value("filter", "")];
  }
  int longest = 0;
  for (const auto& [filter, pages] : routePages) longest = std::max(longest, pages);
  return networkPages + longest;
}

std::string contents(const fs::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Google's Python API client (Debian's python3-googleapi), which the bench set-up installs for
// Debian's own interpreter.
const char* kPython = "/usr/bin/python3";

bool pythonClientInstalled() {
  std::string check = std::string(kPython) + " -c 'import googleapiclient' 2>/dev/null";
  return std::system(check.c_str()) == 0;
}

}  // namespace

// The client: the library's report, written to a file through the tool's own output.
int discoveryClient(const std::string& logFile, std::size_t maxInFlight) {
  defaultServiceFactory() = [maxInFlight] {
    ServiceOptions options;
    options.maxInFlight = maxInFlight;
    return defaultComputeService(std::nullopt, CredentialsEnvironment::fromProcess(), options);
  };
  log4cplus::Initializer initializer;
  std::ofstream report(logFile);
  cli::Output output(report, std::cerr, {});
  return measured([] { GcpLib::listAllNetwork(nullptr); });
}

// The floor: one reused curl handle, the same URLs, bodies thrown away unread.
int discoveryFloor(const std::string& urlFile) {
  std::vector<std::string> urls;
  std::ifstream in(urlFile);
  for (std::string url; std::getline(in, url);) urls.push_back(url);
  CURL* curl = curl_easy_init();
  // The same encoding as the library's transport, so the server does the same work.
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discardBody);
  int status = measured([&] {
    for (const std::string& url : urls) {
      curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
      long code = 0;
      if (curl_easy_perform(curl) != CURLE_OK ||
          curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK || code != 200)
        throw std::runtime_error("floor request failed: " + url);
    }
  });
  curl_easy_cleanup(curl);
  return status;
}

void discoveryAtScale(Table& table, const ProjectSize& size, int runs, bool besidePython) {
  std::string name = "discovery, " + sizeText(size);
  progress(name);
  std::string self = fs::canonical("/proc/self/exe").string();
  testing::TempDir dir;
  std::unique_ptr<testing::EmulatorProcess> served = serve(dir, size);
  const testing::EmulatorProcess& emulator = *served;

  std::vector<std::string> urls;
  std::vector<double> clientWall, floorWall, clientCpu, floorCpu, serverForClient, serverForFloor;
  std::vector<double> pythonWall, pythonCpu;
  besidePython = besidePython && pythonClientInstalled();
  long clientPeak = 0;
  for (int run = 0; run < runs; ++run) {
    emulator.admin("DELETE", "requests");
    fs::path log = dir.path() / "report.log";
    fs::remove(log);
    double server = processCpuSeconds(emulator.pid());
    // One read at a time, as the floor and the Python client send them.
    Measure client = runMeasured(self + " --client " + log.string() + " 1");
    serverForClient.push_back(processCpuSeconds(emulator.pid()) - server);
    expectReport(log, size);
    if (urls.empty()) {
      urls = journalUrls(emulator);
      std::ofstream out(dir.path() / "requests.txt");
      for (const std::string& url : urls) out << url << '\n';
    }
    server = processCpuSeconds(emulator.pid());
    Measure floor = runMeasured(self + " --floor " + dir.file("requests.txt"));
    serverForFloor.push_back(processCpuSeconds(emulator.pid()) - server);
    if (besidePython) {
      fs::path pythonLog = dir.path() / "python-report.log";
      Measure python =
          runMeasured(std::string(kPython) + " " TOLMI_SOURCE_DIR "/bench/python_discovery.py " +
                      emulator.endpoint() + " " + kProject + " " + pythonLog.string());
      if (contents(pythonLog) != contents(log))
        throw std::runtime_error("the Python client's report differs from the library's");
      pythonWall.push_back(python.wallSeconds);
      pythonCpu.push_back(python.cpuSeconds);
    }
    clientWall.push_back(client.wallSeconds);
    clientCpu.push_back(client.cpuSeconds);
    floorWall.push_back(floor.wallSeconds);
    floorCpu.push_back(floor.cpuSeconds);
    clientPeak = std::max(clientPeak, client.peakKib);
  }

  double requests = static_cast<double>(urls.size());
  auto median = [](const std::vector<double>& samples) { return percentile(samples, 0.5); };
  auto perRequest = [&](const std::vector<double>& seconds) {
    return number(median(seconds) / requests * 1e6, 1, "us");
  };
  table.add(name, "requests (median of " + std::to_string(runs) + " runs below)",
            std::to_string(urls.size()));
  table.add(name, "wall time, listAllNetwork", number(median(clientWall), 3, "s"));
  table.add(name, "wall time, keep-alive floor", number(median(floorWall), 3, "s"));
  table.add(name, "ratio to the floor", number(median(clientWall) / median(floorWall), 3));
  table.add(name, "client CPU per request", perRequest(clientCpu));
  table.add(name, "client CPU per route", number(median(clientCpu) / size.routes * 1e6, 2, "us"));
  table.add(name, "floor CPU per request", perRequest(floorCpu));
  table.add(name, "emulator CPU per request", perRequest(serverForClient));
  table.add(name, "emulator CPU per floor request", perRequest(serverForFloor));
  table.add(name, "client peak memory (VmHWM)", number(clientPeak / 1024.0, 1, "MiB"));
  if (besidePython) {
    table.add(name, "wall time, Python client", number(median(pythonWall), 3, "s"));
    table.add(name, "client CPU, library / Python client",
              number(median(clientCpu), 3, "s") + " / " + number(median(pythonCpu), 3, "s"));
    table.add(name, "Python client's CPU over the library's",
              number(median(pythonCpu) / median(clientCpu), 2));
  }
}

void discoveryAtLatency(Table& table, const ProjectSize& size, int latencyMs) {
  std::string name =
      "discovery at " + std::to_string(latencyMs) + " ms a round trip, " + sizeText(size);
  progress(name);
  std::string self = fs::canonical("/proc/self/exe").string();
  testing::TempDir dir;
  std::unique_ptr<testing::EmulatorProcess> served =
      serve(dir, size, {"--latency-ms", std::to_string(latencyMs)});
  const testing::EmulatorProcess& emulator = *served;
  std::vector<double> walls;
  for (std::size_t inFlight : {std::size_t{1}, ComputeService::kDefaultMaxInFlight}) {
    emulator.admin("DELETE", "requests");
    fs::path log = dir.path() / ("report-" + std::to_string(inFlight) + ".log");
    Measure client =
        runMeasured(self + " --client " + log.string() + " " + std::to_string(inFlight));
    expectReport(log, size);
    ResourceDocument journal = emulator.journal();
    if (journal.contains("dropped")) throw std::runtime_error("the emulator's journal overflowed");
    double requests = static_cast<double>(journal.at("requests").size());
    int chain = dependentReads(journal);
    // Nothing can end sooner than its longest chain of dependent reads, nor than its requests
    // shared among the connections.
    double bound =
        std::max<double>(chain, requests / static_cast<double>(inFlight)) * latencyMs / 1000.0;
    std::string figure = std::to_string(inFlight) + " in flight (" + number(requests, 0) +
                         " requests, " + std::to_string(chain) + " dependent)";
    table.add(name, figure + ": wall time / bound",
              number(client.wallSeconds, 2, "s") + " / " + number(bound, 2, "s") + " (ratio " +
                  number(client.wallSeconds / bound, 2) + ")");
    walls.push_back(client.wallSeconds);
  }
  table.add(name, "1 in flight over 8 in flight, wall time", number(walls[0] / walls[1], 2));
}

}  // namespace tolmi_gcp::bench
