#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::emulator {

// Google's descriptions of the Compute Engine v1 methods the emulator serves and of their
// messages (compute-v1-schema.json beside this file): the emulator keeps only the fields the API
// has, and the conformance test judges requests and answers by it.
class Schema {
 public:
  struct Method {
    std::string id;                  // "compute.routes.insert"
    std::string verb;                // "POST"
    std::string path;                // "projects/{project}/global/routes"
    std::vector<std::string> query;  // the method's own query parameters
    std::string requestBody;         // message type, "" when the method takes none
    std::string response;            // message type
  };

  explicit Schema(const ResourceDocument& description);
  // The bundled schema, parsed once.
  static const Schema& compute();

  // The method a call addresses (`path`: the segments after "compute/v1/"), or null.
  const Method* method(std::string_view verb, const std::vector<std::string>& path) const;

  // What in `value` does not fit message `type`, one line each ("bgp.asn: expected an integer").
  // Also checks that a resource's "kind" is "compute#" and its type's name.
  std::vector<std::string> problems(const std::string& type, const ResourceDocument& value) const;

  // `value` with only the fields `type` has, output-only ones left out, at every depth.
  ResourceDocument input(const std::string& type, const ResourceDocument& value) const;

 private:
  void check(const ResourceDocument& field, const ResourceDocument& value, const std::string& where,
             std::vector<std::string>& out) const;
  void checkMessage(const std::string& type, const ResourceDocument& value,
                    const std::string& where, std::vector<std::string>& out) const;
  ResourceDocument inputValue(const ResourceDocument& field, const ResourceDocument& value) const;
  const ResourceDocument& fieldsOf(const std::string& type) const;

  std::vector<Method> methods_;
  ResourceDocument messages_;  // type name → {"fields": {name → description}}
};

}  // namespace tolmi_gcp::emulator
