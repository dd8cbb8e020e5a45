// The Emulator facade: routes each request to the admin endpoints, the token endpoints or the API
// methods, with the journal and the armed faults on the way.
#include "emulator/emulator.hpp"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "emulator/api.hpp"
#include "emulator/auth.hpp"
#include "emulator/faults.hpp"
#include "emulator/journal.hpp"
#include "emulator/quotas.hpp"
#include "emulator/store.hpp"
#include "emulator/wire.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"
#include "tolmi_gcp/internal/path_template.hpp"

namespace tolmi_gcp::emulator {

namespace {

constexpr std::string_view kApiPrefix = "/compute/v1/";
constexpr std::string_view kAdminPrefix = "/emulator/v1/";
constexpr std::string_view kBatchPath = "/batch/compute/v1";
std::vector<std::string> apiSegments(std::string_view path) {
  std::vector<std::string> segments = pathSegments(path.substr(kApiPrefix.size()));
  for (std::string& segment : segments) segment = percentDecode(segment);
  return segments;
}

}  // namespace

struct Emulator::Impl {
  Impl(Store initialStore, Options opts, const ResourceDocument& authSection, Now now)
      : options(opts),
        initial(std::move(initialStore)),
        store(initial),
        api(store, options, now),
        quotas(options.quotas, std::move(now)),
        journal(options.journalAnswers),
        auth(authSection) {}

  HttpResponse serve(const std::string& method, const std::string& path, const QueryList& query,
                     const HeaderList& headers, const std::string& body);
  HttpResponse serveApi(const std::string& method, const std::string& path, const QueryList& query,
                        const std::string& body);
  HttpResponse admin(const std::string& method, const std::string& path, const std::string& body);
  std::optional<Fault> takeFault(const std::string& method, const std::string& path);
  void hold(const Fault& fault);
  void releaseHeld();

  const Options options;
  const Store initial;
  mutable std::mutex mutex;  // guards everything below
  Store store;
  ComputeApi api;
  RateQuotas quotas;
  Journal journal;
  Faults faults;
  std::condition_variable released;  // wakes requests held by a fault's delay
  std::uint64_t releases = 0;
  Auth auth;  // guards itself
};

Emulator::Emulator(const ResourceDocument& topology, Options options, Now now)
    : impl_(std::make_unique<Impl>(Store::fromTopology(topology), options,
                                   memberOrNull(topology, "auth"), std::move(now))) {}

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
  return impl_->journal.document();
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
      journal.record(method, path, query, body, refusal->status);
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
    journal.record(method, path, query, body, 0);
    throw ConnectionDropped("connection dropped by an injected fault on " + method + " " + path);
  }
  HttpResponse response;
  if (early && early->status) {
    response = errorResponse(early->status, early->reason, early->message);
  } else if (early && early->answer) {
    response = jsonResponse(200, *early->answer);
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
        if (segments.size() > 1 && segments[0] == "projects")
          quotas.take(segments[1],
                      !(method == "GET" || (method == "POST" && segments.back() == "wait")));
        response = jsonResponse(200, api.call(method, segments, query, document, operationError));
      } catch (const ApiError& problem) {
        response = errorResponse(problem.status(), problem.reason(), problem.what());
      }
    }
  }
  {
    // The journal shows what was done, whatever becomes of the answer below.
    std::lock_guard lock(mutex);
    journal.record(method, path, query, body, response.status, response.body);
  }
  if (fault && fault->after) {
    if (fault->delayMs) hold(*fault);
    if (fault->drop)
      throw ConnectionDropped("connection dropped by an injected fault after " + method + " " +
                              path);
    if (fault->status) response = errorResponse(fault->status, fault->reason, fault->message);
    if (fault->answer) response = jsonResponse(200, *fault->answer);
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
  std::optional<Fault> taken = faults.take(method, path);
  if (taken) taken->releases = releases;
  return taken;
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
      ResourceDocument doc = journal.document();
      if (method == "DELETE") journal.clear();
      return jsonResponse(200, doc);
    }
    if (path == "faults" && method == "POST") {
      ResourceDocument request = parseDocumentOrDiscarded(body);
      std::lock_guard lock(mutex);
      return jsonResponse(200, faults.add(request).describe());
    }
    if (path == "faults" && (method == "GET" || method == "DELETE")) {
      std::lock_guard lock(mutex);
      ResourceDocument list = faults.list();
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
      quotas.reset();
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
