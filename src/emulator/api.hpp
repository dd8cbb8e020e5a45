#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulator.hpp"
#include "emulator/store.hpp"

namespace tolmi_gcp::emulator {

// The Compute Engine API methods over a Store, with the operations that changes return. A change
// is checked when it is asked for and made when its operation finishes. Not thread-safe: the
// emulator serialises calls.
class ComputeApi {
 public:
  using Clock = emulator::Clock;
  using Now = emulator::Now;

  ComputeApi(Store& store, const Options& options, Now now = Clock::now)
      : store_(store), options_(options), now_(std::move(now)) {}

  // Answers one call. `path` holds the decoded segments after "/compute/v1/". A change made
  // under `operationError` is not applied and its operation finishes DONE with that error.
  // Throws ApiError for what the API refuses.
  ResourceDocument call(const std::string& method, const std::vector<std::string>& path,
                        const QueryList& query, const ResourceDocument& body,
                        const std::optional<ResourceDocument>& operationError);

  // How long an operations.wait call should be held before it is answered: until the operation
  // is done, at most the wait timeout. Zero for every other call.
  std::chrono::milliseconds holdTime(const std::string& method,
                                     const std::vector<std::string>& path) const;

  // Makes the changes of the operations that have finished. Calls do it first; the owner does it
  // before it shows the store.
  void settle();

  // Forgets every operation (the store is reset by its owner).
  void reset();

 private:
  struct Call;
  // What a change does to the store and which networks' routes or peerings it changes.
  struct Change {
    std::function<void()> apply;
    bool peering = false;
    std::vector<std::string> networks;  // links
  };
  struct Operation {
    ResourceDocument doc;  // the fields fixed at creation
    Clock::time_point started;
    std::string insertTime;
    std::optional<ResourceDocument> error;
    Change change;
  };

  ResourceDocument listNetworks(const Call& call);
  ResourceDocument getNetwork(const Call& call);
  ResourceDocument addPeering(const Call& call);
  ResourceDocument removePeering(const Call& call);
  ResourceDocument getSubnetwork(const Call& call);
  ResourceDocument listRoutes(const Call& call);
  ResourceDocument getRoute(const Call& call);
  ResourceDocument insertRoute(const Call& call);
  ResourceDocument deleteRoute(const Call& call);
  ResourceDocument getInstance(const Call& call);
  ResourceDocument listRouters(const Call& call);
  ResourceDocument aggregatedRouters(const Call& call);
  ResourceDocument getRouter(const Call& call);
  ResourceDocument patchRouter(const Call& call);
  ResourceDocument getOperation(const Call& call);
  ResourceDocument listGlobalOperations(const Call& call);

  // Records a change's operation and returns its document as it stands now. The change is made
  // when the operation finishes, unless an injected error makes it fail.
  ResourceDocument startOperation(const Call& call, const std::string& type,
                                  const std::string& targetLink, const std::string& region,
                                  Change change);
  // The operation named by a call's path; 404 when unknown.
  const Operation& findOperation(const std::string& project, const std::string& scope,
                                 const std::string& name) const;
  ResourceDocument render(const Operation& operation) const;
  bool done(const Operation& operation) const;
  // 400 resourceNotReady while an operation on the resource is unfinished.
  void checkReady(const std::string& targetLink) const;
  // 400 while an unfinished change excludes this one: route and peering changes exclude each
  // other on a network and its peers, as peering changes do among themselves.
  void checkNetworksFree(const Change& change) const;
  // The operation an earlier call with the same requestId started, if any.
  std::optional<ResourceDocument> repeated(const Call& call) const;

  Store& store_;
  const Options& options_;
  Now now_;
  std::map<std::string, Operation> operations_;  // by relative name
  std::deque<std::string> unfinished_;  // operations whose change is not made yet, oldest first
  std::map<std::string, std::string> operationsByRequest_;  // "project/requestId" → relative name
  std::uint64_t operationCount_ = 0;
};

}  // namespace tolmi_gcp::emulator
