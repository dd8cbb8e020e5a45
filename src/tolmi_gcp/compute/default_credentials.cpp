#include "tolmi_gcp/compute/default_credentials.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tolmi_gcp/compute/curl_transport.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/internal/encoding.hpp"

namespace tolmi_gcp {

namespace {

namespace fs = std::filesystem;

// Credentials files and gcloud's configuration files are small; this bounds what a wrong path
// (a device, a huge file) can make the lookup read.
constexpr std::size_t kMaxFileSize = 1 << 20;

// The metadata server's link-local address: reachable on Compute Engine without DNS.
constexpr const char* kDefaultMetadataHost = "169.254.169.254";

std::string firstVariable(const CredentialsEnvironment& environment,
                          std::initializer_list<const char*> names) {
  for (const char* name : names) {
    std::string value = environment.variable(name);
    if (!value.empty()) return value;
  }
  return "";
}

std::string trimmed(std::string_view text) {
  const char* blanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return "";
  return std::string(text.substr(first, text.find_last_not_of(blanks) - first + 1));
}

// The content of a small regular file, or nullopt with `problem` saying why not.
std::optional<std::string> readSmallFile(const fs::path& path, std::string& problem) {
  std::error_code error;
  fs::file_status status = fs::status(path, error);
  if (!fs::exists(status)) {
    problem = "does not exist";
    return std::nullopt;
  }
  if (!fs::is_regular_file(status)) {
    problem = "is not a regular file";
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    problem = std::string("cannot be read (") + std::strerror(errno) + ")";
    return std::nullopt;
  }
  std::string text;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxFileSize) {
      problem = "is larger than 1 MiB";
      return std::nullopt;
    }
  }
  if (in.bad()) {
    problem = "cannot be read";
    return std::nullopt;
  }
  return text;
}

// gcloud's configuration directory, or "" when neither CLOUDSDK_CONFIG nor HOME is set.
std::string gcloudConfigDir(const CredentialsEnvironment& environment) {
  std::string dir = environment.variable("CLOUDSDK_CONFIG");
  if (!dir.empty()) return dir;
  std::string home = environment.variable("HOME");
  return home.empty() ? "" : home + "/.config/gcloud";
}

// One value of an INI text such as gcloud's configurations/config_<name>.
std::string iniValue(const std::string& text, std::string_view section, std::string_view key) {
  std::istringstream lines(text);
  std::string line;
  bool inSection = false;
  while (std::getline(lines, line)) {
    line = trimmed(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      inSection = line == "[" + std::string(section) + "]";
      continue;
    }
    std::size_t equals = line.find('=');
    if (inSection && equals != std::string::npos && trimmed(line.substr(0, equals)) == key)
      return trimmed(line.substr(equals + 1));
  }
  return "";
}

// The [core] project of gcloud's active configuration, or "".
std::string gcloudProject(const CredentialsEnvironment& environment, const std::string& configDir) {
  if (configDir.empty()) return "";
  std::string ignored;
  std::string name = environment.variable("CLOUDSDK_ACTIVE_CONFIG_NAME");
  if (name.empty())
    name = trimmed(readSmallFile(configDir + "/active_config", ignored).value_or(""));
  if (name.empty()) name = "default";
  // The name becomes part of a path: anything but a plain name cannot be gcloud's.
  if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_") != std::string::npos)
    return "";
  auto config = readSmallFile(configDir + "/configurations/config_" + name, ignored);
  return config ? iniValue(*config, "core", "project") : "";
}

std::string metadataRoot(const CredentialsEnvironment& environment) {
  std::string host = firstVariable(environment, {"GCE_METADATA_HOST", "GCE_METADATA_ROOT"});
  return "http://" + (host.empty() ? std::string(kDefaultMetadataHost) : host) +
         "/computeMetadata/v1/";
}

struct MetadataProbe {
  bool answered = false;  // a metadata server (Metadata-Flavor: Google) answered
  std::string project;
  std::string failure;  // why not, when it did not
};

// Asks for the project id, which tells at once whether a metadata server is there.
MetadataProbe probeMetadata(const std::string& root, HttpTransport& transport) {
  HttpRequest request;
  request.method = "GET";
  request.baseUrl = root;
  request.path = "project/project-id";
  request.headers = {{"Metadata-Flavor", "Google"}};
  HttpResponse response;
  try {
    response = transport.send(request);
  } catch (const TransportError& failure) {
    return {false, "", std::string("no answer: ") + failure.what()};
  }
  if (response.header("metadata-flavor") != "Google")
    return {false, "",
            "the answer (HTTP " + std::to_string(response.status) +
                ") lacks Metadata-Flavor: Google, so it is no metadata server"};
  return {true, response.status == 200 ? trimmed(response.body) : "", ""};
}

