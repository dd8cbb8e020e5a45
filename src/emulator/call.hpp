#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/emulator.hpp"
#include "emulator/store.hpp"
#include "tolmi_gcp/compute/http_transport.hpp"
#include "tolmi_gcp/internal/path_template.hpp"

namespace tolmi_gcp::emulator {

class Operations;

// One API call as its handler sees it: what it works on, the path's named parameters, the query
// and the body (only the fields the API has).
struct Call {
  Store& store;
  Operations& operations;
  const std::vector<std::string>& path;  // the decoded segments after "/compute/v1/"
  const PathParameters& parameters;      // by the names of the method's path template
  const QueryList& query;
  const ResourceDocument& body;
  // The error an injected fault makes a change's operation finish with.
  const std::optional<ResourceDocument>& operationError;
  const QuotaOptions& quotas;

  // A parameter of the method's path template: "project", "network", "region", ...
  const std::string& param(std::string_view name) const;
  const std::string& project() const { return param("project"); }
  // The last value of a query parameter, if given.
  std::optional<std::string> queryParam(std::string_view name) const;
  // The path as asked for ("projects/p/global/routes/r"): what a 404 names.
  std::string relativeName() const;
  // The regional or zonal resource the path names by its scope parameter ("region", "zone") and
  // its name parameter; 404 when there is none.
  ResourceDocument& scoped(Store::Collection collection, std::string_view scope,
                           std::string_view name) const;
};

// The segments of a path joined again by "/".
std::string joined(const std::vector<std::string>& path);

// Answers one API method's calls. Throws ApiError for what the API refuses.
using Handler = ResourceDocument (*)(const Call& call);

}  // namespace tolmi_gcp::emulator
