#include "tolmi_gcp/compute/compute_service.hpp"

#include <algorithm>
#include <random>
#include <thread>

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <openssl/rand.h>

#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp {

namespace {

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// The API's error body {"error": {"code", "message", "errors": [{"reason"}]}} becomes an HttpError
// carrying the API's own message; a body of another shape is quoted as it came.
[[noreturn]] void throwHttpError(const HttpRequest& wire, const HttpResponse& response) {
  std::string message;
  std::string reason;
  ResourceDocument body = parseDocumentOrDiscarded(response.body);
  if (!body.is_discarded() && body.is_object() && body.contains("error") &&
      body["error"].is_object()) {
    const ResourceDocument& error = body["error"];
    if (error.contains("message") && error["message"].is_string())
      message = error["message"].get<std::string>();
    if (error.contains("errors") && error["errors"].is_array() && !error["errors"].empty() &&
        error["errors"][0].is_object() && error["errors"][0].contains("reason") &&
        error["errors"][0]["reason"].is_string())
      reason = error["errors"][0]["reason"].get<std::string>();
  }
  if (message.empty()) {
    message = response.body.substr(0, 500);
    if (message.empty()) message = "(empty response body)";
  }
  throw HttpError(response.status, reason, wire.method, wire.url(), message);
}

bool isTransient(int status) {
  return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
         status == 504;
}

// The API refuses a change while another one is unfinished on the same network; it is worth
// trying again later.
bool isOperationInProgress(const HttpResponse& response) {
  return response.status == 400 && response.body.find("operation in progress") != std::string::npos;
}

// Operation waits are safe to repeat, like reads.
bool isRead(const HttpRequest& wire) {
  return wire.method == "GET" ||
         (wire.path.size() >= 5 && wire.path.compare(wire.path.size() - 5, 5, "/wait") == 0);
}

// A random (version 4) UUID, as the API wants for requestId.
std::string newRequestId() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw Error("cannot draw random bytes for a requestId");
  bytes[6] = (bytes[6] & 0x0f) | 0x40;
  bytes[8] = (bytes[8] & 0x3f) | 0x80;
  static const char* kHex = "0123456789abcdef";
  std::string id;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += kHex[bytes[i] >> 4];
    id += kHex[bytes[i] & 15];
  }
  return id;
}

std::chrono::milliseconds retryAfter(const HttpResponse& response) {
  std::string value = response.header("retry-after");
  if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
    return std::chrono::milliseconds(0);
  return std::chrono::seconds(std::stoll(value.substr(0, 9)));
}

log4cplus::Logger& retryLogger() {
  static log4cplus::Logger logger = log4cplus::Logger::getInstance("tolmi_gcp.compute");
  return logger;
}

}  // namespace

RetryPolicy RetryPolicy::standard() {
  RetryPolicy policy;
  policy.enabled = true;
  return policy;
}

RetryPolicy RetryPolicy::none() { return RetryPolicy(); }

