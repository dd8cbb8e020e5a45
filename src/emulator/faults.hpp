#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::emulator {

// An injected fault: what happens to the next `times` requests that match, after `skip` of them
// have passed untouched.
struct Fault {
  int id = 0;
  std::string method;  // "" for any
  std::string path;
  int times = 1;
  int skip = 0;
  // The request is carried out first and the fault hits its answer: a change made whose answer
  // comes late, wrong or not at all.
  bool after = false;
  std::uint64_t releases = 0;  // the faults disarmed or reset before it was taken
  int delayMs = 0;
  bool drop = false;
  int status = 0;
  std::string reason;
  std::string message;
  std::optional<ResourceDocument> operationError;  // fields a failed operation carries
  // Sent with status 200 in place of the API's answer: an answer as a faulty or hostile service
  // could give it.
  std::optional<ResourceDocument> answer;

  // As the admin endpoint shows it.
  ResourceDocument describe() const;
};

// The armed faults, matched against requests in the order they were armed. Not thread-safe: the
// emulator serialises calls.
class Faults {
 public:
  // Arms the fault a POST /emulator/v1/faults body asks for; throws ApiError 400 naming what is
  // wrong with it.
  const Fault& add(const ResourceDocument& request);
  // The fault that hits this request, if any, counted as taken.
  std::optional<Fault> take(const std::string& method, const std::string& path);
  // The armed faults described.
  ResourceDocument list() const;
  void clear() { faults_.clear(); }

 private:
  std::vector<Fault> faults_;
  int nextId_ = 1;
};

}  // namespace tolmi_gcp::emulator
