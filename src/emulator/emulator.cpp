#include "emulator/emulator.hpp"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "emulator/api.hpp"
#include "emulator/auth.hpp"
#include "emulator/store.hpp"
#include "emulator/wire.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"

namespace tolmi_gcp::emulator {

namespace {

constexpr std::string_view kApiPrefix = "/compute/v1/";
constexpr std::string_view kAdminPrefix = "/emulator/v1/";
constexpr std::string_view kBatchPath = "/batch/compute/v1";
// The journal keeps the latest requests; a long-running server must not grow without bound.
constexpr std::size_t kJournalLimit = 100000;
// It holds request bodies up to this many bytes in all, the oldest giving way first, and never
// one larger than kJournalBodyLimit; an entry whose body went says so and how large it was.
constexpr std::size_t kJournalBodyBudget = 16 * 1024 * 1024;
constexpr std::size_t kJournalBodyLimit = 1024 * 1024;

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

std::vector<std::string> apiSegments(std::string_view path) {
  std::vector<std::string> segments;
  path.remove_prefix(kApiPrefix.size());
  while (true) {
    auto slash = path.find('/');
    segments.push_back(percentDecode(path.substr(0, slash)));
    if (slash == std::string_view::npos) return segments;
    path.remove_prefix(slash + 1);
  }
}

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

  ResourceDocument describe() const {
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
    return doc;
  }
};

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
  static const std::set<std::string> kKeys = {"method", "path",    "times",         "skip",
                                              "after",  "delayMs", "drop",          "status",
                                              "reason", "message", "operationError"};
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
    fault.operationError = ResourceDocument{
        {"error",
         {{"errors",
           {{{"code", faultText(given, "code", "INTERNAL_ERROR")},
             {"message", faultText(given, "message", "Injected operation failure.")}}}}}},
        {"httpErrorStatusCode", status},
        {"httpErrorMessage", faultText(given, "httpErrorMessage", [status] {
           std::string text(reasonPhrase(status));
           for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
           return text;
         }())}};
  }
  int effects = (fault.drop ? 1 : 0) + (fault.status ? 1 : 0) + (fault.operationError ? 1 : 0);
  if (effects > 1) badFault("give only one of 'drop', 'status' and 'operationError'");
  if (effects == 0 && !fault.delayMs)
    badFault("give 'delayMs', 'drop', 'status' or 'operationError'");
  if (fault.after && fault.operationError)
    badFault("'operationError' makes the change fail; it cannot come 'after' it");
  return fault;
}

}  // namespace

struct Emulator::Impl {
  Impl(Store initialStore, Options opts, const ResourceDocument& authSection)
      : options(opts),
        initial(std::move(initialStore)),
        store(initial),
        api(store, options),
        auth(authSection) {}

  HttpResponse serve(const std::string& method, const std::string& path, const QueryList& query,
                     const HeaderList& headers, const std::string& body);
  HttpResponse serveApi(const std::string& method, const std::string& path, const QueryList& query,
                        const std::string& body);
  HttpResponse admin(const std::string& method, const std::string& path, const std::string& body);
  std::optional<Fault> takeFault(const std::string& method, const std::string& path);
  void hold(const Fault& fault);
  void releaseHeld();
  void record(const std::string& method, const std::string& path, const QueryList& query,
              const std::string& body, int status, const std::string& answer = "");
  ResourceDocument journalDocument() const;
  void clearJournal();

  const Options options;
  const Store initial;
  mutable std::mutex mutex;  // guards everything below
  Store store;
  ComputeApi api;
  struct JournalEntry {
    ResourceDocument request;
    std::size_t bodyBytes;  // of a body still held
  };
  std::deque<JournalEntry> journal;
  std::size_t journalDropped = 0;
  std::size_t journalBodyBytes = 0;
  std::size_t oldestHeldBody = 0;  // no entry before this one holds its body
  std::vector<Fault> faults;
  int nextFaultId = 1;
  std::condition_variable released;  // wakes requests held by a fault's delay
  std::uint64_t releases = 0;
  Auth auth;  // guards itself
};

Emulator::Emulator(const ResourceDocument& topology, Options options)
    : impl_(std::make_unique<Impl>(Store::fromTopology(topology), options,
                                   memberOrNull(topology, "auth"))) {}

Emulator::~Emulator() = default;

ResourceDocument Emulator::loadTopology(const std::string& path) {
  ResourceDocument topology = parseYamlFile(path);
  try {
    Store::fromTopology(topology);
    Auth check(memberOrNull(topology, "auth"));
  } catch (const ConfigError& problem) {
    throw ConfigError(path + ": " + problem.what());
  }
  return topology;
}

