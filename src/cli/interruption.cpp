#include "cli/interruption.hpp"

#include <unistd.h>

#include <atomic>
#include <csignal>

#include "tolmi_gcp/ResourceDocument.hpp"

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

HttpResponse InterruptibleTransport::send(const HttpRequest& request) {
  {
    std::lock_guard lock(mutex_);
    if (unfinished_.empty() && InterruptionGuard::requested()) throw Interrupted{};
  }
  HttpResponse response = inner_->send(request);
  // The library awaits global operations only; a region operation (which names its region) is
  // left to finish on its own.
  ResourceDocument answer = ResourceDocument::parse(response.body, nullptr, false);
  if (!answer.is_object() || answer.value("kind", "") != "compute#operation" ||
      answer.contains("region"))
    return response;
  std::string name = answer.value("name", "");
  std::lock_guard lock(mutex_);
  if (answer.value("status", "") == "DONE")
    unfinished_.erase(name);
  else
    unfinished_.insert(name);
  return response;
}

}  // namespace tolmi_gcp::cli