DefaultCredentials fromFile(const std::string& path, const std::string& origin,
                            const CredentialsEnvironment& environment) {
  std::string problem;
  std::optional<std::string> text = readSmallFile(path, problem);
  if (!text) throw ConfigError(origin + " " + problem);
  ResourceDocument file = parseDocumentOrDiscarded(*text);
  // The parser's own message quotes the text near the fault, which may be key material.
  if (file.is_discarded() || !file.is_object()) throw ConfigError(origin + " is not a JSON object");
  std::string type = has(file, "type") ? textOf(file["type"]) : "";
  std::unique_ptr<TokenSource> source;
  if (type == "service_account")
    source = serviceAccountSource(file, origin, environment.tokenTransport, environment.clock);
  else if (type == "authorized_user")
    source = authorizedUserSource(file, origin, environment.tokenTransport, environment.clock);
  else
    throw ConfigError(origin +
                      (type.empty() ? " has no \"type\"" : " has the type \"" + type + "\"") +
                      "; the types understood are service_account and authorized_user");
  std::string project = has(file, "project_id") && file["project_id"].is_string()
                            ? file["project_id"].get<std::string>()
                            : "";
  return {std::make_shared<TokenCredentials>(std::move(source), environment.clock), project, origin,
          type};
}

ComputeService makeService(const std::string& root, std::shared_ptr<Credentials> credentials,
                           const ServiceOptions& options) {
  return ComputeService(makeCurlTransport(options.transport), root, std::move(credentials),
                        options.retry)
      .withMaxInFlight(options.maxInFlight);
}

}  // namespace

CredentialsEnvironment CredentialsEnvironment::fromProcess() {
  CredentialsEnvironment environment;
  environment.variable = [](const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return std::string(value ? value : "");
  };
  environment.tokenTransport = makeCurlTransport();
  environment.metadataTransport =
      makeCurlTransport({.connectTimeoutMs = 1000, .totalTimeoutMs = 5000});
  return environment;
}

DefaultCredentials findDefaultCredentials(const CredentialsEnvironment& environment) {
  const std::string configDir = gcloudConfigDir(environment);
  const std::string root = metadataRoot(environment);
  std::optional<MetadataProbe> probe;
  std::optional<DefaultCredentials> found;

  std::vector<std::string> lookedAt;
  std::string named = environment.variable("GOOGLE_APPLICATION_CREDENTIALS");
  if (!named.empty()) {
    found = fromFile(named,
                     "the credentials file " + named + " (named by GOOGLE_APPLICATION_CREDENTIALS)",
                     environment);
  } else {
    lookedAt.push_back("GOOGLE_APPLICATION_CREDENTIALS (not set)");
    std::string gcloudFile = configDir + "/application_default_credentials.json";
    std::error_code error;
    if (configDir.empty())
      lookedAt.push_back(
          "gcloud's application_default_credentials.json (neither CLOUDSDK_CONFIG nor HOME is "
          "set)");
    else if (fs::exists(gcloudFile, error))
      found = fromFile(gcloudFile, "gcloud's credentials file " + gcloudFile, environment);
    else
      lookedAt.push_back(gcloudFile + " (does not exist)");
  }
  if (!found) {
    probe = probeMetadata(root, *environment.metadataTransport);
    if (!probe->answered) {
      std::string places;
      for (const std::string& place : lookedAt) places += place + ", ";
      throw ConfigError("no application-default credentials found; looked at " + places +
                        "the metadata server at " + root + " (" + probe->failure +
                        "). Set GOOGLE_APPLICATION_CREDENTIALS to a service account key file or "
                        "run `gcloud auth application-default login`");
    }
    found = DefaultCredentials{
        std::make_shared<TokenCredentials>(
            metadataSource(root, environment.metadataTransport, environment.clock),
            environment.clock),
        "", "the metadata server at " + root, "metadata server"};
  }

  if (found->project.empty())
    found->project = firstVariable(environment, {"GOOGLE_CLOUD_PROJECT", "CLOUDSDK_CORE_PROJECT"});
  if (found->project.empty()) found->project = gcloudProject(environment, configDir);
  if (found->project.empty()) {
    if (!probe) probe = probeMetadata(root, *environment.metadataTransport);
    found->project = probe->project;
  }
  return *found;
}

DefaultService defaultComputeService(const std::optional<std::string>& endpoint,
                                     const CredentialsEnvironment& environment,
                                     const ServiceOptions& options) {
  std::string emulatorHost = environment.variable("COMPUTE_EMULATOR_HOST");
  // A loopback endpoint is the emulator on this machine, which needs no credentials.
  if (endpoint ? isLoopbackUrl(*endpoint) : !emulatorHost.empty()) {
    std::string root = endpoint ? *endpoint : "http://" + emulatorHost + "/compute/v1/";
    return {std::make_shared<ComputeService>(
                makeService(root, std::make_shared<AnonymousCredentials>(), options)),
            firstVariable(environment, {"GOOGLE_CLOUD_PROJECT", "CLOUDSDK_CORE_PROJECT"}),
            "none (emulator)"};
  }
  std::string root = endpoint.value_or(ComputeService::kDefaultEndpoint);
  if (root.rfind("https://", 0) != 0)
    throw ConfigError("the endpoint " + root +
                      " is neither https nor a loopback address; credentials go only over https");
  DefaultCredentials found = findDefaultCredentials(environment);
  return {std::make_shared<ComputeService>(makeService(root, found.credentials, options)),
          found.project, found.kind + " credentials: " + found.origin};
}

std::function<DefaultService()>& defaultServiceFactory() {
  static std::function<DefaultService()> factory = [] { return defaultComputeService(); };
  return factory;
}

}  // namespace tolmi_gcp
