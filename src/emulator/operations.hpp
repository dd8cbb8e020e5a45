#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "emulator/call.hpp"
#include "emulator/emulator.hpp"

namespace tolmi_gcp::emulator {

// What a change does to the store and which networks' routes or peerings it changes.
struct Change {
  std::function<void()> apply;
  bool peering = false;
  std::vector<std::string> networks;  // links
  // Set when the API accepts the request but cannot make the change (a quota is spent): the
  // operation finishes DONE with this error and changes nothing.
  std::optional<ResourceDocument> refusal = std::nullopt;
};

// The fields of an operation that finished with an error: `error.errors[0]` with `code` and
// `message`, and the HTTP status and message the API reports it under.
ResourceDocument operationError(const std::string& code, const std::string& message,
                                int httpStatus);

// The operations that changes return: each goes PENDING → RUNNING → DONE over the operation
// delay, and its change is made when it finishes, unless an injected error makes it fail. Not
// thread-safe: the emulator serialises calls.
class Operations {
 public:
  // The operation a path names: "global" or "regions/R", and its name or id.
  struct Address {
    std::string project;
    std::string scope;
    std::string name;
  };
  static Address addressOf(const PathParameters& parameters);

  Operations(const Store& store, const Options& options, Now now)
      : store_(store), options_(options), now_(std::move(now)) {}

  // Records a change's operation and returns its document as it stands now.
  ResourceDocument start(const Call& call, const std::string& type, const std::string& targetLink,
                         const std::string& region, Change change);
  // The operation an earlier call with the same requestId started, if any; 400 for a requestId
  // that is no UUID.
  std::optional<ResourceDocument> repeated(const Call& call) const;
  // The operation as it stands now; 404 when unknown.
  ResourceDocument get(const Address& address) const;
  // The operations of a collection ("projects/p/global/operations") as they stand now, by
  // relative name.
  std::map<std::string, ResourceDocument> current(const std::string& collection) const;
  // How long a wait on the operation should be held before it is answered: until the operation
  // is done, at most the wait timeout.
  std::chrono::milliseconds holdTime(const Address& address) const;

  // 400 resourceNotReady while an operation on the resource is unfinished.
  void checkReady(const std::string& targetLink) const;
  // 400 while an unfinished change excludes this one: route and peering changes exclude each
  // other on a network and its peers, as peering changes do among themselves.
  void checkNetworksFree(const Change& change) const;

  // Makes the changes of the operations that have finished.
  void settle();
  // Forgets every operation.
  void reset();

 private:
  struct Operation {
    ResourceDocument doc;  // the fields fixed at creation
    Clock::time_point started;
    std::string insertTime;
    std::optional<ResourceDocument> error;
    Change change;
  };

  ResourceDocument render(const Operation& operation) const;
  bool done(const Operation& operation) const;

  const Store& store_;
  const Options& options_;
  Now now_;
  std::map<std::string, Operation> operations_;  // by relative name
  std::deque<std::string> unfinished_;  // operations whose change is not made yet, oldest first
  std::map<std::string, std::string> operationsByRequest_;  // "project/requestId" → relative name
  std::uint64_t operationCount_ = 0;
};

}  // namespace tolmi_gcp::emulator
