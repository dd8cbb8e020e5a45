#pragma once

// Internal to the library; public here only for the benchmarks. The names of created routes are
// in the installed route_name.hpp.

#include <string>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/route_name.hpp"

namespace tolmi_gcp::routes {

// Whether a route carries the description that this tool gives the routes it creates.
bool createdByTool(const ResourceDocument& route);

// Whether `current`, a route of the name of the deleted route `recorded`, is not that route but
// one this tool made: a stage that deletes a route and creates one of the same name got that far.
bool replacedByTool(const ResourceDocument& current, const ResourceDocument& recorded);

// The routes.insert body of one "add" entry, with the instance's name where its URL will go, the
// network of Globals::networkLink and the entry's optional "tags" (left out when empty). Throws as
// generatedRouteName does, and ArgumentTypeError for "tags" that are not a list of texts.
ResourceDocument createdRouteBody(const std::string& project, const std::string& vpc,
                                  const ResourceDocument& entry);

// The fields ("priority", "nextHopInstance", ...) in which `current` routes otherwise than `meant`
// says; empty when it routes as meant.
std::vector<std::string> routingDifferences(const ResourceDocument& current,
                                            const ResourceDocument& meant);

}  // namespace tolmi_gcp::routes
