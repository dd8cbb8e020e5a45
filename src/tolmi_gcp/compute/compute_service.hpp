#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/api_method.hpp"
#include "tolmi_gcp/compute/credentials.hpp"
#include "tolmi_gcp/compute/http_transport.hpp"
#include "tolmi_gcp/compute/retry.hpp"

namespace tolmi_gcp {

class ComputeService;
class JsonText;  // internal: a listing page read in place
namespace detail {
class InFlight;    // the reads a ReadAhead sends, shared by a handle and its copies
class TriesAhead;  // the tries of one read sent ahead
}  // namespace detail

// A request's answer: its document, and for a request made withTextAnswer() its body ("{}" for
// none) parsed, from which the caller reads what the document leaves out.
struct Answer {
  ResourceDocument document;
  std::shared_ptr<const JsonText> text;
};

// One API call, built but not sent. A value: copying it is cheap and sends nothing. It keeps a
// pointer to the ComputeService that built it and must not outlive that service.
class Request {
 public:
  // `parameters` fill the method's path template in order. Throws ArgumentTypeError for a
  // parameter that is empty, "." or "..", which could otherwise address another path.
  Request(const ComputeService& service, const ApiMethod& apiMethod,
          std::initializer_list<std::string_view> parameters, QueryList query = {},
          std::optional<ResourceDocument> body = std::nullopt);

  // Sends the request and returns the response document. Throws HttpError (with the API's own
  // message) for an error status, TransportError when no answer arrives.
  ResourceDocument execute() const;
  // execute, with the body's text when asked for by withTextAnswer().
  Answer fetch() const;

  const ApiMethod& apiMethod() const { return *apiMethod_; }
  // The path parameters as given, unencoded: for a wait, the last one is the operation.
  const std::vector<std::string>& parameters() const { return parameters_; }
  const std::string& method() const { return method_; }
  const std::string& path() const { return path_; }
  // The path with the parameters as given, unencoded: "projects/p/global/routes/r".
  std::string resourcePath() const;
  const QueryList& query() const { return query_; }
  const std::optional<ResourceDocument>& body() const { return body_; }

  // The same request with one query parameter set (replaced when present).
  Request withQuery(const std::string& name, const std::string& value) const;
  // The same listing's request, answered with its text and a light document that leaves out the
  // page's "items": for pages too large to build into documents only to read a few members.
  Request withTextAnswer() const;
  bool textAnswer() const { return textAnswer_; }
  // The same listing's request for the page after `token`. Throws MalformedAnswerError when the
  // listing was already given that token (following it again would loop for ever), or when it
  // would be page kMaxPages + 1.
  Request forPage(const std::string& token) const;

  // Far above any estate: 10,000 pages of the API's 500 items are 5 million routes or networks,
  // where a project's quotas stop at a few thousand.
  static constexpr std::size_t kMaxPages = 10000;

 private:
  const ComputeService* service_;
  const ApiMethod* apiMethod_;
  std::vector<std::string> parameters_;
  std::string method_;
  std::string path_;
  QueryList query_;
  std::optional<ResourceDocument> body_;
  // The tokens this listing has followed, latest first, shared by the requests of its pages.
  struct PageTrail {
    std::string token;
    std::shared_ptr<const PageTrail> earlier;
    std::size_t pages;  // the pages this listing has asked for with this one
  };
  std::shared_ptr<const PageTrail> pageTrail_;
  bool textAnswer_ = false;
};

class NetworksCollection {
 public:
  explicit NetworksCollection(const ComputeService& s) : s_(s) {}
  Request list(const std::string& project) const;
  // The next page's request, or nullopt after the last page.
  std::optional<Request> list_next(const Request& previous_request,
                                   const ResourceDocument& previous_response) const;
  Request get(const std::string& project, const std::string& network) const;
  Request addPeering(const std::string& project, const std::string& network,
                     const ResourceDocument& body) const;
  Request removePeering(const std::string& project, const std::string& network,
                        const ResourceDocument& body) const;

 private:
  const ComputeService& s_;
};

class SubnetworksCollection {
 public:
  explicit SubnetworksCollection(const ComputeService& s) : s_(s) {}
  Request get(const std::string& project, const std::string& region,
              const std::string& subnetwork) const;

 private:
  const ComputeService& s_;
};

class RoutesCollection {
 public:
  explicit RoutesCollection(const ComputeService& s) : s_(s) {}
  Request list(const std::string& project, const std::string& filter) const;
  // The routes of one network, named by its self-link.
  Request listOfNetwork(const std::string& project, std::string_view networkSelfLink) const;
  // The next page's request, or nullopt after the last page.
  std::optional<Request> list_next(const Request& previous_request,
                                   const ResourceDocument& previous_response) const;
  Request get(const std::string& project, const std::string& route) const;
  // routes.delete ("delete" is a C++ keyword).
  Request delete_(const std::string& project, const std::string& route) const;
  Request insert(const std::string& project, const ResourceDocument& body) const;

 private:
  const ComputeService& s_;
};

class InstancesCollection {
 public:
  explicit InstancesCollection(const ComputeService& s) : s_(s) {}
  Request get(const std::string& project, const std::string& zone,
              const std::string& instance) const;

