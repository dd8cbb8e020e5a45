#pragma once

#include <chrono>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "tolmi_gcp/compute/compute_service.hpp"

namespace tolmi_gcp::cli {

// Watches the requests of a ComputeService (see ComputeService::withObserver) and, given a
// terminal, keeps one line on it up to date while an operation is awaited: the operation, its
// target and the seconds waited so far. The line appears after the first `tick` of a wait and is
// erased once the operation is done.
class Progress : public RequestObserver {
 public:
  explicit Progress(std::ostream* terminal,
                    std::chrono::milliseconds tick = std::chrono::seconds(1));
  ~Progress() override;

  void onSend(const Request& request) override;
  void onAnswer(const Request& request, const ResourceDocument& answer) override;
  void onFailure(const Request& request, std::string_view failure) override;

 private:
  class Ticker;
  struct Awaited {
    std::string what;  // "insert routes/r-1 (operation-17)"
    std::chrono::steady_clock::time_point since;
  };

  void remember(const ResourceDocument& operation);
  void draw(const Awaited& awaited);
  void stopWaiting(const std::string& operation, bool done);

  std::ostream* terminal_;
  std::chrono::milliseconds tick_;
  std::map<std::string, Awaited> awaited_;  // by operation name
  std::mutex drawing_;
  bool shown_ = false;
  std::unique_ptr<Ticker> ticker_;  // while a wait is in flight
};

// Watches the requests of a ComputeService and measures how long the changes' operations take:
// from the change's answer to the wait that sees its operation DONE.
class OperationTimes : public RequestObserver {
 public:
  void onSend(const Request&) override {}
  void onAnswer(const Request& request, const ResourceDocument& answer) override;
  void onFailure(const Request&, std::string_view) override {}

  // The mean time of the operations seen done so far; nullopt before the first.
  std::optional<std::chrono::milliseconds> mean() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::chrono::steady_clock::time_point> started_;  // by operation name
  std::chrono::steady_clock::duration total_{};
  std::size_t done_ = 0;
};

}  // namespace tolmi_gcp::cli
