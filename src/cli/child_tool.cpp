#include "cli/child_tool.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "tolmi_gcp/errors.hpp"

extern char** environ;

namespace tolmi_gcp::cli {

namespace {

// Reads what is there; closes and forgets `fd` at its end.
void drain(int& fd, std::string& into) {
  std::array<char, 65536> buffer;
  ssize_t got = read(fd, buffer.data(), buffer.size());
  if (got > 0) {
    into.append(buffer.data(), static_cast<std::size_t>(got));
  } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
    close(fd);
    fd = -1;
  }
}

}  // namespace

ChildTool::ChildTool(const std::vector<std::string>& args) {
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw Error(std::string("pipe: ") + std::strerror(errno));
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    throw Error(std::string("pipe: ") + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  std::vector<char*> argv{self.data()};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int failed = posix_spawn(&pid_, self.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(out[1]);
  close(err[1]);
  outFd_ = out[0];
  errFd_ = err[0];
  if (failed != 0) {
    close(outFd_);
    close(errFd_);
    throw Error("cannot start " + self + ": " + std::strerror(failed));
  }
}

ChildTool::~ChildTool() {
  while (!ended()) pump({this}, std::chrono::milliseconds(1000));
}

void ChildTool::interrupt() {
  if (!ended()) kill(pid_, SIGINT);
}

void ChildTool::collect() {
  if (ended() || outFd_ >= 0 || errFd_ >= 0) return;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void ChildTool::pump(const std::vector<ChildTool*>& children, std::chrono::milliseconds wait) {
  std::vector<pollfd> fds;
  std::vector<std::pair<int*, std::string*>> targets;
  for (ChildTool* child : children) {
    for (auto [fd, text] :
         {std::pair{&child->outFd_, &child->out_}, std::pair{&child->errFd_, &child->err_}})
      if (*fd >= 0) {
        fds.push_back({*fd, POLLIN, 0});
        targets.emplace_back(fd, text);
      }
  }
  if (!fds.empty() && poll(fds.data(), fds.size(), static_cast<int>(wait.count())) > 0)
    for (std::size_t i = 0; i < fds.size(); ++i)
      if (fds[i].revents != 0) drain(*targets[i].first, *targets[i].second);
  for (ChildTool* child : children) child->collect();
}

}  // namespace tolmi_gcp::cli
