#pragma once

#include <deque>
#include <string>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/http_transport.hpp"

namespace tolmi_gcp::testing {

// A request as the fake transport saw it.
struct RecordedRequest {
  std::string method;
  std::string path;  // relative to the endpoint, e.g. "projects/p/global/networks"
  QueryList query;
  HeaderList headers;
  std::string body;  // "" when none
  std::string url;   // the full URL, query included

  // "METHOD path?name=value&... body" (query values raw, body as sent), for compact assertions.
  // Leaves out the random requestId that changes carry when retries are on.
  std::string text() const;
  ResourceDocument json() const;  // the body parsed
};

// Answers requests from a script, first in first out, and records every request. A request that
// finds the script empty fails the test and gets a 599 answer.
class FakeTransport : public HttpTransport {
 public:
  FakeTransport& reply(const ResourceDocument& body, int status = 200);
  FakeTransport& replyRaw(int status, std::string body, HeaderList headers = {});
  // A Google-style error body with that status, reason and message.
  FakeTransport& replyError(int status, const std::string& reason, const std::string& message);
  // No HTTP answer: send() throws TransportError.
  FakeTransport& dropConnection(const std::string& why = "connection reset by peer");
  // No connection at all: send() throws ConnectError.
  FakeTransport& refuseConnection();

  HttpResponse send(const HttpRequest& request) override;

  std::vector<std::string> texts() const;  // RecordedRequest::text() of each request, in order
  std::size_t pending() const { return script_.size(); }

  std::vector<RecordedRequest> requests;

 private:
  struct Step {
    bool drop = false;
    bool refuse = false;
    HttpResponse response;
    std::string why;
  };
  std::deque<Step> script_;
};

}  // namespace tolmi_gcp::testing
