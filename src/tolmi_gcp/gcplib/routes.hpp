#pragma once

// Internal to the library; public here only for the benchmarks.

#include <string>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::routes {

// Whether a route carries the description that this tool gives the routes it creates.
bool createdByTool(const ResourceDocument& route);

// The name a created route gets unless its "add" entry names it: "tvn-" and the lower-case hex MD5
// of project, vpc, the entry's "cidr", "zone", "dest_instance" and priority text, joined. The same
// entry gives the same name on every run. Throws MissingKeyError or ArgumentTypeError for an entry
// without those keys or with values of the wrong type.
std::string generatedRouteName(const std::string& project, const std::string& vpc,
                               const ResourceDocument& entry);

// Whether `current`, a route of the name of the deleted route `recorded`, is not that route but
// one this tool made: a stage that deletes a route and creates one of the same name got that far.
bool replacedByTool(const ResourceDocument& current, const ResourceDocument& recorded);

// The name the route of one "add" entry gets: its "name", else the generated one. Throws as
// generatedRouteName does, and ArgumentTypeError for a "name" that is neither text nor null.
std::string createdRouteName(const std::string& project, const std::string& vpc,
                             const ResourceDocument& entry);

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
