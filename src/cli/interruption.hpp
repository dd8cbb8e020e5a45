#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tolmi_gcp/compute/compute_service.hpp"

namespace tolmi_gcp::cli {

// Ends a run that SIGINT or SIGTERM interrupted. Deliberately not a std::exception: the library
// goes on past the failure of a single item, and must not go on past this.
struct Interrupted {};

// While alive, SIGINT and SIGTERM ask the run to stop (see InterruptibleObserver); a second one
// ends the process at once with status 130, the revert record being on disk after every write.
class InterruptionGuard {
 public:
  InterruptionGuard();
  ~InterruptionGuard();  // the previous handlers back, the request forgotten
  InterruptionGuard(const InterruptionGuard&) = delete;
  InterruptionGuard& operator=(const InterruptionGuard&) = delete;

  static bool requested();
};

// Watches the requests of a ComputeService and tells each of `inner`, in order, of each; once an
// interruption is requested, throws Interrupted in place of sending the next request made while no
// awaited operation is unfinished. So the change in flight and its wait finish, and so does the
// library's record keeping after them.
class InterruptibleObserver : public RequestObserver {
 public:
  explicit InterruptibleObserver(std::vector<std::shared_ptr<RequestObserver>> inner)
      : inner_(std::move(inner)) {}

  void onSend(const Request& request) override;
  void onAnswer(const Request& request, const ResourceDocument& answer) override;
  void onFailure(const Request& request, std::string_view failure) override;

 private:
  std::vector<std::shared_ptr<RequestObserver>> inner_;
  std::mutex mutex_;                  // reads may be sent from several threads
  std::set<std::string> unfinished_;  // operations started and not yet seen done
};

}  // namespace tolmi_gcp::cli
