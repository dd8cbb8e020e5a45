// The discovery report of a large project, end to end: listAllNetwork against compute-emulator
// over loopback HTTP, beside a floor, a bare keep-alive client that sends the very same requests
// (taken from the emulator's journal) and neither parses nor logs. The ratio of the two is the
// library's own cost. Each run is a fresh process so that its peak memory is its own.
//
//   tolmi_discovery_bench [--networks N] [--subnetworks N] [--routes N] [--runs N]

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <log4cplus/fileappender.h>
#include <log4cplus/initializer.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>

#include "emulator_process.hpp"
#include "tolmi_gcp/compute/http_transport.hpp"
#include "tolmi_gcp/gcplib.hpp"

namespace tolmi_gcp {
namespace {

namespace fs = std::filesystem;

const char* kProject = "bench-proj";

struct Sizes {
  int networks = 100;
  int subnetworks = 2000;
  int routes = 50000;
  int runs = 5;
};

// What one measured process reports on its standard output.
struct Measure {
  double wallSeconds = 0;
  double cpuSeconds = 0;
  long peakKib = 0;
};

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The process's peak resident memory. Not getrusage's ru_maxrss: a child spawned through vfork
// inherits the parent's peak there, and the driver holds the whole generated topology.
long peakKib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  throw std::runtime_error("no VmHWM in /proc/self/status");
}

// Times `work` and prints the Measure line the driver reads.
template <typename Work>
int measured(Work work) {
  double cpu = cpuSeconds();
  auto start = std::chrono::steady_clock::now();
  work();
  std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  std::printf("%.6f %.6f %ld\n", wall.count(), cpuSeconds() - cpu, peakKib());
  return 0;
}

// The client: the library's report, logged to a file through a real appender as the tool would.
int runClient(const std::string& logFile) {
  log4cplus::Initializer initializer;
  log4cplus::SharedAppenderPtr appender(new log4cplus::FileAppender(logFile));
  appender->setLayout(std::make_unique<log4cplus::PatternLayout>("%m%n"));
  log4cplus::Logger::getRoot().addAppender(appender);
  log4cplus::Logger::getRoot().setLogLevel(log4cplus::INFO_LOG_LEVEL);
  return measured([] { GcpLib::listAllNetwork(nullptr); });
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

// The floor: one reused curl handle, the same URLs, bodies thrown away unread.
int runFloor(const std::string& urlFile) {
  std::vector<std::string> urls;
  std::ifstream in(urlFile);
  for (std::string url; std::getline(in, url);) urls.push_back(url);
  CURL* curl = curl_easy_init();
  // The same encoding as the library's transport, so the server does the same work.
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
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

// CPU seconds a process has used so far (user and system, all threads).
double processCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  // Fields 14 and 15 (utime, stime) count from the ")" that closes the command name.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i >= 14) ticks += std::stod(field);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
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

std::string ipv4(int a, int b, int c) {
  return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + ".0";
}

// One project: `networks` networks sharing the subnetworks and routes evenly, with one gateway VM
// each, and routes through every kind of next hop a topology can give. The emulator adds each
// network's default internet route and each subnetwork's local route.
ResourceDocument topology(const Sizes& sizes) {
  static const char* kRegions[] = {"us-east1", "us-west1", "europe-west1", "asia-east1"};
  ResourceDocument networks = ResourceDocument::array();
  ResourceDocument subnetworks = ResourceDocument::array();
  ResourceDocument instances = ResourceDocument::array();
  ResourceDocument routes = ResourceDocument::array();
  auto networkName = [](int i) { return "net-" + std::to_string(i); };
  auto instanceLink = [](int i) { return "zones/us-east1-b/instances/gw-" + std::to_string(i); };
  for (int n = 0; n < sizes.networks; ++n) {
    networks.push_back({{"name", networkName(n)}, {"autoCreateSubnetworks", false}});
    instances.push_back({{"name", "gw-" + std::to_string(n)},
                         {"zone", "us-east1-b"},
                         {"canIpForward", true},
                         {"networkInterfaces", {{{"network", networkName(n)}}}}});
  }
  for (int s = 0; s < sizes.subnetworks; ++s)
    subnetworks.push_back({{"name", "subnet-" + std::to_string(s)},
                           {"network", networkName(s % sizes.networks)},
                           {"region", kRegions[s % 4]},
                           {"ipCidrRange", ipv4(10, s / 256, s % 256) + "/24"}});
  for (int r = 0; r < sizes.routes; ++r) {
    int n = r % sizes.networks;
    ResourceDocument route = {{"name", "route-" + std::to_string(r)},
                              {"network", networkName(n)},
                              {"destRange", ipv4(100 + r / 65536, r / 256 % 256, r % 256) + "/24"},
                              {"priority", 1000}};
    switch (r % 4) {
      case 0:
        route["nextHopIp"] = "10.255.0." + std::to_string(r % 250 + 2);
        break;
      case 1:
        route["nextHopGateway"] = "global/gateways/default-internet-gateway";
        break;
      case 2:
        route["nextHopInstance"] = instanceLink(n);
        break;
      default:
        route["nextHopIlb"] = "regions/us-east1/forwardingRules/fr-" + std::to_string(n);
    }
    routes.push_back(std::move(route));
  }
  return {{"projects",
           {{kProject,
             {{"networks", networks},
              {"subnetworks", subnetworks},
              {"instances", instances},
              {"routes", routes}}}}}};
}

std::size_t countLines(const fs::path& file) {
  std::ifstream in(file);
  return static_cast<std::size_t>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int drive(const Sizes& sizes, const std::string& self) {
  fs::path dir = fs::temp_directory_path() / ("tolmi-discovery-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "topology.json") << topology(sizes).dump();

  testing::EmulatorProcess emulator(TOLMI_EMULATOR_PATH, (dir / "topology.json").string());
  setenv("COMPUTE_EMULATOR_HOST", emulator.hostPort().c_str(), 1);
  setenv("GOOGLE_CLOUD_PROJECT", kProject, 1);

  // Every network: its header (2), two table heads (10), its default route, and per subnetwork
  // its row and its local route's row; then one row per route of the topology.
  std::size_t expectedLines = 13u * sizes.networks + 2u * sizes.subnetworks + sizes.routes;
  std::vector<std::string> urls;
  std::vector<double> clientWall, floorWall, clientCpu, floorCpu, serverForClient, serverForFloor;
  long clientPeak = 0;
  for (int run = 0; run < sizes.runs; ++run) {
    emulator.admin("DELETE", "requests");
    fs::path log = dir / "report.log";
    fs::remove(log);
    double server = processCpuSeconds(emulator.pid());
    Measure client = runMeasured(self + " --client " + log.string());
    serverForClient.push_back(processCpuSeconds(emulator.pid()) - server);
    if (countLines(log) != expectedLines)
      throw std::runtime_error("the report has " + std::to_string(countLines(log)) +
                               " lines, expected " + std::to_string(expectedLines));
    if (urls.empty()) {
      urls = journalUrls(emulator);
      std::ofstream out(dir / "requests.txt");
      for (const std::string& url : urls) out << url << '\n';
    }
    server = processCpuSeconds(emulator.pid());
    Measure floor = runMeasured(self + " --floor " + (dir / "requests.txt").string());
    serverForFloor.push_back(processCpuSeconds(emulator.pid()) - server);
    clientWall.push_back(client.wallSeconds);
    clientCpu.push_back(client.cpuSeconds);
    floorWall.push_back(floor.wallSeconds);
    floorCpu.push_back(floor.cpuSeconds);
    clientPeak = std::max(clientPeak, client.peakKib);
  }
  fs::remove_all(dir);

  double requests = static_cast<double>(urls.size());
  std::printf("listAllNetwork: %d networks, %d subnetworks, %d routes, %zu requests, %d runs\n",
              sizes.networks, sizes.subnetworks, sizes.routes, urls.size(), sizes.runs);
  std::printf("  wall time (median)        %8.3f s    floor %8.3f s    ratio %.3f\n",
              median(clientWall), median(floorWall), median(clientWall) / median(floorWall));
  std::printf("  client CPU per request    %8.1f us   floor %8.1f us\n",
              median(clientCpu) / requests * 1e6, median(floorCpu) / requests * 1e6);
  std::printf("  server CPU per request    %8.1f us   floor %8.1f us\n",
              median(serverForClient) / requests * 1e6, median(serverForFloor) / requests * 1e6);
  std::printf("  peak memory (max RSS)     %8.1f MiB\n", clientPeak / 1024.0);
  return 0;
}

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "--client") return runClient(args[1]);
  if (args.size() == 2 && args[0] == "--floor") return runFloor(args[1]);
  Sizes sizes;
  for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
    int value = std::stoi(args[i + 1]);
    if (args[i] == "--networks")
      sizes.networks = value;
    else if (args[i] == "--subnetworks")
      sizes.subnetworks = value;
    else if (args[i] == "--routes")
      sizes.routes = value;
    else if (args[i] == "--runs")
      sizes.runs = value;
    else
      throw std::invalid_argument("unknown option " + args[i]);
  }
  if (args.size() % 2 != 0 || sizes.networks < 1 || sizes.runs < 1)
    throw std::invalid_argument(
        "usage: tolmi_discovery_bench [--networks N] [--subnetworks N] [--routes N] [--runs N]");
  return drive(sizes, fs::canonical("/proc/self/exe").string());
}

}  // namespace
}  // namespace tolmi_gcp

int main(int argc, char** argv) {
  try {
    return tolmi_gcp::main(argc, argv);
  } catch (const std::exception& failure) {
    std::cerr << "tolmi_discovery_bench: " << failure.what() << '\n';
    return 1;
  }
}
