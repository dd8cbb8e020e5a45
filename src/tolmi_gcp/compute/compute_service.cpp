#include "tolmi_gcp/compute/compute_service.hpp"

#include <algorithm>
#include <mutex>
#include <random>

#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/internal/encoding.hpp"
#include "tolmi_gcp/internal/in_flight.hpp"
#include "tolmi_gcp/internal/json_text.hpp"
#include "tolmi_gcp/internal/path_template.hpp"
#include "tolmi_gcp/internal/retrying_send.hpp"
#include "tolmi_gcp/printable_text.hpp"

namespace tolmi_gcp {

namespace {

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// Shared by the listing collections: the next page's request, or nullopt after the last page.
std::optional<Request> nextPage(const Request& previous_request,
                                const ResourceDocument& previous_response) {
  if (!previous_response.is_object()) return std::nullopt;
  auto token = previous_response.find("nextPageToken");
  if (token == previous_response.end() || token->is_null()) return std::nullopt;
  if (!token->is_string())
    throw MalformedAnswerError("malformed answer to " + previous_request.method() + " " +
                               previous_request.path() + ": nextPageToken must be text, got " +
                               token->type_name());
  if (token->get_ref<const std::string&>().empty()) return std::nullopt;
  return previous_request.forPage(token->get<std::string>());
}

// A page whose items are not a list would be read as something else: an object's values, or
// nothing.
void checkListing(const HttpRequest& wire, const Answer& answer) {
  bool listed = true;
  std::string got;
  if (answer.text) {
    if (has(answer.text->root(), "items")) {
      JsonView items = at(answer.text->root(), "items");
      if (!items.isArray()) {
        ResourceDocument other = items.document();
        listed = other.is_null();
        got = other.type_name();
      }
    }
  } else if (const ResourceDocument& items = memberOrNull(answer.document, "items");
             !items.is_null()) {
    listed = items.is_array();
    got = items.type_name();
  }
  if (!listed)
    throw MalformedAnswerError("malformed answer to " + wire.method + " " + wire.url() +
                               ": \"items\" must be a list, got " + got);
}

}  // namespace

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

Request::Request(const ComputeService& service, const ApiMethod& apiMethod,
                 std::initializer_list<std::string_view> parameters, QueryList query,
                 std::optional<ResourceDocument> body)
    : service_(&service),
      apiMethod_(&apiMethod),
      parameters_(parameters.begin(), parameters.end()),
      method_(apiMethod.verb),
      query_(std::move(query)),
      body_(std::move(body)) {
  path_ = filledPath(apiMethod.path, [&](std::size_t i) {
    const std::string& value = parameters_.at(i);
    if (value.empty() || value == "." || value == "..")
      throw ArgumentTypeError("path segment", "a non-empty resource name other than . or ..",
                              ResourceDocument(value));
    return percentEncode(value);
  });
}

std::string Request::resourcePath() const {
  return filledPath(apiMethod_->path, [&](std::size_t i) { return parameters_.at(i); });
}

Request Request::forPage(const std::string& token) const {
  std::string listing = "malformed answer to " + method_ + " " + service_->endpoint() + path_;
  for (const PageTrail* seen = pageTrail_.get(); seen; seen = seen->earlier.get())
    if (seen->token == token)
      throw MalformedAnswerError(listing + ": nextPageToken \"" +
                                 std::string(utf8Prefix(token, 100)) +
                                 "\" was already followed on this listing");
  std::size_t pages = pageTrail_ ? pageTrail_->pages + 1 : 2;
  if (pages > kMaxPages)
    throw MalformedAnswerError(listing + ": still a nextPageToken after " +
                               std::to_string(kMaxPages) +
                               " pages, more than any listing of the API has");
  Request next = withQuery("pageToken", token);
  next.pageTrail_ = std::make_shared<const PageTrail>(PageTrail{token, pageTrail_, pages});
  return next;
}

ResourceDocument Request::execute() const { return service_->execute(*this); }

Answer Request::fetch() const { return service_->fetch(*this); }

Request Request::withTextAnswer() const {
  Request copy = *this;
  copy.textAnswer_ = true;
  return copy;
}

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

std::optional<Request> NetworksCollection::list_next(
    const Request& previous_request, const ResourceDocument& previous_response) const {
  return nextPage(previous_request, previous_response);
}

Request NetworksCollection::list(const std::string& project) const {
  return Request(s_, api::kNetworksList, {project});
}

Request NetworksCollection::get(const std::string& project, const std::string& network) const {
  return Request(s_, api::kNetworksGet, {project, network});
}

Request NetworksCollection::addPeering(const std::string& project, const std::string& network,
                                       const ResourceDocument& body) const {
  return Request(s_, api::kNetworksAddPeering, {project, network}, {}, body);
}

Request NetworksCollection::removePeering(const std::string& project, const std::string& network,
                                          const ResourceDocument& body) const {
  return Request(s_, api::kNetworksRemovePeering, {project, network}, {}, body);
}

Request SubnetworksCollection::get(const std::string& project, const std::string& region,
                                   const std::string& subnetwork) const {
  return Request(s_, api::kSubnetworksGet, {project, region, subnetwork});
}

std::optional<Request> RoutesCollection::list_next(
    const Request& previous_request, const ResourceDocument& previous_response) const {
  return nextPage(previous_request, previous_response);
}

Request RoutesCollection::list(const std::string& project, const std::string& filter) const {
  return Request(s_, api::kRoutesList, {project}, {{"filter", filter}});
}

Request RoutesCollection::listOfNetwork(const std::string& project,
                                        std::string_view networkSelfLink) const {
  return list(project, "network: \"" + std::string(networkSelfLink) + "\"");
}

Request RoutesCollection::get(const std::string& project, const std::string& route) const {
  return Request(s_, api::kRoutesGet, {project, route});
}

Request RoutesCollection::delete_(const std::string& project, const std::string& route) const {
  return Request(s_, api::kRoutesDelete, {project, route});
}

Request RoutesCollection::insert(const std::string& project, const ResourceDocument& body) const {
  return Request(s_, api::kRoutesInsert, {project}, {}, body);
}

Request InstancesCollection::get(const std::string& project, const std::string& zone,
                                 const std::string& instance) const {
  return Request(s_, api::kInstancesGet, {project, zone, instance});
}

std::optional<Request> RoutersCollection::list_next(
    const Request& previous_request, const ResourceDocument& previous_response) const {
  return nextPage(previous_request, previous_response);
}

Request RoutersCollection::list(const std::string& project, const std::string& region) const {
  return Request(s_, api::kRoutersList, {project, region});
}

Request RoutersCollection::get(const std::string& project, const std::string& region,
                               const std::string& router) const {
  return Request(s_, api::kRoutersGet, {project, region, router});
}

Request RoutersCollection::getRouterStatus(const std::string& project, const std::string& region,
                                           const std::string& router) const {
  return Request(s_, api::kRoutersGetRouterStatus, {project, region, router});
}

Request RoutersCollection::patch(const std::string& project, const std::string& region,
                                 const std::string& router, const ResourceDocument& body) const {
  return Request(s_, api::kRoutersPatch, {project, region, router}, {}, body);
}

Request GlobalOperationsCollection::list(const std::string& project,
                                         const std::string& filter) const {
  return Request(s_, api::kGlobalOperationsList, {project}, {{"filter", filter}});
}

std::optional<Request> GlobalOperationsCollection::list_next(
    const Request& previous_request, const ResourceDocument& previous_response) const {
  return nextPage(previous_request, previous_response);
}

Request GlobalOperationsCollection::wait(const std::string& project,
                                         const std::string& operation) const {
  return Request(s_, api::kGlobalOperationsWait, {project, operation});
}

Request GlobalOperationsCollection::get(const std::string& project,
                                        const std::string& operation) const {
  return Request(s_, api::kGlobalOperationsGet, {project, operation});
}

Request RegionOperationsCollection::get(const std::string& project, const std::string& region,
                                        const std::string& operation) const {
  return Request(s_, api::kRegionOperationsGet, {project, region, operation});
}

Request RegionOperationsCollection::wait(const std::string& project, const std::string& region,
                                         const std::string& operation) const {
  return Request(s_, api::kRegionOperationsWait, {project, region, operation});
}

ComputeService::ComputeService(std::shared_ptr<HttpTransport> transport, std::string endpoint,
                               std::shared_ptr<Credentials> credentials, RetryPolicy retry)
    : transport_(std::move(transport)),
      endpoint_(std::move(endpoint)),
      credentials_(credentials ? std::move(credentials) : std::make_shared<AnonymousCredentials>()),
      retry_(std::move(retry)),
      inFlight_(std::make_shared<detail::InFlight>(kDefaultMaxInFlight)) {
  if (endpoint_.empty() || endpoint_.back() != '/') endpoint_ += '/';
  if (!retry_.random) {
    // Reads sent ahead retry on several threads at once.
    struct Engine {
      std::mutex mutex;
      std::mt19937_64 engine{std::random_device{}()};
    };
    retry_.random = [shared = std::make_shared<Engine>()] {
      std::lock_guard lock(shared->mutex);
      return std::uniform_real_distribution<double>(0, 1)(shared->engine);
    };
  }
}

ComputeService ComputeService::withTransport(std::shared_ptr<HttpTransport> transport) const {
  ComputeService wrapped = *this;
  wrapped.transport_ = std::move(transport);
  // Reads sent ahead go through twins of the new transport.
  wrapped.inFlight_ = std::make_shared<detail::InFlight>(maxInFlight());
  return wrapped;
}

std::size_t ComputeService::maxInFlight() const { return inFlight_->limit(); }

ComputeService ComputeService::withMaxInFlight(std::size_t count) const {
  if (count == 0) throw std::invalid_argument("maxInFlight must be at least 1");
  ComputeService bounded = *this;
  bounded.inFlight_ = std::make_shared<detail::InFlight>(count);
  return bounded;
}

ComputeService ComputeService::withObserver(std::shared_ptr<RequestObserver> observer) const {
  ComputeService observed = *this;
  observed.observer_ = std::move(observer);
  return observed;
}

HttpResponse ComputeService::sendAuthorized(const HttpRequest& wire,
                                            HttpTransport& transport) const {
  HttpResponse response;
  // A refused token gets one refresh and one more try.
  for (int attempt = 0; attempt < 2; ++attempt) {
    HttpRequest sent = wire;
    auto authorization = credentials_->authorizationHeader();
    if (authorization) sent.headers.emplace_back("Authorization", *authorization);
    response = transport.send(sent);
    if (response.status != 401 || attempt == 1 || !authorization) break;
    credentials_->invalidate();
  }
  return response;
}

ResourceDocument ComputeService::execute(const Request& request) const {
  return inFlight_->execute(*this, request).document;
}

Answer ComputeService::fetch(const Request& request) const {
  return inFlight_->execute(*this, request);
}

Answer ComputeService::send(const Request& request, HttpTransport& transport,
                            detail::TriesAhead* ahead) const {
  HttpRequest wire;
  wire.method = request.method();
  wire.baseUrl = endpoint_;
  wire.path = request.path();
  wire.query = request.query();
  if (request.body()) {
    wire.body = request.body()->dump();
    wire.headers.emplace_back("Content-Type", "application/json");
  }
  if (observer_) observer_->onSend(request);
  try {
    HttpResponse response = sendWithRetries(
        wire, request.apiMethod().kind, retry_, *answered_,
        [&](const HttpRequest& sent) { return sendAuthorized(sent, transport); }, ahead);
    Answer answer{ResourceDocument::object(), nullptr};
    // What a failure quotes of the body, kept before a text answer's body is handed over.
    std::string quoted =
        request.textAnswer() ? std::string(utf8Prefix(response.body, 200)) : std::string();
    try {
      if (request.textAnswer()) {
        answer.text = std::make_shared<const JsonText>(
            response.body.empty() ? std::string("{}") : std::move(response.body));
        answer.document = answer.text->documentWithout("items");
      } else if (!response.body.empty()) {
        answer.document = parseDocument(response.body);
      }
    } catch (const DocumentError& failure) {
      if (!request.textAnswer()) quoted = std::string(utf8Prefix(response.body, 200));
      throw TransportError("the response to " + wire.method + " " + wire.url() +
                           " is not valid JSON (" + failure.what() + "): " + quoted);
    }
    if (request.apiMethod().name.ends_with(".list")) checkListing(wire, answer);
    if (observer_) observer_->onAnswer(request, answer.document);
    return answer;
  } catch (const std::exception& failure) {
    if (observer_) observer_->onFailure(request, failure.what());
    throw;
  } catch (...) {
    if (observer_) observer_->onFailure(request, "an unknown failure");
    throw;
  }
}

}  // namespace tolmi_gcp
