#include "tool_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace tolmi_gcp::testing {

const std::string& ToolProcess::binary() {
  static const std::string path = TOLMI_BINARY_DIR "/tolmi-gcp";
  return path;
}

ToolProcess::ToolProcess(std::vector<std::string> args, const TempDir& dir,
                         std::vector<std::string> environment) {
  static int runs = 0;
  std::string name = "run-" + std::to_string(++runs);
  outPath_ = dir.file(name + ".out");
  errPath_ = dir.file(name + ".err");
  args.insert(args.begin(), binary());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** variable = environ; *variable; ++variable) envp.push_back(*variable);
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int failed = posix_spawn(&pid_, binary().c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed) throw std::runtime_error("cannot start " + binary());
}

ToolProcess::~ToolProcess() {
  if (status_ < 0) finish();
}

namespace {

int exitStatus(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

}  // namespace

int ToolProcess::finish() {
  if (status_ >= 0) return status_;
  int status = 0;
  waitpid(pid_, &status, 0);
  status_ = exitStatus(status);
  return status_;
}

bool ToolProcess::ended() {
  int status = 0;
  if (status_ < 0 && waitpid(pid_, &status, WNOHANG) == pid_) status_ = exitStatus(status);
  return status_ >= 0;
}

Outcome ToolProcess::outcome() {
  int status = finish();
  return {status, out(), err()};
}

int ToolProcess::kill() {
  if (status_ < 0) ::kill(pid_, SIGKILL);
  return finish();
}

std::vector<std::string> changeRequests(const ResourceDocument& journal) {
  std::vector<std::string> out;
  for (const ResourceDocument& request : journal["requests"]) {
    const std::string& method = request["method"].get_ref<const std::string&>();
    const std::string& path = request["path"].get_ref<const std::string&>();
    const ApiMethod* known = journalMethod(method, path);
    if (known ? known->kind == CallKind::kChange : method != "GET")
      out.push_back(method + " " + path);
  }
  return out;
}

const ApiMethod* journalMethod(const std::string& method, std::string_view path) {
  constexpr std::string_view kRoot = "/compute/v1/";
  if (path.starts_with(kRoot)) path.remove_prefix(kRoot.size());
  return findApiMethod(method, path);
}

}  // namespace tolmi_gcp::testing