HttpResponse Emulator::handle(const std::string& method, const std::string& path,
                              const QueryList& query, const HeaderList& headers,
                              const std::string& body) {
  if (path.starts_with(kAdminPrefix)) {
    // The admin door opens with the API's token when one is required.
    if (impl_->options.requireAuth)
      if (auto refusal = impl_->auth.refuse(headers)) return *refusal;
    return impl_->admin(method, path.substr(kAdminPrefix.size()), body);
  }
  if (auto answer = impl_->auth.serve(method, path, query, headers, body)) return *answer;
  return impl_->serve(method, path, query, headers, body);
}

ResourceDocument Emulator::state() const {
  std::lock_guard lock(impl_->mutex);
  impl_->api.settle();
  return impl_->store.dump();
}

ResourceDocument Emulator::journal() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->journalDocument();
}

ResourceDocument Emulator::Impl::journalDocument() const {
  ResourceDocument requests = ResourceDocument::array();
  for (const auto& entry : journal) requests.push_back(entry.request);
  ResourceDocument doc = {{"requests", std::move(requests)}};
  if (journalDropped) doc["dropped"] = journalDropped;
  return doc;
}

HttpResponse Emulator::Impl::serve(const std::string& method, const std::string& path,
                                   const QueryList& query, const HeaderList& headers,
                                   const std::string& body) {
  bool apiCall = path == kBatchPath || path.starts_with(kApiPrefix);
  // Every API answer takes a round trip's time, as it does from afar.
  if (apiCall && options.latencyMs > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(options.latencyMs));
  if (options.requireAuth && apiCall) {
    if (auto refusal = auth.refuse(headers)) {
      std::lock_guard lock(mutex);
      record(method, path, query, body, refusal->status);
      return *refusal;
    }
  }
  if (path == kBatchPath && method == "POST") {
    std::vector<BatchPart> parts;
    try {
      parts = parseBatch(requestHeader(headers, "content-type"), body);
    } catch (const ApiError& problem) {
      return errorResponse(problem.status(), problem.reason(), problem.what());
    }
    std::vector<HttpResponse> responses;
    for (const BatchPart& part : parts)
      responses.push_back(
          part.path.starts_with(kApiPrefix)
              ? serveApi(part.method, part.path, part.query, part.body)
              : errorResponse(404, "notFound",
                              "The requested URL " + part.path + " was not found on this server."));
    return batchResponse(parts, responses);
  }
  if (path.starts_with(kApiPrefix)) return serveApi(method, path, query, body);
  return errorResponse(404, "notFound",
                       "The requested URL " + path + " was not found on this server.");
}

HttpResponse Emulator::Impl::serveApi(const std::string& method, const std::string& path,
                                      const QueryList& query, const std::string& body) {
  std::optional<Fault> fault = takeFault(method, path);
  std::optional<Fault> early = fault && !fault->after ? fault : std::nullopt;
  if (early && early->delayMs) hold(*early);
  if (early && early->drop) {
    std::lock_guard lock(mutex);
    record(method, path, query, body, 0);
    throw ConnectionDropped("connection dropped by an injected fault on " + method + " " + path);
  }
  HttpResponse response;
  if (early && early->status) {
    response = errorResponse(early->status, early->reason, early->message);
  } else {
    std::vector<std::string> segments = apiSegments(path);
    ResourceDocument document;
    if (!body.empty()) document = parseDocumentOrDiscarded(body);
    if (document.is_discarded()) {
      response = errorResponse(400, "parseError",
                               "Invalid JSON payload received: the request body is not JSON.");
    } else {
      std::chrono::milliseconds hold;
      {
        std::lock_guard lock(mutex);
        hold = api.holdTime(method, segments);
      }
      // A wait is held without the lock, so that other requests go on meanwhile.
      if (hold.count() > 0) std::this_thread::sleep_for(hold);
      std::lock_guard lock(mutex);
      try {
        std::optional<ResourceDocument> operationError;
        if (fault) operationError = fault->operationError;
        response = jsonResponse(200, api.call(method, segments, query, document, operationError));
      } catch (const ApiError& problem) {
        response = errorResponse(problem.status(), problem.reason(), problem.what());
      }
    }
  }
  {
    // The journal shows what was done, whatever becomes of the answer below.
    std::lock_guard lock(mutex);
    record(method, path, query, body, response.status, response.body);
  }
  if (fault && fault->after) {
    if (fault->delayMs) hold(*fault);
    if (fault->drop)
      throw ConnectionDropped("connection dropped by an injected fault after " + method + " " +
                              path);
    if (fault->status) response = errorResponse(fault->status, fault->reason, fault->message);
  }
  return response;
}

// Held without the lock; disarming the faults or a reset since the fault was taken lets the
// request go on at once.
void Emulator::Impl::hold(const Fault& fault) {
  std::unique_lock lock(mutex);
  released.wait_for(lock, std::chrono::milliseconds(fault.delayMs),
                    [&] { return releases != fault.releases; });
}

void Emulator::Impl::releaseHeld() {
  ++releases;
  released.notify_all();
}

