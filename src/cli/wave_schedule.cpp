#include "cli/wave_schedule.hpp"

#include <algorithm>

namespace tolmi_gcp::cli {

namespace {

bool meet(const std::set<std::string>& a, const std::set<std::string>& b) {
  return std::any_of(a.begin(), a.end(), [&](const std::string& item) { return b.count(item); });
}

}  // namespace

bool WaveStep::excludes(const WaveStep& other) const {
  return meet(routers, other.routers) ||
         ((peering || other.peering) && meet(networks, other.networks));
}

WaveSchedule::WaveSchedule(std::vector<std::vector<WaveStep>> chains, std::size_t maxInFlight,
                           bool keepGoing)
    : chains_(std::move(chains)),
      spokes_(chains_.size()),
      maxInFlight_(std::max<std::size_t>(maxInFlight, 1)),
      keepGoing_(keepGoing) {}

bool WaveSchedule::free(const WaveStep& candidate) const {
  for (std::size_t spoke = 0; spoke < chains_.size(); ++spoke)
    if (spokes_[spoke].running && chains_[spoke][spokes_[spoke].done].excludes(candidate))
      return false;
  return true;
}

std::vector<WaveSchedule::Id> WaveSchedule::start() {
  std::vector<Id> started;
  for (std::size_t spoke = 0; spoke < chains_.size() && !stopped_; ++spoke) {
    Progress& progress = spokes_[spoke];
    if (running_ == maxInFlight_) break;
    if (progress.running || progress.failed || progress.done == chains_[spoke].size()) continue;
    if (!free(chains_[spoke][progress.done])) continue;
    progress.running = true;
    ++running_;
    started.push_back({spoke, progress.done});
  }
  return started;
}

void WaveSchedule::finished(Id id, bool succeeded) {
  Progress& progress = spokes_[id.spoke];
  progress.running = false;
  --running_;
  if (succeeded) {
    ++progress.done;
    return;
  }
  progress.failed = true;
  if (!keepGoing_) stopped_ = true;
}

void WaveSchedule::stop() { stopped_ = true; }

}  // namespace tolmi_gcp::cli