std::string percentEncode(std::string_view text) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (isUnreserved(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string HttpRequest::url() const {
  std::string out = baseUrl + path;
  char separator = '?';
  for (const auto& [name, value] : query) {
    out += separator;
    out += percentEncode(name);
    out += '=';
    out += percentEncode(value);
    separator = '&';
  }
  return out;
}

std::string HttpResponse::header(const std::string& lowerName) const {
  for (const auto& [name, value] : headers)
    if (name == lowerName) return value;
  return "";
}

std::string resourcePath(std::initializer_list<std::string_view> segments) {
  std::string out;
  for (std::string_view segment : segments) {
    if (segment.empty() || segment == "." || segment == "..")
      throw ArgumentTypeError("path segment", "a non-empty resource name other than . or ..",
                              ResourceDocument(std::string(segment)));
    if (!out.empty()) out += '/';
    out += percentEncode(segment);
  }
  return out;
}

Request::Request(const ComputeService& service, std::string method, std::string path,
                 QueryList query, std::optional<ResourceDocument> body)
    : service_(&service),
      method_(std::move(method)),
      path_(std::move(path)),
      query_(std::move(query)),
      body_(std::move(body)) {}

ResourceDocument Request::execute() const { return service_->execute(*this); }

Request Request::withQuery(const std::string& name, const std::string& value) const {
  Request copy = *this;
  auto it = std::find_if(copy.query_.begin(), copy.query_.end(),
                         [&](const auto& entry) { return entry.first == name; });
  if (it != copy.query_.end())
    it->second = value;
  else
    copy.query_.emplace_back(name, value);
  return copy;
}

std::optional<Request> nextPage(const Request& previous_request,
                                const ResourceDocument& previous_response) {
  if (!previous_response.is_object()) return std::nullopt;
  auto token = previous_response.find("nextPageToken");
  if (token == previous_response.end() || !token->is_string() ||
      token->get_ref<const std::string&>().empty())
    return std::nullopt;
  return previous_request.withQuery("pageToken", token->get<std::string>());
}

Request NetworksCollection::list(const std::string& project) const {
  return Request(s_, "GET", resourcePath({"projects", project, "global", "networks"}), {},
                 std::nullopt);
}

Request NetworksCollection::get(const std::string& project, const std::string& network) const {
  return Request(s_, "GET", resourcePath({"projects", project, "global", "networks", network}), {},
                 std::nullopt);
}

Request NetworksCollection::addPeering(const std::string& project, const std::string& network,
                                       const ResourceDocument& body) const {
  return Request(s_, "POST",
                 resourcePath({"projects", project, "global", "networks", network, "addPeering"}),
                 {}, body);
}

Request NetworksCollection::removePeering(const std::string& project, const std::string& network,
                                          const ResourceDocument& body) const {
  return Request(
      s_, "POST",
      resourcePath({"projects", project, "global", "networks", network, "removePeering"}), {},
      body);
}

Request SubnetworksCollection::get(const std::string& project, const std::string& region,
                                   const std::string& subnetwork) const {
  return Request(s_, "GET",
                 resourcePath({"projects", project, "regions", region, "subnetworks", subnetwork}),
                 {}, std::nullopt);
}

Request RoutesCollection::list(const std::string& project, const std::string& filter) const {
  return Request(s_, "GET", resourcePath({"projects", project, "global", "routes"}),
                 {{"filter", filter}}, std::nullopt);
}

Request RoutesCollection::get(const std::string& project, const std::string& route) const {
  return Request(s_, "GET", resourcePath({"projects", project, "global", "routes", route}), {},
                 std::nullopt);
}

Request RoutesCollection::delete_(const std::string& project, const std::string& route) const {
  return Request(s_, "DELETE", resourcePath({"projects", project, "global", "routes", route}), {},
                 std::nullopt);
}

Request RoutesCollection::insert(const std::string& project, const ResourceDocument& body) const {
  return Request(s_, "POST", resourcePath({"projects", project, "global", "routes"}), {}, body);
}

Request InstancesCollection::get(const std::string& project, const std::string& zone,
                                 const std::string& instance) const {
  return Request(s_, "GET",
                 resourcePath({"projects", project, "zones", zone, "instances", instance}), {},
                 std::nullopt);
}

Request RoutersCollection::list(const std::string& project, const std::string& region) const {
  return Request(s_, "GET", resourcePath({"projects", project, "regions", region, "routers"}), {},
                 std::nullopt);
}

Request RoutersCollection::get(const std::string& project, const std::string& region,
                               const std::string& router) const {
  return Request(s_, "GET",
                 resourcePath({"projects", project, "regions", region, "routers", router}), {},
                 std::nullopt);
}

Request RoutersCollection::patch(const std::string& project, const std::string& region,
                                 const std::string& router, const ResourceDocument& body) const {
  return Request(s_, "PATCH",
                 resourcePath({"projects", project, "regions", region, "routers", router}), {},
                 body);
}

Request GlobalOperationsCollection::wait(const std::string& project,
                                         const std::string& operation) const {
  return Request(s_, "POST",
                 resourcePath({"projects", project, "global", "operations", operation, "wait"}), {},
                 std::nullopt);
}

Request RegionOperationsCollection::wait(const std::string& project, const std::string& region,
                                         const std::string& operation) const {
  return Request(
      s_, "POST",
      resourcePath({"projects", project, "regions", region, "operations", operation, "wait"}), {},
      std::nullopt);
}

ComputeService::ComputeService(std::shared_ptr<HttpTransport> transport, std::string endpoint,
                               std::shared_ptr<Credentials> credentials, RetryPolicy retry)
    : transport_(std::move(transport)),
      endpoint_(std::move(endpoint)),
      credentials_(credentials ? std::move(credentials) : std::make_shared<AnonymousCredentials>()),
      retry_(std::move(retry)) {
  if (endpoint_.empty() || endpoint_.back() != '/') endpoint_ += '/';
  if (!retry_.sleep)
    retry_.sleep = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
  if (!retry_.random) {
    auto engine = std::make_shared<std::mt19937_64>(std::random_device{}());
    retry_.random = [engine] { return std::uniform_real_distribution<double>(0, 1)(*engine); };
  }
}

ComputeService ComputeService::withTransport(std::shared_ptr<HttpTransport> transport) const {
  ComputeService wrapped = *this;
  wrapped.transport_ = std::move(transport);
  return wrapped;
}

HttpResponse ComputeService::sendAuthorized(const HttpRequest& wire) const {
  HttpResponse response;
  // A refused token gets one refresh and one more try.
  for (int attempt = 0; attempt < 2; ++attempt) {
    HttpRequest sent = wire;
    auto authorization = credentials_->authorizationHeader();
    if (authorization) sent.headers.emplace_back("Authorization", *authorization);
    response = transport_->send(sent);
    if (response.status != 401 || attempt == 1 || !authorization) break;
    credentials_->invalidate();
  }
  return response;
}

ResourceDocument ComputeService::execute(const Request& request) const {
  HttpRequest wire;
  wire.method = request.method();
  wire.baseUrl = endpoint_;
  wire.path = request.path();
  wire.query = request.query();
  if (request.body()) {
    wire.body = request.body()->dump();
    wire.headers.emplace_back("Content-Type", "application/json");
  }
  bool read = isRead(wire);
  // Every try of a change carries the same id, so the API does the work once.
  if (retry_.enabled && !read) wire.query.emplace_back("requestId", newRequestId());

  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + retry_.totalLimit;
  std::chrono::milliseconds backoff = retry_.initialBackoff;
  HttpResponse response;
  for (int attempt = 1;; ++attempt) {
    std::string problem;
    std::chrono::milliseconds minimum(0);
    try {
      response = sendAuthorized(wire);
      if (!isTransient(response.status) && !(!read && isOperationInProgress(response))) break;
      problem = "HTTP " + std::to_string(response.status);
      minimum = retryAfter(response);
    } catch (const TransportError& failure) {
      if (!retry_.enabled) throw;
      problem = failure.what();
      if (Clock::now() >= deadline) throw;
    }
    if (!retry_.enabled) break;
    // Between half and all of the current backoff, never less than the server asks for.
    auto delay = std::chrono::milliseconds(
        static_cast<long long>(backoff.count() * (0.5 + 0.5 * retry_.random())));
    delay = std::max(delay, minimum);
    if (Clock::now() + delay >= deadline) {
      if (problem.rfind("HTTP ", 0) == 0) break;  // the last answer becomes the failure below
      throw TransportError(problem);
    }
    LOG4CPLUS_WARN(retryLogger(), "retrying " << wire.method << " " << wire.baseUrl << wire.path
                                              << " after " << problem << " (try " << attempt + 1
                                              << " in " << delay.count() << " ms)");
    retry_.sleep(delay);
    backoff = std::min(backoff * 2, retry_.maxBackoff);
  }
  if (response.status >= 300) throwHttpError(wire, response);
  if (response.body.empty()) return ResourceDocument::object();
  try {
    return parseDocument(response.body);
  } catch (const DocumentError& failure) {
    throw TransportError("the response to " + wire.method + " " + wire.url() +
                         " is not valid JSON (" + failure.what() +
                         "): " + response.body.substr(0, 200));
  }
}

}  // namespace tolmi_gcp
