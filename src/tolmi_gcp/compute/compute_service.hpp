#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/credentials.hpp"
#include "tolmi_gcp/compute/http_transport.hpp"

namespace tolmi_gcp {

class ComputeService;

// One API call, built but not sent. A value: copying it is cheap and sends nothing.
class Request {
 public:
  Request(const ComputeService& service, std::string method, std::string path, QueryList query,
          std::optional<ResourceDocument> body);

  // Sends the request and returns the response document. Throws HttpError (with the API's own
  // message) for an error status, TransportError when no answer arrives.
  ResourceDocument execute() const;

  const std::string& method() const { return method_; }
  const std::string& path() const { return path_; }
  const QueryList& query() const { return query_; }
  const std::optional<ResourceDocument>& body() const { return body_; }

  // The same request with one query parameter set (replaced when present).
  Request withQuery(const std::string& name, const std::string& value) const;

 private:
  const ComputeService* service_;
  std::string method_;
  std::string path_;
  QueryList query_;
  std::optional<ResourceDocument> body_;
};

// Shared by the listing collections: the next page's request, or nullopt after the last page.
std::optional<Request> nextPage(const Request& previous_request,
                                const ResourceDocument& previous_response);

class NetworksCollection {
 public:
  explicit NetworksCollection(const ComputeService& s) : s_(s) {}
  Request list(const std::string& project) const;
  std::optional<Request> list_next(const Request& previous_request,
                                   const ResourceDocument& previous_response) const {
    return nextPage(previous_request, previous_response);
  }
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
  std::optional<Request> list_next(const Request& previous_request,
                                   const ResourceDocument& previous_response) const {
    return nextPage(previous_request, previous_response);
  }
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
  std::optional<Request> list_next(const Request& previous_request,
                                   const ResourceDocument& previous_response) const {
    return nextPage(previous_request, previous_response);
  }
  Request get(const std::string& project, const std::string& region,
              const std::string& router) const;
  Request patch(const std::string& project, const std::string& region, const std::string& router,
                const ResourceDocument& body) const;

 private:
  const ComputeService& s_;
};

class GlobalOperationsCollection {
 public:
  explicit GlobalOperationsCollection(const ComputeService& s) : s_(s) {}
  Request wait(const std::string& project, const std::string& operation) const;

 private:
  const ComputeService& s_;
};

class RegionOperationsCollection {
 public:
  explicit RegionOperationsCollection(const ComputeService& s) : s_(s) {}
  Request wait(const std::string& project, const std::string& region,
               const std::string& operation) const;

 private:
  const ComputeService& s_;
};

// When and how often a request is sent again. Reads and operation waits are retried on 408, 429,
// 500, 502, 503, 504 and transport errors; changes carry a fresh requestId and are retried only
// with that same id (so the API does the work once), also on the 400 "operation in progress"
// answers.
struct RetryPolicy {
  bool enabled = false;
  std::chrono::milliseconds initialBackoff{1000};
  std::chrono::milliseconds maxBackoff{32000};
  std::chrono::milliseconds totalLimit{300000};          // per request, all tries together
  std::function<void(std::chrono::milliseconds)> sleep;  // default: sleeps the thread
  std::function<double()> random;                        // in [0, 1); default: a PRNG

  static RetryPolicy standard();  // enabled, with the defaults above
  static RetryPolicy none();      // every request is sent once
};

// The handle on the Compute Engine API v1: collections build requests, the transport sends them.
class ComputeService {
 public:
  static constexpr const char* kDefaultEndpoint = "https://compute.googleapis.com/compute/v1/";

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

  // Sends one request through the transport; see Request::execute.
  ResourceDocument execute(const Request& request) const;

 private:
  std::shared_ptr<HttpTransport> transport_;
  std::string endpoint_;
  std::shared_ptr<Credentials> credentials_;
  RetryPolicy retry_;

  HttpResponse sendAuthorized(const HttpRequest& wire) const;
};

// Joins path segments with "/", percent-encoding each one. Throws ArgumentTypeError for a segment
// that is empty, "." or "..", which could otherwise address another path.
std::string resourcePath(std::initializer_list<std::string_view> segments);

}  // namespace tolmi_gcp
