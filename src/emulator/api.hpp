#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulator.hpp"
#include "emulator/operations.hpp"
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
      : store_(store), options_(options), operations_(store, options, std::move(now)) {}

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
  void settle() { operations_.settle(); }

  // Forgets every operation (the store is reset by its owner).
  void reset() { operations_.reset(); }

 private:
  Store& store_;
  const Options& options_;
  Operations operations_;
};

}  // namespace tolmi_gcp::emulator
