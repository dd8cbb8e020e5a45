#include "cli/change_log.hpp"

#include <ostream>

#include "cli/held_router_patches.hpp"
#include "tolmi_gcp/res/revert_record.hpp"

namespace tolmi_gcp::cli {

namespace {

// The resource a change acts on, relative to the API root: its method's path filled in, the
// network for a peering change, the new route for an insert.
std::string resourceOf(const Request& request) {
  const ApiMethod& method = request.apiMethod();
  std::string resource = request.resourcePath();
  if (&method == &api::kNetworksAddPeering || &method == &api::kNetworksRemovePeering)
    resource.erase(resource.rfind('/'));
  if (&method == &api::kRoutesInsert && request.body())
    resource += "/" + textOf(memberOrNull(*request.body(), "name"));
  return resource;
}

std::string peeringOf(const Request& request) {
  if (!request.body()) return "";
  const ResourceDocument& body = *request.body();
  if (&request.apiMethod() == &api::kNetworksRemovePeering)
    return textOf(memberOrNull(body, "name"));
  if (&request.apiMethod() == &api::kNetworksAddPeering)
    return textOf(memberOrNull(memberOrNull(body, "networkPeering"), "name"));
  return "";
}

// What kind of change a request makes, for the summary.
std::string changeKind(const ApiMethod& method) {
  static const std::map<std::string_view, std::string> kKinds = {
      {api::kNetworksRemovePeering.name, "peering removals"},
      {api::kNetworksAddPeering.name, "peering creations"},
      {api::kRoutesInsert.name, "route creations"},
      {api::kRoutesDelete.name, "route deletions"},
      {api::kRoutersPatch.name, "router patches"}};
  auto known = kKinds.find(method.name);
  return known != kKinds.end() ? known->second : std::string(method.name);
}

// "routes.insert" of "compute.routes.insert".
std::string actionOf(const ApiMethod& method) {
  std::string_view name = method.name;
  return std::string(name.substr(name.find('.') + 1));
}

// The first message of a finished operation's error, "" when it has none.
std::string operationError(const ResourceDocument& operation) {
  const ResourceDocument& errors = memberOrNull(memberOrNull(operation, "error"), "errors");
  if (!errors.is_array()) return "";
  if (errors.empty()) return "the operation ended in error";
  return textOf(memberOrNull(errors[0], "message"));
}

std::string statusOf(const ResourceDocument& operation) {
  const ResourceDocument& status = memberOrNull(operation, "status");
  return status.is_string() ? status.get<std::string>() : "";
}

}  // namespace

ChangeLog::ChangeLog(Output& output, std::ostream* events) : output_(output), events_(events) {}

void ChangeLog::setPart(const std::string& label) {
  std::lock_guard lock(mutex_);
  part_ = label;
}

void ChangeLog::onSend(const Request& request) {
  if (request.apiMethod().kind != CallKind::kWait) return;
  const std::string& operation = request.parameters().back();
  std::lock_guard lock(mutex_);
  auto known = awaited_.find(operation);
  output_.logOnly("awaiting " + operation +
                  (known == awaited_.end()
                       ? ""
                       : " (" + known->second.action + " " + known->second.resource + ")"));
}

void ChangeLog::onAnswer(const Request& request, const ResourceDocument& answer) {
  CallKind kind = request.apiMethod().kind;
  if (kind == CallKind::kRead) return;
  std::string status = statusOf(answer);
  if (kind == CallKind::kWait) {
    if (status.empty() || status == "DONE") {
      std::string error = operationError(answer);
      ended(request.parameters().back(),
            HeldRouterPatches::isHeldOperation(answer) ? "held"
            : error.empty()                            ? "done"
                                                       : "error",
            error);
    }
    return;
  }
  std::string operation = textOf(memberOrNull(answer, "name"));
  std::lock_guard lock(mutex_);
  Change change = changeOf(request);
  output_.logOnly("operation " + operation + " started: " + change.action + " " + change.resource +
                  (change.peering.empty() ? "" : " peering " + change.peering));
  awaited_[operation] = std::move(change);
}

void ChangeLog::onFailure(const Request& request, std::string_view failure) {
  switch (request.apiMethod().kind) {
    case CallKind::kRead:
      return;
    case CallKind::kWait:
      // A failed wait or read of an operation says nothing of the change: it stays awaited.
      output_.logOnly("operation " + request.parameters().back() +
                      " not read: " + std::string(failure));
      return;
    case CallKind::kChange: {
      std::lock_guard lock(mutex_);
      written(changeOf(request), "", "failed", std::string(failure));
    }
  }
}

ChangeLog::Change ChangeLog::changeOf(const Request& request) const {
  const ApiMethod& method = request.apiMethod();
  return {changeKind(method), part_, actionOf(method), resourceOf(request), peeringOf(request)};
}

std::map<std::string, int> ChangeLog::made() const {
  std::lock_guard lock(mutex_);
  return made_;
}

int ChangeLog::failed() const {
  std::lock_guard lock(mutex_);
  return failed_;
}

void ChangeLog::ended(const std::string& operation, const std::string& result,
                      const std::string& error) {
  std::lock_guard lock(mutex_);
  auto known = awaited_.find(operation);
  output_.logOnly("operation " + operation + " " + result + (error.empty() ? "" : ": " + error));
  if (known == awaited_.end()) return;
  written(known->second, operation, result, error);
  awaited_.erase(known);
}

void ChangeLog::finish() {
  std::lock_guard lock(mutex_);
  for (const auto& [operation, change] : awaited_) written(change, operation, "unfinished", "");
  awaited_.clear();
}

void ChangeLog::written(const Change& change, const std::string& operation,
                        const std::string& result, const std::string& error) {
  // An unfinished change may yet be made, a held one goes out in another's patch: they count as
  // neither.
  if (result == "done")
    ++made_[change.kind];
  else if (result != "unfinished" && result != "held")
    ++failed_;
  ResourceDocument fields = {{"time", utcNow()},
                             {"part", change.part},
                             {"action", change.action},
                             {"resource", change.resource}};
  if (!change.peering.empty()) fields["peering"] = change.peering;
  if (!operation.empty()) fields["operation"] = operation;
  fields["result"] = result;
  if (!error.empty()) fields["error"] = error;
  write("change", fields);
}

void ChangeLog::write(const std::string& event, const ResourceDocument& fields) {
  if (!events_) return;
  ResourceDocument line = {{"event", event}};
  for (const auto& field : fields.items()) line[field.key()] = field.value();
  *events_ << jsonText(line) << '\n' << std::flush;
}

std::string eventWithSpoke(const std::string& line, const ResourceDocument& spoke) {
  ResourceDocument event = parseDocumentOrDiscarded(line);
  if (!event.is_object()) return line;
  ResourceDocument tagged = ResourceDocument::object();
  if (event.contains("event")) tagged["event"] = event["event"];
  tagged["spoke"] = spoke;
  for (const auto& [key, value] : event.items()) tagged[key] = value;
  return jsonText(tagged);
}

}  // namespace tolmi_gcp::cli
