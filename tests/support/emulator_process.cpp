#include "emulator_process.hpp"

#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace tolmi_gcp::testing {

namespace {

constexpr int kStartTimeoutMs = 15000;
constexpr std::string_view kListening = "listening on http://";

}  // namespace

EmulatorProcess::EmulatorProcess(const std::string& binary, const std::string& topology,
                                 const std::vector<std::string>& extraArguments) {
  std::vector<std::string> arguments = {binary, "--topology", topology};
  arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) throw std::runtime_error("pipe() failed");
  pid_ = fork();
  if (pid_ == 0) {
    // An emulator that outlived a crashed test would keep the test runner's output open, and
    // the runner would wait for it until its timeout.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(pipeEnds[1], STDOUT_FILENO);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  output_ = pipeEnds[0];
  if (pid_ < 0) {
    close(output_);
    throw std::runtime_error("cannot start " + binary + ": " + std::strerror(errno));
  }

  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{output_, POLLIN, 0};
    char buffer[256];
    ssize_t got = 0;
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0 ||
        (got = read(output_, buffer, sizeof buffer)) <= 0) {
      int status = stop();
      throw std::runtime_error(binary + " did not report where it listens (exit status " +
                               std::to_string(status) + ", output '" + line + "')");
    }
    line.append(buffer, static_cast<std::size_t>(got));
  }
  line.erase(line.find('\n'));
  if (!line.starts_with(kListening)) {
    stop();
    throw std::runtime_error(binary + " printed '" + line + "' instead of 'listening on ...'");
  }
  baseUrl_ = line.substr(std::string_view("listening on ").size());
  port_ = std::stoi(baseUrl_.substr(baseUrl_.rfind(':') + 1));
}

EmulatorProcess::~EmulatorProcess() { stop(); }

std::string EmulatorProcess::hostPort() const {
  return baseUrl_.substr(std::string_view("http://").size());
}

ResourceDocument EmulatorProcess::state() const { return admin("GET", "state"); }

ResourceDocument EmulatorProcess::journal() const { return admin("GET", "requests"); }

ResourceDocument EmulatorProcess::admin(const std::string& method, const std::string& path,
                                        const ResourceDocument& body) const {
  httplib::Client client(baseUrl_);
  std::string target = "/emulator/v1/" + path;
  std::string text = body.is_null() ? "" : body.dump();
  auto send = [&] {
    httplib::Headers headers;
    if (!adminToken_.empty()) headers.emplace("Authorization", "Bearer " + adminToken_);
    return method == "GET"      ? client.Get(target, headers)
           : method == "DELETE" ? client.Delete(target, headers)
                                : client.Post(target, headers, text, "application/json");
  };
  httplib::Result result = send();
  if (result && result->status == 401 && !grantForm_.empty()) {
    httplib::Result grant = client.Post("/token", grantForm_, "application/x-www-form-urlencoded");
    if (grant && grant->status == 200)
      adminToken_ = ResourceDocument::parse(grant->body)["access_token"];
    result = send();
  }
  if (!result) throw std::runtime_error(method + " " + target + ": no answer from the emulator");
  if (result->status != 200)
    throw std::runtime_error(method + " " + target + ": HTTP " + std::to_string(result->status) +
                             " " + result->body);
  return ResourceDocument::parse(result->body);
}

int EmulatorProcess::stop() {
  if (pid_ <= 0) return exitStatus_;
  kill(pid_, SIGTERM);
  int status = 0;
  // A clean stop takes milliseconds; a hung emulator must not hang the test run.
  for (int tries = 0; waitpid(pid_, &status, WNOHANG) == 0; ++tries) {
    if (tries == 500) kill(pid_, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  close(output_);
  exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return exitStatus_;
}

}  // namespace tolmi_gcp::testing