std::optional<Fault> Emulator::Impl::takeFault(const std::string& method, const std::string& path) {
  std::lock_guard lock(mutex);
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if ((!it->method.empty() && it->method != method) || !globMatch(it->path, path)) continue;
    if (it->skip > 0) {
      --it->skip;
      continue;
    }
    Fault taken = *it;
    taken.releases = releases;
    if (--it->times == 0) faults.erase(it);
    return taken;
  }
  return std::nullopt;
}

void Emulator::Impl::record(const std::string& method, const std::string& path,
                            const QueryList& query, const std::string& body, int status,
                            const std::string& answer) {
  ResourceDocument parameters = ResourceDocument::object();
  for (const auto& [name, value] : query) parameters[name] = value;
  bool keep = body.size() <= kJournalBodyLimit;
  ResourceDocument parsed = nullptr;
  if (keep && !body.empty()) {
    parsed = parseDocumentOrDiscarded(body);
    if (parsed.is_discarded()) parsed = body;
  }
  journal.push_back({{{"method", method},
                      {"path", path},
                      {"query", std::move(parameters)},
                      {"body", std::move(parsed)},
                      {"status", status}},
                     keep ? body.size() : 0});
  if (!keep) journal.back().request["bodyElided"] = body.size();
  journalBodyBytes += journal.back().bodyBytes;
  for (; journalBodyBytes > kJournalBodyBudget; ++oldestHeldBody) {
    JournalEntry& oldest = journal[oldestHeldBody];
    if (oldest.bodyBytes == 0) continue;
    oldest.request["body"] = nullptr;
    oldest.request["bodyElided"] = oldest.bodyBytes;
    journalBodyBytes -= oldest.bodyBytes;
    oldest.bodyBytes = 0;
  }
  if (options.journalAnswers && !answer.empty())
    journal.back().request["answer"] = parseDocumentOrDiscarded(answer);
  if (journal.size() > kJournalLimit) {
    journalBodyBytes -= journal.front().bodyBytes;
    journal.pop_front();
    ++journalDropped;
    if (oldestHeldBody > 0) --oldestHeldBody;
  }
}

void Emulator::Impl::clearJournal() {
  journal.clear();
  journalDropped = 0;
  journalBodyBytes = 0;
  oldestHeldBody = 0;
}

HttpResponse Emulator::Impl::admin(const std::string& method, const std::string& path,
                                   const std::string& body) {
  try {
    if (method == "GET" && path == "state") {
      std::lock_guard lock(mutex);
      api.settle();
      return jsonResponse(200, store.dump());
    }
    if (path == "requests" && (method == "GET" || method == "DELETE")) {
      std::lock_guard lock(mutex);
      ResourceDocument doc = journalDocument();
      if (method == "DELETE") clearJournal();
      return jsonResponse(200, doc);
    }
    if (path == "faults" && method == "POST") {
      ResourceDocument request = parseDocumentOrDiscarded(body);
      std::lock_guard lock(mutex);
      faults.push_back(parseFault(request, nextFaultId));
      ++nextFaultId;
      return jsonResponse(200, faults.back().describe());
    }
    if (path == "faults" && (method == "GET" || method == "DELETE")) {
      std::lock_guard lock(mutex);
      ResourceDocument list = ResourceDocument::array();
      for (const Fault& fault : faults) list.push_back(fault.describe());
      if (method == "DELETE") {
        faults.clear();
        releaseHeld();
      }
      return jsonResponse(200, {{"faults", std::move(list)}});
    }
    if (path == "reset" && method == "POST") {
      std::lock_guard lock(mutex);
      store = initial;
      api.reset();
      releaseHeld();
      return jsonResponse(200, ResourceDocument::object());
    }
    if (path == "auth" && method == "GET") return jsonResponse(200, auth.grants());
    if (path == "auth/tokens" && method == "DELETE") {
      auth.revokeTokens();
      return jsonResponse(200, ResourceDocument::object());
    }
  } catch (const ApiError& problem) {
    return errorResponse(problem.status(), problem.reason(), problem.what());
  }
  return errorResponse(404, "notFound",
                       "No admin endpoint " + method + " " + std::string(kAdminPrefix) + path +
                           " (there are GET state, GET|DELETE requests, POST|GET|DELETE faults, "
                           "POST reset, GET auth, DELETE auth/tokens).");
}

InProcessTransport::InProcessTransport(std::shared_ptr<Emulator> emulator)
    : emulator_(std::move(emulator)) {}

HttpResponse InProcessTransport::send(const HttpRequest& request) {
  // The path part of the endpoint, whatever host it names.
  std::string_view base = request.baseUrl;
  if (auto scheme = base.find("://"); scheme != std::string_view::npos) {
    auto slash = base.find('/', scheme + 3);
    base = slash == std::string_view::npos ? std::string_view("/") : base.substr(slash);
  }
  return emulator_->handle(request.method, std::string(base) + request.path, request.query,
                           request.headers, request.body);
}

}  // namespace tolmi_gcp::emulator
