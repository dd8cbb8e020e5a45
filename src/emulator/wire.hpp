#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/http_transport.hpp"

namespace tolmi_gcp::emulator {

// %XX escapes decoded; with `plusIsBlank` (query text) "+" is a blank too.
std::string percentDecode(std::string_view text, bool plusIsBlank = false);

// "a=1&b=x%20y" → {{"a","1"},{"b","x y"}}, in order.
QueryList parseQuery(std::string_view text);

// One request of a batch, as the multipart body carried it.
struct BatchPart {
  std::string contentId;  // without the angle brackets
  std::string method;
  std::string path;  // as sent, still percent-encoded
  QueryList query;
  std::string body;
};

// The requests of a multipart/mixed batch body. Throws ApiError 400 naming what is malformed.
std::vector<BatchPart> parseBatch(std::string_view contentType, std::string_view body);

// The multipart/mixed answer to a batch: one part per response, in the order of the parts.
HttpResponse batchResponse(const std::vector<BatchPart>& parts,
                           const std::vector<HttpResponse>& responses);

// The text of a JSON answer. A request may carry bytes that are not UTF-8 (in a path, a name, a
// form field) into it; they are shown as U+FFFD so that the answer stays JSON.
std::string answerText(const ResourceDocument& body);

// A JSON answer, and the API's error answer with its reason and message.
HttpResponse jsonResponse(int status, const ResourceDocument& body);
HttpResponse errorResponse(int status, const std::string& reason, const std::string& message);

// The value of a request's header, whatever the case of its name; "" when absent.
std::string requestHeader(const HeaderList& headers, std::string_view name);

// "OK", "Not Found", ...
std::string_view reasonPhrase(int status);

}  // namespace tolmi_gcp::emulator
