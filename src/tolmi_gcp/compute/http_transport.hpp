#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tolmi_gcp {

using HeaderList = std::vector<std::pair<std::string, std::string>>;
using QueryList = std::vector<std::pair<std::string, std::string>>;

// One API request as it goes on the wire. `path` is relative to `baseUrl` and already
// percent-encoded segment by segment; `query` values are raw and encoded by url().
struct HttpRequest {
  std::string method;
  std::string baseUrl;  // ends in "/", e.g. "https://compute.googleapis.com/compute/v1/"
  std::string path;     // e.g. "projects/p/global/networks"
  QueryList query;
  HeaderList headers;
  std::string body;  // empty when there is none

  std::string url() const;
};

struct HttpResponse {
  int status = 0;
  HeaderList headers;  // names in lower case
  std::string body;

  // The first header of that (lower-case) name, or "" when absent.
  std::string header(const std::string& lowerName) const;
};

// Sends one request and returns the answer, whatever its status. Throws TransportError when no
// HTTP answer arrives.
class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  virtual HttpResponse send(const HttpRequest& request) = 0;
  // A new transport that sends the same way, for another thread to use at the same time; nullptr
  // (the default) when there is none, and reads are then sent one at a time.
  virtual std::shared_ptr<HttpTransport> twin() const { return nullptr; }
};

}  // namespace tolmi_gcp
