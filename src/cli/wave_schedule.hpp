#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace tolmi_gcp::cli {

// One part of one spoke in a wave, run as a tool process of its own, with what its changes lock.
struct WaveStep {
  std::string part;                 // "peerings", "routes" or "routers"
  bool peering = false;             // it adds or removes peerings
  std::set<std::string> networks;   // the networks whose peerings or routes it changes
  std::set<std::string> routers;    // the routers it patches
  std::vector<std::string> stages;  // for routes: the stages --stage names, empty for all
  // For routers shared with other spokes: the spokes (this one too, in order) whose routers parts
  // run as one process, one patch per router; empty when the part runs alone.
  std::vector<std::size_t> together;

  // The API refuses a change to a router with an unfinished operation, and a peering operation
  // while another peering or route operation is unfinished on either network it joins. Routes
  // changes on their own exclude nothing. (A spoke's route changes also meet the peering
  // operations of its peers; in a wave its own peerings to the transit networks are gone by then,
  // or not back yet.)
  bool excludes(const WaveStep& other) const;
};

// Which steps of a wave may start: each spoke's steps in their order, one at a time, at most
// `maxInFlight` at once, none beside a running step it excludes. A failed step ends its spoke and,
// unless `keepGoing`, the wave starts no step of any spoke after it.
class WaveSchedule {
 public:
  struct Id {
    std::size_t spoke, step;
  };

  WaveSchedule(std::vector<std::vector<WaveStep>> chains, std::size_t maxInFlight, bool keepGoing);

  // The steps that may start now, in the order of the spokes; they count as running from now. A
  // step run together starts once every spoke of it that has not failed has come to it, as the
  // step of the first of them.
  std::vector<Id> start();
  // The spokes whose part `id` runs: its own, or those it runs together with.
  std::vector<std::size_t> spokesOf(Id id) const;
  void finished(Id id, bool succeeded);
  void stop();  // start nothing more: the wave was interrupted
  bool running() const { return running_ > 0; }
  bool stopped() const { return stopped_; }

  const WaveStep& step(Id id) const { return chains_[id.spoke][id.step]; }
  // The steps of `spoke` that ended well, in order.
  std::size_t done(std::size_t spoke) const { return spokes_[spoke].done; }
  bool failed(std::size_t spoke) const { return spokes_[spoke].failed; }

 private:
  struct Progress {
    std::size_t done = 0;
    bool running = false;
    bool failed = false;
  };

  bool free(const WaveStep& step) const;
  bool ready(std::size_t spoke) const;  // its next step is there, not running

  std::vector<std::vector<WaveStep>> chains_;
  std::vector<Progress> spokes_;
  std::size_t maxInFlight_;
  bool keepGoing_;
  std::size_t running_ = 0;
  bool stopped_ = false;
};

}  // namespace tolmi_gcp::cli
