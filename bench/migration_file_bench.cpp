// Loading a large migration file: many transit networks with routers and long range lists, and
// many route stages, as YAML in block and flow style.

#include <filesystem>

#include <benchmark/benchmark.h>

#include "temp_dir.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"

namespace tolmi_gcp {
namespace {

constexpr int kTransits = 50;
constexpr int kStages = 20;
constexpr int kRoutesPerStage = 100;

std::string range(int a, int b) {
  return "10." + std::to_string(a % 256) + "." + std::to_string(b % 256) + ".0/24";
}

// 50 transit networks with two routers of 20 ranges each, 20 stages of 100 deletions and 100
// additions: about 4,700 lines.
std::string largeMigrationFile() {
  std::string yaml = "project_id: spoke-proj\nvpc_name: spoke-1\ntransit_vpcs:\n";
  for (int t = 0; t < kTransits; ++t) {
    yaml += "  - vpc_name: hub-proj::hub-" + std::to_string(t) + "\n    cloud_routers:\n";
    for (const char* region : {"us-east1", "us-west1"}) {
      yaml += "      - region: " + std::string(region) + "\n        router_name: cr-" +
              std::to_string(t) + "\n        remove_advertised_routes: [";
      for (int r = 0; r < 20; ++r) yaml += (r ? ", " : "") + range(t, r);
      yaml += "]\n        add_advertised_routes: [" + range(t, 200) +
              "]\n        remove_advertised_groups: [ALL_SUBNETS]\n";
    }
  }
  yaml += "manage_routes:\n";
  for (int s = 0; s < kStages; ++s) {
    yaml += "  stage-" + std::to_string(s) + ":\n    delete:\n";
    for (int r = 0; r < kRoutesPerStage; ++r)
      yaml += "      - old-" + std::to_string(s) + "-" + std::to_string(r) + "\n";
    yaml += "    add:\n";
    for (int r = 0; r < kRoutesPerStage; ++r)
      yaml += "      - {cidr: " + range(s + 100, r) +
              ", zone: us-east1-b, dest_instance: gw-1, priority: 900, name: null}\n";
  }
  yaml += "spoke_advertisement: [10.100.0.0/20]\nadvertise_gke: true\n";
  return yaml;
}

void BM_LoadLargeMigrationFile(benchmark::State& state) {
  testing::TempDir dir;
  std::string file = dir.write("migration.yaml", largeMigrationFile());
  for (auto _ : state) YamlContext::load(file);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(std::filesystem::file_size(file)));
}
BENCHMARK(BM_LoadLargeMigrationFile)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tolmi_gcp
