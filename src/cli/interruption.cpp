#include "cli/interruption.hpp"

#include <unistd.h>

#include <atomic>
#include <csignal>

namespace tolmi_gcp::cli {

namespace {

std::atomic<bool> signalled{false};
struct sigaction previousInt, previousTerm;

extern "C" void onSignal(int) {
  if (signalled.exchange(true)) _exit(130);
}

}  // namespace

InterruptionGuard::InterruptionGuard() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // a request in flight goes on
  sigaction(SIGINT, &action, &previousInt);
  sigaction(SIGTERM, &action, &previousTerm);
}

InterruptionGuard::~InterruptionGuard() {
  sigaction(SIGINT, &previousInt, nullptr);
  sigaction(SIGTERM, &previousTerm, nullptr);
  signalled = false;
}

bool InterruptionGuard::requested() { return signalled; }

void InterruptibleObserver::onSend(const Request& request) {
  {
    std::lock_guard lock(mutex_);
    if (unfinished_.empty() && InterruptionGuard::requested()) throw Interrupted{};
  }
  for (const auto& inner : inner_) inner->onSend(request);
}

void InterruptibleObserver::onAnswer(const Request& request, const ResourceDocument& answer) {
  for (const auto& inner : inner_) inner->onAnswer(request, answer);
  CallKind kind = request.apiMethod().kind;
  if (kind == CallKind::kRead || !answer.is_object()) return;
  // A change answers with its operation; a wait names it as its last parameter.
  std::string name =
      kind == CallKind::kWait ? request.parameters().back() : answer.value("name", "");
  std::lock_guard lock(mutex_);
  if (answer.value("status", "") == "DONE")
    unfinished_.erase(name);
  else
    unfinished_.insert(name);
}

void InterruptibleObserver::onFailure(const Request& request, std::string_view failure) {
  for (const auto& inner : inner_) inner->onFailure(request, failure);
  // A wait that failed for good leaves nothing to wait for: the run does not await it again.
  if (request.apiMethod().kind != CallKind::kWait) return;
  std::lock_guard lock(mutex_);
  unfinished_.erase(request.parameters().back());
}

}  // namespace tolmi_gcp::cli
