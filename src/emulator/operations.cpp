#include "emulator/operations.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

#include "emulator/wire.hpp"

namespace tolmi_gcp::emulator {

ResourceDocument operationError(const std::string& code, const std::string& message,
                                int httpStatus) {
  std::string phrase(reasonPhrase(httpStatus));
  for (char& c : phrase) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return {{"error", {{"errors", {{{"code", code}, {"message", message}}}}}},
          {"httpErrorStatusCode", httpStatus},
          {"httpErrorMessage", phrase}};
}

ResourceDocument Operations::start(const Call& call, const std::string& type,
                                   const std::string& targetLink, const std::string& region,
                                   Change change) {
  auto now = std::chrono::system_clock::now();
  long long epochMillis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  ++operationCount_;
  std::uint64_t hash = fingerprint(call.project() + "/" + std::to_string(operationCount_));
  char name[80];
  std::snprintf(name, sizeof name, "operation-%013lld-%013llx-%08x-%08x", epochMillis,
                static_cast<unsigned long long>(operationCount_), static_cast<unsigned>(hash >> 32),
                static_cast<unsigned>(hash));
  std::string scope = region.empty() ? "global" : region.substr(region.rfind("regions/"));
  std::string relative = "projects/" + call.project() + "/" + scope + "/operations/" + name;

  Operation operation;
  operation.doc = {{"kind", "compute#operation"},
                   {"id", resourceId(relative)},
                   {"name", name},
                   {"operationType", type},
                   {"targetLink", targetLink},
                   {"targetId", resourceId(targetLink)},
                   {"user", "emulator@localhost"},
                   {"selfLink", linkOf(relative)}};
  if (!region.empty()) operation.doc["region"] = region;
  operation.started = now_();
  operation.insertTime = timestamp(now);
  operation.error = call.operationError ? call.operationError : change.refusal;
  operation.change = std::move(change);
  if (operation.error) operation.change.apply = nullptr;
  if (auto requestId = call.queryParam("requestId")) {
    operation.doc["clientOperationId"] = *requestId;
    operationsByRequest_[call.project() + "/" + *requestId] = relative;
  }
  unfinished_.push_back(relative);
  return render(operations_.emplace(relative, std::move(operation)).first->second);
}

bool Operations::done(const Operation& operation) const {
  return now_() - operation.started >= std::chrono::milliseconds(options_.operationDelayMs);
}

void Operations::settle() {
  // Every operation takes as long, so they finish in the order they started.
  while (!unfinished_.empty()) {
    Operation& operation = operations_.at(unfinished_.front());
    if (!done(operation)) return;
    if (operation.change.apply) operation.change.apply();
    operation.change.apply = nullptr;
    unfinished_.pop_front();
  }
}

void Operations::checkReady(const std::string& targetLink) const {
  for (const auto& name : unfinished_)
    if (operations_.at(name).doc["targetLink"] == targetLink && !done(operations_.at(name)))
      throw ApiError(400, "resourceNotReady",
                     "The resource '" + targetLink.substr(kLinkPrefix.size()) + "' is not ready");
}

void Operations::checkNetworksFree(const Change& change) const {
  // The networks the change touches and their peers.
  std::set<std::string> near(change.networks.begin(), change.networks.end());
  for (const auto& link : change.networks)
    if (const ResourceDocument* network = store_.findNetwork(link))
      for (const auto& peering : arrayOrEmpty(*network, "peerings"))
        near.insert(peering["network"]);
  for (const auto& name : unfinished_) {
    const Operation& operation = operations_.at(name);
    if (done(operation) || (!operation.change.peering && !change.peering)) continue;
    for (const auto& link : operation.change.networks) {
      // Peering changes among themselves exclude each other on the two networks they join.
      bool excludes = operation.change.peering && change.peering
                          ? std::find(change.networks.begin(), change.networks.end(), link) !=
                                change.networks.end()
                          : near.count(link) > 0;
      if (excludes)
        throw ApiError(400, "badRequest",
                       std::string("There is a ") +
                           (operation.change.peering ? "peering" : "route") +
                           " operation in progress on the local or peer network. Try again later.");
    }
  }
}

ResourceDocument Operations::render(const Operation& operation) const {
  auto delay = std::chrono::milliseconds(options_.operationDelayMs);
  auto elapsed = now_() - operation.started;
  const ResourceDocument& fixed = operation.doc;
  ResourceDocument doc;
  for (const char* key : {"kind", "id", "name", "operationType", "targetLink", "targetId"})
    doc[key] = fixed[key];
  if (elapsed >= delay) {
    doc["status"] = "DONE";
    doc["progress"] = 100;
  } else {
    // The first half of the delay is spent PENDING, the second RUNNING.
    doc["status"] = elapsed * 2 < delay ? "PENDING" : "RUNNING";
    doc["progress"] = static_cast<int>(elapsed * 100 / delay);
  }
  doc["user"] = fixed["user"];
  doc["insertTime"] = operation.insertTime;
  doc["startTime"] = operation.insertTime;
  if (elapsed >= delay) {
    auto end = std::chrono::system_clock::now() -
               std::chrono::duration_cast<std::chrono::system_clock::duration>(elapsed - delay);
    doc["endTime"] = timestamp(end);
    if (operation.error)
      for (const auto& [key, value] : operation.error->items()) doc[key] = value;
  }
  doc["selfLink"] = fixed["selfLink"];
  if (fixed.contains("region")) doc["region"] = fixed["region"];
  if (fixed.contains("clientOperationId")) doc["clientOperationId"] = fixed["clientOperationId"];
  return doc;
}

ResourceDocument Operations::get(const Address& address) const {
  std::string prefix = "projects/" + address.project + "/" + address.scope + "/operations/";
  auto it = operations_.find(prefix + address.name);
  if (it != operations_.end()) return render(it->second);
  // The operation's numeric id names it too.
  for (auto match = operations_.lower_bound(prefix);
       match != operations_.end() && match->first.starts_with(prefix); ++match)
    if (match->second.doc.at("id") == address.name) return render(match->second);
  throwNotFound(prefix + address.name);
}

std::map<std::string, ResourceDocument> Operations::current(const std::string& collection) const {
  std::map<std::string, ResourceDocument> out;
  for (auto it = operations_.lower_bound(collection + "/");
       it != operations_.end() && it->first.starts_with(collection + "/"); ++it)
    out.emplace(it->first, render(it->second));
  return out;
}

Operations::Address Operations::addressOf(const PathParameters& parameters) {
  auto region = parameters.find("region");
  return {parameters.at("project"),
          region == parameters.end() ? "global" : "regions/" + region->second,
          parameters.at("operation")};
}

std::chrono::milliseconds Operations::holdTime(const Address& address) const {
  auto it = operations_.find("projects/" + address.project + "/" + address.scope + "/operations/" +
                             address.name);
  if (it == operations_.end() || done(it->second)) return std::chrono::milliseconds(0);
  auto remaining = std::chrono::ceil<std::chrono::milliseconds>(
      it->second.started + std::chrono::milliseconds(options_.operationDelayMs) - now_());
  return std::min(remaining, std::chrono::milliseconds(options_.waitTimeoutMs));
}

void Operations::reset() {
  operations_.clear();
  unfinished_.clear();
  operationsByRequest_.clear();
}

std::optional<ResourceDocument> Operations::repeated(const Call& call) const {
  auto requestId = call.queryParam("requestId");
  if (!requestId) return std::nullopt;
  static const RE2 kUuid(
      "[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}");
  if (!RE2::FullMatch(*requestId, kUuid) || *requestId == "00000000-0000-0000-0000-000000000000")
    throw ApiError(400, "invalid",
                   "Invalid value for field 'requestId': '" + *requestId +
                       "'. The request id must be a valid UUID with the exception that zero "
                       "UUID is not supported.");
  auto known = operationsByRequest_.find(call.project() + "/" + *requestId);
  if (known == operationsByRequest_.end()) return std::nullopt;
  return render(operations_.at(known->second));
}

}  // namespace tolmi_gcp::emulator