 private:
  const ComputeService& s_;
};

class RoutersCollection {
 public:
  explicit RoutersCollection(const ComputeService& s) : s_(s) {}
  Request list(const std::string& project, const std::string& region) const;
  // The next page's request, or nullopt after the last page.
  std::optional<Request> list_next(const Request& previous_request,
                                   const ResourceDocument& previous_response) const;
  Request get(const std::string& project, const std::string& region,
              const std::string& router) const;
  Request patch(const std::string& project, const std::string& region, const std::string& router,
                const ResourceDocument& body) const;
  // routers.getRouterStatus: what the router learned and its BGP peers' state.
  Request getRouterStatus(const std::string& project, const std::string& region,
                          const std::string& router) const;

 private:
  const ComputeService& s_;
};

class GlobalOperationsCollection {
 public:
  explicit GlobalOperationsCollection(const ComputeService& s) : s_(s) {}
  Request list(const std::string& project, const std::string& filter) const;
  // The next page's request, or nullopt after the last page.
  std::optional<Request> list_next(const Request& previous_request,
                                   const ResourceDocument& previous_response) const;
  Request wait(const std::string& project, const std::string& operation) const;
  Request get(const std::string& project, const std::string& operation) const;

 private:
  const ComputeService& s_;
};

class RegionOperationsCollection {
 public:
  explicit RegionOperationsCollection(const ComputeService& s) : s_(s) {}
  Request wait(const std::string& project, const std::string& region,
               const std::string& operation) const;
  Request get(const std::string& project, const std::string& region,
              const std::string& operation) const;

 private:
  const ComputeService& s_;
};

// Told of each request a ComputeService sends, on the sending thread: before it goes out, then
// once with the answer or once when it failed for good (after any retries), with the failure's
// message. The answer to a request made withTextAnswer() is its light document, without "items".
// The reads a ReadAhead sends are told of on its sender threads, several at once: an observer must
// bear that.
class RequestObserver {
 public:
  virtual ~RequestObserver() = default;
  virtual void onSend(const Request& request) = 0;
  virtual void onAnswer(const Request& request, const ResourceDocument& answer) = 0;
  virtual void onFailure(const Request& request, std::string_view failure) = 0;
};

// The handle on the Compute Engine API v1: collections build requests, the transport sends them.
class ComputeService {
 public:
  static constexpr const char* kDefaultEndpoint = "https://compute.googleapis.com/compute/v1/";
  static constexpr std::size_t kDefaultMaxInFlight = 8;

  // `endpoint` is the API root ending in "/compute/v1/" (a missing trailing "/" is added).
  ComputeService(std::shared_ptr<HttpTransport> transport, std::string endpoint,
                 std::shared_ptr<Credentials> credentials, RetryPolicy retry = RetryPolicy::none());

  NetworksCollection networks() const { return NetworksCollection(*this); }
  SubnetworksCollection subnetworks() const { return SubnetworksCollection(*this); }
  RoutesCollection routes() const { return RoutesCollection(*this); }
  InstancesCollection instances() const { return InstancesCollection(*this); }
  RoutersCollection routers() const { return RoutersCollection(*this); }
  GlobalOperationsCollection globalOperations() const { return GlobalOperationsCollection(*this); }
  RegionOperationsCollection regionOperations() const { return RegionOperationsCollection(*this); }

  const std::string& endpoint() const { return endpoint_; }
  // What the handle sends with, so a caller can wrap it (see withTransport).
  const std::shared_ptr<HttpTransport>& transport() const { return transport_; }
  const RetryPolicy& retryPolicy() const { return retry_; }
  // This handle, endpoint, credentials and retry policy alike, sending through `transport`:
  // usually one that wraps transport().
  ComputeService withTransport(std::shared_ptr<HttpTransport> transport) const;
  // This handle, telling `observer` of every request it sends.
  ComputeService withObserver(std::shared_ptr<RequestObserver> observer) const;
  // How many requests may be on the wire at once while a ReadAhead lives (1: one at a time).
  std::size_t maxInFlight() const;
  // This handle with that bound; throws std::invalid_argument for 0.
  ComputeService withMaxInFlight(std::size_t count) const;

  // Sends one request through the transport, or takes its answer from a living ReadAhead; see
  // Request::execute.
  ResourceDocument execute(const Request& request) const;
  // The same, with the answer's text for a request made withTextAnswer().
  Answer fetch(const Request& request) const;

 private:
  friend class detail::InFlight;
  friend class ReadAhead;

  std::shared_ptr<HttpTransport> transport_;
  std::string endpoint_;
  std::shared_ptr<Credentials> credentials_;
  RetryPolicy retry_;
  std::shared_ptr<RequestObserver> observer_;
  // Set by the first answer from the endpoint: until then a refused connection ends the run.
  std::shared_ptr<std::atomic<bool>> answered_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<detail::InFlight> inFlight_;

  // Sends `request` through `transport` with retries, telling the observer; a read sent ahead
  // reports its tries to `ahead`.
  Answer send(const Request& request, HttpTransport& transport,
              detail::TriesAhead* ahead = nullptr) const;
  HttpResponse sendAuthorized(const HttpRequest& wire, HttpTransport& transport) const;
};

}  // namespace tolmi_gcp
