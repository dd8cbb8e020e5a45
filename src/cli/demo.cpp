#include "cli/demo.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "cli/commands.hpp"
#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp::cli {

namespace {

namespace fs = std::filesystem;

void strip(ResourceDocument& value) {
  if (value.is_object()) {
    value.erase("id");
    value.erase("creationTimestamp");
    for (auto& member : value) strip(member);
  } else if (value.is_array()) {
    for (auto& item : value) strip(item);
  }
}

// A temporary folder for the demo's revert file, removed with its content.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "tolmi-gcp-demo-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw ConfigError("cannot create a temporary folder");
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

}  // namespace

LocalEmulator::LocalEmulator(const std::string& topology)
    : emulator_(std::make_shared<emulator::Emulator>(emulator::Emulator::loadTopology(topology))),
      server_(emulator_, "127.0.0.1", 0) {}

// The server stops and finishes the requests under way when it is destroyed.
LocalEmulator::~LocalEmulator() = default;

std::string LocalEmulator::endpoint() const {
  return "http://127.0.0.1:" + std::to_string(server_.port()) + "/compute/v1/";
}

std::string examplesDir() {
  if (const char* configured = std::getenv("TOLMI_EXAMPLES_DIR")) return configured;
  std::error_code error;
  fs::path binary = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    fs::path installed = binary.parent_path().parent_path() / "share" / "tolmi_gcp" / "examples";
    if (fs::exists(installed / "migration.yaml", error)) return installed.string();
  }
  return TOLMI_EXAMPLES_DIR;
}

ResourceDocument comparableState(const ResourceDocument& state) {
  ResourceDocument out = state;
  strip(out);
  if (!has(out, "projects")) return out;
  for (auto& project : out["projects"]) {
    if (!has(project, "networks")) continue;
    for (auto& network : project["networks"]) {
      if (!has(network, "peerings") || !network["peerings"].is_array()) continue;
      auto& peerings = network["peerings"];
      std::stable_sort(peerings.begin(), peerings.end(), [](const auto& a, const auto& b) {
        return textOf(memberOrNull(a, "name")) < textOf(memberOrNull(b, "name"));
      });
    }
  }
  return out;
}

int runDemo(Output& output, std::ostream* terminal) {
  std::string examples = examplesDir();
  std::string migration = (fs::path(examples) / "migration.yaml").string();
  LocalEmulator local((fs::path(examples) / "demo-topology.yaml").string());
  ScratchFolder scratch;
  output.note("demo: compute-emulator serves " + examples + "/demo-topology.yaml at " +
              local.endpoint());

  Invocation invocation;
  invocation.config = migration;
  invocation.endpoint = local.endpoint();
  invocation.revertFile = (scratch.path() / "migration.yaml.revert.json").string();
  ResourceDocument before;
  for (const char* command : {"discover", "switch", "revert"}) {
    invocation.command = command;
    invocation.commandLine = std::string("tolmi-gcp ") + command + " --config " + migration +
                             " --endpoint " + local.endpoint();
    output.report("");
    output.report("$ " + invocation.commandLine);
    if (invocation.command == "switch") before = comparableState(local.emulator().state());
    int status = runCommand(invocation, output, terminal);
    if (status != kDone) {
      output.fail("demo: " + std::string(command) + " ended with status " + std::to_string(status));
      return status;
    }
  }

  ResourceDocument after = comparableState(local.emulator().state());
  if (after == before) {
    output.note(
        "demo: the emulator's state after revert equals its state before switch (ids and "
        "timestamps aside)");
    return kDone;
  }
  output.fail("demo: the state after revert differs from the state before switch:");
  for (const ResourceDocument& change : ResourceDocument::diff(before, after))
    output.fail("  " + textOf(change));
  return kErrorsLogged;
}

}  // namespace tolmi_gcp::cli
