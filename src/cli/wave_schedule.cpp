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

bool WaveSchedule::ready(std::size_t spoke) const {
  const Progress& progress = spokes_[spoke];
  return !progress.running && !progress.failed && progress.done < chains_[spoke].size();
}

std::vector<std::size_t> WaveSchedule::spokesOf(Id id) const {
  const std::vector<std::size_t>& together = step(id).together;
  if (together.empty()) return {id.spoke};
  std::vector<std::size_t> spokes;
  for (std::size_t spoke : together)
    if (!spokes_[spoke].failed) spokes.push_back(spoke);
  return spokes;
}

std::vector<WaveSchedule::Id> WaveSchedule::start() {
  std::vector<Id> started;
  for (std::size_t spoke = 0; spoke < chains_.size() && !stopped_; ++spoke) {
    if (running_ == maxInFlight_) break;
    if (!ready(spoke)) continue;
    Id id{spoke, spokes_[spoke].done};
    std::vector<std::size_t> spokes = spokesOf(id);
    // The first of the spokes starts the step once each of them has come to its own copy.
    bool startable = spokes.front() == spoke &&
                     std::all_of(spokes.begin(), spokes.end(), [&](std::size_t other) {
                       const Progress& progress = spokes_[other];
                       return ready(other) &&
                              chains_[other][progress.done].together == step(id).together &&
                              free(chains_[other][progress.done]);
                     });
    if (!startable) continue;
    for (std::size_t other : spokes) spokes_[other].running = true;
    ++running_;
    started.push_back(id);
  }
  return started;
}

void WaveSchedule::finished(Id id, bool succeeded) {
  --running_;
  for (std::size_t spoke : spokesOf(id)) {
    Progress& progress = spokes_[spoke];
    progress.running = false;
    if (succeeded)
      ++progress.done;
    else
      progress.failed = true;
  }
  if (!succeeded && !keepGoing_) stopped_ = true;
}

void WaveSchedule::stop() { stopped_ = true; }

}  // namespace tolmi_gcp::cli
