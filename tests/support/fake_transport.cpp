#include "fake_transport.hpp"

#include <gtest/gtest.h>

#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp::testing {

std::string RecordedRequest::text() const {
  std::string out = method + " " + path;
  char separator = '?';
  for (const auto& [name, value] : query) {
    if (name == "requestId") continue;  // random per change; asserted where retries are tested
    out += separator + name + "=" + value;
    separator = '&';
  }
  if (!body.empty()) out += " " + body;
  return out;
}

ResourceDocument RecordedRequest::json() const {
  return body.empty() ? ResourceDocument() : ResourceDocument::parse(body);
}

FakeTransport& FakeTransport::reply(const ResourceDocument& body, int status) {
  return replyRaw(status, body.dump());
}

FakeTransport& FakeTransport::replyRaw(int status, std::string body, HeaderList headers) {
  Step step;
  step.response.status = status;
  step.response.body = std::move(body);
  step.response.headers = std::move(headers);
  script_.push_back(std::move(step));
  return *this;
}

FakeTransport& FakeTransport::replyError(int status, const std::string& reason,
                                         const std::string& message) {
  ResourceDocument body = {
      {"error",
       {{"code", status},
        {"message", message},
        {"errors", {{{"message", message}, {"domain", "global"}, {"reason", reason}}}}}}};
  return reply(body, status);
}

FakeTransport& FakeTransport::dropConnection(const std::string& why) {
  Step step;
  step.drop = true;
  step.why = why;
  script_.push_back(std::move(step));
  return *this;
}

FakeTransport& FakeTransport::refuseConnection() {
  Step step;
  step.refuse = true;
  script_.push_back(std::move(step));
  return *this;
}

HttpResponse FakeTransport::send(const HttpRequest& request) {
  requests.push_back(
      {request.method, request.path, request.query, request.headers, request.body, request.url()});
  if (script_.empty()) {
    ADD_FAILURE() << "unscripted request: " << requests.back().text();
    return HttpResponse{599, {}, "{}"};
  }
  Step step = std::move(script_.front());
  script_.pop_front();
  if (step.refuse) throw ConnectError("connection refused");
  if (step.drop) throw TransportError(step.why);
  return step.response;
}

std::vector<std::string> FakeTransport::texts() const {
  std::vector<std::string> out;
  for (const auto& request : requests) out.push_back(request.text());
  return out;
}

}  // namespace tolmi_gcp::testing
