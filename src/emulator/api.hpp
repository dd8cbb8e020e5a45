#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulator.hpp"
#include "emulator/store.hpp"

namespace tolmi_gcp::emulator {

// The Compute Engine API methods over a Store, with the operations that changes return. Not
// thread-safe: the emulator serialises calls.
class ComputeApi {
 public:
  ComputeApi(Store& store, const Options& options) : store_(store), options_(options) {}

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

  // Forgets every operation (the store is reset by its owner).
  void reset();

 private:
  using Clock = std::chrono::steady_clock;
  struct Call;
  struct Operation {
    ResourceDocument doc;  // the fields fixed at creation
    Clock::time_point started;
    std::string insertTime;
    std::optional<ResourceDocument> error;
    std::vector<std::string> peeringNetworks;  // links of networks whose peerings it changes
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

  // Records a change's operation and returns its document as it stands now.
  ResourceDocument startOperation(const Call& call, const std::string& type,
                                  const std::string& targetLink, const std::string& region,
                                  std::vector<std::string> peeringNetworks = {});
  // The operation named by a call's path; 404 when unknown.
  const Operation& findOperation(const std::string& project, const std::string& scope,
                                 const std::string& name) const;
  ResourceDocument render(const Operation& operation) const;
  bool done(const Operation& operation) const;
  // 400 while an unfinished peering change touches one of these networks.
  void checkNoPeeringInProgress(const std::vector<std::string>& networkLinks) const;
  // The operation an earlier call with the same requestId started, if any.
  std::optional<ResourceDocument> repeated(const Call& call) const;

  Store& store_;
  const Options& options_;
  std::map<std::string, Operation> operations_;             // by relative name
  std::map<std::string, std::string> operationsByRequest_;  // "project/requestId" → relative name
  std::uint64_t operationCount_ = 0;
};

}  // namespace tolmi_gcp::emulator
