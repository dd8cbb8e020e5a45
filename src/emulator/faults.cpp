#include "emulator/faults.hpp"

#include <cctype>
#include <set>

#include "emulator/operations.hpp"
#include "emulator/store.hpp"

namespace tolmi_gcp::emulator {

namespace {

std::string defaultReason(int status) {
  switch (status) {
    case 400:
      return "badRequest";
    case 403:
      return "forbidden";
    case 404:
      return "notFound";
    case 409:
      return "alreadyExists";
    case 429:
      return "rateLimitExceeded";
    default:
      return status >= 500 ? "backendError" : "invalid";
  }
}

// '*' stands for any run of characters, the rest for itself.
bool globMatch(std::string_view pattern, std::string_view text) {
  std::size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

[[noreturn]] void badFault(const std::string& why) {
  throw ApiError(400, "invalid", "Invalid fault: " + why + ".");
}

int faultNumber(const ResourceDocument& request, const char* key, int fallback, int low, int high) {
  if (!has(request, key)) return fallback;
  if (!request[key].is_number_integer() || request[key].get<long long>() < low ||
      request[key].get<long long>() > high)
    badFault(std::string("'") + key + "' must be a whole number from " + std::to_string(low) +
             " to " + std::to_string(high));
  return request[key].get<int>();
}

std::string faultText(const ResourceDocument& request, const char* key,
                      const std::string& fallback) {
  if (!has(request, key)) return fallback;
  if (!request[key].is_string()) badFault(std::string("'") + key + "' must be a string");
  return request[key].get<std::string>();
}

bool faultFlag(const ResourceDocument& request, const char* key) {
  if (!has(request, key)) return false;
  if (!request[key].is_boolean()) badFault(std::string("'") + key + "' must be true or false");
  return request[key].get<bool>();
}

Fault parseFault(const ResourceDocument& request, int id) {
  if (!request.is_object()) badFault("expected a JSON object");
  static const std::set<std::string> kKeys = {"method", "path",    "times",          "skip",
                                              "after",  "delayMs", "drop",           "status",
                                              "reason", "message", "operationError", "answer"};
  for (const auto& [key, value] : request.items())
    if (!kKeys.count(key)) badFault("unknown key '" + key + "'");
  Fault fault;
  fault.id = id;
  fault.path = faultText(request, "path", "");
  if (fault.path.empty()) badFault("'path' (a pattern where '*' matches anything) is required");
  fault.method = faultText(request, "method", "");
  for (char& c : fault.method) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (fault.method == "*") fault.method.clear();
  fault.times = faultNumber(request, "times", 1, 1, 1000000);
  fault.skip = faultNumber(request, "skip", 0, 0, 1000000);
  fault.delayMs = faultNumber(request, "delayMs", 0, 0, 600000);
  fault.after = faultFlag(request, "after");
  fault.drop = faultFlag(request, "drop");
  fault.status = faultNumber(request, "status", 0, 0, 599);
  if (fault.status && fault.status < 300) badFault("'status' must be an error status (300-599)");
  fault.reason = faultText(request, "reason", defaultReason(fault.status));
  fault.message =
      faultText(request, "message", "Injected fault: HTTP " + std::to_string(fault.status) + ".");
  if (has(request, "operationError")) {
    const ResourceDocument& given = request["operationError"];
    if (!given.is_object()) badFault("'operationError' must be an object");
    int status = faultNumber(given, "httpErrorStatusCode", 400, 300, 599);
    fault.operationError =
        operationError(faultText(given, "code", "INTERNAL_ERROR"),
                       faultText(given, "message", "Injected operation failure."), status);
    if (has(given, "httpErrorMessage"))
      (*fault.operationError)["httpErrorMessage"] = faultText(given, "httpErrorMessage", "");
  }
  if (has(request, "answer")) {
    if (!request["answer"].is_object()) badFault("'answer' must be an object");
    fault.answer = request["answer"];
  }
  int effects = (fault.drop ? 1 : 0) + (fault.status ? 1 : 0) + (fault.operationError ? 1 : 0) +
                (fault.answer ? 1 : 0);
  if (effects > 1) badFault("give only one of 'drop', 'status', 'operationError' and 'answer'");
  if (effects == 0 && !fault.delayMs)
    badFault("give 'delayMs', 'drop', 'status', 'operationError' or 'answer'");
  if (fault.after && fault.operationError)
    badFault("'operationError' makes the change fail; it cannot come 'after' it");
  return fault;
}

}  // namespace

ResourceDocument Fault::describe() const {
  ResourceDocument doc = {{"id", id}, {"method", method}, {"path", path}, {"times", times}};
  if (skip) doc["skip"] = skip;
  if (after) doc["after"] = true;
  if (delayMs) doc["delayMs"] = delayMs;
  if (drop) doc["drop"] = true;
  if (status) {
    doc["status"] = status;
    doc["reason"] = reason;
    doc["message"] = message;
  }
  if (operationError) doc["operationError"] = *operationError;
  if (answer) doc["answer"] = *answer;
  return doc;
}

const Fault& Faults::add(const ResourceDocument& request) {
  faults_.push_back(parseFault(request, nextId_));
  ++nextId_;
  return faults_.back();
}

std::optional<Fault> Faults::take(const std::string& method, const std::string& path) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if ((!it->method.empty() && it->method != method) || !globMatch(it->path, path)) continue;
    if (it->skip > 0) {
      --it->skip;
      continue;
    }
    Fault taken = *it;
    if (--it->times == 0) faults_.erase(it);
    return taken;
  }
  return std::nullopt;
}

ResourceDocument Faults::list() const {
  ResourceDocument list = ResourceDocument::array();
  for (const Fault& fault : faults_) list.push_back(fault.describe());
  return list;
}

}  // namespace tolmi_gcp::emulator
