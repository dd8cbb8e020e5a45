#include "tolmi_gcp/compute/compute_service.hpp"

#include <algorithm>

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
  ResourceDocument body = ResourceDocument::parse(response.body, nullptr, false);
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

ComputeService::ComputeService(std::shared_ptr<HttpTransport> transport, std::string endpoint,
                               std::shared_ptr<Credentials> credentials)
    : transport_(std::move(transport)),
      endpoint_(std::move(endpoint)),
      credentials_(credentials ? std::move(credentials)
                               : std::make_shared<AnonymousCredentials>()) {
  if (endpoint_.empty() || endpoint_.back() != '/') endpoint_ += '/';
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
  if (response.status >= 300) throwHttpError(wire, response);
  if (response.body.empty()) return ResourceDocument::object();
  ResourceDocument document = ResourceDocument::parse(response.body, nullptr, false);
  if (document.is_discarded())
    throw TransportError("the response to " + wire.method + " " + wire.url() +
                         " is not valid JSON: " + response.body.substr(0, 200));
  return document;
}

}  // namespace tolmi_gcp
